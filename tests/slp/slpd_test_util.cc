#include "slpd_test_util.h"

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>

#include <atomic>
#include <cstdlib>
#include <utility>

#include "testutil/net_util.h"

namespace orvel::slp::slpdtest {

SlpdProcess::SlpdProcess(const std::vector<std::string>& extra, int wait_ms) {
  std::vector<std::string> argv = {::testutil::BuildPath("tools/orvel-slpd/orvel-slpd"), "--listen",
                                   "127.0.0.1", "--port", "0"};
  argv.insert(argv.end(), extra.begin(), extra.end());
  child_ = std::make_unique<::testutil::Child>(argv);
  const std::string mark = "listening on 127.0.0.1:";
  if (!child_->WaitForOutput(mark, wait_ms)) return;
  const std::string out = child_->Output();
  port_ = std::atoi(out.c_str() + out.find(mark) + mark.size());
}

int SlpdProcess::Stop(int wait_ms) {
  child_->Signal(SIGTERM);
  return child_->Wait(wait_ms);
}

void SlpdProcess::Kill() {
  child_->Signal(SIGKILL);
  child_->Wait(5000);
}

Message MakeMessage(Body body, uint16_t flags) {
  // Load tests build messages on several threads at once.
  static std::atomic<uint16_t> xid{100};
  Message m;
  m.header.xid = ++xid;
  m.header.flags = flags;
  m.body = std::move(body);
  return m;
}

bool UdpExchange(int port, const Message& m, Message* reply, int wait_ms) {
  testutil::TestFd s(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  const std::string bytes = Encode(m);
  const sockaddr_in to = testutil::Loopback(static_cast<uint16_t>(port));
  for (int attempt = 0; attempt < 3; ++attempt) {
    ::sendto(s.get(), bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to),
             sizeof to);
    pollfd p{s.get(), POLLIN, 0};
    while (::poll(&p, 1, wait_ms) > 0) {
      char buf[65536];
      ssize_t n = ::recv(s.get(), buf, sizeof buf, 0);
      if (n <= 0) break;
      if (Decode(std::string(buf, static_cast<size_t>(n)), reply) == WireStatus::kOk &&
          reply->header.xid == m.header.xid) {
        return true;
      }
    }
  }
  return false;
}

bool TcpExchange(int port, const Message& m, Message* reply) {
  testutil::TestFd s = testutil::ConnectLoopback(static_cast<uint16_t>(port), 2000);
  if (!s.valid() || !testutil::SendAll(s.get(), Encode(m))) return false;
  std::string in = testutil::ReadAtLeast(s.get(), 5, 3000);
  if (in.size() < 5) return false;
  const size_t want = PeekLength(reinterpret_cast<const uint8_t*>(in.data()), 5);
  if (in.size() < want) in += testutil::ReadAtLeast(s.get(), want - in.size(), 3000);
  return Decode(in, reply) == WireStatus::kOk;
}

}  // namespace orvel::slp::slpdtest
