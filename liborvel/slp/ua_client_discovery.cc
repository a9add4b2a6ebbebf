// ua_client_discovery.cc: finding directory agents without configuration.
//
// Active: a multicast SrvRqst for service:directory-agent, repeated with the
// previous responders listed until a round brings nobody new.  Passive: a
// thread listens for unsolicited DAAdverts on the SLP group for the life of
// the process.  Both fill one process-wide cache.
#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "port/mutex.h"
#include "slp/ua_internal.h"

namespace orvel {
namespace slp {
namespace {

constexpr size_t kRecvBufferBytes = 65536;

struct Discovered {
  port::Mutex mu;
  std::vector<sockaddr_in> agents GUARDED_BY(mu);
  Clock::time_point found_at GUARDED_BY(mu);
};

Discovered& TheDiscovered() {
  static Discovered d;
  return d;
}

// The first address of net.slp.interfaces, when it is one.
bool FirstInterface(in_addr* out) {
  std::string ifs = Options()->interfaces;
  std::string first_if = Trim(ifs.substr(0, ifs.find(',')));
  return !first_if.empty() && inet_pton(AF_INET, first_if.c_str(), out) == 1;
}

Socket MulticastSender() {
  Socket s(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!s.valid()) return s;
  int ttl = Options()->multicast_ttl;
  setsockopt(s.get(), IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof(ttl));
  in_addr ifaddr;
  if (FirstInterface(&ifaddr))
    setsockopt(s.get(), IPPROTO_IP, IP_MULTICAST_IF, &ifaddr, sizeof(ifaddr));
  return s;
}

sockaddr_in GroupAddress(uint16_t port) {
  sockaddr_in group{};
  group.sin_family = AF_INET;
  group.sin_port = htons(port);
  inet_pton(AF_INET, kMulticastGroup, &group.sin_addr);
  return group;
}

// One discovery round: collects DAAdverts answering xid until round_end,
// adding new agents to *found and their senders to the PRList.
void CollectAdverts(int fd, uint16_t xid, uint16_t port, net::Deadline round_end,
                    std::vector<sockaddr_in>* found, std::string* prlist) {
  std::vector<uint8_t> buf(kRecvBufferBytes);
  while (!round_end.passed()) {
    if (net::WaitReady(fd, POLLIN, round_end) != 0) continue;
    sockaddr_in from{};
    socklen_t fl = sizeof(from);
    ssize_t n = ::recvfrom(fd, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&from), &fl);
    if (n <= 0) continue;
    Message reply;
    if (Decode(buf.data(), static_cast<size_t>(n), &reply) != WireStatus::kOk) continue;
    const DAAdvert* ad = std::get_if<DAAdvert>(&reply.body);
    if (!ad || reply.header.xid != xid || ad->error != 0 || ad->boot_timestamp == 0) continue;
    sockaddr_in agent = AgentFromAdvert(*ad, from, port);
    bool known = false;
    for (const sockaddr_in& f : *found) known = known || SameAddr(f, agent);
    if (known) continue;
    found->push_back(agent);
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &from.sin_addr, text, sizeof(text));
    if (!prlist->empty()) *prlist += ",";
    *prlist += text;
  }
}

// Passive detection.  Bound to the group address rather than INADDR_ANY,
// so it never takes unicast requests meant for an agent on the same host
// and port.
class PassiveListener {
 public:
  PassiveListener() {
    TheDiscovered();  // constructed first, so destroyed after us
    port_ = ConfiguredPort();
    Socket s = JoinGroup();
    int wake[2];
    if (!s.valid() || ::pipe2(wake, O_CLOEXEC) != 0)
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
  PassiveListener(const PassiveListener&) = delete;
  PassiveListener& operator=(const PassiveListener&) = delete;

 private:
  Socket JoinGroup() const {
    Socket s(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    int one = 1;
    setsockopt(s.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in a = GroupAddress(port_);
    ip_mreq m{};
    m.imr_multiaddr = a.sin_addr;
    if (!FirstInterface(&m.imr_interface)) m.imr_interface.s_addr = htonl(INADDR_ANY);
    if (!s.valid() || ::bind(s.get(), reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 ||
        setsockopt(s.get(), IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof(m)) != 0)
      return Socket();
    return s;
  }

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
      if (n <= 0 || Decode(buf.data(), static_cast<size_t>(n), &m) != WireStatus::kOk) continue;
      const DAAdvert* ad = std::get_if<DAAdvert>(&m.body);
      if (!ad || m.header.xid != 0 || ad->error != 0) continue;
      Heard(AgentFromAdvert(*ad, from, port_), ad->boot_timestamp != 0);
    }
  }

  static void Heard(const sockaddr_in& agent, bool alive) {
    Discovered& d = TheDiscovered();
    port::MutexLock lock(&d.mu);
    std::vector<sockaddr_in> kept;
    for (const sockaddr_in& k : d.agents)
      if (!SameAddr(k, agent)) kept.push_back(k);
    // Boot timestamp 0: the agent is going away.
    if (alive) kept.push_back(agent);
    d.agents = std::move(kept);
    d.found_at = Clock::now();
  }

  uint16_t port_ = kDefaultPort;
  Socket sock_;
  Socket wake_read_;
  Socket wake_write_;
  std::thread thread_;
};

}  // namespace

sockaddr_in AgentFromAdvert(const DAAdvert& ad, const sockaddr_in& from, uint16_t port) {
  sockaddr_in a = from;
  a.sin_port = htons(port);
  size_t slashes = ad.url.find("//");
  if (slashes != std::string::npos) {
    std::string host = ad.url.substr(slashes + 2);
    size_t stop = host.find_first_of(":/;");
    if (stop != std::string::npos) host.resize(stop);
    in_addr ia;
    if (inet_pton(AF_INET, host.c_str(), &ia) == 1 && ia.s_addr != 0) a.sin_addr = ia;
  }
  return a;
}

std::vector<sockaddr_in> DiscoverAgents(const std::string& lang) {
  std::vector<sockaddr_in> found;
  Socket s = MulticastSender();
  if (!s.valid()) return found;
  std::shared_ptr<const UaOptions> options = Options();
  uint16_t port = options->port;
  sockaddr_in group = GroupAddress(port);
  const std::vector<int>& rounds = options->da_discovery_timeouts_ms;
  net::Deadline overall = net::Deadline::AfterMs(options->multicast_max_wait_ms);

  Message req;
  req.header.lang = lang;
  req.header.xid = NewXid();
  req.header.flags = kFlagRequestMcast;
  SrvRqst rq;
  rq.service_type = "service:directory-agent";
  rq.scopes = options->use_scopes;
  for (int round_ms : rounds) {
    if (overall.passed()) break;
    req.body = rq;
    std::string bytes = Encode(req);
    if (bytes.empty() || bytes.size() > kDefaultMaxDatagramBytes) break;
    if (::sendto(s.get(), bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&group),
                 sizeof(group)) < 0)
      break;
    size_t before = found.size();
    net::Deadline round_end = net::Deadline::At(
        std::min(overall.at(), Clock::now() + std::chrono::milliseconds(round_ms)));
    CollectAdverts(s.get(), req.header.xid, port, round_end, &found, &rq.prlist);
    if (found.size() == before && !found.empty()) break;
  }
  return found;
}

void StartPassiveListener() {
  static PassiveListener listener;
  (void)listener;
}

std::vector<sockaddr_in> DiscoveredAgentsSnapshot(Clock::time_point* found_at) {
  Discovered& d = TheDiscovered();
  port::MutexLock lock(&d.mu);
  *found_at = d.found_at;
  return d.agents;
}

void SetDiscoveredAgents(const std::vector<sockaddr_in>& agents) {
  Discovered& d = TheDiscovered();
  port::MutexLock lock(&d.mu);
  d.agents = agents;
  d.found_at = Clock::now();
}

void ForgetDiscoveredAgents() {
  Discovered& d = TheDiscovered();
  port::MutexLock lock(&d.mu);
  d.agents.clear();
}

}  // namespace slp
}  // namespace orvel
