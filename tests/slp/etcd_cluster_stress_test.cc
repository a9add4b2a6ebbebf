// Three agents on one etcd, registrations flowing while agents and etcd
// itself are killed with SIGKILL and restarted: every registration that was
// acknowledged must be answered by every agent afterwards.
#include <signal.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "slp/etcd_test_util.h"

namespace orvel::slp::etcdtest {
namespace {

constexpr int kAgents = 3;

// Registers through every agent in turn, from a thread of its own, until
// stopped; keeps the URLs acknowledged.
class Registrar {
 public:
  explicit Registrar(std::atomic<int>* ports) : ports_(ports), thread_([this] { Run(); }) {}
  ~Registrar() { Stop(); }

  void Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  std::set<std::string> acked() {
    std::lock_guard<std::mutex> lock(mu_);
    return acked_;
  }
  int refused() const { return refused_.load(); }
  int unanswered() const { return unanswered_.load(); }

 private:
  void Run() {
    for (int n = 0; !stop_.load(); ++n) {
      std::string url = "service:ZemProxy://10.1." + std::to_string(n / 250) + "." +
                        std::to_string(n % 250) + ":5000";
      uint16_t code = Register(ports_[n % kAgents].load(), url, "(n=" + std::to_string(n) + ")",
                               3600, true, 1000);
      if (code == error::kOk) {
        std::lock_guard<std::mutex> lock(mu_);
        acked_.insert(url);
      } else if (code == error::kDaBusyNow) {
        ++refused_;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      } else {
        ++unanswered_;
      }
    }
  }

  std::atomic<int>* ports_;
  std::atomic<bool> stop_{false};
  std::mutex mu_;
  std::set<std::string> acked_;  // guarded by mu_
  std::atomic<int> refused_{0}, unanswered_{0};
  std::thread thread_;  // last: starts once the rest is set up
};

// The agent at port answers every expected URL within 5 s; a failure names
// how many it lacks.
void ExpectAgentHasAll(int agent, int port, const std::set<std::string>& expected) {
  std::set<std::string> missing = expected;
  bool complete = ::testutil::WaitUntil(
      [&] {
        Found f = Find(port);
        if (!f.answered) return false;
        missing = expected;
        for (const UrlEntry& e : f.urls) missing.erase(e.url);
        return missing.empty();
      },
      5000);
  EXPECT_TRUE(complete) << "agent " << agent << " lacks " << missing.size() << " of "
                        << expected.size()
                        << (missing.empty() ? std::string() : ", e.g. " + *missing.begin());
}

TEST(EtcdCluster, NothingAcknowledgedIsLostWhenAgentsAndEtcdAreKilled) {
  if (EtcdBinary().empty()) {
    GTEST_SKIP() << "etcd is not installed (package etcd-server); skipping the etcd cluster test";
  }
  EtcdServer etcd;
  ASSERT_TRUE(etcd.Start()) << etcd.Output();
  std::vector<std::unique_ptr<Agent>> agents;
  std::atomic<int> ports[kAgents];
  auto start_agent = [&](int k) {
    auto fresh = std::make_unique<Agent>(std::vector<std::string>{"--etcd", etcd.url()});
    ASSERT_GT(fresh->port(), 0) << fresh->Output();
    ports[k] = fresh->port();
    agents[k] = std::move(fresh);
  };
  agents.resize(kAgents);
  for (int i = 0; i < kAgents; ++i) start_agent(i);

  Registrar registrar(ports);
  auto pause = [](int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); };
  // Round r kills agent r alone, etcd alone, then agent r + 1 and etcd at
  // once: two rounds kill every agent and etcd four times.
  for (int round = 0; round < kAgents - 1; ++round) {
    pause(400);
    agents[round]->Kill();
    start_agent(round);
    pause(400);
    etcd.Kill();
    pause(300);
    ASSERT_TRUE(etcd.Start()) << etcd.Output();
    pause(400);
    // Both at once: an agent and etcd.
    agents[(round + 1) % kAgents]->Kill();
    etcd.Kill();
    ASSERT_TRUE(etcd.Start()) << etcd.Output();
    start_agent((round + 1) % kAgents);
  }
  pause(400);
  registrar.Stop();

  const std::set<std::string> expected = registrar.acked();
  ASSERT_GT(expected.size(), 20u) << "too few registrations were acknowledged to judge";
  RecordProperty("acknowledged", static_cast<int>(expected.size()));
  std::printf("acknowledged %zu, refused while etcd was down %d, unanswered %d\n", expected.size(),
              registrar.refused(), registrar.unanswered());
  for (int i = 0; i < kAgents; ++i) ExpectAgentHasAll(i, ports[i].load(), expected);
  // The same lifetimes everywhere.
  Found f0 = Find(ports[0].load());
  for (int i = 1; i < kAgents; ++i) {
    Found fi = Find(ports[i].load());
    for (const UrlEntry& e : f0.urls) {
      EXPECT_LE(std::abs(e.lifetime - fi.LifetimeOf(e.url)), 1) << e.url << " on agent " << i;
    }
  }
}

}  // namespace
}  // namespace orvel::slp::etcdtest
