// slp_bench: lookup rate and latency of the proxy locator's two SLP
// queries against orvel-slpd on loopback, next to a bare UDP echo round
// trip (the floor any UDP request/reply can reach on this host).
//
// usage: slp_bench [PATH-TO-orvel-slpd] [REGISTRATIONS] [LOOKUPS]
// The agent is started on a free 127.0.0.1 port and killed at the end.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench_net.h"
#include "orvel/SLP.h"
#include "orvel/slp_api.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Stats {
  double per_second;
  double p50_us;
  double p99_us;
};

Stats Summarise(std::vector<double> us, double total_s) {
  std::sort(us.begin(), us.end());
  auto at = [&us](double q) { return us[static_cast<size_t>(q * (us.size() - 1))]; };
  return {us.size() / total_s, at(0.50), at(0.99)};
}

template <typename F>
Stats Measure(int n, F&& once) {
  std::vector<double> us;
  us.reserve(static_cast<size_t>(n));
  auto start = Clock::now();
  for (int i = 0; i < n; ++i) {
    auto t0 = Clock::now();
    if (!once(i)) {
      std::fprintf(stderr, "slp_bench: operation %d failed\n", i);
      std::exit(1);
    }
    us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
  }
  double total = std::chrono::duration<double>(Clock::now() - start).count();
  return Summarise(std::move(us), total);
}

unsigned short FreeUdpPort() {
  int port = -1;
  orvel::bench::UniqueFd s = orvel::bench::BoundLoopback(SOCK_DGRAM, &port);
  return static_cast<unsigned short>(port);
}

// The floor: one datagram of the size of a host lookup, echoed back.
Stats UdpEchoFloor(int n) {
  int srv_port = -1;
  orvel::bench::UniqueFd srv_fd = orvel::bench::BoundLoopback(SOCK_DGRAM, &srv_port);
  const int srv = srv_fd.get();
  const sockaddr_in a = orvel::bench::Loopback(srv_port);
  std::atomic<bool> stop{false};
  std::thread echo([&] {
    char buf[2048];
    while (!stop) {
      pollfd p{srv, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      sockaddr_in from{};
      socklen_t fl = sizeof(from);
      ssize_t r = recvfrom(srv, buf, sizeof(buf), 0, reinterpret_cast<sockaddr*>(&from), &fl);
      if (r > 0)
        sendto(srv, buf, static_cast<size_t>(r), 0, reinterpret_cast<sockaddr*>(&from), fl);
    }
  });
  orvel::bench::UniqueFd cli_fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  const int cli = cli_fd.get();
  connect(cli, reinterpret_cast<const sockaddr*>(&a), sizeof(a));
  std::string msg(81, 'x');
  Stats s = Measure(n, [&](int) {
    char buf[2048];
    if (send(cli, msg.data(), msg.size(), 0) < 0) return false;
    return recv(cli, buf, sizeof(buf), 0) == static_cast<ssize_t>(msg.size());
  });
  stop = true;
  echo.join();
  return s;
}

void Report(const char* what, const Stats& s, const Stats& floor) {
  std::printf("%-34s %10.0f/s  p50 %7.1f us  p99 %7.1f us   rate %.2f x floor, p99 %.2f x floor\n",
              what, s.per_second, s.p50_us, s.p99_us, s.per_second / floor.per_second,
              s.p99_us / floor.p99_us);
}

void KeepReport(SLPHandle, SLPError err, void* cookie) { *static_cast<SLPError*>(cookie) = err; }

SLPBoolean CountOne(SLPHandle, const char* url, unsigned short, SLPError err, void* cookie) {
  if (err == SLP_OK && url) ++*static_cast<int*>(cookie);
  return SLP_TRUE;
}

std::string HostAddr(int i) {
  return "10." + std::to_string(i / 65536 % 256) + "." + std::to_string(i / 256 % 256) + "." +
         std::to_string(i % 256);
}

// Starts the agent on loopback and points the SLP client at it alone.
pid_t StartAgent(const std::string& agent, const std::string& port_text) {
  pid_t pid = fork();
  if (pid == 0) {
    execl(agent.c_str(), agent.c_str(), "--listen", "127.0.0.1", "--port", port_text.c_str(),
          static_cast<char*>(nullptr));
    _exit(127);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  std::string da = "127.0.0.1:" + port_text;
  SLPSetProperty("net.slp.DAAddresses", da.c_str());
  SLPSetProperty("net.slp.activeDADetection", "false");
  SLPSetProperty("net.slp.passiveDADetection", "false");
  SLPSetProperty("net.slp.useScopes", "default");
  return pid;
}

// Registers `count` services: the first half ZemProxy, one host each, the
// rest CompResource at random coordinates.
Stats RegisterAll(SLPHandle h, int count, std::mt19937* rng) {
  std::uniform_real_distribution<double> coord(0, 100);
  int half = count / 2;
  return Measure(count, [&](int i) {
    SLPError reported = SLP_OK;
    if (i < half) {
      std::string a = HostAddr(i);
      return SLPReg(h, ("service:ZemProxy://" + a + ":5000").c_str(), 3600, "service:ZemProxy",
                    ("(addr=" + a + "),(mask=255.255.255.255)").c_str(), SLP_TRUE, KeepReport,
                    &reported) == SLP_OK &&
             reported == SLP_OK;
    }
    char c[64];
    std::snprintf(c, sizeof(c), "%.1f %.1f %.1f", coord(*rng), coord(*rng), coord(*rng));
    return SLPReg(h, ("service:CompResource://" + HostAddr(i + 1000000) + "/?x-PELM").c_str(), 3600,
                  "service:CompResource", (std::string("(x-PELM-coords=") + c + ")").c_str(),
                  SLP_TRUE, KeepReport, &reported) == SLP_OK &&
           reported == SLP_OK;
  });
}

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  std::string agent = argc > 1 ? argv[1] : "tools/orvel-slpd/orvel-slpd";
  int registrations = argc > 2 ? std::atoi(argv[2]) : 10000;
  int lookups = argc > 3 ? std::atoi(argv[3]) : 5000;
  unsigned short port = FreeUdpPort();
  std::string port_text = std::to_string(port);

  pid_t pid = StartAgent(agent, port_text);
  std::string da = "127.0.0.1:" + port_text;

  SLPHandle h;
  if (SLPOpen("en", SLP_FALSE, &h) != SLP_OK) return 1;
  std::mt19937 rng(42);
  std::uniform_real_distribution<double> coord(0, 100);
  int half = registrations / 2;
  Stats reg = RegisterAll(h, registrations, &rng);

  Stats floor = UdpEchoFloor(lookups * 2);
  std::uniform_int_distribution<int> pick(0, half - 1);
  Stats host_api = Measure(lookups, [&](int) {
    int found = 0;
    std::string a = HostAddr(pick(rng));
    std::string pred = "(&(addr=" + a + ")(mask=255.255.255.255))";
    return SLPFindSrvs(h, "ZemProxy", "default", pred.c_str(), CountOne, &found) == SLP_OK &&
           found == 1;
  });
  Stats host_locator = Measure(lookups, [&](int) {
    std::string a = HostAddr(pick(rng));
    SLPService s("ZemProxy", "(&(addr=" + a + ")(mask=255.255.255.255))", da, "default");
    return s.FindServices() == 1;
  });
  Stats near_locator = Measure(lookups, [&](int) {
    char c[64];
    std::snprintf(c, sizeof(c), "%.0f %.0f %.0f", coord(rng), coord(rng), coord(rng));
    SLPService s("CompResource",
                 std::string("(|(foo=bar)(&(x-PELM-num=1)(x-PELM-clients=") + c + ")))", da,
                 "default");
    return s.FindServices() == 1;
  });
  SLPClose(h);
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);

  std::printf(
      "orvel-slpd on %s, %d registrations (%d ZemProxy, %d CompResource), %d lookups each\n",
      da.c_str(), registrations, half, registrations - half, lookups);
  Report("UDP echo round trip (floor)", floor, floor);
  Report("SrvReg (SLPReg)", reg, floor);
  Report("host predicate, SLPFindSrvs", host_api, floor);
  Report("host predicate, SLPService", host_locator, floor);
  Report("nearest CompResource, SLPService", near_locator, floor);
  return 0;
}
