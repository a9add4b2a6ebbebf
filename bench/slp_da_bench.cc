// slp_da_bench: directory agent look-ups over loopback UDP against a bare
// UDP echo round trip, both measured in the same run.
//
// 10000 registrations (5000 ZemProxy with addr/mask, 5000 CompResource with
// 3-D coordinates) go in over UDP; then the two locator predicates are
// asked one after another from one client, and the figures are printed with
// their ratios to the echo floor.  The agent runs in-process on its own
// thread with the same receive/handle/send loop as orvel-slpd.
//
// Then, against the same agent:
//   - the ZemProxy look-up rate while another sender floods the agent
//     with AttrRqsts naming a whole service type (1000 a second), as a
//     ratio to the rate without the flood (alternating segments);
//   - the amplification one sender sees over two seconds of mixed short
//     requests (type list, type attributes, "list all", agent discovery):
//     reply bytes / request bytes;
//   - new registrations, refreshes of the same 10000 keys and their
//     deregistrations with 64 in flight, refresh and deregistration rates
//     against the new-registration rate;
//   - the time to fetch a 10000-URL answer over loopback TCP, against
//     pushing the same number of bytes through a bare TCP connection.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench_net.h"
#include "bench_slp.h"
#include "slp/da_handler.h"
#include "slp/da_store.h"
#include "slp/wire.h"

namespace {

namespace slp = orvel::slp;
using Clock = std::chrono::steady_clock;

using orvel::bench::BoundLoopback;
using orvel::bench::EncodeSlp;
using orvel::bench::UniqueFd;

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
        handler ? handler->Handle(buf.data(), static_cast<size_t>(n), ntohl(from.sin_addr.s_addr),
                                  false)
                : std::string(reinterpret_cast<char*>(buf.data()), static_cast<size_t>(n));
    ::sendto(fd, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), len);
  }
}

// One round trip; returns the reply ("" on time-out).
std::string RoundTrip(int fd, int port, const std::string& bytes) {
  return orvel::bench::UdpRoundTrip(fd, port, bytes, 2000);
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

std::string AddrOf(int i) {
  return "10." + std::to_string(i / 250) + "." + std::to_string(i % 250) + ".1";
}

// A registered proxy for host i, and a computing node at host i with the
// given coordinates (space-separated): the two kinds the service looks up.
slp::SrvReg ProxyRegistration(int i) {
  slp::SrvReg r;
  r.entry.lifetime = 3600;
  r.scopes = "default";
  r.entry.url = "service:ZemProxy://" + AddrOf(i) + ":5000";
  r.service_type = "service:ZemProxy";
  r.attrs = "(addr=" + AddrOf(i) + "),(mask=255.255.255.255)";
  return r;
}

slp::SrvReg NodeRegistration(int i, const std::string& coords) {
  slp::SrvReg r;
  r.entry.lifetime = 3600;
  r.scopes = "default";
  r.entry.url = "service:CompResource://" + AddrOf(i);
  r.service_type = "service:CompResource";
  r.attrs = "(x-PELM-coords=" + coords + ")";
  return r;
}

// Rate of P1 look-ups over `rounds` round trips (1 / mean latency).
double LookupRate(int fd, int port, int rounds, const std::function<std::string(int)>& request,
                  size_t* failures) {
  auto t0 = Clock::now();
  for (int i = 0; i < rounds; ++i) {
    std::string reply = RoundTrip(fd, port, request(i));
    slp::Message m;
    if (slp::Decode(reply, &m) != slp::WireStatus::kOk ||
        std::get<slp::SrvRply>(m.body).urls.size() != 1) {
      ++*failures;
    }
  }
  return rounds / std::chrono::duration<double>(Clock::now() - t0).count();
}

// Sends `bytes` every millisecond until stop; replies are drained.
void Flood(int port, const std::string& bytes, const std::atomic<bool>* stop) {
  UniqueFd s(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  const sockaddr_in to = orvel::bench::Loopback(port);
  auto next = Clock::now();
  char buf[65536];
  while (!stop->load()) {
    ::sendto(s.get(), bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to),
             sizeof to);
    next += std::chrono::milliseconds(1);
    while (::recv(s.get(), buf, sizeof buf, MSG_DONTWAIT) > 0) {
    }
    std::this_thread::sleep_until(next);
  }
}

// Reads one framed SLP message (what arrived when the peer stopped early).
std::string ReadFrame(int fd) {
  std::string in;
  char buf[65536];
  while (in.size() < 5 ||
         in.size() < slp::PeekLength(reinterpret_cast<const uint8_t*>(in.data()), 5)) {
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    in.append(buf, static_cast<size_t>(n));
  }
  return in;
}

// One TCP connection: read a frame, answer it (handler null: with canned),
// close.
void ServeTcpOnce(int listen_fd, slp::DaHandler* handler, const std::string* canned) {
  UniqueFd c(::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC));
  if (!c.valid()) return;
  const std::string in = ReadFrame(c.get());
  std::string reply = handler ? handler->Handle(in, 0x7f000001, /*over_tcp=*/true) : *canned;
  (void)orvel::net::WriteAll(c.get(), reply.data(), reply.size(), orvel::net::Deadline::After(10));
}

// Sends request over a fresh TCP connection and reads the framed answer;
// returns its size (0 on failure).
size_t TcpFetch(int port, const std::string& request) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const sockaddr_in to = orvel::bench::Loopback(port);
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0 ||
      ::send(fd.get(), request.data(), request.size(), MSG_NOSIGNAL) <= 0) {
    return 0;
  }
  return ReadFrame(fd.get()).size();
}

// Median milliseconds of `rounds` TCP fetches of request from a server
// thread answering with handler (null: with canned).
double TcpFetchMs(slp::DaHandler* handler, const std::string* canned, const std::string& request,
                  int rounds, size_t* bytes) {
  std::vector<double> ms;
  for (int i = 0; i < rounds; ++i) {
    int port = -1;
    UniqueFd lfd = BoundLoopback(SOCK_STREAM, &port);
    ::listen(lfd.get(), 4);
    std::thread server(ServeTcpOnce, lfd.get(), handler, canned);
    auto t0 = Clock::now();
    *bytes = TcpFetch(port, request);
    ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    server.join();
  }
  std::sort(ms.begin(), ms.end());
  return ms[ms.size() / 2];
}

constexpr int kHalf = 5000;

// The client's side of every phase: its socket, the agent's port and the
// requests it sends.
struct Client {
  int fd = -1;
  int agent_port = -1;
  uint16_t xid = 1;
  std::mt19937 rng{42};
  std::uniform_real_distribution<double> coord{0, 100};

  std::string P1(int i) {
    slp::SrvRqst q;
    q.service_type = "ZemProxy";
    q.scopes = "default";
    q.predicate = "(&(addr=" + AddrOf(i % kHalf) + ")(mask=255.255.255.255))";
    return EncodeSlp(q, xid++);
  }
  std::string P2() {
    char c[160];
    std::snprintf(c, sizeof c, "(|(foo=bar)(&(x-PELM-num=1)(x-PELM-clients=%.1f %.1f %.1f)))",
                  coord(rng), coord(rng), coord(rng));
    slp::SrvRqst q;
    q.service_type = "CompResource";
    q.scopes = "default";
    q.predicate = c;
    return EncodeSlp(q, xid++);
  }
};

// kHalf ZemProxy registrations by address, kHalf computing nodes with
// random coordinates.  False when one got no answer.
bool RegisterAll(Client* c) {
  for (int i = 0; i < 2 * kHalf; ++i) {
    slp::SrvReg r;
    if (i < kHalf) {
      r = ProxyRegistration(i);
    } else {
      char coords[64];
      std::snprintf(coords, sizeof coords, "%.2f %.2f %.2f", c->coord(c->rng), c->coord(c->rng),
                    c->coord(c->rng));
      r = NodeRegistration(i, coords);
    }
    if (RoundTrip(c->fd, c->agent_port, EncodeSlp(r, c->xid++, slp::kFlagFresh)).empty()) {
      std::fprintf(stderr, "registration %d got no answer\n", i);
      return false;
    }
  }
  return true;
}

bool OneUrl(const std::string& reply) {
  slp::Message m;
  return slp::Decode(reply, &m) == slp::WireStatus::kOk &&
         std::get<slp::SrvRply>(m.body).urls.size() == 1;
}

// The two look-ups and the echo floor, interleaved; false on failures.
bool MeasureLookups(Client* c, int echo_port, int count) {
  Series echo_s, p1_s, p2_s;
  const std::string echo_bytes(81, 'e');  // the size of a P1 request
  for (int i = 0; i < count; ++i) {
    Once(
        c->fd, echo_port, echo_bytes, [](const std::string& r) { return r.size() == 81; }, &echo_s);
    Once(c->fd, c->agent_port, c->P1(i), OneUrl, &p1_s);
    Once(c->fd, c->agent_port, c->P2(), OneUrl, &p2_s);
  }
  Figures echo_f = echo_s.Result(), p1 = p1_s.Result(), p2 = p2_s.Result();
  auto row = [&](const char* name, const Figures& f) {
    std::printf("%-26s %9.0f/s  p50 %7.1f us  p99 %7.1f us  rate/echo %.2f  failures %zu\n", name,
                f.per_second, f.p50_us, f.p99_us, f.per_second / echo_f.per_second, f.failures);
  };
  std::printf("round trips per case: %d (interleaved; rates are 1 / mean latency)\n", count);
  row("udp echo (floor)", echo_f);
  row("ZemProxy addr/mask (P1)", p1);
  row("CompResource nearest (P2)", p2);
  return p1.failures == 0 && p2.failures == 0;
}

slp::AttrRqst TypeAttrRqst() {
  slp::AttrRqst rq;
  rq.url = "ZemProxy";
  rq.scopes = "default";
  return rq;
}

// Look-ups under a steady flood of type AttrRqsts, in alternating
// segments with and without it so that machine noise hits both alike.
void MeasureUnderFlood(Client* c, int count) {
  const int rounds = std::max(count / 20, 200);
  size_t quiet_failures = 0, flood_failures = 0;
  double quiet_s = 0, flood_s = 0;
  const std::string flood_bytes = EncodeSlp(TypeAttrRqst(), 7);
  auto p1 = [c](int i) { return c->P1(i); };
  for (int segment = 0; segment < 5; ++segment) {
    quiet_s += rounds / LookupRate(c->fd, c->agent_port, rounds, p1, &quiet_failures);
    std::atomic<bool> stop_flood{false};
    std::thread flooder(Flood, c->agent_port, flood_bytes, &stop_flood);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    flood_s += rounds / LookupRate(c->fd, c->agent_port, rounds, p1, &flood_failures);
    stop_flood.store(true);
    flooder.join();
  }
  const double quiet = 5 * rounds / quiet_s, flooded = 5 * rounds / flood_s;
  std::printf("%-26s %9.0f/s  unflooded %9.0f/s  flooded/unflooded %.2f  failures %zu\n",
              "look-ups under AttrRqst flood", flooded, quiet, flooded / quiet,
              quiet_failures + flood_failures);
}

// Amplification seen by one sender: two seconds of mixed short requests.
void MeasureAmplification(int agent_port) {
  std::vector<std::string> mixed;
  slp::SrvTypeRqst types;
  types.scopes = "default";
  mixed.push_back(EncodeSlp(types, 1));
  mixed.push_back(EncodeSlp(TypeAttrRqst(), 2));
  slp::SrvRqst all;
  all.service_type = "CompResource";
  all.scopes = "default";
  mixed.push_back(EncodeSlp(all, 3));
  slp::SrvRqst da;
  da.service_type = "service:directory-agent";
  mixed.push_back(EncodeSlp(da, 4));
  // From a /24 of its own (127.0.1.1), so credit that the other phases'
  // clients saved up in 127.0.0.0/24 does not count.
  UniqueFd sender(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  sockaddr_in own{};
  own.sin_family = AF_INET;
  own.sin_addr.s_addr = htonl(0x7f000101);
  ::bind(sender.get(), reinterpret_cast<sockaddr*>(&own), sizeof own);
  size_t sent = 0, received = 0;
  auto amp_end = Clock::now() + std::chrono::seconds(2);
  for (size_t i = 0; Clock::now() < amp_end; ++i) {
    const std::string& rq = mixed[i % mixed.size()];
    sent += rq.size();
    received += RoundTrip(sender.get(), agent_port, rq).size();
  }
  std::printf("%-26s %9.2fx  (%zu reply bytes for %zu request bytes)\n",
              "udp amplification, one sender", double(received) / sent, received, sent);
}

// A 10000-URL answer over TCP against the same bytes written bare; the
// answer's size (0: it failed).
size_t MeasureTcpAnswer(slp::DaClock* clock) {
  slp::RegistrationStore bulk("default", clock);
  for (int i = 0; i < 10000; ++i) {
    slp::RegistrationInput in;
    in.url = "service:bulk://" + AddrOf(i) + ":5000";
    in.lang = "en";
    in.service_type = "service:bulk";
    in.scopes = "default";
    in.lifetime = 3600;
    bulk.Register(in);
  }
  slp::DaHandler bulk_handler(&bulk, slp::DaConfig{});
  slp::SrvRqst bulk_rq;
  bulk_rq.service_type = "bulk";
  bulk_rq.scopes = "default";
  size_t answer_bytes = 0, canned_bytes = 0;
  const std::string request = EncodeSlp(bulk_rq, 5);
  double answer_ms = TcpFetchMs(&bulk_handler, nullptr, request, 9, &answer_bytes);
  // The floor: the same bytes, already encoded, written for the same request.
  const std::string canned = bulk_handler.Handle(request, 0x7f000001, /*over_tcp=*/true);
  double floor_ms = TcpFetchMs(nullptr, &canned, request, 9, &canned_bytes);
  std::printf("%-26s %9.2f ms  (%zu bytes; bare tcp %zu bytes %.2f ms; ratio %.2f)\n",
              "10000-URL answer over tcp", answer_ms, answer_bytes, canned_bytes, floor_ms,
              answer_ms / floor_ms);
  return answer_bytes;
}

// Requests per second with `window` in flight from one socket, each
// answered by a SrvAck with error 0 (*failures counts the others).
double AckRate(int port, const std::vector<std::string>& requests, int window, size_t* failures) {
  UniqueFd sock(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  const sockaddr_in to = orvel::bench::Loopback(port);
  size_t sent = 0, done = 0;
  auto send_next = [&] {
    const std::string& r = requests[sent++];
    ::sendto(sock.get(), r.data(), r.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
  };
  auto t0 = Clock::now();
  while (sent < requests.size() && sent - done < static_cast<size_t>(window)) send_next();
  char buf[65536];
  while (done < requests.size()) {
    pollfd p{sock.get(), POLLIN, 0};
    if (::poll(&p, 1, 2000) <= 0) {
      *failures += requests.size() - done;
      break;
    }
    ssize_t n = ::recv(sock.get(), buf, sizeof buf, 0);
    if (n <= 0) continue;
    ++done;
    slp::Message m;
    if (slp::Decode(std::string(buf, static_cast<size_t>(n)), &m) != slp::WireStatus::kOk ||
        !std::holds_alternative<slp::SrvAck>(m.body) ||
        std::get<slp::SrvAck>(m.body).error != slp::error::kOk) {
      ++*failures;
    }
    if (sent < requests.size()) send_next();
  }
  return done / std::chrono::duration<double>(Clock::now() - t0).count();
}

// New registrations, refreshes of the same keys and deregistrations, 10000
// each with 64 in flight, against a fresh agent of their own; the ratios
// are against the new-registration rate (the best of three rounds each).
void MeasureRefresh(slp::DaClock* clock) {
  constexpr int kKeys = 10000;
  double best[3] = {0, 0, 0};
  size_t failures = 0;
  for (int round = 0; round < 3; ++round) {
    slp::RegistrationStore store("default", clock);
    slp::DaHandler handler(&store, slp::DaConfig{});
    int port = -1;
    UniqueFd sock = BoundLoopback(SOCK_DGRAM, &port);
    std::atomic<bool> stop{false};
    std::thread agent([&] {
      std::vector<uint8_t> buf(65536);
      while (!stop.load()) {
        pollfd p{sock.get(), POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) continue;
        sockaddr_in from{};
        socklen_t len = sizeof from;
        ssize_t n = ::recvfrom(sock.get(), buf.data(), buf.size(), 0,
                               reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0) continue;
        std::string reply =
            handler.Handle(buf.data(), static_cast<size_t>(n), ntohl(from.sin_addr.s_addr), false);
        ::sendto(sock.get(), reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from),
                 len);
      }
    });
    std::vector<std::string> regs, deregs;
    for (int i = 0; i < kKeys; ++i) {
      const slp::SrvReg r =
          i % 2 == 0 ? ProxyRegistration(i)
                     : NodeRegistration(i, std::to_string(i % 97) + " " + std::to_string(i % 89) +
                                               " " + std::to_string(i % 83));
      regs.push_back(EncodeSlp(r, static_cast<uint16_t>(i), slp::kFlagFresh));
      slp::SrvDeReg d;
      d.scopes = "default";
      d.entry.url = r.entry.url;
      deregs.push_back(EncodeSlp(d, static_cast<uint16_t>(i)));
    }
    best[0] = std::max(best[0], AckRate(port, regs, 64, &failures));
    best[1] = std::max(best[1], AckRate(port, regs, 64, &failures));
    best[2] = std::max(best[2], AckRate(port, deregs, 64, &failures));
    stop.store(true);
    agent.join();
  }
  std::printf(
      "%-26s %9.0f/s  refresh %9.0f/s  ratio %.2f  deregister %9.0f/s  ratio %.2f  "
      "failures %zu\n",
      "registrations, 64 in flight", best[0], best[1], best[1] / best[0], best[2],
      best[2] / best[0], failures);
}

}  // namespace

int main(int argc, char** argv) {
  const int count = argc > 1 ? std::atoi(argv[1]) : 20000;
  slp::DaClock clock;
  slp::RegistrationStore store("default", &clock);
  slp::DaHandler handler(&store, slp::DaConfig{});
  Client client;
  int echo_port = -1;
  int client_port = -1;
  UniqueFd agent_sock = BoundLoopback(SOCK_DGRAM, &client.agent_port);
  UniqueFd echo_sock = BoundLoopback(SOCK_DGRAM, &echo_port);
  UniqueFd client_sock = BoundLoopback(SOCK_DGRAM, &client_port);
  client.fd = client_sock.get();
  std::thread agent(Serve, agent_sock.get(), &handler);
  std::thread echo(Serve, echo_sock.get(), nullptr);
  bool ok = RegisterAll(&client);
  if (ok) {
    std::printf("registrations: %zu\n", store.size());
    ok = MeasureLookups(&client, echo_port, count);
    MeasureUnderFlood(&client, count);
    MeasureAmplification(client.agent_port);
  }
  g_stop.store(true);
  agent.join();
  echo.join();
  if (!ok) return 1;
  MeasureRefresh(&clock);
  return MeasureTcpAnswer(&clock) == 0 ? 1 : 0;
}
