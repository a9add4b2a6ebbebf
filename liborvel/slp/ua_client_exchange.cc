// ua_client_exchange.cc: one request/reply exchange with one directory
// agent, and asking several agents in turn.
//
// UDP with bounded retransmission; TCP when the request is too big for a
// datagram or the reply was cut: either it carries the overflow flag (our
// agent sends whole entries and the flag) or its header claims more bytes
// than arrived (other agents send the first datagram-sized part of the whole
// message).  Such a datagram is recognised from its header alone, before
// any attempt to decode it.
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <random>
#include <string>
#include <type_traits>
#include <vector>

#include "net/address.h"
#include "slp/ua_internal.h"

namespace orvel {
namespace slp {
namespace {

constexpr size_t kRecvBufferBytes = 65536;
constexpr size_t kTcpChunkBytes = 65536;

bool ExpectedFunction(const Message& req, Function got) {
  switch (FunctionOf(req.body)) {
    case Function::kSrvRqst:
      return got == Function::kSrvRply || got == Function::kDAAdvert;
    case Function::kSrvReg:
    case Function::kSrvDeReg:
      return got == Function::kSrvAck;
    case Function::kAttrRqst:
      return got == Function::kAttrRply;
    case Function::kSrvTypeRqst:
      return got == Function::kSrvTypeRply;
    default:
      return false;
  }
}

bool ExpectedReply(const Message& req, const Message& reply) {
  return reply.header.xid == req.header.xid && ExpectedFunction(req, reply.header.function);
}

// What a received datagram is to the request in flight.
enum class Datagram { kOther, kWhole, kCut };

// Reads only the fixed header: XID, function, flags and length.
Datagram Classify(const uint8_t* d, size_t n, const Message& req) {
  if (n < kHeaderFixedBytes || d[0] != kVersion) return Datagram::kOther;
  uint16_t xid = static_cast<uint16_t>(d[10] << 8 | d[11]);
  if (xid != req.header.xid || !ExpectedFunction(req, static_cast<Function>(d[1])))
    return Datagram::kOther;
  uint16_t flags = static_cast<uint16_t>(d[5] << 8 | d[6]);
  if ((flags & kFlagOverflow) || PeekLength(d, n) > n) return Datagram::kCut;
  return Datagram::kWhole;
}

// One framed message: 5 bytes give the length, then the rest.  Memory grows
// with the bytes that arrive, never from the length field alone.
Outcome ReadFramed(int fd, net::Deadline deadline, std::string* in) {
  size_t want = 5;
  std::vector<char> chunk(kTcpChunkBytes);
  while (in->size() < want) {
    net::IoResult r =
        net::ReadSome(fd, chunk.data(), std::min(chunk.size(), want - in->size()), deadline);
    if (r.status == net::IoStatus::kTimedOut) return Outcome::kTimedOut;
    if (r.status != net::IoStatus::kOk) return Outcome::kError;  // closed early or failed
    in->append(chunk.data(), r.bytes);
    if (want == 5 && in->size() >= 5) {
      uint32_t len = PeekLength(reinterpret_cast<const uint8_t*>(in->data()), in->size());
      if (len < kHeaderFixedBytes) return Outcome::kError;
      want = len;  // at most kMaxMessageBytes: the field has 24 bits
    }
  }
  return Outcome::kReply;
}

// A cut datagram: the whole answer over TCP.  When that fails, a datagram
// that decodes (whole entries with the overflow flag) is still an answer.
Outcome FetchWhole(const sockaddr_in& agent, const Message& req, const std::string& bytes,
                   net::Deadline deadline, const uint8_t* part, size_t part_size, Message* reply) {
  Outcome o = TcpExchange(agent, req, bytes, deadline, reply);
  if (o == Outcome::kReply) return o;
  if (Decode(part, part_size, reply) == WireStatus::kOk && ExpectedReply(req, *reply))
    return Outcome::kReply;
  return o;
}

// The UDP part of Exchange: send, wait, resend on the datagramTimeouts
// schedule until a matching reply or the deadline.
Outcome UdpExchange(Channel& ch, const sockaddr_in& agent, const Message& req,
                    const std::string& bytes, net::Deadline deadline, Message* reply) {
  if (::connect(ch.udp.get(), reinterpret_cast<const sockaddr*>(&agent), sizeof(agent)) < 0)
    return Outcome::kError;
  std::vector<int> waits = PropertyMillisList("net.slp.datagramTimeouts");
  if (waits.empty()) waits = {2000, 4000, 8000};
  std::vector<uint8_t>& buf = ch.recv_buf;
  for (int wait_ms : waits) {
    if (deadline.passed()) break;
    if (::send(ch.udp.get(), bytes.data(), bytes.size(), 0) < 0)
      return errno == ECONNREFUSED ? Outcome::kRefused : Outcome::kError;
    net::Deadline try_end = net::Deadline::At(
        std::min(deadline.at(), Clock::now() + std::chrono::milliseconds(wait_ms)));
    while (net::WaitReady(ch.udp.get(), POLLIN, try_end) == 0) {
      ssize_t n = ::recv(ch.udp.get(), buf.data(), buf.size(), 0);
      if (n < 0) {
        // Port unreachable: nobody listens there, no point in waiting.
        if (errno == ECONNREFUSED) return Outcome::kRefused;
        if (errno == EINTR || errno == EAGAIN) continue;
        return Outcome::kError;
      }
      size_t got = static_cast<size_t>(n);
      // Replies to earlier XIDs (late answers to retransmissions of a
      // previous call) and garbage are skipped.
      switch (Classify(buf.data(), got, req)) {
        case Datagram::kOther:
          continue;
        case Datagram::kCut:
          return FetchWhole(agent, req, bytes, deadline, buf.data(), got, reply);
        case Datagram::kWhole:
          if (Decode(buf.data(), got, reply) != WireStatus::kOk) continue;
          return Outcome::kReply;
      }
    }
  }
  return Outcome::kTimedOut;
}

// Agent errors after which the next agent is asked; the reason is kept in
// case none does better.
bool NextAgentMayDoBetter(uint16_t err) {
  return err == error::kScopeNotSupported || err == error::kDaBusyNow ||
         err == error::kInternalError || err == error::kVerNotSupported;
}

std::string Join(const std::vector<sockaddr_in>& agents) {
  std::string out;
  for (const sockaddr_in& a : agents) out += (out.empty() ? "" : ",") + AgentText(a);
  return out;
}

}  // namespace

SLPError ApiErrorFromWire(uint16_t code) {
  switch (code) {
    case error::kOk:
      return SLP_OK;
    case error::kLanguageNotSupported:
      return SLP_LANGUAGE_NOT_SUPPORTED;
    case error::kParseError:
      return SLP_PARSE_ERROR;
    case error::kInvalidRegistration:
      return SLP_INVALID_REGISTRATION;
    case error::kScopeNotSupported:
      return SLP_SCOPE_NOT_SUPPORTED;
    case error::kAuthenticationUnknown:
      return SLP_AUTHENTICATION_UNKNOWN;
    case error::kAuthenticationAbsent:
      return SLP_AUTHENTICATION_ABSENT;
    case error::kAuthenticationFailed:
      return SLP_AUTHENTICATION_FAILED;
    case error::kVerNotSupported:
      return SLP_VER_NOT_SUPPORTED;
    case error::kInternalError:
      return SLP_INTERNAL_ERROR;
    case error::kDaBusyNow:
      return SLP_DA_BUSY_NOW;
    case error::kInvalidUpdate:
      return SLP_INVALID_UPDATE;
    case error::kRefreshRejected:
      return SLP_REFRESH_REJECTED;
    case error::kMsgNotSupported:
    case error::kOptionNotUnderstood:
      return SLP_NOT_IMPLEMENTED;
    default:
      return SLP_NETWORK_ERROR;
  }
}

bool OpenChannel(Channel* ch, const std::string& lang) {
  ch->lang = lang;
  ch->udp = Socket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  ch->recv_buf.assign(kRecvBufferBytes, 0);
  return ch->udp.valid();
}

uint16_t NewXid() {
  // Random start, so a restarted process does not repeat recent XIDs.
  static std::atomic<uint32_t> next{std::random_device{}()};
  uint16_t x;
  do {
    x = static_cast<uint16_t>(next.fetch_add(1));
  } while (x == 0);  // XID 0 is reserved for unsolicited DAAdverts
  return x;
}

Outcome TcpExchange(const sockaddr_in& agent, const Message& req, const std::string& bytes,
                    net::Deadline deadline, Message* reply) {
  int err = 0;
  const char* failed_call = nullptr;
  Socket s = net::ConnectTcp(agent, deadline, &err, /*nonblocking=*/true, &failed_call);
  if (!s.valid()) {
    if (err == ETIMEDOUT) return Outcome::kTimedOut;
    bool no_socket = failed_call != nullptr && std::string(failed_call) == "socket";
    return no_socket ? Outcome::kError : Outcome::kRefused;
  }
  net::IoResult w = net::WriteAll(s.get(), bytes.data(), bytes.size(), deadline);
  if (w.status != net::IoStatus::kOk)
    return w.status == net::IoStatus::kTimedOut ? Outcome::kTimedOut : Outcome::kError;
  std::string in;
  Outcome o = ReadFramed(s.get(), deadline, &in);
  if (o != Outcome::kReply) return o;
  if (Decode(in, reply) != WireStatus::kOk || !ExpectedReply(req, *reply)) return Outcome::kError;
  return Outcome::kReply;
}

Outcome Exchange(Channel& ch, const sockaddr_in& agent, Message& req, Message* reply) {
  req.header.xid = NewXid();
  req.header.lang = ch.lang;
  std::string bytes;
  if (Encode(req, &bytes) != WireStatus::kOk) return Outcome::kError;
  net::Deadline deadline =
      net::Deadline::AfterMs(PropertyLong("net.slp.unicastMaximumWait", 15000));
  long mtu = PropertyLong("net.slp.MTU", 1400);
  size_t max_datagram = mtu > 28 ? static_cast<size_t>(mtu - 28) : kDefaultMaxDatagramBytes;
  if (bytes.size() > max_datagram) return TcpExchange(agent, req, bytes, deadline, reply);
  return UdpExchange(ch, agent, req, bytes, deadline, reply);
}

uint16_t ReplyError(const Message& reply) {
  return std::visit(
      [](const auto& b) -> uint16_t {
        using T = std::decay_t<decltype(b)>;
        if constexpr (std::is_same_v<T, SrvRply> || std::is_same_v<T, SrvAck> ||
                      std::is_same_v<T, AttrRply> || std::is_same_v<T, SrvTypeRply> ||
                      std::is_same_v<T, DAAdvert>) {
          return b.error;
        } else {
          return error::kOk;
        }
      },
      reply.body);
}

SLPError AskFirstAgent(Channel& ch, Message& req, Message* reply, AskReport* report) {
  std::vector<sockaddr_in> agents = AgentsToAsk(ch.lang);
  report->agent.clear();
  if (agents.empty()) return SLP_NETWORK_INIT_FAILED;
  SLPError result = SLP_NETWORK_TIMED_OUT;
  bool all_refused = true;
  bool got_error = false;
  for (const sockaddr_in& agent : agents) {
    Outcome o = Exchange(ch, agent, req, reply);
    if (o != Outcome::kRefused) all_refused = false;
    if (o != Outcome::kReply) {
      NoteAgentFailed(agent);
      continue;
    }
    NoteAgentAnswered(agent);
    uint16_t err = ReplyError(*reply);
    if (NextAgentMayDoBetter(err)) {
      if (!got_error) {
        result = ApiErrorFromWire(err);
        report->agent = AgentText(agent);
      }
      got_error = true;
      continue;
    }
    report->agent = AgentText(agent);
    return ApiErrorFromWire(err);
  }
  if (got_error) return result;
  report->agent = Join(agents);
  if (ConfiguredAgents().empty()) ForgetDiscoveredAgents();
  return all_refused ? SLP_NETWORK_ERROR : result;
}

SLPError AskAgents(Channel& ch, const std::vector<sockaddr_in>& agents, Message& req,
                   AskReport* report) {
  report->agent.clear();
  if (agents.empty()) return SLP_NETWORK_INIT_FAILED;
  SLPError first = SLP_NETWORK_TIMED_OUT;
  bool have_first = false;
  bool any_ok = false;
  for (const sockaddr_in& agent : agents) {
    Message reply;
    Outcome o = Exchange(ch, agent, req, &reply);
    SLPError e = o == Outcome::kReply
                     ? ApiErrorFromWire(ReplyError(reply))
                     : (o == Outcome::kRefused ? SLP_NETWORK_ERROR : SLP_NETWORK_TIMED_OUT);
    (o == Outcome::kReply ? NoteAgentAnswered : NoteAgentFailed)(agent);
    if (e == SLP_OK) any_ok = true;
    // An agent's own answer says more than silence.
    if (!have_first || (first == SLP_NETWORK_TIMED_OUT && o == Outcome::kReply)) {
      first = e;
      have_first = true;
      report->agent = AgentText(agent);
    }
  }
  if (any_ok) report->agent = Join(agents);
  return any_ok ? SLP_OK : first;
}

}  // namespace slp
}  // namespace orvel
