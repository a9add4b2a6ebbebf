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
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <memory>
#include <random>
#include <string>
#include <type_traits>
#include <vector>

#include "net/address.h"
#include "orvel/SLP.h"
#include "slp/ua_internal.h"

namespace orvel {
namespace slp {
namespace {

constexpr size_t kRecvBufferBytes = 65536;
constexpr size_t kTcpChunkBytes = 65536;

bool ExpectedFunction(const Message& req, Function got) {
  return AnswersRequest(FunctionOf(req.body), got);
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
Status ReadFramed(int fd, const std::string& peer, net::Deadline deadline, std::string* in) {
  size_t want = 5;
  std::vector<char> chunk(kTcpChunkBytes);
  while (in->size() < want) {
    net::IoResult r =
        net::ReadSome(fd, chunk.data(), std::min(chunk.size(), want - in->size()), deadline);
    if (r.status == net::IoStatus::kTimedOut)
      return Status::TimedOut(peer + ": reply over TCP incomplete at the time-out");
    if (r.status != net::IoStatus::kOk) return r.ToStatus(peer + ": reading the reply over TCP");
    in->append(chunk.data(), r.bytes);
    if (want == 5 && in->size() >= 5) {
      uint32_t len = PeekLength(reinterpret_cast<const uint8_t*>(in->data()), in->size());
      if (len < kHeaderFixedBytes)
        return Status::Protocol(peer + ": reply over TCP with a length of " + std::to_string(len) +
                                " bytes");
      want = len;  // at most kMaxMessageBytes: the field has 24 bits
    }
  }
  return Status::OK();
}

// A cut datagram: the whole answer over TCP.  When that fails, a datagram
// that decodes (whole entries with the overflow flag) is still an answer.
Status FetchWhole(const sockaddr_in& agent, const Message& req, const std::string& bytes,
                  net::Deadline deadline, const uint8_t* part, size_t part_size, Message* reply) {
  Status s = TcpExchange(agent, req, bytes, deadline, reply);
  if (s.ok()) return s;
  if (Decode(part, part_size, reply) == WireStatus::kOk && ExpectedReply(req, *reply))
    return Status::OK();
  return s;
}

Status UdpFailure(const std::string& peer, const char* call, int err) {
  // Port unreachable: nobody listens there (an agent that crashed).
  if (err == ECONNREFUSED) return Status::FromErrno(peer + ": nobody on the port", err);
  return Status::FromErrno(std::string(call) + " " + peer, err);
}

// The UDP part of AskAgent: send, wait, resend on the datagramTimeouts
// schedule until a matching reply or the deadline.
Status UdpExchange(Channel& ch, const sockaddr_in& agent, const Message& req,
                   const std::string& bytes, const UaOptions& options, net::Deadline deadline,
                   Message* reply, std::chrono::milliseconds tcp_after) {
  const std::string peer = AgentText(agent);
  const bool connected = ch.clean_peer && SameAddr(*ch.clean_peer, agent);
  ch.clean_peer.reset();
  if (!connected &&
      ::connect(ch.udp.get(), reinterpret_cast<const sockaddr*>(&agent), sizeof(agent)) < 0)
    return UdpFailure(peer, "connect", errno);
  std::vector<uint8_t>& buf = ch.recv_buf;
  const Clock::time_point start = Clock::now();
  int sent = 0;
  std::vector<int> waits = options.datagram_timeouts_ms;
  if (tcp_after.count() > 0 && !waits.empty())
    waits[0] = std::min<int>(waits[0], static_cast<int>(tcp_after.count()));
  for (size_t round = 0; round < waits.size(); ++round) {
    const int wait_ms = waits[round];
    if (deadline.passed()) break;
    // The first datagram went unanswered: the same request over TCP, where
    // an agent answers what it drops silently over UDP.  An agent without
    // TCP gets the rest of the datagrams.
    if (round == 1 && tcp_after.count() > 0 && TcpExchange(agent, req, bytes, deadline, reply).ok())
      return Status::OK();
    if (::send(ch.udp.get(), bytes.data(), bytes.size(), 0) < 0)
      return UdpFailure(peer, "send to", errno);
    ++sent;
    net::Deadline try_end = net::Deadline::At(
        std::min(deadline.at(), Clock::now() + std::chrono::milliseconds(wait_ms)));
    for (;;) {
      int err = net::WaitReady(ch.udp.get(), POLLIN, try_end);
      if (err == ETIMEDOUT) break;
      if (err != 0) return UdpFailure(peer, "poll for", err);
      ssize_t n = ::recv(ch.udp.get(), buf.data(), buf.size(), 0);
      if (n < 0) {
        if (errno == EINTR || errno == EAGAIN) continue;
        return UdpFailure(peer, "recv from", errno);
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
          ch.clean_peer = agent;
          return Status::OK();
      }
    }
  }
  // A one-datagram schedule still gets its TCP try.
  if (tcp_after.count() > 0 && waits.size() == 1 && !deadline.passed())
    return TcpExchange(agent, req, bytes, deadline, reply);
  const long waited_ms = static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
  return Status::TimedOut(peer + ": no reply to " + std::to_string(sent) + " datagram" +
                          (sent == 1 ? "" : "s") + " within " + std::to_string(waited_ms) + " ms");
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

namespace {

// Sockets and buffers of closed handles, for the next handles this thread
// opens: SLPService opens a handle per look-up.
struct SpareLink {
  Socket udp;
  std::vector<uint8_t> recv_buf;
  sockaddr_in peer;
};
constexpr size_t kMaxSpareLinks = 4;
thread_local std::vector<SpareLink> t_spare_links;

// A forked child must not share its parent's sockets (replies would reach
// either process), nor keep ones of a network namespace it left.
void ForgetSpareLinksInChild() { t_spare_links.clear(); }
[[maybe_unused]] const bool kForkHandlerSet =
    ::pthread_atfork(nullptr, nullptr, ForgetSpareLinksInChild) == 0;

}  // namespace

bool OpenChannel(Channel* ch, const std::string& lang) {
  ch->lang = lang;
  if (!t_spare_links.empty()) {
    SpareLink& spare = t_spare_links.back();
    ch->udp = std::move(spare.udp);
    ch->recv_buf = std::move(spare.recv_buf);
    ch->clean_peer = spare.peer;
    t_spare_links.pop_back();
    return true;
  }
  ch->udp = Socket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  ch->recv_buf.assign(kRecvBufferBytes, 0);
  ch->clean_peer.reset();
  return ch->udp.valid();
}

void ReleaseChannel(Channel* ch) {
  if (!ch->udp.valid() || !ch->clean_peer || t_spare_links.size() >= kMaxSpareLinks) return;
  t_spare_links.push_back({std::move(ch->udp), std::move(ch->recv_buf), *ch->clean_peer});
  ch->clean_peer.reset();
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

Status TcpExchange(const sockaddr_in& agent, const Message& req, const std::string& bytes,
                   net::Deadline deadline, Message* reply) {
  const std::string peer = AgentText(agent);
  Socket s;
  Status st = net::Connect(agent, deadline, &s, /*nonblocking=*/true);
  if (!st.ok()) return st;
  st = net::WriteAll(s.get(), bytes.data(), bytes.size(), deadline)
           .ToStatus(peer + ": writing the request over TCP");
  if (!st.ok()) return st;
  std::string in;
  st = ReadFramed(s.get(), peer, deadline, &in);
  if (!st.ok()) return st;
  if (Decode(in, reply) != WireStatus::kOk)
    return Status::Protocol(peer + ": reply over TCP does not decode");
  if (!ExpectedReply(req, *reply))
    return Status::Protocol(peer + ": reply over TCP answers another request");
  return Status::OK();
}

Outcome OutcomeOf(const Status& s) {
  if (s.ok()) return Outcome::kReply;
  if (s.IsTimedOut()) return Outcome::kTimedOut;
  // Nobody on the port, over UDP (ICMP) or TCP: the agent is not running.
  if (s.sys_errno() == ECONNREFUSED) return Outcome::kRefused;
  return Outcome::kError;
}

Status AskAgent(Channel& ch, const sockaddr_in& agent, Message& req, Message* reply,
                std::chrono::milliseconds tcp_after) {
  req.header.xid = NewXid();
  req.header.lang = ch.lang;
  std::string bytes;
  if (Encode(req, &bytes) != WireStatus::kOk)
    return Status::InvalidArgument(AgentText(agent) + ": request does not encode");
  std::shared_ptr<const UaOptions> options = Options();
  net::Deadline deadline = net::Deadline::AfterMs(options->unicast_max_wait_ms);
  const long mtu = options->mtu;
  size_t max_datagram = mtu > 28 ? static_cast<size_t>(mtu - 28) : kDefaultMaxDatagramBytes;
  if (bytes.size() > max_datagram) return TcpExchange(agent, req, bytes, deadline, reply);
  return UdpExchange(ch, agent, req, bytes, *options, deadline, reply, tcp_after);
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

// An agent's error reply as a Status naming the agent.
Status AgentError(const sockaddr_in& agent, uint16_t wire_error) {
  return Status::Refused(AgentText(agent) + ": " + SLPErrorText(ApiErrorFromWire(wire_error)) +
                         " (error " + std::to_string(wire_error) + ")");
}

SLPError AskFirstAgent(Channel& ch, Message& req, Message* reply, AskReport* report) {
  std::vector<sockaddr_in> agents = AgentsToAsk(ch);
  report->agent.clear();
  report->status = Status::OK();
  if (agents.empty()) {
    report->status = Status::Unavailable("no directory agent configured or found");
    return SLP_NETWORK_INIT_FAILED;
  }
  SLPError result = SLP_OK;
  bool got_error = false;
  bool any_timed_out = false;
  std::string failures;  // each agent's failure, in the order asked
  for (const sockaddr_in& agent : agents) {
    Status s = AskAgent(ch, agent, req, reply);
    if (!s.ok()) {
      NoteAgentFailed(agent);
      any_timed_out = any_timed_out || s.IsTimedOut();
      failures += (failures.empty() ? "" : "; ") + s.ToString();
      continue;
    }
    NoteAgentAnswered(agent);
    uint16_t err = ReplyError(*reply);
    if (NextAgentMayDoBetter(err)) {
      if (!got_error) {
        result = ApiErrorFromWire(err);
        report->agent = AgentText(agent);
        report->status = AgentError(agent, err);
      }
      got_error = true;
      continue;
    }
    report->agent = AgentText(agent);
    report->status = err == error::kOk ? Status::OK() : AgentError(agent, err);
    return ApiErrorFromWire(err);
  }
  if (got_error) return result;
  report->agent = Join(agents);
  // Discovered agents that all failed are looked for again next time.
  if (ch.own_agents ? ch.own_agents->discover : ConfiguredAgents().empty())
    ForgetDiscoveredAgents();
  // One agent that timed out makes the whole search a time-out; otherwise
  // every agent failed in a way that says more than silence.
  SLPError code = any_timed_out ? SLP_NETWORK_TIMED_OUT : SLP_NETWORK_ERROR;
  report->status = any_timed_out ? Status::TimedOut(failures) : Status::Unavailable(failures);
  return code;
}

SLPError AskAgents(Channel& ch, const std::vector<sockaddr_in>& agents, Message& req,
                   AskReport* report) {
  report->agent.clear();
  report->status = Status::OK();
  if (agents.empty()) {
    report->status = Status::Unavailable("no directory agent configured or found");
    return SLP_NETWORK_INIT_FAILED;
  }
  SLPError first = SLP_NETWORK_TIMED_OUT;
  bool have_first = false;
  bool any_ok = false;
  for (const sockaddr_in& agent : agents) {
    Message reply;
    Status s = AskAgent(ch, agent, req, &reply, kRegistrationTcpAfter);
    const uint16_t wire = s.ok() ? ReplyError(reply) : error::kOk;
    // Registrations keep their codes: silence and errors alike time out.
    SLPError e =
        s.ok() ? ApiErrorFromWire(wire)
               : (OutcomeOf(s) == Outcome::kRefused ? SLP_NETWORK_ERROR : SLP_NETWORK_TIMED_OUT);
    (s.ok() ? NoteAgentAnswered : NoteAgentFailed)(agent);
    if (e == SLP_OK) any_ok = true;
    // An agent's own answer says more than silence.
    if (!have_first || (first == SLP_NETWORK_TIMED_OUT && s.ok())) {
      first = e;
      have_first = true;
      report->agent = AgentText(agent);
      report->status = !s.ok() ? s : (wire == error::kOk ? Status::OK() : AgentError(agent, wire));
    }
  }
  if (any_ok) {
    report->agent = Join(agents);
    report->status = Status::OK();
  }
  return any_ok ? SLP_OK : first;
}

}  // namespace slp
}  // namespace orvel
