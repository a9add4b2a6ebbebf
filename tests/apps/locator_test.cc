// Tests of ZemProxyLocator against a real directory agent on loopback, a
// temporary coordinates file and a monitor listener on a free loopback port.
//
// Each lookup runs in locator_probe, started without a controlling
// terminal and with keys on its standard input, so every pause really
// reads one key: the keys left over count the pauses.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "apps_util.h"
#include "testutil/process_util.h"

namespace {

using apps_test::DirectoryAgent;
using testutil::Child;
using testutil::ChildOptions;
using testutil::LoopbackRecorder;
using testutil::TempDir;

constexpr char kKeys[] = "abcd";

// Passes SLP datagrams between the probe and the agent and keeps the
// requests, so a test can read the exact predicate the agent was sent.
class SlpRelay {
 public:
  explicit SlpRelay(unsigned short agent_port) {
    front_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    back_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa = Loopback(0);
    socklen_t len = sizeof sa;
    bind(front_, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    getsockname(front_, reinterpret_cast<sockaddr*>(&sa), &len);
    port_ = ntohs(sa.sin_port);
    agent_ = Loopback(agent_port);
    pipe2(wake_, O_CLOEXEC);
    thread_ = std::thread([this] { Run(); });
  }
  ~SlpRelay() {
    (void)!write(wake_[1], "x", 1);
    thread_.join();
    close(front_);
    close(back_);
    close(wake_[0]);
    close(wake_[1]);
  }
  std::string Address() const { return "127.0.0.1:" + std::to_string(port_); }
  std::string Requests() const {
    std::lock_guard<std::mutex> lock(mu_);
    return requests_;
  }

 private:
  static sockaddr_in Loopback(unsigned short port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return sa;
  }
  void Run() {
    sockaddr_in client{};
    for (;;) {
      pollfd p[3] = {{front_, POLLIN, 0}, {back_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
      if (poll(p, 3, -1) < 0 || p[2].revents) return;
      char buf[65536];
      if (p[0].revents & POLLIN) {
        socklen_t len = sizeof client;
        ssize_t n =
            recvfrom(front_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&client), &len);
        if (n > 0) {
          {
            std::lock_guard<std::mutex> lock(mu_);
            requests_.append(buf, static_cast<size_t>(n));
          }
          sendto(back_, buf, static_cast<size_t>(n), 0, reinterpret_cast<sockaddr*>(&agent_),
                 sizeof agent_);
        }
      }
      if (p[1].revents & POLLIN) {
        ssize_t n = recv(back_, buf, sizeof buf, 0);
        if (n > 0) {
          sendto(front_, buf, static_cast<size_t>(n), 0, reinterpret_cast<sockaddr*>(&client),
                 sizeof client);
        }
      }
    }
  }
  int front_ = -1;
  int back_ = -1;
  int wake_[2] = {-1, -1};
  unsigned short port_ = 0;
  sockaddr_in agent_{};
  std::thread thread_;
  mutable std::mutex mu_;
  std::string requests_;
};

class Locator : public ::testing::Test {
 protected:
  void SetUp() override {
    da_ = apps_test::StartDirectoryAgent();
    ASSERT_TRUE(da_.child);
    relay_ = std::make_unique<SlpRelay>(da_.port);
    monitor_port_ = testutil::FreeLoopbackPort();
    monitor_ = std::make_unique<LoopbackRecorder>(monitor_port_);
    ASSERT_TRUE(monitor_->ok());
    dir_.WriteFile("pelm.coords",
                   "10.0.0.4 1 2 3\n"
                   "10.2.0.0 9 9 9\n");
    // Two computing nodes; the one at 1 2 3 is nearest to 10.0.0.4.
    ASSERT_TRUE(
        apps_test::Register(da_, "service:CompResource://127.0.0.6", "(x-PELM-coords=9 9 9)"));
    ASSERT_TRUE(
        apps_test::Register(da_, "service:CompResource://127.0.0.5", "(x-PELM-coords=1 2 3)"));
  }

  struct Result {
    std::string output;  // stdout and stderr of the probe
    std::string unread;  // keys not consumed
    int status = -1;
    std::string Line() const {
      size_t pos = output.rfind("RESULT ");
      return pos == std::string::npos ? "" : output.substr(pos, output.find('\n', pos) - pos);
    }
    size_t Pauses() const { return sizeof kKeys - 1 - unread.size(); }
  };

  Result Probe(const std::vector<std::string>& args, const std::string& keys = kKeys) {
    ChildOptions o;
    o.has_stdin = true;
    o.stdin_data = keys;
    o.env["ORVEL_PATH"] = dir_.path();
    o.env["ORVEL_PELMMONITOR"] = "127.0.0.1:" + std::to_string(monitor_port_);
    std::vector<std::string> argv = {testutil::BuildPath("tests/apps/locator_probe"),
                                     relay_->Address()};
    argv.insert(argv.end(), args.begin(), args.end());
    Child probe(argv, o);
    Result r;
    r.status = probe.Wait(30000);
    r.output = probe.Output();
    r.unread = probe.UnreadStdin();
    return r;
  }

  // Monitor lines received so far (after the probe has ended).
  std::vector<std::string> MonitorLines(size_t expected) {
    monitor_->WaitForClosed(expected, 3000);
    return monitor_->Closed();
  }

  unsigned short monitor_port_ = 0;
  DirectoryAgent da_;
  std::unique_ptr<SlpRelay> relay_;
  std::unique_ptr<LoopbackRecorder> monitor_;
  TempDir dir_;
};

constexpr char kNoTerminal[] = "failed to open cterm?!\n";

TEST_F(Locator, RegisteredProxyForHostIsTakenSilently) {
  ASSERT_TRUE(apps_test::Register(da_, "service:ZemProxy://127.0.0.1:7001",
                                  "(addr=10.0.0.4),(mask=255.255.255.255)"));
  Result r = Probe({"host", "10.0.0.4"});
  EXPECT_EQ(r.output, std::string(kNoTerminal) + "RESULT 127.0.0.1:7001 abone=0\n");
  EXPECT_EQ(r.Pauses(), 0u);
  EXPECT_TRUE(MonitorLines(0).empty());
}

TEST_F(Locator, FirstOfTwoRegisteredAnswersWins) {
  ASSERT_TRUE(apps_test::Register(da_, "service:ZemProxy://127.0.0.1:7002",
                                  "(addr=10.0.0.2),(mask=255.255.255.255)"));
  ASSERT_TRUE(apps_test::Register(da_, "service:ZemProxy://127.0.0.1:7003",
                                  "(addr=10.0.0.2),(mask=255.255.255.255)"));
  auto urls = apps_test::Find(da_, "ZemProxy", "(&(addr=10.0.0.2)(mask=255.255.255.255))");
  ASSERT_EQ(urls.size(), 2u);
  const std::string first = urls[0].substr(urls[0].find("//") + 2);
  Result r = Probe({"host", "10.0.0.2"});
  EXPECT_EQ(r.Line(), "RESULT " + first + " abone=0");
}

TEST_F(Locator, HostWithoutProxyOrCoordinatesFindsNothing) {
  Result r = Probe({"host", "10.0.0.3"});
  EXPECT_EQ(r.output, std::string(kNoTerminal) +
                          "CLIENT node highlighted on PELM monitor (press any key)\n"
                          "finding coordinates for 10.0.0.3...\n"
                          "coordinates not found, returning now...\n"
                          "RESULT 0.0.0.0:0 abone=0\n");
  EXPECT_EQ(r.Pauses(), 1u);
  EXPECT_EQ(MonitorLines(1), (std::vector<std::string>{"10.0.0.3 1\n"}));
}

TEST_F(Locator, HostFallbackTakesTheNearestComputingNode) {
  Result r = Probe({"host", "10.0.0.4"});
  EXPECT_EQ(r.output, std::string(kNoTerminal) +
                          "CLIENT node highlighted on PELM monitor (press any key)\n"
                          "finding coordinates for 10.0.0.4...\n"
                          "coordinates: [1 2 3]\n"
                          "CANDIDATE nodes highlighted on PELM monitor (press any key)\n"
                          "SELECTED node highlighted on PELM monitor (press any key)\n"
                          "RESULT 127.0.0.5:0 abone=1\n");
  EXPECT_EQ(r.Pauses(), 3u);
  EXPECT_EQ(MonitorLines(3),
            (std::vector<std::string>{"10.0.0.4 1\n", "127.0.0.5 5\n", "RESET 0\n"}));
  // The agent was sent the exact predicates.
  const std::string sent = relay_->Requests();
  EXPECT_NE(sent.find("ZemProxy"), std::string::npos);
  EXPECT_NE(sent.find("(&(addr=10.0.0.4)(mask=255.255.255.255))"), std::string::npos);
  EXPECT_NE(sent.find("CompResource"), std::string::npos);
  EXPECT_NE(sent.find("(|(foo=bar)(&(x-PELM-num=1)(x-PELM-clients=1 2 3)))"), std::string::npos);
}

// Without a terminal and with standard input at its end, pauses return at
// once and the lookup completes.
TEST_F(Locator, PausesReturnAtEndOfInput) {
  Result r = Probe({"host", "10.0.0.4"}, "");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.Line(), "RESULT 127.0.0.5:0 abone=1");
}

TEST_F(Locator, ZoneProxyIsFoundByAddressAndMask) {
  ASSERT_TRUE(apps_test::Register(da_, "service:ZemProxy://127.0.0.1:7010",
                                  "(addr=10.1.0.0),(mask=255.255.0.0)"));
  Result r = Probe({"zone", "10.1.0.0", "255.255.0.0", "10.0.0.4"});
  EXPECT_EQ(r.output, std::string(kNoTerminal) + "RESULT 127.0.0.1:7010 abone=0\n");
  EXPECT_EQ(r.Pauses(), 0u);
  EXPECT_NE(relay_->Requests().find("(&(addr=10.1.0.0)(mask=255.255.0.0))"), std::string::npos);
}

// The zone's own address has coordinates 9 9 9 in the file; the fallback
// must use those of its representative host (1 2 3), without pausing or
// colouring.
TEST_F(Locator, ZoneFallbackUsesItsHostsCoordinatesQuietly) {
  Result r = Probe({"zone", "10.2.0.0", "255.255.0.0", "10.0.0.4"});
  EXPECT_EQ(r.output, std::string(kNoTerminal) +
                          "finding coordinates for 10.0.0.4...\n"
                          "coordinates: [1 2 3]\n"
                          "RESULT 127.0.0.5:0 abone=1\n");
  EXPECT_EQ(r.Pauses(), 0u);
  EXPECT_TRUE(MonitorLines(0).empty());
}

TEST_F(Locator, ZoneWithoutProxyOrCoordinatesFindsNothing) {
  Result r = Probe({"zone", "10.3.0.0", "255.255.0.0", "10.0.0.9"});
  EXPECT_EQ(r.output, std::string(kNoTerminal) +
                          "finding coordinates for 10.0.0.9...\n"
                          "coordinates not found, returning now...\n"
                          "RESULT 0.0.0.0:0 abone=0\n");
  EXPECT_EQ(r.Pauses(), 0u);
}

// A failed look-up says why and which agent, rather than only ending in
// "no proxy".
TEST_F(Locator, FailedLookUpIsLoggedWithReasonAndAgent) {
  const std::string dead = "127.0.0.1:" + std::to_string(testutil::FreeLoopbackPort());
  ChildOptions o;
  o.has_stdin = true;
  o.env["ORVEL_PATH"] = dir_.path();
  o.env["ORVEL_PELMMONITOR"] = "127.0.0.1:" + std::to_string(monitor_port_);
  Child probe({testutil::BuildPath("tests/apps/locator_probe"), dead, "zone", "10.3.0.0",
               "255.255.0.0", "10.0.0.9"},
              o);
  probe.Wait(30000);
  EXPECT_EQ(probe.Output(), std::string(kNoTerminal) + "SLP lookup of ZemProxy failed at agent " +
                                dead +
                                ": network error (agent unreachable) (-23)\n"
                                "finding coordinates for 10.0.0.9...\n"
                                "coordinates not found, returning now...\n"
                                "RESULT 0.0.0.0:0 abone=0\n");
}

}  // namespace
