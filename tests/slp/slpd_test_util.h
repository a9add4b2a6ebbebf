// slpd_test_util.h: what the agent tests share: an orvel-slpd child on a
// kernel-picked loopback port, and SLP exchanges with it over UDP and TCP.
//
// Everything talks to 127.0.0.1 only, and every wait is bounded.
#ifndef ORVEL_TESTS_SLP_SLPD_TEST_UTIL_H_
#define ORVEL_TESTS_SLP_SLPD_TEST_UTIL_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "slp/wire.h"
#include "testutil/process_util.h"

namespace orvel::slp::slpdtest {

// orvel-slpd --listen 127.0.0.1 --port 0 EXTRA...; port() is the one it
// announced on standard error ("listening on 127.0.0.1:PORT"), 0 when it
// did not within wait_ms.
class SlpdProcess {
 public:
  explicit SlpdProcess(const std::vector<std::string>& extra, int wait_ms = 10000);
  int port() const { return port_; }
  ::testutil::Child& child() { return *child_; }
  // SIGTERM, then the exit status (or -1 when it did not end in wait_ms).
  int Stop(int wait_ms = 10000);
  void Kill();

 private:
  std::unique_ptr<::testutil::Child> child_;
  int port_ = 0;
};

// A message with the next XID of this process.
Message MakeMessage(Body body, uint16_t flags = 0);

// Sends m over UDP and waits up to wait_ms for the reply with its XID,
// three times at most.  False when nothing came.
bool UdpExchange(int port, const Message& m, Message* reply, int wait_ms = 1000);

// One request over a TCP connection and its whole reply (3 s at most).
bool TcpExchange(int port, const Message& m, Message* reply);

}  // namespace orvel::slp::slpdtest

#endif  // ORVEL_TESTS_SLP_SLPD_TEST_UTIL_H_
