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

TEST(EtcdCluster, NothingAcknowledgedIsLostWhenAgentsAndEtcdAreKilled) {
  if (EtcdBinary().empty()) {
    GTEST_SKIP() << "etcd is not installed (package etcd-server); skipping the etcd cluster test";
  }
  EtcdServer etcd;
  ASSERT_TRUE(etcd.Start()) << etcd.Output();
  std::mutex mu;  // agents, ports
  std::vector<std::unique_ptr<Agent>> agents;
  std::atomic<int> ports[kAgents];
  for (int i = 0; i < kAgents; ++i) {
    agents.push_back(std::make_unique<Agent>(std::vector<std::string>{"--etcd", etcd.url()}));
    ASSERT_GT(agents.back()->port(), 0) << agents.back()->Output();
    ports[i] = agents.back()->port();
  }

  // Registrations through every agent in turn, all the time.
  std::atomic<bool> stop{false};
  std::set<std::string> acked;
  std::atomic<int> refused{0}, unanswered{0};
  std::thread registrar([&] {
    for (int n = 0; !stop.load(); ++n) {
      std::string url = "service:ZemProxy://10.1." + std::to_string(n / 250) + "." +
                        std::to_string(n % 250) + ":5000";
      uint16_t code = Register(ports[n % kAgents].load(), url, "(n=" + std::to_string(n) + ")",
                               3600, true, 1000);
      if (code == error::kOk) {
        std::lock_guard<std::mutex> lock(mu);
        acked.insert(url);
      } else if (code == error::kDaBusyNow) {
        ++refused;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      } else {
        ++unanswered;
      }
    }
  });

  auto restart_agent = [&](int k) {
    auto fresh = std::make_unique<Agent>(std::vector<std::string>{"--etcd", etcd.url()});
    ASSERT_GT(fresh->port(), 0) << fresh->Output();
    ports[k] = fresh->port();
    std::lock_guard<std::mutex> lock(mu);
    agents[k] = std::move(fresh);
  };
  auto pause = [](int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); };

  for (int round = 0; round < kAgents; ++round) {
    pause(700);
    agents[round]->Kill();
    restart_agent(round);
    pause(700);
    etcd.Kill();
    pause(500);
    ASSERT_TRUE(etcd.Start()) << etcd.Output();
    pause(700);
    // Both at once: an agent and etcd.
    agents[(round + 1) % kAgents]->Kill();
    etcd.Kill();
    ASSERT_TRUE(etcd.Start()) << etcd.Output();
    restart_agent((round + 1) % kAgents);
  }
  pause(700);
  stop = true;
  registrar.join();

  std::set<std::string> expected;
  {
    std::lock_guard<std::mutex> lock(mu);
    expected = acked;
  }
  ASSERT_GT(expected.size(), 20u) << "too few registrations were acknowledged to judge";
  RecordProperty("acknowledged", static_cast<int>(expected.size()));
  std::printf("acknowledged %zu, refused while etcd was down %d, unanswered %d\n", expected.size(),
              refused.load(), unanswered.load());
  for (int i = 0; i < kAgents; ++i) {
    std::set<std::string> missing;
    bool complete = ::testutil::WaitUntil(
        [&] {
          Found f = Find(ports[i].load());
          if (!f.answered) return false;
          missing = expected;
          for (const UrlEntry& e : f.urls) missing.erase(e.url);
          return missing.empty();
        },
        5000);
    EXPECT_TRUE(complete) << "agent " << i << " lacks " << missing.size() << " of "
                          << expected.size() << ", e.g. " << *missing.begin();
  }
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
