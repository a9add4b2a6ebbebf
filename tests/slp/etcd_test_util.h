// etcd_test_util.h: an etcd server of the test's own on loopback (free
// ports, its own data folder, stopped with the test), orvel-slpd agents
// on it, and raw SLPv2 exchanges with them.
//
// Tests that need etcd skip when its binary is not installed
// (scripts/setup-deps.sh installs it).
#ifndef ORVEL_TESTS_SLP_ETCD_TEST_UTIL_H_
#define ORVEL_TESTS_SLP_ETCD_TEST_UTIL_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "slp/wire.h"
#include "slpd_test_util.h"
#include "testutil/process_util.h"

namespace orvel::slp::etcdtest {

// Path of the etcd binary, or "" when it is not installed.
std::string EtcdBinary();

class EtcdServer {
 public:
  EtcdServer();
  ~EtcdServer();
  // Starts etcd (again, on the same ports and data) and waits until it
  // answers a read; false after timeout_ms.
  bool Start(int timeout_ms = 15000);
  // SIGKILL, then reaps it.
  void Kill();
  std::string url() const;
  uint16_t client_port() const { return client_port_; }
  std::string Output() const;
  // Compacts the history up to the current revision; returns it, or 0.
  int64_t CompactAll();

 private:
  ::testutil::TempDir dir_;
  uint16_t client_port_;
  uint16_t peer_port_;
  std::unique_ptr<::testutil::Child> child_;
  std::string old_output_;
};

// A cluster of etcd members on loopback, each with its own ports and data
// folder, stopped with the cluster.
class EtcdCluster {
 public:
  explicit EtcdCluster(int members);
  ~EtcdCluster();
  // Starts member i (again, on the same ports and data); does not wait.
  void StartMember(int i);
  // Starts every member and waits until the cluster answers a
  // linearizable read; false after timeout_ms.
  bool Start(int timeout_ms = 20000);
  // SIGKILL, then reaps it.
  void KillMember(int i);
  std::string url(int i) const;
  // Every client URL, comma-separated, member first first.
  std::string urls(int first = 0) const;
  std::string Output() const;

 private:
  struct Member {
    uint16_t client_port = 0;
    uint16_t peer_port = 0;
    std::unique_ptr<::testutil::Child> child;
  };
  ::testutil::TempDir dir_;
  std::vector<Member> members_;
  std::string initial_cluster_;
  std::string old_output_;
};

// orvel-slpd on 127.0.0.1 with a kernel-chosen port.
// An agent of the cluster under test.
class Agent : public slpdtest::SlpdProcess {
 public:
  explicit Agent(const std::vector<std::string>& extra, int wait_ms = 10000)
      : SlpdProcess(extra, wait_ms) {}
  std::string Output() { return child().Output(); }
};

// One SrvReg over UDP (sent up to three times, each waiting wait_ms); the
// SrvAck's error, or 0xffff when nothing came.
uint16_t Register(int port, const std::string& url, const std::string& attrs, uint16_t lifetime,
                  bool fresh = true, int wait_ms = 4000);
// SrvDeReg of url, or of some of its attribute tags.
uint16_t Deregister(int port, const std::string& url, const std::string& tags = "");

struct Found {
  bool answered = false;
  uint16_t error = 0;
  std::vector<UrlEntry> urls;
  bool Has(const std::string& url) const;
  uint16_t LifetimeOf(const std::string& url) const;  // 0 when absent
};
// SrvRqst over TCP (no size limit) for type "ZemProxy" in scope default.
Found Find(int port, const std::string& predicate = "");
// AttrRqst for url; "\x01" when nothing came.
std::string Attributes(int port, const std::string& url);

}  // namespace orvel::slp::etcdtest

#endif  // ORVEL_TESTS_SLP_ETCD_TEST_UTIL_H_
