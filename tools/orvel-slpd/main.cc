// orvel-slpd: SLPv2 directory agent.
//
// One UDP thread, one event loop thread for every TCP connection
// (tcp_server.h), and a housekeeping thread that saves the state file and sends
// periodic DAAdverts.  The protocol itself lives in liborvel (DaHandler);
// this file only moves bytes and parses the command line.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "etcd_replica.h"
#include "log.h"
#include "metrics.h"
#include "metrics_http.h"
#include "net/socket_io.h"
#include "options.h"
#include "slp/da_handler.h"
#include "slp/da_state.h"
#include "slp/da_store.h"
#include "slp/wire.h"
#include "tcp_server.h"

namespace {

using orvel::net::UniqueFd;
namespace slp = orvel::slp;
using orvel::slpd::Options;

constexpr int kPollMs = 200;
constexpr int kSaveEveryMs = 100;
constexpr int kAdvertEverySeconds = 3 * 3600;  // CONFIG_DA_BEAT

std::atomic<bool> g_stop{false};

sockaddr_in MakeAddr(const std::string& host, int port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, host.c_str(), &sa.sin_addr);
  return sa;
}

UniqueFd BindSocket(int type, const sockaddr_in& sa) {
  UniqueFd fd(::socket(AF_INET, type | SOCK_CLOEXEC, 0));
  if (!fd.valid()) return fd;
  int one = 1;
  ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) return UniqueFd();
  if (type == SOCK_STREAM && ::listen(fd.get(), 64) != 0) return UniqueFd();
  return fd;
}

int BoundPort(int fd) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return -1;
  return ntohs(sa.sin_port);
}

// Host text for the DAAdvert URL: the listen address, or for the wildcard
// the first non-loopback IPv4 interface address.
std::string AdvertHost(const std::string& listen) {
  if (listen != "0.0.0.0") return listen;
  std::string host = "127.0.0.1";
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return host;
  for (ifaddrs* i = list; i; i = i->ifa_next) {
    if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
    auto* sin = reinterpret_cast<sockaddr_in*>(i->ifa_addr);
    if ((ntohl(sin->sin_addr.s_addr) >> 24) == 127) continue;
    char buf[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &sin->sin_addr, buf, sizeof buf);
    host = buf;
    break;
  }
  ::freeifaddrs(list);
  return host;
}

bool IsLoopback(const std::string& listen) {
  in_addr a;
  return inet_pton(AF_INET, listen.c_str(), &a) == 1 && (ntohl(a.s_addr) >> 24) == 127;
}

void ServeUdp(int fd, slp::DaHandler* handler, bool verbose, bool async_sink) {
  std::vector<uint8_t> buf(65536);
  while (!g_stop.load()) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, kPollMs) <= 0) continue;
    sockaddr_in from{};
    socklen_t len = sizeof from;
    ssize_t n = ::recvfrom(fd, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&from), &len);
    if (n < 0) continue;
    std::string log;
    slp::HandleInfo info;
    // A registration recorded through etcd is answered from the writer's
    // thread once etcd has it, so this thread never waits for etcd.
    auto later = [fd, from, len](const std::string& reply) {
      if (reply.empty()) return;
      ::sendto(fd, reply.data(), reply.size(), MSG_NOSIGNAL,
               reinterpret_cast<const sockaddr*>(&from), len);
    };
    std::string reply =
        handler->Handle(buf.data(), static_cast<size_t>(n), ntohl(from.sin_addr.s_addr),
                        /*over_tcp=*/false, verbose ? &log : nullptr, &info,
                        async_sink ? slp::LaterReply(later) : slp::LaterReply());
    if (verbose) orvel::cli::Log(orvel::cli::LogLevel::kInfo, "%s", log.c_str());
    if (info.rate_limited) {
      std::string line = handler->reply_budget().TakeLogLine(std::chrono::steady_clock::now());
      if (!line.empty()) orvel::cli::Log(orvel::cli::LogLevel::kWarning, "%s", line.c_str());
    }
    if (!reply.empty()) {
      ::sendto(fd, reply.data(), reply.size(), MSG_NOSIGNAL,
               reinterpret_cast<const sockaddr*>(&from), len);
    }
  }
}

class StateSaver {
 public:
  StateSaver(std::string path, slp::RegistrationStore* store)
      : path_(std::move(path)), store_(store) {}
  void Mark() { saved_gen_ = store_->generation(); }
  // Saves when the store changed since the last successful save.  A
  // failure (e.g. a full disk) is reported once; the agent keeps serving
  // from memory and tries again on the next round.
  void MaybeSave(bool force) {
    if (path_.empty()) return;
    uint64_t gen = store_->generation();
    if (!force && gen == saved_gen_) return;
    std::string err = slp::WriteFileAtomic(path_, store_->Snapshot());
    (err.empty() ? saves_ : failures_).fetch_add(1, std::memory_order_relaxed);
    if (err.empty()) {
      if (failing_)
        orvel::cli::Log(orvel::cli::LogLevel::kNotice, "state saved again to %s", path_.c_str());
      failing_ = false;
      saved_gen_ = gen;
    } else if (!failing_) {
      orvel::cli::Log(orvel::cli::LogLevel::kError, "cannot save state: %s (serving from memory)",
                      err.c_str());
      failing_ = true;
    }
  }
  // Saves done and failed so far; read from any thread.
  uint64_t saves() const { return saves_.load(std::memory_order_relaxed); }
  uint64_t failures() const { return failures_.load(std::memory_order_relaxed); }

 private:
  std::string path_;
  slp::RegistrationStore* store_;
  uint64_t saved_gen_ = 0;
  bool failing_ = false;
  std::atomic<uint64_t> saves_{0};
  std::atomic<uint64_t> failures_{0};
};

// Loads the state file and proves at once that it can be written: an
// operator who named a folder that does not exist or cannot be written
// learns it now, not when the first registration is lost at a restart.
bool LoadState(const std::string& path, slp::RegistrationStore* store) {
  std::string content;
  std::string err = slp::ReadStateFile(path, &content);
  if (!err.empty()) {
    orvel::cli::Log(orvel::cli::LogLevel::kError, "cannot read state file %s: %s", path.c_str(),
                    err.c_str());
    return false;
  }
  if (!content.empty()) {
    size_t n = store->Load(content);
    orvel::cli::Log(orvel::cli::LogLevel::kNotice, "%zu registrations restored from %s", n,
                    path.c_str());
  }
  err = slp::WriteFileAtomic(path, store->Snapshot());
  if (!err.empty()) {
    orvel::cli::Log(orvel::cli::LogLevel::kError, "cannot write state file %s: %s", path.c_str(),
                    err.c_str());
    return false;
  }
  return true;
}

void SendAdvert(int udp_fd, const std::string& bytes, int port) {
  sockaddr_in group = MakeAddr(slp::kMulticastGroup, port);
  ::sendto(udp_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&group),
           sizeof group);
}

// Shares registrations through etcd; false when the agent must not start.
// With --etcd-optional an unreachable etcd leaves *replica empty.
bool StartReplica(const Options& opt, slp::RegistrationStore* store, slp::DaClock* clock,
                  std::unique_ptr<orvel::etcd::Replica>* replica) {
  orvel::etcd::ReplicaOptions ro;
  ro.endpoints = opt.etcd;
  ro.prefix = opt.etcd_prefix;
  // An optional etcd is not waited for: the agent serves from memory.
  if (opt.etcd_optional) ro.start_wait_ms = 0;
  *replica = std::make_unique<orvel::etcd::Replica>(store, clock, ro, [](const std::string& line) {
    bool bad = line.rfind("etcd lost", 0) == 0 || line.rfind("etcd refused", 0) == 0;
    orvel::cli::Log(bad ? orvel::cli::LogLevel::kWarning : orvel::cli::LogLevel::kNotice, "%s",
                    line.c_str());
  });
  std::string err = (*replica)->Start();
  if (!err.empty() && !opt.etcd_optional) {
    orvel::cli::Log(orvel::cli::LogLevel::kError, "etcd unreachable at %s: %s",
                    opt.etcd_text.c_str(), err.c_str());
    return false;
  }
  if (!err.empty()) {
    orvel::cli::Log(orvel::cli::LogLevel::kWarning,
                    "etcd unreachable at %s: %s; serving from memory only "
                    "(--etcd-optional), registrations are not shared",
                    opt.etcd_text.c_str(), err.c_str());
    replica->reset();
  } else {
    orvel::cli::Log(orvel::cli::LogLevel::kNotice,
                    "etcd at %s: %zu registrations loaded from %s (revision %lld)",
                    opt.etcd_text.c_str(), (*replica)->loaded(), opt.etcd_prefix.c_str(),
                    static_cast<long long>((*replica)->revision()));
  }
  return true;
}

// Binds UDP and TCP on one port (with --port 0 the UDP socket picks it)
// and joins the SLP multicast group when listening on every interface.
bool BindListeners(const Options& opt, UniqueFd* udp, UniqueFd* tcp, int* port) {
  // The TCP twin of a kernel-picked UDP port may be taken (by a listener,
  // or as the local end of any connection, such as our own to etcd): pick
  // again.
  for (int attempt = 0;; ++attempt) {
    *udp = BindSocket(SOCK_DGRAM, MakeAddr(opt.listen, opt.port));
    if (!udp->valid()) {
      orvel::cli::Log(orvel::cli::LogLevel::kError, "bind udp %s:%d: %s", opt.listen.c_str(),
                      opt.port, std::strerror(errno));
      return false;
    }
    *port = BoundPort(udp->get());
    *tcp = BindSocket(SOCK_STREAM, MakeAddr(opt.listen, *port));
    if (tcp->valid()) break;
    int err = errno;
    if (opt.port != 0 || err != EADDRINUSE || attempt >= 20) {
      orvel::cli::Log(orvel::cli::LogLevel::kError, "bind tcp %s:%d: %s", opt.listen.c_str(), *port,
                      std::strerror(err));
      return false;
    }
  }
  if (opt.listen == "0.0.0.0") {
    // Active DA discovery arrives on the SLP multicast group.
    ip_mreq mreq{};
    inet_pton(AF_INET, slp::kMulticastGroup, &mreq.imr_multiaddr);
    mreq.imr_interface.s_addr = htonl(INADDR_ANY);
    if (::setsockopt(udp->get(), IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof mreq) != 0) {
      orvel::cli::Log(orvel::cli::LogLevel::kError, "cannot join %s: %s", slp::kMulticastGroup,
                      std::strerror(errno));
    }
  }
  return true;
}

// Until g_stop: unsolicited DAAdverts (not from loopback: nobody who would
// hear a multicast advert can reach such an agent) and state saves.
void Housekeep(int udp, slp::DaHandler* handler, StateSaver* saver, int port, bool loopback) {
  auto next_advert = std::chrono::steady_clock::now();
  while (!g_stop.load()) {
    if (!loopback && std::chrono::steady_clock::now() >= next_advert) {
      SendAdvert(udp, handler->UnsolicitedAdvert(false), port);
      next_advert += std::chrono::seconds(kAdvertEverySeconds);
    }
    saver->MaybeSave(false);
    std::this_thread::sleep_for(std::chrono::milliseconds(kSaveEveryMs));
  }
}

slp::DaConfig MakeConfig(const Options& opt, slp::RegistrationSink* sink) {
  slp::DaConfig cfg;
  in_addr self;
  inet_pton(AF_INET, opt.listen.c_str(), &self);
  cfg.self_addr = ntohl(self.s_addr);
  cfg.advert_host = AdvertHost(opt.listen);
  cfg.boot_timestamp = static_cast<uint32_t>(std::time(nullptr));
  cfg.mtu = opt.mtu;
  cfg.allow_register = opt.allow;
  cfg.sink = sink;
  cfg.refusal_log = [](const std::string& line) {
    orvel::cli::Log(orvel::cli::LogLevel::kWarning, "%s", line.c_str());
  };
  cfg.reply_budget.factor = opt.reply_factor;
  cfg.reply_budget.allowance = opt.reply_allowance;
  cfg.reply_budget.burst = opt.reply_allowance / 4;
  return cfg;
}

// What the metrics listener reads, filled in as the agent comes up; it starts
// first so that a probe sees 503 while the state loads.
struct Metered {
  std::atomic<bool> serving{false};
  std::atomic<slp::DaHandler*> handler{nullptr};
  std::atomic<const StateSaver*> saver{nullptr};
};

std::unique_ptr<orvel::metrics::MetricsServer> StartMetricsListener(const std::string& listen,
                                                                    slp::RegistrationStore* store,
                                                                    const Metered* m) {
  return orvel::slpd::StartMetrics(
      listen,
      [store, m] {
        slp::DaHandler* h = m->handler.load();
        const StateSaver* s = m->saver.load();
        if (!h || !s) return std::vector<prometheus::MetricFamily>{};
        return orvel::slpd::CollectMetrics(h->stats(), store, s->saves(), s->failures());
      },
      [m] { return m->serving.load(); });
}

// Only the main thread takes SIGTERM/SIGINT (sigwait in main).
sigset_t BlockStopSignals() {
  sigset_t sigs;
  sigemptyset(&sigs);
  sigaddset(&sigs, SIGTERM);
  sigaddset(&sigs, SIGINT);
  pthread_sigmask(SIG_BLOCK, &sigs, nullptr);
  return sigs;
}

}  // namespace

int main(int argc, char** argv) {
  orvel::cli::LogFormat log_format = orvel::cli::LogFormat::kAuto;
  Options opt = orvel::slpd::ParseArgs(argc, argv, &log_format);
  orvel::cli::InitLog("orvel-slpd", log_format);
  ::signal(SIGPIPE, SIG_IGN);
  sigset_t sigs = BlockStopSignals();

  slp::DaClock clock;
  slp::RegistrationStore store(opt.scopes, &clock);
  Metered metered;
  std::unique_ptr<orvel::metrics::MetricsServer> metrics;
  if (!opt.metrics.empty()) {
    metrics = StartMetricsListener(opt.metrics, &store, &metered);
    if (!metrics) return 1;
  }
  if (!opt.state.empty() && !LoadState(opt.state, &store)) return 1;
  std::unique_ptr<orvel::etcd::Replica> replica;
  if (!opt.etcd.empty() && !StartReplica(opt, &store, &clock, &replica)) return 1;
  UniqueFd udp, tcp;
  int port = 0;
  if (!BindListeners(opt, &udp, &tcp, &port)) return 1;
  const bool loopback = IsLoopback(opt.listen);
  slp::DaHandler handler(&store, MakeConfig(opt, replica.get()));

  StateSaver saver(opt.state, &store);
  saver.Mark();
  orvel::slpd::TcpOptions tcp_options;
  tcp_options.verbose = opt.verbose;
  tcp_options.async_sink = replica != nullptr;
  orvel::slpd::TcpServer tcp_server(tcp.get(), &handler, tcp_options);
  if (std::string err = tcp_server.Start(); !err.empty()) {
    orvel::cli::Log(orvel::cli::LogLevel::kError, "tcp: %s", err.c_str());
    return 1;
  }
  std::thread udp_thread(ServeUdp, udp.get(), &handler, opt.verbose, replica != nullptr);
  metered.saver.store(&saver);
  metered.handler.store(&handler);
  metered.serving.store(true);
  std::thread house(Housekeep, udp.get(), &handler, &saver, port, loopback);

  std::printf("orvel-slpd: listening on %s:%d\n", opt.listen.c_str(), port);
  std::fflush(stdout);

  int sig = 0;
  sigwait(&sigs, &sig);
  metered.serving.store(false);
  g_stop.store(true);
  udp_thread.join();
  tcp_server.Stop();
  house.join();
  if (!loopback) SendAdvert(udp.get(), handler.UnsolicitedAdvert(true), port);
  saver.MaybeSave(true);
  if (replica) replica->Stop();
  // Scrapes read the handler and the saver: stop them before those go.
  if (metrics) metrics->Stop();
  orvel::cli::Log(orvel::cli::LogLevel::kNotice, "stopped (signal %d)", sig);
  return 0;
}
