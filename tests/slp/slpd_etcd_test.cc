// orvel-slpd --etcd end to end: a real etcd started by the test on
// loopback with its own data folder, agents sharing it, raw SLPv2.
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "slp/etcd_test_util.h"
#include "testutil/net_util.h"

namespace orvel::slp::etcdtest {
namespace {

#define REQUIRE_ETCD()                                            \
  if (EtcdBinary().empty())                                       \
  GTEST_SKIP() << "etcd is not installed (package etcd-server); " \
                  "skipping the --etcd test"

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

const char kU1[] = "service:ZemProxy://10.0.0.1:5000";
const char kU2[] = "service:ZemProxy://10.0.0.2:5000";
const char kU3[] = "service:ZemProxy://10.0.0.3:5000";
const char kU4[] = "service:ZemProxy://10.0.0.4:5000";

// A TCP relay to etcd that the test can cut (every connection dropped,
// new ones refused) and mend, to break one agent's link while etcd and the
// other agents go on.
class Relay {
 public:
  explicit Relay(uint16_t target) : target_(target) {
    listen_fd_ = testutil::TestFd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listen_fd_.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    ::listen(listen_fd_.get(), 16);
    socklen_t len = sizeof sa;
    ::getsockname(listen_fd_.get(), reinterpret_cast<sockaddr*>(&sa), &len);
    port_ = ntohs(sa.sin_port);
    thread_ = std::thread([this] { Run(); });
  }
  ~Relay() {
    stop_ = true;
    thread_.join();
  }
  uint16_t port() const { return port_; }
  void SetOpen(bool open) { open_ = open; }

 private:
  void Run() {
    std::vector<std::pair<testutil::TestFd, testutil::TestFd>> pairs;
    while (!stop_) {
      if (!open_) pairs.clear();
      std::vector<pollfd> fds{{listen_fd_.get(), POLLIN, 0}};
      for (auto& p : pairs) {
        fds.push_back({p.first.get(), POLLIN, 0});
        fds.push_back({p.second.get(), POLLIN, 0});
      }
      if (::poll(fds.data(), fds.size(), 50) <= 0) continue;
      const size_t polled = pairs.size();  // a pair accepted below was not polled
      if (fds[0].revents & POLLIN) {
        testutil::TestFd c(::accept4(listen_fd_.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (c.valid() && open_) {
          testutil::TestFd s = testutil::ConnectLoopback(target_, 1000);
          if (s.valid()) pairs.emplace_back(std::move(c), std::move(s));
        }
      }
      std::vector<bool> dead(pairs.size(), false);
      for (size_t i = 0; i < polled; ++i) {
        for (int side = 0; side < 2; ++side) {
          if (!(fds[1 + 2 * i + side].revents & (POLLIN | POLLHUP | POLLERR))) continue;
          int from = side == 0 ? pairs[i].first.get() : pairs[i].second.get();
          int to = side == 0 ? pairs[i].second.get() : pairs[i].first.get();
          char buf[16384];
          ssize_t n = ::read(from, buf, sizeof buf);
          if (n <= 0 || !testutil::SendAll(to, std::string(buf, static_cast<size_t>(n)))) {
            dead[i] = true;
          }
        }
      }
      for (size_t i = pairs.size(); i-- > 0;) {
        if (dead[i]) pairs.erase(pairs.begin() + static_cast<long>(i));
      }
    }
  }

  uint16_t target_;
  testutil::TestFd listen_fd_;
  uint16_t port_ = 0;
  std::atomic<bool> open_{true};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

TEST(SlpdEtcd, AgentsAnswerAlikeThroughEveryKindOfChange) {
  REQUIRE_ETCD();
  EtcdServer etcd;
  ASSERT_TRUE(etcd.Start()) << etcd.Output();
  Agent a({"--etcd", etcd.url()});
  Agent b({"--etcd", etcd.url()});
  ASSERT_GT(a.port(), 0) << a.Output();
  ASSERT_GT(b.port(), 0) << b.Output();

  // Fresh registration through A: B has it within one second, with the
  // same lifetime.
  ASSERT_EQ(Register(a.port(), kU1, "(addr=10.0.0.1),(x=1)", 300), error::kOk);
  ASSERT_TRUE(::testutil::WaitUntil([&] { return Find(b.port()).Has(kU1); }, 1000)) << b.Output();
  uint16_t la = Find(a.port()).LifetimeOf(kU1), lb = Find(b.port()).LifetimeOf(kU1);
  EXPECT_GE(la, 298);
  EXPECT_LE(std::abs(la - lb), 1);

  // Incremental update through B merges into what A registered.
  ASSERT_EQ(Register(b.port(), kU1, "(y=2)", 200, /*fresh=*/false), error::kOk);
  ASSERT_TRUE(::testutil::WaitUntil(
      [&] { return Attributes(a.port(), kU1) == "(addr=10.0.0.1),(x=1),(y=2)"; }, 1000))
      << Attributes(a.port(), kU1);
  EXPECT_LE(Find(a.port()).LifetimeOf(kU1), 200);
  // An update of an unknown URL is refused, and nothing reaches the others.
  EXPECT_EQ(Register(b.port(), kU2, "(y=2)", 200, /*fresh=*/false), error::kInvalidUpdate);

  // Partial deregistration by tag through A; the lifetime stays.
  ASSERT_EQ(Deregister(a.port(), kU1, "x"), error::kOk);
  ASSERT_TRUE(::testutil::WaitUntil(
      [&] { return Attributes(b.port(), kU1) == "(addr=10.0.0.1),(y=2)"; }, 1000))
      << Attributes(b.port(), kU1);
  EXPECT_GE(Find(b.port()).LifetimeOf(kU1), 190);
  EXPECT_LE(Find(b.port()).LifetimeOf(kU1), 200);
  EXPECT_TRUE(Find(b.port(), "(x=1)").urls.empty());

  // A short lifetime runs out on every agent.
  ASSERT_EQ(Register(b.port(), kU2, "(addr=10.0.0.2)", 2), error::kOk);
  ASSERT_TRUE(::testutil::WaitUntil([&] { return Find(a.port()).Has(kU2); }, 1000));
  EXPECT_TRUE(::testutil::WaitUntil(
      [&] { return !Find(a.port()).Has(kU2) && !Find(b.port()).Has(kU2); }, 4000));

  // A whole deregistration through B empties A.
  ASSERT_EQ(Register(a.port(), kU3, "(addr=10.0.0.3)", 600), error::kOk);
  ASSERT_EQ(Deregister(b.port(), kU1), error::kOk);
  ASSERT_TRUE(::testutil::WaitUntil([&] { return !Find(a.port()).Has(kU1); }, 1000));
  EXPECT_TRUE(Find(a.port()).Has(kU3));

  // An agent started later loads the same registrations and lifetimes.
  Agent c({"--etcd", etcd.url()});
  ASSERT_GT(c.port(), 0) << c.Output();
  EXPECT_TRUE(c.child().WaitForOutput("1 registrations loaded", 1000)) << c.Output();
  Found fc = Find(c.port());
  ASSERT_EQ(fc.urls.size(), 1u);
  EXPECT_LE(std::abs(fc.LifetimeOf(kU3) - Find(a.port()).LifetimeOf(kU3)), 1);
  EXPECT_EQ(Attributes(c.port(), kU3), "(addr=10.0.0.3)");
  EXPECT_EQ(a.Stop(), 0);
  EXPECT_EQ(b.Stop(), 0);
  EXPECT_EQ(c.Stop(), 0);
}

TEST(SlpdEtcd, LossRefusesRegistrationsKeepsLookUpsAndIsLoggedOnce) {
  REQUIRE_ETCD();
  EtcdServer etcd;
  ASSERT_TRUE(etcd.Start()) << etcd.Output();
  Agent a({"--etcd", etcd.url()});
  ASSERT_GT(a.port(), 0) << a.Output();
  ASSERT_EQ(Register(a.port(), kU1, "(addr=10.0.0.1)", 600), error::kOk);

  etcd.Kill();
  EXPECT_TRUE(a.child().WaitForOutput("etcd lost", 3000)) << a.Output();
  EXPECT_TRUE(Find(a.port()).Has(kU1));
  EXPECT_EQ(Register(a.port(), kU2, "(addr=10.0.0.2)", 600), error::kDaBusyNow);
  EXPECT_EQ(Deregister(a.port(), kU1), error::kDaBusyNow);
  EXPECT_TRUE(Find(a.port()).Has(kU1));  // never changed in memory only
  EXPECT_FALSE(Find(a.port()).Has(kU2));
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));  // several failed probes

  ASSERT_TRUE(etcd.Start()) << etcd.Output();
  EXPECT_TRUE(a.child().WaitForOutput("etcd back", 5000)) << a.Output();
  ASSERT_TRUE(::testutil::WaitUntil(
      [&] { return Register(a.port(), kU2, "(addr=10.0.0.2)", 600) == error::kOk; }, 5000));
  EXPECT_TRUE(Find(a.port()).Has(kU1));
  EXPECT_TRUE(Find(a.port()).Has(kU2));
  EXPECT_EQ(Count(a.Output(), "etcd lost"), 1u) << a.Output();
  EXPECT_EQ(Count(a.Output(), "etcd back"), 1u) << a.Output();

  // What was acknowledged is in etcd: a new agent sees both.
  Agent b({"--etcd", etcd.url()});
  ASSERT_GT(b.port(), 0) << b.Output();
  EXPECT_EQ(Find(b.port()).urls.size(), 2u);
  EXPECT_EQ(a.Stop(), 0);
}

TEST(SlpdEtcd, UnreachableAtStartExitsUnlessOptional) {
  REQUIRE_ETCD();
  std::string nowhere = "http://127.0.0.1:" + std::to_string(::testutil::FreeLoopbackPort());
  const std::string slpd = ::testutil::BuildPath("tools/orvel-slpd/orvel-slpd");
  ::testutil::ProgramRun strict = ::testutil::RunProgram(
      {slpd, "--listen", "127.0.0.1", "--port", "0", "--etcd", nowhere}, 10000);
  ASSERT_GE(strict.exit_code, 0) << strict.output;
  EXPECT_EQ(strict.exit_code, 1);
  EXPECT_NE(strict.output.find("orvel-slpd: etcd unreachable at " + nowhere), std::string::npos)
      << strict.output;
  EXPECT_EQ(strict.output.find("listening on"), std::string::npos);

  Agent optional({"--etcd", nowhere, "--etcd-optional"});
  ASSERT_GT(optional.port(), 0) << optional.Output();
  EXPECT_NE(optional.Output().find("serving from memory only (--etcd-optional)"), std::string::npos)
      << optional.Output();
  EXPECT_EQ(Register(optional.port(), kU1, "(addr=10.0.0.1)", 60), error::kOk);
  EXPECT_TRUE(Find(optional.port()).Has(kU1));
  EXPECT_EQ(optional.Stop(), 0);

  ::testutil::TempDir dir;
  ::testutil::ProgramRun both = ::testutil::RunProgram(
      {slpd, "--port", "0", "--etcd", nowhere, "--state", dir.path() + "/s"}, 10000);
  ASSERT_GE(both.exit_code, 0) << both.output;
  EXPECT_EQ(both.exit_code, 64);  // a wrong command line
  EXPECT_NE(both.output.find("--state and --etcd exclude each other"), std::string::npos);
}

TEST(SlpdEtcd, WatchResumesAfterABreakAndReloadsAfterCompaction) {
  REQUIRE_ETCD();
  EtcdServer etcd;
  ASSERT_TRUE(etcd.Start()) << etcd.Output();
  Relay relay(etcd.client_port());
  Agent a({"--etcd", etcd.url()});
  Agent b({"--etcd", "http://127.0.0.1:" + std::to_string(relay.port())});
  ASSERT_GT(a.port(), 0) << a.Output();
  ASSERT_GT(b.port(), 0) << b.Output();
  ASSERT_EQ(Register(a.port(), kU1, "(addr=10.0.0.1)", 600), error::kOk);
  ASSERT_TRUE(::testutil::WaitUntil([&] { return Find(b.port()).Has(kU1); }, 1000));

  // B is cut off while A changes three things.
  relay.SetOpen(false);
  ASSERT_TRUE(b.child().WaitForOutput("etcd lost", 3000)) << b.Output();
  ASSERT_EQ(Register(a.port(), kU2, "(addr=10.0.0.2)", 600), error::kOk);
  ASSERT_EQ(Register(a.port(), kU3, "(addr=10.0.0.3)", 600), error::kOk);
  ASSERT_EQ(Deregister(a.port(), kU1), error::kOk);
  EXPECT_TRUE(Find(b.port()).Has(kU1));  // B still answers from its copy
  relay.SetOpen(true);
  ASSERT_TRUE(b.child().WaitForOutput("etcd back", 5000)) << b.Output();
  ASSERT_TRUE(::testutil::WaitUntil(
      [&] {
        Found f = Find(b.port());
        return f.urls.size() == 2 && f.Has(kU2) && f.Has(kU3);
      },
      2000));
  EXPECT_EQ(b.Output().find("compacted"), std::string::npos);

  // Cut again; this time the history B would resume from is compacted away.
  relay.SetOpen(false);
  ASSERT_TRUE(::testutil::WaitUntil([&] { return Count(b.Output(), "etcd lost") == 2; }, 3000))
      << b.Output();
  ASSERT_EQ(Register(a.port(), kU4, "(addr=10.0.0.4)", 600), error::kOk);
  ASSERT_EQ(Deregister(a.port(), kU2), error::kOk);
  ASSERT_GT(etcd.CompactAll(), 0);
  relay.SetOpen(true);
  ASSERT_TRUE(b.child().WaitForOutput("compacted", 5000)) << b.Output();
  ASSERT_TRUE(::testutil::WaitUntil(
      [&] {
        Found f = Find(b.port());
        return f.urls.size() == 2 && f.Has(kU3) && f.Has(kU4);
      },
      2000))
      << b.Output();
  EXPECT_TRUE(::testutil::WaitUntil([&] { return Count(b.Output(), "etcd back") == 2; }, 3000))
      << b.Output();
  EXPECT_EQ(Register(b.port(), kU1, "(addr=10.0.0.1)", 600), error::kOk);
  EXPECT_TRUE(::testutil::WaitUntil([&] { return Find(a.port()).Has(kU1); }, 1000));
}

}  // namespace
}  // namespace orvel::slp::etcdtest

namespace orvel::slp::etcdtest {
namespace {

// The index of the member that leads the cluster now, or -1.
int LeaderOf(const EtcdCluster& cluster, int members) {
  for (int i = 0; i < members; ++i) {
    const std::string body = "{}";
    const std::string port = cluster.url(i).substr(cluster.url(i).rfind(':') + 1);
    std::string resp = testutil::Exchange(
        static_cast<uint16_t>(std::atoi(port.c_str())),
        "POST /v3/maintenance/status HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n"
        "Content-Length: 2\r\n\r\n" +
            body,
        false, 2000);
    auto field = [&](const std::string& name) {
      size_t at = resp.find("\"" + name + "\":\"");
      return at == std::string::npos
                 ? std::string()
                 : resp.substr(at + name.size() + 4,
                               resp.find('"', at + name.size() + 4) - (at + name.size() + 4));
    };
    if (!field("leader").empty() && field("leader") == field("member_id")) return i;
  }
  return -1;
}

// Registers through two agents from several threads at once, until
// stopped; counts what was refused or never answered and keeps what was
// acknowledged.
class Load {
 public:
  Load(int port_a, int port_b) {
    for (int t = 0; t < kThreads; ++t) {
      threads_.emplace_back([this, t, port_a, port_b] {
        for (int n = 0; !stop_.load(); ++n) {
          std::string url = "service:ZemProxy://10." + std::to_string(t) + "." +
                            std::to_string(n / 250) + "." + std::to_string(n % 250) + ":5000";
          auto t0 = std::chrono::steady_clock::now();
          uint16_t code = Register(n % 2 ? port_b : port_a, url, "(n=1)", 600, true, 4000);
          auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - t0)
                        .count();
          std::lock_guard<std::mutex> lock(mu_);
          slowest_ms_ = std::max<long>(slowest_ms_, static_cast<long>(ms));
          if (code == error::kOk) {
            acked_.push_back(url);
          } else if (code == 0xffff) {
            ++unanswered_;
          } else {
            ++refused_;
          }
        }
      });
    }
  }
  ~Load() { Stop(); }
  void Stop() {
    stop_ = true;
    for (std::thread& t : threads_) {
      if (t.joinable()) t.join();
    }
  }
  std::vector<std::string> acked() {
    std::lock_guard<std::mutex> lock(mu_);
    return acked_;
  }
  int refused() {
    std::lock_guard<std::mutex> lock(mu_);
    return refused_;
  }
  int unanswered() {
    std::lock_guard<std::mutex> lock(mu_);
    return unanswered_;
  }
  long slowest_ms() {
    std::lock_guard<std::mutex> lock(mu_);
    return slowest_ms_;
  }

 private:
  static constexpr int kThreads = 4;
  std::atomic<bool> stop_{false};
  std::mutex mu_;
  std::vector<std::string> acked_;
  int refused_ = 0, unanswered_ = 0;
  long slowest_ms_ = 0;
  std::vector<std::thread> threads_;  // last: started once the rest is set up
};

// Registrations flow through two agents while first the member agent A
// talks to (a follower) and then, once it is back, the leader (which B
// talks to) is killed: nothing is refused, nothing acknowledged is lost.
TEST(SlpdEtcd, LosingOneOfThreeMembersRefusesAndLosesNothing) {
  REQUIRE_ETCD();
  EtcdCluster cluster(3);
  ASSERT_TRUE(cluster.Start()) << cluster.Output();
  int leader = -1;
  ASSERT_TRUE(::testutil::WaitUntil([&] { return (leader = LeaderOf(cluster, 3)) >= 0; }, 5000));
  const int follower = (leader + 1) % 3;
  Agent a({"--etcd", cluster.urls(follower)});
  Agent b({"--etcd", cluster.urls(leader)});
  ASSERT_GT(a.port(), 0) << a.Output();
  ASSERT_GT(b.port(), 0) << b.Output();

  Load load(a.port(), b.port());
  auto pause = [](int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); };
  pause(500);
  const size_t before = load.acked().size();
  cluster.KillMember(follower);
  pause(2000);
  cluster.StartMember(follower);
  pause(2000);
  cluster.KillMember(leader);
  pause(2500);
  load.Stop();

  const std::vector<std::string> acked = load.acked();
  std::printf(
      "acknowledged %zu (%zu after the first kill), refused %d, unanswered %d, "
      "slowest %ld ms\n",
      acked.size(), acked.size() - before, load.refused(), load.unanswered(), load.slowest_ms());
  EXPECT_EQ(load.refused(), 0) << a.Output() << b.Output();
  EXPECT_EQ(load.unanswered(), 0) << a.Output() << b.Output();
  EXPECT_GT(acked.size(), before) << "nothing was registered after the kill";
  // Nothing acknowledged is missing, on either agent.
  for (int port : {a.port(), b.port()}) {
    size_t missing = acked.size();
    EXPECT_TRUE(::testutil::WaitUntil(
        [&] {
          Found f = Find(port);
          missing = 0;
          for (const std::string& url : acked) missing += f.Has(url) ? 0 : 1;
          return f.answered && missing == 0;
        },
        5000))
        << missing << " of " << acked.size() << " acknowledged registrations missing on port "
        << port;
  }
  EXPECT_EQ(a.Stop(), 0);
  EXPECT_EQ(b.Stop(), 0);
}

TEST(SlpdEtcd, AgentStartedWithoutALeaderWaitsForOne) {
  REQUIRE_ETCD();
  EtcdCluster cluster(3);
  cluster.StartMember(0);  // one of three: no quorum, no leader
  const uint16_t port0 = static_cast<uint16_t>(
      std::atoi(cluster.url(0).substr(cluster.url(0).rfind(':') + 1).c_str()));
  ASSERT_TRUE(
      ::testutil::WaitUntil([&] { return testutil::ConnectLoopback(port0, 200).valid(); }, 10000));
  Agent a({"--etcd", cluster.urls(0)}, /*wait_ms=*/1500);
  EXPECT_EQ(a.port(), 0) << a.Output();
  ASSERT_TRUE(a.child().WaitForOutput("no leader yet", 8000)) << a.Output();
  EXPECT_TRUE(a.child().Running()) << a.Output();
  cluster.StartMember(1);
  ASSERT_TRUE(a.child().WaitForOutput("listening on", 20000)) << a.Output() << cluster.Output();
  EXPECT_NE(a.Output().find("0 registrations loaded"), std::string::npos) << a.Output();
}

}  // namespace
}  // namespace orvel::slp::etcdtest
