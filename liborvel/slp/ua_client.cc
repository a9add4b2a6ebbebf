// ua_client.cc: the SLP user agent behind slp_api.h.
//
// Every operation is one request/reply exchange with a directory agent:
// UDP with bounded retransmission, TCP when the request is too big for a
// datagram or the reply came back with the overflow flag.  Agents come from
// net.slp.DAAddresses, or from multicast discovery (cached process-wide).
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "slp/ua_internal.h"
#include "slp/wire.h"
#include "slp_api.h"

namespace orvel {
namespace slp {

SLPError ApiErrorFromWire(uint16_t code) {
  switch (code) {
    case error::kOk: return SLP_OK;
    case error::kLanguageNotSupported: return SLP_LANGUAGE_NOT_SUPPORTED;
    case error::kParseError: return SLP_PARSE_ERROR;
    case error::kInvalidRegistration: return SLP_INVALID_REGISTRATION;
    case error::kScopeNotSupported: return SLP_SCOPE_NOT_SUPPORTED;
    case error::kAuthenticationUnknown: return SLP_AUTHENTICATION_UNKNOWN;
    case error::kAuthenticationAbsent: return SLP_AUTHENTICATION_ABSENT;
    case error::kAuthenticationFailed: return SLP_AUTHENTICATION_FAILED;
    case error::kInvalidUpdate: return SLP_INVALID_UPDATE;
    case error::kRefreshRejected: return SLP_REFRESH_REJECTED;
    case error::kMsgNotSupported:
    case error::kOptionNotUnderstood: return SLP_NOT_IMPLEMENTED;
    default: return SLP_NETWORK_ERROR;
  }
}

namespace {

using Clock = std::chrono::steady_clock;

// Largest reply accepted over TCP; the 24-bit length allows 16 MiB, far
// more than any honest agent sends.
constexpr uint32_t kMaxTcpReplyBytes = 4u << 20;
constexpr size_t kRecvBufferBytes = 65536;

struct Handle {
  std::string lang;
  Socket udp;  // this handle's own socket, connected per agent
  std::vector<uint8_t> recv_buf = std::vector<uint8_t>(kRecvBufferBytes);
  std::atomic<bool> busy{false};
};

// Marks a handle busy for the length of one call.
class BusyGuard {
 public:
  explicit BusyGuard(Handle* h) : h_(h) {
    bool expected = false;
    owned_ = h_->busy.compare_exchange_strong(expected, true);
  }
  ~BusyGuard() {
    if (owned_) h_->busy = false;
  }
  bool owned() const { return owned_; }

 private:
  Handle* h_;
  bool owned_;
};

uint16_t NewXid() {
  // Random start, so a restarted process does not repeat recent XIDs.
  static std::atomic<uint32_t> next{std::random_device{}()};
  uint16_t x;
  do {
    x = static_cast<uint16_t>(next.fetch_add(1));
  } while (x == 0);  // XID 0 is reserved for unsolicited DAAdverts
  return x;
}

int RemainingMs(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                  deadline - Clock::now())
                  .count();
  return left <= 0 ? 0 : static_cast<int>(left);
}

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return "";
  size_t e = s.find_last_not_of(" \t");
  return s.substr(b, e - b + 1);
}

// "host" or "host:port"; names are resolved (IPv4 only).
bool ResolveAgent(const std::string& text, uint16_t default_port,
                  sockaddr_in* out) {
  std::string host = text;
  uint16_t port = default_port;
  size_t colon = text.rfind(':');
  if (colon != std::string::npos) {
    host = text.substr(0, colon);
    char* end = nullptr;
    unsigned long p = std::strtoul(text.c_str() + colon + 1, &end, 10);
    if (*end != '\0' || p == 0 || p > 65535) return false;
    port = static_cast<uint16_t>(p);
  }
  std::memset(out, 0, sizeof(*out));
  out->sin_family = AF_INET;
  out->sin_port = htons(port);
  if (inet_pton(AF_INET, host.c_str(), &out->sin_addr) == 1) return true;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* res = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &res) != 0 || !res)
    return false;
  out->sin_addr = reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr;
  freeaddrinfo(res);
  return true;
}

uint16_t ConfiguredPort() {
  long p = PropertyLong("net.slp.port", kDefaultPort);
  return (p <= 0 || p > 65535) ? kDefaultPort : static_cast<uint16_t>(p);
}

std::vector<sockaddr_in> ConfiguredAgents() {
  std::vector<sockaddr_in> out;
  std::string list = PropertyString("net.slp.DAAddresses");
  uint16_t port = ConfiguredPort();
  size_t pos = 0;
  while (pos < list.size()) {
    size_t comma = list.find(',', pos);
    if (comma == std::string::npos) comma = list.size();
    std::string item = Trim(list.substr(pos, comma - pos));
    sockaddr_in a;
    if (!item.empty() && ResolveAgent(item, port, &a)) out.push_back(a);
    pos = comma + 1;
  }
  return out;
}

// ---- Discovery --------------------------------------------------------------

struct Discovered {
  std::mutex mu;
  std::vector<sockaddr_in> agents;  // GUARDED_BY(mu)
  Clock::time_point found_at;       // GUARDED_BY(mu)
};

Discovered& DiscoveredAgents() {
  static Discovered d;
  return d;
}

bool SameAddr(const sockaddr_in& a, const sockaddr_in& b) {
  return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

// Address of a DAAdvert's "service:directory-agent://A" URL, else the
// datagram's source.
sockaddr_in AgentFromAdvert(const DAAdvert& ad, const sockaddr_in& from,
                            uint16_t port) {
  sockaddr_in a = from;
  a.sin_port = htons(port);
  size_t slashes = ad.url.find("//");
  if (slashes != std::string::npos) {
    std::string host = ad.url.substr(slashes + 2);
    size_t stop = host.find_first_of(":/;");
    if (stop != std::string::npos) host.resize(stop);
    in_addr ia;
    if (inet_pton(AF_INET, host.c_str(), &ia) == 1 && ia.s_addr != 0)
      a.sin_addr = ia;
  }
  return a;
}

// Multicast SrvRqst for service:directory-agent with previous-responder
// convergence: rounds go on while they bring new agents, within the
// discovery time-outs and net.slp.multicastMaximumWait.
std::vector<sockaddr_in> DiscoverAgents(const std::string& lang) {
  std::vector<sockaddr_in> found;
  Socket s(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!s.valid()) return found;
  int ttl = static_cast<int>(PropertyLong("net.slp.multicastTTL", 255));
  if (ttl < 1 || ttl > 255) ttl = 255;
  setsockopt(s.get(), IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof(ttl));
  std::string ifs = PropertyString("net.slp.interfaces");
  std::string first_if = Trim(ifs.substr(0, ifs.find(',')));
  in_addr ifaddr;
  if (!first_if.empty() && inet_pton(AF_INET, first_if.c_str(), &ifaddr) == 1)
    setsockopt(s.get(), IPPROTO_IP, IP_MULTICAST_IF, &ifaddr, sizeof(ifaddr));

  uint16_t port = ConfiguredPort();
  sockaddr_in group{};
  group.sin_family = AF_INET;
  group.sin_port = htons(port);
  inet_pton(AF_INET, kMulticastGroup, &group.sin_addr);

  std::vector<int> rounds = PropertyMillisList("net.slp.DADiscoveryTimeouts");
  if (rounds.empty()) rounds = {2000, 2000, 2000};
  long max_ms = PropertyLong("net.slp.multicastMaximumWait", 15000);
  Clock::time_point overall = Clock::now() + std::chrono::milliseconds(max_ms);

  Message req;
  req.header.lang = lang;
  req.header.xid = NewXid();
  req.header.flags = kFlagRequestMcast;
  SrvRqst rq;
  rq.service_type = "service:directory-agent";
  rq.scopes = PropertyString("net.slp.useScopes");
  std::vector<uint8_t> buf(kRecvBufferBytes);
  for (int round_ms : rounds) {
    if (RemainingMs(overall) == 0) break;
    req.body = rq;
    std::string bytes = Encode(req);
    if (bytes.empty() || bytes.size() > kDefaultMaxDatagramBytes) break;
    if (::sendto(s.get(), bytes.data(), bytes.size(), 0,
                 reinterpret_cast<sockaddr*>(&group), sizeof(group)) < 0)
      break;
    size_t before = found.size();
    Clock::time_point round_end = Clock::now() + std::chrono::milliseconds(round_ms);
    if (round_end > overall) round_end = overall;
    int left;
    while ((left = RemainingMs(round_end)) > 0) {
      pollfd p{s.get(), POLLIN, 0};
      if (::poll(&p, 1, left) <= 0) continue;
      sockaddr_in from{};
      socklen_t fl = sizeof(from);
      ssize_t n = ::recvfrom(s.get(), buf.data(), buf.size(), 0,
                             reinterpret_cast<sockaddr*>(&from), &fl);
      if (n <= 0) continue;
      Message reply;
      if (Decode(buf.data(), static_cast<size_t>(n), &reply) != WireStatus::kOk)
        continue;
      const DAAdvert* ad = std::get_if<DAAdvert>(&reply.body);
      if (!ad || reply.header.xid != req.header.xid || ad->error != 0 ||
          ad->boot_timestamp == 0)
        continue;
      sockaddr_in agent = AgentFromAdvert(*ad, from, port);
      bool known = false;
      for (const sockaddr_in& f : found) known = known || SameAddr(f, agent);
      if (known) continue;
      found.push_back(agent);
      char text[INET_ADDRSTRLEN];
      inet_ntop(AF_INET, &from.sin_addr, text, sizeof(text));
      if (!rq.prlist.empty()) rq.prlist += ",";
      rq.prlist += text;
    }
    if (found.size() == before && !found.empty()) break;
  }
  return found;
}

// Passive detection: listens for unsolicited DAAdverts (XID 0) on the SLP
// multicast group for the life of the process.  Bound to the group address
// rather than INADDR_ANY, so it never takes unicast requests meant for an
// agent on the same host and port.
class PassiveListener {
 public:
  PassiveListener() {
    DiscoveredAgents();  // constructed first, so destroyed after us
    port_ = ConfiguredPort();
    Socket s(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    int one = 1;
    setsockopt(s.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port_);
    inet_pton(AF_INET, kMulticastGroup, &a.sin_addr);
    ip_mreq m{};
    m.imr_multiaddr = a.sin_addr;
    std::string ifs = PropertyString("net.slp.interfaces");
    std::string first_if = Trim(ifs.substr(0, ifs.find(',')));
    if (first_if.empty() ||
        inet_pton(AF_INET, first_if.c_str(), &m.imr_interface) != 1)
      m.imr_interface.s_addr = htonl(INADDR_ANY);
    int wake[2];
    if (!s.valid() ||
        ::bind(s.get(), reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 ||
        setsockopt(s.get(), IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof(m)) != 0 ||
        ::pipe2(wake, O_CLOEXEC) != 0)
      return;  // no passive detection on this host; active still works
    sock_ = std::move(s);
    wake_read_ = Socket(wake[0]);
    wake_write_ = Socket(wake[1]);
    thread_ = std::thread([this] { Run(); });
  }
  ~PassiveListener() {
    if (thread_.joinable()) {
      char c = 0;
      (void)!::write(wake_write_.get(), &c, 1);
      thread_.join();
    }
  }
  bool listening() const { return thread_.joinable(); }

 private:
  void Run() {
    std::vector<uint8_t> buf(kRecvBufferBytes);
    for (;;) {
      pollfd p[2] = {{sock_.get(), POLLIN, 0}, {wake_read_.get(), POLLIN, 0}};
      if (::poll(p, 2, -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (p[1].revents) return;
      sockaddr_in from{};
      socklen_t fl = sizeof(from);
      ssize_t n = ::recvfrom(sock_.get(), buf.data(), buf.size(), 0,
                             reinterpret_cast<sockaddr*>(&from), &fl);
      Message m;
      if (n <= 0 || Decode(buf.data(), static_cast<size_t>(n), &m) != WireStatus::kOk)
        continue;
      const DAAdvert* ad = std::get_if<DAAdvert>(&m.body);
      if (!ad || m.header.xid != 0 || ad->error != 0) continue;
      sockaddr_in agent = AgentFromAdvert(*ad, from, port_);
      Discovered& d = DiscoveredAgents();
      std::lock_guard<std::mutex> lock(d.mu);
      std::vector<sockaddr_in> kept;
      for (const sockaddr_in& k : d.agents)
        if (!SameAddr(k, agent)) kept.push_back(k);
      // Boot timestamp 0: the agent is going away.
      if (ad->boot_timestamp != 0) kept.push_back(agent);
      d.agents = std::move(kept);
      d.found_at = Clock::now();
    }
  }

  uint16_t port_ = kDefaultPort;
  Socket sock_;
  Socket wake_read_;
  Socket wake_write_;
  std::thread thread_;
};

void StartPassiveListener() {
  static PassiveListener listener;
  (void)listener;
}

std::vector<sockaddr_in> AgentsToAsk(const std::string& lang) {
  std::vector<sockaddr_in> agents = ConfiguredAgents();
  if (!agents.empty()) return agents;
  bool active = PropertyBool("net.slp.activeDADetection", true);
  bool passive = PropertyBool("net.slp.passiveDADetection", true);
  if (!active && !passive) return agents;
  if (passive) StartPassiveListener();
  Discovered& d = DiscoveredAgents();
  long interval_s = PropertyLong("net.slp.DAActiveDiscoveryInterval", 900);
  {
    std::lock_guard<std::mutex> lock(d.mu);
    // Agents heard passively count until an exchange with them fails.
    if (!d.agents.empty() &&
        (!active || Clock::now() - d.found_at < std::chrono::seconds(interval_s)))
      return d.agents;
  }
  if (!active) return agents;
  agents = DiscoverAgents(lang);
  std::lock_guard<std::mutex> lock(d.mu);
  if (!agents.empty()) {
    d.agents = agents;
    d.found_at = Clock::now();
  }
  return agents;
}

// ---- One exchange with one agent -------------------------------------------

enum class Outcome { kReply, kTimedOut, kRefused, kError };

bool ExpectedReply(const Message& req, const Message& reply) {
  if (reply.header.xid != req.header.xid) return false;
  Function got = reply.header.function;
  switch (FunctionOf(req.body)) {
    case Function::kSrvRqst:
      return got == Function::kSrvRply || got == Function::kDAAdvert;
    case Function::kSrvReg:
    case Function::kSrvDeReg: return got == Function::kSrvAck;
    case Function::kAttrRqst: return got == Function::kAttrRply;
    case Function::kSrvTypeRqst: return got == Function::kSrvTypeRply;
    default: return false;
  }
}

bool WaitFd(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    int left = RemainingMs(deadline);
    if (left == 0) return false;
    pollfd p{fd, events, 0};
    int r = ::poll(&p, 1, left);
    if (r > 0) return true;
    if (r < 0 && errno != EINTR) return false;
  }
}

// The request over TCP, with the same XID; the reply in *reply.
Outcome TcpExchange(const sockaddr_in& agent, const Message& req,
                    const std::string& bytes, Clock::time_point deadline,
                    Message* reply) {
  Socket s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!s.valid()) return Outcome::kError;
  if (::connect(s.get(), reinterpret_cast<const sockaddr*>(&agent),
                sizeof(agent)) < 0) {
    if (errno != EINPROGRESS) return Outcome::kRefused;
    if (!WaitFd(s.get(), POLLOUT, deadline)) return Outcome::kTimedOut;
    int err = 0;
    socklen_t len = sizeof(err);
    getsockopt(s.get(), SOL_SOCKET, SO_ERROR, &err, &len);
    if (err != 0) return Outcome::kRefused;
  }
  size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n = ::send(s.get(), bytes.data() + sent, bytes.size() - sent,
                       MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<size_t>(n);
    } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      if (!WaitFd(s.get(), POLLOUT, deadline)) return Outcome::kTimedOut;
    } else {
      return Outcome::kError;
    }
  }
  std::string in;
  size_t want = 5;
  std::vector<char> chunk(kRecvBufferBytes);
  while (in.size() < want) {
    ssize_t n = ::recv(s.get(), chunk.data(),
                       std::min(chunk.size(), want - in.size()), 0);
    if (n > 0) {
      in.append(chunk.data(), static_cast<size_t>(n));
      if (want == 5 && in.size() >= 5) {
        uint32_t len = PeekLength(reinterpret_cast<const uint8_t*>(in.data()), in.size());
        if (len < kHeaderFixedBytes || len > kMaxTcpReplyBytes)
          return Outcome::kError;
        want = len;
      }
    } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      if (!WaitFd(s.get(), POLLIN, deadline)) return Outcome::kTimedOut;
    } else {
      return Outcome::kError;  // closed early or failed
    }
  }
  if (Decode(in, reply) != WireStatus::kOk || !ExpectedReply(req, *reply))
    return Outcome::kError;
  return Outcome::kReply;
}

// Sends req to agent and waits for the matching reply: UDP with the
// datagramTimeouts schedule, all within unicastMaximumWait; TCP when the
// request does not fit a datagram or the reply overflowed.
Outcome Exchange(Handle& h, const sockaddr_in& agent, Message& req,
                 Message* reply) {
  req.header.xid = NewXid();
  req.header.lang = h.lang;
  std::string bytes;
  if (Encode(req, &bytes) != WireStatus::kOk) return Outcome::kError;
  long max_ms = PropertyLong("net.slp.unicastMaximumWait", 15000);
  Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(max_ms);

  long mtu = PropertyLong("net.slp.MTU", 1400);
  size_t max_datagram = mtu > 28 ? static_cast<size_t>(mtu - 28) : kDefaultMaxDatagramBytes;
  if (bytes.size() > max_datagram)
    return TcpExchange(agent, req, bytes, deadline, reply);

  if (::connect(h.udp.get(), reinterpret_cast<const sockaddr*>(&agent),
                sizeof(agent)) < 0)
    return Outcome::kError;
  std::vector<int> waits = PropertyMillisList("net.slp.datagramTimeouts");
  if (waits.empty()) waits = {2000, 4000, 8000};
  std::vector<uint8_t>& buf = h.recv_buf;
  for (int wait_ms : waits) {
    if (RemainingMs(deadline) == 0) break;
    if (::send(h.udp.get(), bytes.data(), bytes.size(), 0) < 0) {
      if (errno == ECONNREFUSED) return Outcome::kRefused;
      return Outcome::kError;
    }
    Clock::time_point try_end = Clock::now() + std::chrono::milliseconds(wait_ms);
    if (try_end > deadline) try_end = deadline;
    while (WaitFd(h.udp.get(), POLLIN, try_end)) {
      ssize_t n = ::recv(h.udp.get(), buf.data(), buf.size(), 0);
      if (n < 0) {
        // Port unreachable: nobody listens there, no point in waiting.
        if (errno == ECONNREFUSED) return Outcome::kRefused;
        if (errno == EINTR || errno == EAGAIN) continue;
        return Outcome::kError;
      }
      // Replies to earlier XIDs (late answers to retransmissions of a
      // previous call) and garbage are skipped.
      if (Decode(buf.data(), static_cast<size_t>(n), reply) != WireStatus::kOk ||
          !ExpectedReply(req, *reply))
        continue;
      if (reply->header.flags & kFlagOverflow) {
        Message full;
        if (TcpExchange(agent, req, bytes, deadline, &full) == Outcome::kReply)
          *reply = std::move(full);
        // Otherwise the truncated reply is still a usable answer.
      }
      return Outcome::kReply;
    }
  }
  return Outcome::kTimedOut;
}

// Error code of any reply body (SrvAck, SrvRply, ...).
uint16_t ReplyError(const Message& reply) {
  return std::visit(
      [](const auto& b) -> uint16_t {
        if constexpr (std::is_same_v<std::decay_t<decltype(b)>, SrvRply> ||
                      std::is_same_v<std::decay_t<decltype(b)>, SrvAck> ||
                      std::is_same_v<std::decay_t<decltype(b)>, AttrRply> ||
                      std::is_same_v<std::decay_t<decltype(b)>, SrvTypeRply> ||
                      std::is_same_v<std::decay_t<decltype(b)>, DAAdvert>) {
          return b.error;
        } else {
          return error::kOk;
        }
      },
      reply.body);
}

// Asks the agents in order until one gives an answer worth keeping.  An
// agent that does not answer, or does not serve the scope or is busy, makes
// way for the next.
SLPError AskFirstAgent(Handle& h, Message& req, Message* reply) {
  std::vector<sockaddr_in> agents = AgentsToAsk(h.lang);
  if (agents.empty()) return SLP_NETWORK_INIT_FAILED;
  SLPError result = SLP_NETWORK_TIMED_OUT;
  bool all_refused = true;
  bool got_error = false;
  for (const sockaddr_in& agent : agents) {
    Outcome o = Exchange(h, agent, req, reply);
    if (o != Outcome::kRefused) all_refused = false;
    if (o != Outcome::kReply) continue;
    uint16_t err = ReplyError(*reply);
    if (err == error::kScopeNotSupported || err == error::kDaBusyNow) {
      if (!got_error) result = ApiErrorFromWire(err);
      got_error = true;
      continue;
    }
    return ApiErrorFromWire(err);
  }
  if (!got_error && all_refused) result = SLP_NETWORK_ERROR;
  if (!got_error && ConfiguredAgents().empty()) ForgetDiscoveredAgents();
  return result;
}

// Asks every agent (registrations go to all); SLP_OK when one accepted.
SLPError AskAllAgents(Handle& h, Message& req) {
  std::vector<sockaddr_in> agents = AgentsToAsk(h.lang);
  if (agents.empty()) return SLP_NETWORK_INIT_FAILED;
  SLPError first = SLP_NETWORK_TIMED_OUT;
  bool have_first = false;
  bool any_ok = false;
  for (const sockaddr_in& agent : agents) {
    Message reply;
    Outcome o = Exchange(h, agent, req, &reply);
    SLPError e = o == Outcome::kReply
                     ? ApiErrorFromWire(ReplyError(reply))
                     : (o == Outcome::kRefused ? SLP_NETWORK_ERROR
                                               : SLP_NETWORK_TIMED_OUT);
    if (e == SLP_OK) any_ok = true;
    if (!have_first || (first == SLP_NETWORK_TIMED_OUT && o == Outcome::kReply)) {
      first = e;
      have_first = true;
    }
  }
  return any_ok ? SLP_OK : first;
}

std::string ScopesOr(const char* given) {
  if (given && *given) return given;
  std::string s = PropertyString("net.slp.useScopes");
  return s.empty() ? "DEFAULT" : s;
}

// Type of a URL: "service:a:b" for "service:a:b://host", else the scheme.
std::string TypeOfUrl(const std::string& url) {
  size_t sep = url.find("://");
  if (sep == std::string::npos) return "";
  return url.substr(0, sep);
}

Handle* AsHandle(SLPHandle h) { return static_cast<Handle*>(h); }

char* CopyToMalloc(const std::string& s) {
  char* p = static_cast<char*>(std::malloc(s.size() + 1));
  if (p) std::memcpy(p, s.c_str(), s.size() + 1);
  return p;
}

bool IsReserved(unsigned char c) {
  return c < 0x20 || c == 0x7F || std::strchr("(),\\!<=>~", c) != nullptr;
}
bool IsBadTagChar(unsigned char c) {
  return c == '*' || c == '_' || c == '\r' || c == '\n' || c == '\t';
}

}  // namespace

void ForgetDiscoveredAgents() {
  Discovered& d = DiscoveredAgents();
  std::lock_guard<std::mutex> lock(d.mu);
  d.agents.clear();
}

}  // namespace slp
}  // namespace orvel

using orvel::slp::AsHandle;
using orvel::slp::BusyGuard;
using orvel::slp::Handle;
using orvel::slp::Message;

extern "C" {

SLPError SLPOpen(const char* pcLang, SLPBoolean isAsync, SLPHandle* phSLP) {
  if (phSLP == nullptr) return SLP_PARAMETER_BAD;
  *phSLP = nullptr;
  if (isAsync == SLP_TRUE) return SLP_NOT_IMPLEMENTED;
  // Ownership passes to the caller through the C API; SLPClose deletes.
  auto h = new (std::nothrow) Handle;
  if (!h) return SLP_MEMORY_ALLOC_FAILED;
  h->lang = (pcLang && *pcLang) ? pcLang : orvel::slp::PropertyString("net.slp.locale");
  if (h->lang.empty()) h->lang = "en";
  h->udp = orvel::slp::Socket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!h->udp.valid()) {
    delete h;
    return SLP_NETWORK_INIT_FAILED;
  }
  *phSLP = h;
  return SLP_OK;
}

void SLPClose(SLPHandle hSLP) { delete AsHandle(hSLP); }

SLPError SLPFindSrvs(SLPHandle hSLP, const char* pcServiceType,
                     const char* pcScopeList, const char* pcSearchFilter,
                     SLPSrvURLCallback callback, void* pvCookie) {
  using namespace orvel::slp;
  Handle* h = AsHandle(hSLP);
  if (!h || !pcServiceType || !*pcServiceType || !callback)
    return SLP_PARAMETER_BAD;
  BusyGuard busy(h);
  if (!busy.owned()) return SLP_HANDLE_IN_USE;
  Message req;
  SrvRqst rq;
  rq.service_type = pcServiceType;
  rq.scopes = ScopesOr(pcScopeList);
  rq.predicate = pcSearchFilter ? pcSearchFilter : "";
  req.body = rq;
  Message reply;
  SLPError err = AskFirstAgent(*h, req, &reply);
  if (err != SLP_OK) {
    callback(hSLP, nullptr, 0, err, pvCookie);
    return err;
  }
  if (const SrvRply* r = std::get_if<SrvRply>(&reply.body)) {
    for (const UrlEntry& e : r->urls) {
      if (callback(hSLP, e.url.c_str(), e.lifetime, SLP_OK, pvCookie) == SLP_FALSE)
        return SLP_OK;
    }
  } else if (const DAAdvert* ad = std::get_if<DAAdvert>(&reply.body)) {
    if (callback(hSLP, ad->url.c_str(), 0xFFFF, SLP_OK, pvCookie) == SLP_FALSE)
      return SLP_OK;
  }
  callback(hSLP, nullptr, 0, SLP_LAST_CALL, pvCookie);
  return SLP_OK;
}

SLPError SLPFindAttrs(SLPHandle hSLP, const char* pcURLOrServiceType,
                      const char* pcScopeList, const char* pcAttrIds,
                      SLPAttrCallback callback, void* pvCookie) {
  using namespace orvel::slp;
  Handle* h = AsHandle(hSLP);
  if (!h || !pcURLOrServiceType || !*pcURLOrServiceType || !callback)
    return SLP_PARAMETER_BAD;
  BusyGuard busy(h);
  if (!busy.owned()) return SLP_HANDLE_IN_USE;
  Message req;
  AttrRqst rq;
  rq.url = pcURLOrServiceType;
  rq.scopes = ScopesOr(pcScopeList);
  rq.tags = pcAttrIds ? pcAttrIds : "";
  req.body = rq;
  Message reply;
  SLPError err = AskFirstAgent(*h, req, &reply);
  if (err != SLP_OK) {
    callback(hSLP, nullptr, err, pvCookie);
    return err;
  }
  // ExpectedReply has checked the function; a body of another kind would
  // be a decoder fault, answered as a parse error rather than an exception.
  const AttrRply* r = std::get_if<AttrRply>(&reply.body);
  if (r == nullptr) {
    callback(hSLP, nullptr, SLP_PARSE_ERROR, pvCookie);
    return SLP_PARSE_ERROR;
  }
  if (callback(hSLP, r->attrs.c_str(), SLP_OK, pvCookie) == SLP_FALSE)
    return SLP_OK;
  callback(hSLP, nullptr, SLP_LAST_CALL, pvCookie);
  return SLP_OK;
}

SLPError SLPFindSrvTypes(SLPHandle hSLP, const char* pcNamingAuthority,
                         const char* pcScopeList, SLPSrvTypeCallback callback,
                         void* pvCookie) {
  using namespace orvel::slp;
  Handle* h = AsHandle(hSLP);
  if (!h || !pcNamingAuthority || !callback) return SLP_PARAMETER_BAD;
  BusyGuard busy(h);
  if (!busy.owned()) return SLP_HANDLE_IN_USE;
  Message req;
  SrvTypeRqst rq;
  rq.all_authorities = std::strcmp(pcNamingAuthority, "*") == 0;
  if (!rq.all_authorities) rq.naming_authority = pcNamingAuthority;
  rq.scopes = ScopesOr(pcScopeList);
  req.body = rq;
  Message reply;
  SLPError err = AskFirstAgent(*h, req, &reply);
  if (err != SLP_OK) {
    callback(hSLP, nullptr, err, pvCookie);
    return err;
  }
  const SrvTypeRply* r = std::get_if<SrvTypeRply>(&reply.body);
  if (r == nullptr) {  // as in SLPFindAttrs
    callback(hSLP, nullptr, SLP_PARSE_ERROR, pvCookie);
    return SLP_PARSE_ERROR;
  }
  if (!r->types.empty() &&
      callback(hSLP, r->types.c_str(), SLP_OK, pvCookie) == SLP_FALSE)
    return SLP_OK;
  callback(hSLP, nullptr, SLP_LAST_CALL, pvCookie);
  return SLP_OK;
}

SLPError SLPReg(SLPHandle hSLP, const char* pcSrvURL,
                const unsigned short usLifetime, const char* pcSrvType,
                const char* pcAttrs, SLPBoolean fresh, SLPRegReport callback,
                void* pvCookie) {
  using namespace orvel::slp;
  Handle* h = AsHandle(hSLP);
  if (!h || !pcSrvURL || !*pcSrvURL || usLifetime == 0 || !callback)
    return SLP_PARAMETER_BAD;
  std::string type = (pcSrvType && *pcSrvType) ? pcSrvType : TypeOfUrl(pcSrvURL);
  if (type.empty()) return SLP_PARAMETER_BAD;
  BusyGuard busy(h);
  if (!busy.owned()) return SLP_HANDLE_IN_USE;
  Message req;
  req.header.flags = fresh == SLP_TRUE ? kFlagFresh : 0;
  SrvReg reg;
  reg.entry.lifetime = usLifetime;
  reg.entry.url = pcSrvURL;
  reg.service_type = type;
  reg.scopes = ScopesOr(nullptr);
  reg.attrs = pcAttrs ? pcAttrs : "";
  req.body = reg;
  SLPError err = AskAllAgents(*h, req);
  callback(hSLP, err, pvCookie);
  return err;
}

static SLPError Deregister(SLPHandle hSLP, const char* pcSrvURL,
                           const char* tags, SLPRegReport callback,
                           void* pvCookie) {
  using namespace orvel::slp;
  Handle* h = AsHandle(hSLP);
  if (!h || !pcSrvURL || !*pcSrvURL || !callback) return SLP_PARAMETER_BAD;
  BusyGuard busy(h);
  if (!busy.owned()) return SLP_HANDLE_IN_USE;
  Message req;
  SrvDeReg d;
  d.scopes = ScopesOr(nullptr);
  d.entry.url = pcSrvURL;
  d.tags = tags;
  req.body = d;
  SLPError err = AskAllAgents(*h, req);
  callback(hSLP, err, pvCookie);
  return err;
}

SLPError SLPDereg(SLPHandle hSLP, const char* pcSrvURL, SLPRegReport callback,
                  void* pvCookie) {
  return Deregister(hSLP, pcSrvURL, "", callback, pvCookie);
}

SLPError SLPDelAttrs(SLPHandle hSLP, const char* pcSrvURL, const char* pcAttrs,
                     SLPRegReport callback, void* pvCookie) {
  if (!pcAttrs || !*pcAttrs) return SLP_PARAMETER_BAD;
  return Deregister(hSLP, pcSrvURL, pcAttrs, callback, pvCookie);
}

SLPError SLPFindScopes(SLPHandle hSLP, char** ppcScopeList) {
  if (!hSLP || !ppcScopeList) return SLP_PARAMETER_BAD;
  *ppcScopeList = orvel::slp::CopyToMalloc(orvel::slp::ScopesOr(nullptr));
  return *ppcScopeList ? SLP_OK : SLP_MEMORY_ALLOC_FAILED;
}

unsigned short SLPGetRefreshInterval(void) { return 0; }

SLPError SLPParseSrvURL(const char* pcSrvURL, SLPSrvURL** ppSrvURL) {
  if (!pcSrvURL || !ppSrvURL) return SLP_PARAMETER_BAD;
  *ppSrvURL = nullptr;
  std::string url = pcSrvURL;
  size_t sep = url.find("://");
  if (sep == std::string::npos || sep == 0) return SLP_PARSE_ERROR;
  std::string type = url.substr(0, sep);
  std::string rest = url.substr(sep + 3);
  size_t host_end = rest.find_first_of("/;");
  std::string hostport = rest.substr(0, host_end);
  std::string part = host_end == std::string::npos ? "" : rest.substr(host_end);
  std::string host = hostport;
  int port = 0;
  size_t colon = hostport.rfind(':');
  if (colon != std::string::npos) {
    host = hostport.substr(0, colon);
    char* end = nullptr;
    unsigned long p = std::strtoul(hostport.c_str() + colon + 1, &end, 10);
    if (*end != '\0' || p > 65535) return SLP_PARSE_ERROR;
    port = static_cast<int>(p);
  }
  // One block: the struct, then the four strings.
  size_t need = sizeof(SLPSrvURL) + type.size() + host.size() + part.size() + 4;
  char* block = static_cast<char*>(std::malloc(need));
  if (!block) return SLP_MEMORY_ALLOC_FAILED;
  SLPSrvURL* u = reinterpret_cast<SLPSrvURL*>(block);
  char* p = block + sizeof(SLPSrvURL);
  auto put = [&p](const std::string& s) {
    char* start = p;
    std::memcpy(p, s.c_str(), s.size() + 1);
    p += s.size() + 1;
    return start;
  };
  u->s_pcSrvType = put(type);
  u->s_pcHost = put(host);
  u->s_iPort = port;
  u->s_pcNetFamily = put("");
  u->s_pcSrvPart = put(part);
  *ppSrvURL = u;
  return SLP_OK;
}

SLPError SLPEscape(const char* pcInbuf, char** ppcOutBuf, SLPBoolean isTag) {
  if (!pcInbuf || !ppcOutBuf) return SLP_PARAMETER_BAD;
  *ppcOutBuf = nullptr;
  std::string out;
  for (const char* c = pcInbuf; *c; ++c) {
    unsigned char uc = static_cast<unsigned char>(*c);
    if (isTag == SLP_TRUE && orvel::slp::IsBadTagChar(uc)) return SLP_PARSE_ERROR;
    if (orvel::slp::IsReserved(uc)) {
      static const char kHex[] = "0123456789ABCDEF";
      out += '\\';
      out += kHex[uc >> 4];
      out += kHex[uc & 0xF];
    } else {
      out += *c;
    }
  }
  *ppcOutBuf = orvel::slp::CopyToMalloc(out);
  return *ppcOutBuf ? SLP_OK : SLP_MEMORY_ALLOC_FAILED;
}

SLPError SLPUnescape(const char* pcInbuf, char** ppcOutBuf, SLPBoolean isTag) {
  if (!pcInbuf || !ppcOutBuf) return SLP_PARAMETER_BAD;
  *ppcOutBuf = nullptr;
  std::string out;
  auto hex = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  for (const char* c = pcInbuf; *c; ++c) {
    if (*c == '\\') {
      int hi = hex(c[1]);
      int lo = hi < 0 ? -1 : hex(c[2]);
      if (hi < 0 || lo < 0) return SLP_PARSE_ERROR;
      out += static_cast<char>(hi * 16 + lo);
      c += 2;
    } else {
      if (isTag == SLP_TRUE &&
          orvel::slp::IsBadTagChar(static_cast<unsigned char>(*c)))
        return SLP_PARSE_ERROR;
      out += *c;
    }
  }
  *ppcOutBuf = orvel::slp::CopyToMalloc(out);
  return *ppcOutBuf ? SLP_OK : SLP_MEMORY_ALLOC_FAILED;
}

void SLPFree(void* pvMem) { std::free(pvMem); }

}  // extern "C"
