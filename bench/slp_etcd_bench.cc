// slp_etcd_bench: what sharing registrations through etcd costs.
//
//   slp_etcd_bench ORVEL-SLPD [ETCD] [COUNT]
//
// Starts an etcd cluster of its own on loopback (three members, free
// ports, temporary data folders, removed at the end), one orvel-slpd alone
// and one with --etcd on it, and measures both in the same run,
// interleaved one request at a time so a busy machine slows both alike:
//   registrations/s   COUNT fresh SrvRegs over UDP to each agent; the
//                     etcd-backed one acknowledges only after etcd has the
//                     registration on disk (the cost of durability)
//   look-ups/s        addr/mask SrvRqsts over UDP against the COUNT
//                     registrations; the etcd-backed agent answers from
//                     its local copy
//   registrations-64/s  5 x COUNT fresh SrvRegs with 64 in flight, each
//                     agent in turn (twice, the best of both)
// A second standalone agent, asked in the same rotation, gives the
// control ratio: how far two identical agents differ on this machine now.
// Prints one line per figure with the ratio etcd / standalone: the rate
// over the whole series, and the median round trip, which a shared
// machine's scheduling stalls disturb less.  Exit
// status 2 when etcd is not installed, 1 on any other failure.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench_net.h"
#include "bench_slp.h"
#include "slp/wire.h"

namespace {

namespace slp = orvel::slp;
using Clock = std::chrono::steady_clock;

using orvel::bench::EncodeSlp;
using orvel::bench::FreeTcpPort;
using orvel::bench::UniqueFd;

// A child process whose stdout and stderr go to a file.
struct Proc {
  pid_t pid = -1;
  std::string log;
  Proc(const std::vector<std::string>& argv, const std::string& log_path) : log(log_path) {
    pid = ::fork();
    if (pid == 0) {
      int fd = ::open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      ::dup2(fd, 1);
      ::dup2(fd, 2);
      std::vector<char*> args;
      for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
      args.push_back(nullptr);
      ::execv(args[0], args.data());
      ::_exit(127);
    }
  }
  ~Proc() {
    if (pid <= 0) return;
    ::kill(pid, SIGTERM);
    for (int i = 0; i < 50; ++i) {
      if (::waitpid(pid, nullptr, WNOHANG) == pid) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
  }
  Proc(const Proc&) = delete;
  Proc& operator=(const Proc&) = delete;
  std::string Output() const {
    FILE* f = std::fopen(log.c_str(), "r");
    if (!f) return std::string();
    std::string out;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    std::fclose(f);
    return out;
  }
  // The port after "listening on 127.0.0.1:", or 0 after 15 s.
  int ListeningPort() const {
    const std::string mark = "listening on 127.0.0.1:";
    for (int i = 0; i < 150; ++i) {
      std::string out = Output();
      size_t at = out.find(mark);
      if (at != std::string::npos) return std::atoi(out.c_str() + at + mark.size());
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return 0;
  }
};

std::string RoundTrip(int fd, int port, const std::string& bytes) {
  return orvel::bench::UdpRoundTrip(fd, port, bytes, 5000);
}

std::string AddrOf(int i) {
  return "10." + std::to_string(i / 62500) + "." + std::to_string(i / 250 % 250) + "." +
         std::to_string(i % 250 + 1);
}

// Round-trip times of one series, in seconds.
struct Series {
  std::vector<double> s;
  double Rate() const {
    double total = 0;
    for (double x : s) total += x;
    return total > 0 ? s.size() / total : 0;
  }
  double MedianUs() {
    if (s.empty()) return 0;
    std::sort(s.begin(), s.end());
    return s[s.size() / 2] * 1e6;
  }
};

// Times one request; false when the reply is missing or not what check
// wants.
template <typename Check>
bool Timed(int fd, int port, const std::string& req, Check check, Series* series) {
  auto t0 = Clock::now();
  std::string reply = RoundTrip(fd, port, req);
  series->s.push_back(std::chrono::duration<double>(Clock::now() - t0).count());
  return check(reply);
}

bool AckOk(const std::string& reply) {
  slp::Message m;
  return slp::Decode(reply, &m) == slp::WireStatus::kOk &&
         std::get_if<slp::SrvAck>(&m.body) != nullptr &&
         std::get<slp::SrvAck>(m.body).error == slp::error::kOk;
}

bool OneUrl(const std::string& reply) {
  slp::Message m;
  return slp::Decode(reply, &m) == slp::WireStatus::kOk &&
         std::get_if<slp::SrvRply>(&m.body) != nullptr &&
         std::get<slp::SrvRply>(m.body).urls.size() == 1;
}

// The etcd-backed agent; it refuses to start until etcd answers, so it is
// retried for a while.  *port is 0 when it never started.
std::unique_ptr<Proc> StartSharedAgent(const std::string& slpd, const std::string& client,
                                       const std::string& dir, int* port) {
  std::unique_ptr<Proc> shared;
  *port = 0;
  for (int attempt = 0; attempt < 30 && *port == 0; ++attempt) {
    shared = std::make_unique<Proc>(
        std::vector<std::string>{slpd, "--listen", "127.0.0.1", "--port", "0", "--etcd", client},
        dir + "/shared.log");
    *port = shared->ListeningPort();
    if (*port == 0) std::this_thread::sleep_for(std::chrono::milliseconds(300));
  }
  return shared;
}

// Registrations per second with `window` SrvRegs in flight from one
// socket; *failures counts the ones not acknowledged within 5 s.
double PipelinedRate(int port, int first, int count, int window, uint16_t* xid, int* failures) {
  UniqueFd sock(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  const sockaddr_in to = orvel::bench::Loopback(port);
  int sent = 0, done = 0;
  auto send_next = [&] {
    slp::SrvReg r;
    r.entry.lifetime = 3600;
    r.entry.url = "service:ZemProxy://" + AddrOf(first + sent) + ":5001";
    r.service_type = "service:ZemProxy";
    r.scopes = "default";
    r.attrs = "(addr=" + AddrOf(first + sent) + "),(mask=255.255.255.255)";
    std::string req = EncodeSlp(r, (*xid)++, slp::kFlagFresh);
    ::sendto(sock.get(), req.data(), req.size(), 0, reinterpret_cast<const sockaddr*>(&to),
             sizeof to);
    ++sent;
  };
  auto t0 = Clock::now();
  while (sent < count && sent - done < window) send_next();
  char buf[65536];
  while (done < count) {
    pollfd p{sock.get(), POLLIN, 0};
    if (::poll(&p, 1, 5000) <= 0) {
      *failures += count - done;
      break;
    }
    ssize_t n = ::recv(sock.get(), buf, sizeof buf, 0);
    if (n <= 0) continue;
    ++done;
    if (!AckOk(std::string(buf, static_cast<size_t>(n)))) ++*failures;
    if (sent < count) send_next();
  }
  return done / std::chrono::duration<double>(Clock::now() - t0).count();
}

// The pipelined figure: each agent in turn, twice, the best of both.
int MeasurePipelined(const int ports[3], int count, int window) {
  uint16_t xid = 40000;
  int failures = 0;
  double best[3] = {0, 0, 0};
  for (int round = 0; round < 2; ++round) {
    for (int which = 0; which < 3; ++which) {
      // Fresh keys every round, for the etcd-backed agent too.
      int first = 100000 + (round * 3 + which) * count;
      best[which] =
          std::max(best[which], PipelinedRate(ports[which], first, count, window, &xid, &failures));
    }
  }
  std::printf(
      "registrations-%d/s standalone %.0f etcd %.0f ratio %.3f control %.0f "
      "control-ratio %.3f\n",
      window, best[0], best[1], best[1] / best[0], best[2], best[2] / best[0]);
  return failures;
}

// Registers and looks up `count` services on the three agents in turn
// (standalone, etcd-backed, control) and prints the figures; the number of
// requests that failed.
int MeasureAgents(const int ports[3], int count) {
  UniqueFd sock(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  uint16_t xid = 1;
  Series reg[3], look[3];
  int failures = 0;
  for (int i = 0; i < count; ++i) {
    for (int which = 0; which < 3; ++which) {
      slp::SrvReg r;
      r.entry.lifetime = 3600;
      r.entry.url = "service:ZemProxy://" + AddrOf(i) + ":5000";
      r.service_type = "service:ZemProxy";
      r.scopes = "default";
      r.attrs = "(addr=" + AddrOf(i) + "),(mask=255.255.255.255)";
      std::string req = EncodeSlp(r, xid++, slp::kFlagFresh);
      if (!Timed(sock.get(), ports[which], req, AckOk, &reg[which])) ++failures;
    }
  }
  const int lookups = count * 5;
  for (int i = 0; i < lookups; ++i) {
    for (int which = 0; which < 3; ++which) {
      slp::SrvRqst q;
      q.service_type = "ZemProxy";
      q.scopes = "default";
      q.predicate = "(&(addr=" + AddrOf((i * 7919) % count) + ")(mask=255.255.255.255))";
      if (!Timed(sock.get(), ports[which], EncodeSlp(q, xid++), OneUrl, &look[which])) ++failures;
    }
  }
  auto line = [](const char* name, double alone, double shared, double control) {
    std::printf("%s standalone %.0f etcd %.0f ratio %.3f control %.0f control-ratio %.3f\n", name,
                alone, shared, shared / alone, control, control / alone);
  };
  line("registrations/s", reg[0].Rate(), reg[1].Rate(), reg[2].Rate());
  line("registration-p50-us", reg[0].MedianUs(), reg[1].MedianUs(), reg[2].MedianUs());
  line("look-ups/s", look[0].Rate(), look[1].Rate(), look[2].Rate());
  line("look-up-p50-us", look[0].MedianUs(), look[1].MedianUs(), look[2].MedianUs());
  failures += MeasurePipelined(ports, 5 * count, 64);
  std::printf("failures %d\n", failures);
  return failures;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: slp_etcd_bench ORVEL-SLPD [ETCD] [COUNT]\n");
    return 1;
  }
  const std::string slpd = argv[1];
  const std::string etcd_bin = argc > 2 ? argv[2] : "/usr/bin/etcd";
  const int count = argc > 3 ? std::atoi(argv[3]) : 1000;
  if (::access(etcd_bin.c_str(), X_OK) != 0) {
    std::fprintf(stderr, "slp_etcd_bench: %s is not installed (package etcd-server)\n",
                 etcd_bin.c_str());
    return 2;
  }
  char tmpl[] = "/tmp/orvel-etcd-bench.XXXXXX";
  if (!::mkdtemp(tmpl)) return 1;
  const std::string dir = tmpl;
  int rc = 1;
  {
    // Three members, as the agents are deployed; each with its own folder.
    std::vector<int> cports, pports;
    std::string cluster, client;
    for (int i = 0; i < 3; ++i) {
      cports.push_back(FreeTcpPort());
      pports.push_back(FreeTcpPort());
      cluster +=
          (i ? ",m" : "m") + std::to_string(i) + "=http://127.0.0.1:" + std::to_string(pports[i]);
      client += (i ? ",http://127.0.0.1:" : "http://127.0.0.1:") + std::to_string(cports[i]);
    }
    std::vector<std::unique_ptr<Proc>> etcd;
    for (int i = 0; i < 3; ++i) {
      const std::string c = "http://127.0.0.1:" + std::to_string(cports[i]);
      const std::string p = "http://127.0.0.1:" + std::to_string(pports[i]);
      etcd.push_back(std::make_unique<Proc>(
          std::vector<std::string>{etcd_bin, "--name", "m" + std::to_string(i), "--data-dir",
                                   dir + "/data" + std::to_string(i), "--listen-client-urls", c,
                                   "--advertise-client-urls", c, "--listen-peer-urls", p,
                                   "--initial-advertise-peer-urls", p, "--initial-cluster", cluster,
                                   "--logger", "zap", "--log-level", "error"},
          dir + "/etcd" + std::to_string(i) + ".log"));
    }
    int shared_port = 0;
    std::unique_ptr<Proc> shared = StartSharedAgent(slpd, client, dir, &shared_port);
    Proc alone({slpd, "--listen", "127.0.0.1", "--port", "0"}, dir + "/alone.log");
    int alone_port = alone.ListeningPort();
    Proc control({slpd, "--listen", "127.0.0.1", "--port", "0"}, dir + "/control.log");
    int control_port = control.ListeningPort();
    if (shared_port == 0 || alone_port == 0 || control_port == 0) {
      std::fprintf(stderr, "slp_etcd_bench: agents did not start:\n%s%s%s",
                   shared ? shared->Output().c_str() : "", alone.Output().c_str(),
                   etcd[0]->Output().c_str());
    } else {
      const int ports[3] = {alone_port, shared_port, control_port};
      rc = MeasureAgents(ports, count) == 0 ? 0 : 1;
    }
  }
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  return rc;
}
