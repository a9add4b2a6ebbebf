// slp_da_bench: directory agent look-ups over loopback UDP against a bare
// UDP echo round trip, both measured in the same run.
//
// 10000 registrations (5000 ZemProxy with addr/mask, 5000 CompResource with
// 3-D coordinates) go in over UDP; then the two locator predicates are
// asked one after another from one client, and the figures are printed with
// their ratios to the echo floor.  The agent runs in-process on its own
// thread with the same receive/handle/send loop as orvel-slpd.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
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

#include "slp/da_handler.h"
#include "slp/da_store.h"
#include "slp/wire.h"

namespace {

namespace slp = orvel::slp;
using Clock = std::chrono::steady_clock;

struct Sock {
  Sock() : fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {}
  ~Sock() { ::close(fd); }
  Sock(const Sock&) = delete;
  Sock& operator=(const Sock&) = delete;
  int fd;
};

int BindLoopback(int fd) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) return -1;
  socklen_t len = sizeof sa;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
  return ntohs(sa.sin_port);
}

std::atomic<bool> g_stop{false};

// handler null: echo server.
void Serve(int fd, slp::DaHandler* handler) {
  std::vector<uint8_t> buf(65536);
  while (!g_stop.load()) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    sockaddr_in from{};
    socklen_t len = sizeof from;
    ssize_t n = ::recvfrom(fd, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&from), &len);
    if (n < 0) continue;
    std::string reply =
        handler ? handler->Handle(buf.data(), static_cast<size_t>(n), ntohl(from.sin_addr.s_addr), false)
                : std::string(reinterpret_cast<char*>(buf.data()), static_cast<size_t>(n));
    ::sendto(fd, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), len);
  }
}

// One round trip; returns the reply ("" on time-out).
std::string RoundTrip(int fd, int port, const std::string& bytes) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, 2000) <= 0) return std::string();
  char buf[65536];
  ssize_t n = ::recv(fd, buf, sizeof buf, 0);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

struct Figures {
  double per_second = 0;
  double p50_us = 0;
  double p99_us = 0;
  size_t failures = 0;
};

// Latencies of one case; the cases are measured interleaved (one round
// trip of each in turn), so a busy machine slows all of them alike.
struct Series {
  std::vector<double> us;
  double total_s = 0;
  size_t failures = 0;
  Figures Result() {
    Figures f;
    std::sort(us.begin(), us.end());
    f.per_second = us.size() / total_s;
    f.p50_us = us[us.size() / 2];
    f.p99_us = us[us.size() * 99 / 100];
    f.failures = failures;
    return f;
  }
};

template <typename Check>
void Once(int fd, int port, const std::string& req, Check check, Series* s) {
  auto t0 = Clock::now();
  std::string reply = RoundTrip(fd, port, req);
  double secs = std::chrono::duration<double>(Clock::now() - t0).count();
  if (!check(reply)) ++s->failures;
  s->us.push_back(secs * 1e6);
  s->total_s += secs;
}

std::string Encode(slp::Body body, uint16_t xid, uint16_t flags = 0) {
  slp::Message m;
  m.header.xid = xid;
  m.header.flags = flags;
  m.body = std::move(body);
  return slp::Encode(m);
}

std::string AddrOf(int i) { return "10." + std::to_string(i / 250) + "." + std::to_string(i % 250) + ".1"; }

}  // namespace

int main(int argc, char** argv) {
  int count = argc > 1 ? std::atoi(argv[1]) : 20000;
  constexpr int kHalf = 5000;
  slp::DaClock clock;
  slp::RegistrationStore store("default", &clock);
  slp::DaHandler handler(&store, slp::DaConfig{});
  Sock agent_sock, echo_sock, client;
  int agent_port = BindLoopback(agent_sock.fd);
  int echo_port = BindLoopback(echo_sock.fd);
  std::thread agent(Serve, agent_sock.fd, &handler);
  std::thread echo(Serve, echo_sock.fd, nullptr);

  std::mt19937 rng(42);
  std::uniform_real_distribution<double> coord(0, 100);
  uint16_t xid = 1;
  for (int i = 0; i < 2 * kHalf; ++i) {
    slp::SrvReg r;
    r.entry.lifetime = 3600;
    r.scopes = "default";
    if (i < kHalf) {
      r.entry.url = "service:ZemProxy://" + AddrOf(i) + ":5000";
      r.service_type = "service:ZemProxy";
      r.attrs = "(addr=" + AddrOf(i) + "),(mask=255.255.255.255)";
    } else {
      r.entry.url = "service:CompResource://" + AddrOf(i);
      r.service_type = "service:CompResource";
      char c[96];
      std::snprintf(c, sizeof c, "(x-PELM-coords=%.2f %.2f %.2f)", coord(rng), coord(rng), coord(rng));
      r.attrs = c;
    }
    if (RoundTrip(client.fd, agent_port, Encode(r, xid++, slp::kFlagFresh)).empty()) {
      std::fprintf(stderr, "registration %d got no answer\n", i);
      return 1;
    }
  }
  std::printf("registrations: %zu\n", store.size());

  auto one_url = [](const std::string& reply) {
    slp::Message m;
    return slp::Decode(reply, &m) == slp::WireStatus::kOk &&
           std::get<slp::SrvRply>(m.body).urls.size() == 1;
  };
  auto p1_request = [&](int i) {
    slp::SrvRqst q;
    q.service_type = "ZemProxy";
    q.scopes = "default";
    q.predicate = "(&(addr=" + AddrOf(i % kHalf) + ")(mask=255.255.255.255))";
    return Encode(q, xid++);
  };
  auto p2_request = [&]() {
    char c[160];
    std::snprintf(c, sizeof c, "(|(foo=bar)(&(x-PELM-num=1)(x-PELM-clients=%.1f %.1f %.1f)))",
                  coord(rng), coord(rng), coord(rng));
    slp::SrvRqst q;
    q.service_type = "CompResource";
    q.scopes = "default";
    q.predicate = c;
    return Encode(q, xid++);
  };
  Series echo_s, p1_s, p2_s;
  const std::string echo_bytes(81, 'e');  // the size of a P1 request
  for (int i = 0; i < count; ++i) {
    Once(client.fd, echo_port, echo_bytes, [](const std::string& r) { return r.size() == 81; },
         &echo_s);
    Once(client.fd, agent_port, p1_request(i), one_url, &p1_s);
    Once(client.fd, agent_port, p2_request(), one_url, &p2_s);
  }
  Figures echo_f = echo_s.Result(), p1 = p1_s.Result(), p2 = p2_s.Result();
  g_stop.store(true);
  agent.join();
  echo.join();

  auto row = [&](const char* name, const Figures& f) {
    std::printf("%-26s %9.0f/s  p50 %7.1f us  p99 %7.1f us  rate/echo %.2f  failures %zu\n", name,
                f.per_second, f.p50_us, f.p99_us, f.per_second / echo_f.per_second, f.failures);
  };
  std::printf("round trips per case: %d (interleaved; rates are 1 / mean latency)\n", count);
  row("udp echo (floor)", echo_f);
  row("ZemProxy addr/mask (P1)", p1);
  row("CompResource nearest (P2)", p2);
  return p1.failures || p2.failures ? 1 : 0;
}
