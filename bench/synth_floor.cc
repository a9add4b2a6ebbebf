// synth_floor: the bare floor of the synthesis service's work per member:
// one UDP round trip (the proxy lookup) and two one-shot loopback HTTP
// exchanges (ZemInit and ZemCommit), with messages of the sizes the service
// sends, against an in-process UDP echo and a single-threaded TCP server
// that answers with fixed bytes.  No XML is parsed or built on the way.
//
// usage: synth_floor MEMBERS [ROUNDS]
// Prints "floor_member_us X" (median over ROUNDS of one member's work).
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
#include <string>
#include <thread>
#include <vector>

#include "bench_messages.h"
#include "bench_net.h"

namespace {

using Clock = std::chrono::steady_clock;

using orvel::bench::BoundLoopback;
using orvel::bench::Loopback;
using orvel::bench::UniqueFd;

std::atomic<bool> g_stop{false};

void UdpEcho(int fd) {
  char buf[65536];
  while (!g_stop.load()) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    sockaddr_in from{};
    socklen_t len = sizeof from;
    ssize_t n = ::recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
    if (n > 0)
      ::sendto(fd, buf, static_cast<size_t>(n), 0, reinterpret_cast<sockaddr*>(&from), len);
  }
}

// Reads one request (until its terminating zero byte), writes the answer
// of the same index, closes; one connection at a time.
void TcpServer(int fd, const std::vector<std::string>* answers) {
  size_t next = 0;
  char buf[65536];
  while (!g_stop.load()) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    UniqueFd conn(::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC));
    if (!conn.valid()) continue;
    for (;;) {
      ssize_t n = ::recv(conn.get(), buf, sizeof buf, 0);
      if (n <= 0 || buf[n - 1] == '\0') break;
    }
    const std::string& a = (*answers)[next++ % answers->size()];
    (void)::send(conn.get(), a.data(), a.size(), MSG_NOSIGNAL);
  }
}

bool Exchange(int port, const std::string& request) {
  // A plain blocking connect: the floor takes no call it does not need.
  UniqueFd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const sockaddr_in to = Loopback(port);
  if (::connect(s.get(), reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) return false;
  if (::send(s.get(), request.data(), request.size(), MSG_NOSIGNAL) !=
      static_cast<ssize_t>(request.size()))
    return false;
  char buf[65536];
  size_t got = 0;
  for (;;) {
    ssize_t n = ::recv(s.get(), buf, sizeof buf, 0);
    if (n < 0) return false;
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  return got > 0;
}

bool UdpRoundTrip(int fd, int port, const std::string& bytes, size_t reply_bytes) {
  return orvel::bench::UdpRoundTrip(fd, port, bytes, 2000).size() >=
         std::min(reply_bytes, bytes.size());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fputs("usage: synth_floor MEMBERS [ROUNDS]\n", stderr);
    return 2;
  }
  const int members = std::max(1, std::atoi(argv[1]));
  const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 2000;

  int udp_port = -1;
  int tcp_port = -1;
  int client_port = -1;
  UniqueFd udp_server = BoundLoopback(SOCK_DGRAM, &udp_port);
  UniqueFd udp_client = BoundLoopback(SOCK_DGRAM, &client_port);
  UniqueFd tcp_server = BoundLoopback(SOCK_STREAM, &tcp_port);
  if (udp_port < 0 || tcp_port < 0 || ::listen(tcp_server.get(), 128) != 0) {
    std::perror("synth_floor: bind");
    return 1;
  }

  // Messages as the service exchanges them with the proxy of a member that
  // has members - 1 peers.
  std::vector<TransportEndPoint> peers;
  for (int i = 1; i < members; ++i) peers.emplace_back(htonl(0x7f000001u), 7000 + i);
  ZemInit init(1, 2, 7560);
  ZemInitOk init_ok(1, 2, htonl(0x7f000001u), 0);
  ZemCommit commit(1, 2, htonl(0xe0050607u), 7560, 0, peers);
  ZemCommitOk commit_ok(1, 2);
  const std::string init_bytes = orvel::bench::RequestBytes(init, "127.0.0.1", tcp_port);
  const std::string commit_bytes = orvel::bench::RequestBytes(commit, "127.0.0.1", tcp_port);
  const std::vector<std::string> answers = {orvel::bench::ResponseBytes(init_ok),
                                            orvel::bench::ResponseBytes(commit_ok)};
  // A service request of the locator's size, answered by one URL entry.
  const std::string lookup(96, 'q');

  std::thread echo(UdpEcho, udp_server.get());
  std::thread server(TcpServer, tcp_server.get(), &answers);
  std::vector<double> us;
  us.reserve(rounds);
  bool ok = true;
  for (int r = 0; r < rounds && ok; ++r) {
    Clock::time_point t0 = Clock::now();
    ok = UdpRoundTrip(udp_client.get(), udp_port, lookup, lookup.size()) &&
         Exchange(tcp_port, init_bytes) && Exchange(tcp_port, commit_bytes);
    us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
  }
  g_stop.store(true);
  echo.join();
  server.join();
  if (!ok) {
    std::fputs("synth_floor: an exchange failed\n", stderr);
    return 1;
  }
  std::sort(us.begin(), us.end());
  std::printf("floor_member_us %.1f\n", us[us.size() / 2]);
  return 0;
}
