// fake_agent.h: a scripted directory agent on 127.0.0.1 for user-agent
// tests.  It listens on one UDP and one TCP port (same number) and answers
// every decoded request with what the test's handler returns.
#ifndef ORVEL_TESTS_SLP_FAKE_AGENT_H_
#define ORVEL_TESTS_SLP_FAKE_AGENT_H_

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "slp/wire.h"

namespace slptest {

// Handler result: raw datagrams (UDP) or one byte stream (TCP, the pieces
// concatenated).  Empty: stay silent.
using Handler =
    std::function<std::vector<std::string>(const orvel::slp::Message& request, bool over_tcp)>;

class FakeAgent {
 public:
  explicit FakeAgent(Handler handler);
  ~FakeAgent();
  FakeAgent(const FakeAgent&) = delete;
  FakeAgent& operator=(const FakeAgent&) = delete;

  bool ok() const { return port_ != 0; }
  unsigned short port() const { return port_; }
  // "127.0.0.1:port", as net.slp.DAAddresses takes it.
  std::string address() const;
  int udp_requests() const { return udp_requests_; }
  int tcp_requests() const { return tcp_requests_; }
  // XIDs of all UDP requests, in arrival order.
  std::vector<unsigned> udp_xids() const;

 private:
  void Run();
  void ServeTcp(int fd);

  Handler handler_;
  int udp_ = -1;
  int tcp_ = -1;
  int wake_[2] = {-1, -1};
  unsigned short port_ = 0;
  std::atomic<int> udp_requests_{0};
  std::atomic<int> tcp_requests_{0};
  mutable std::mutex mu_;
  std::vector<unsigned> xids_;
  std::thread thread_;
};

// A reply to request: same XID and language, the given body and flags.
std::string ReplyTo(const orvel::slp::Message& request, orvel::slp::Body body, uint16_t flags = 0);

// A UDP port on 127.0.0.1 that nobody listens on (bound, then closed).
unsigned short DeadUdpPort();

}  // namespace slptest

#endif  // ORVEL_TESTS_SLP_FAKE_AGENT_H_
