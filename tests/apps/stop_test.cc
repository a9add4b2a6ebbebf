// The orderly stop of zemsynth and zemproxy: on SIGTERM or SIGINT they stop
// accepting, answer the requests in flight, say how many finished and how
// many were cut, and exit 0; a second signal ends them at once.
#include <arpa/inet.h>
#include <signal.h>
#include <sys/wait.h>

#include <cstdio>
#include <future>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "apps_util.h"
#include "orvel/Msg.h"
#include "orvel/http.h"
#include "testutil/process_util.h"

namespace {

using testutil::Child;
using testutil::ChildOptions;

// Posts msg to 127.0.0.1:port on a thread of its own; the future holds the
// reply's type, "" for none.
std::future<std::string> Post(unsigned short port, std::unique_ptr<Msg> msg) {
  return std::async(std::launch::async, [port, m = std::move(msg)] {
    int sock = sendRequestMsg("127.0.0.1", port, m.get());
    if (sock < 0) return std::string();
    std::unique_ptr<Msg> reply(getResponseMsg(sock));
    return reply ? reply->getType() : std::string();
  });
}

bool Refuses(unsigned short port) { return !testutil::WaitForLoopbackPort(port, 0); }

// The counts of the stop line that starts with prefix, or {-1, -1}.  The
// port probes may be accepted before the listener closes and count as
// finished, so tests check the cut ones exactly and the finished ones at
// least.
std::pair<int, int> StopCounts(const std::string& out, const std::string& prefix) {
  const size_t at = out.find(prefix);
  int finished = -1;
  int cut = -1;
  if (at == std::string::npos ||
      std::sscanf(out.c_str() + at + prefix.size(), "%d finished, %d cut\n", &finished, &cut) != 2)
    return {-1, -1};
  return {finished, cut};
}

// zemsynth with one registered proxy that answers each exchange after
// delay_ms, and a synthesis for its end host in flight.
class ZemsynthStop : public ::testing::Test {
 protected:
  void Start(int delay_ms, const std::map<std::string, std::string>& env = {}) {
    da_ = apps_test::StartDirectoryAgent();
    ASSERT_TRUE(da_.child);
    proxy_ = apps_test::StartProxy({"--da", da_.Address(), "--addr", "10.0.0.1", "--misbehave",
                                    "delay=" + std::to_string(delay_ms)});
    ASSERT_TRUE(proxy_.child);
    port_ = testutil::FreeLoopbackPort();
    ChildOptions o;
    o.env = env;
    o.unset_env = {"ORVEL_PELMMONITOR", "ORVEL_PATH", "ORVEL_STOP_TIMEOUT"};
    z_ =
        std::make_unique<Child>(std::vector<std::string>{testutil::BuildPath("orvel_apps/zemsynth"),
                                                         std::to_string(port_), da_.Address()},
                                o);
    ASSERT_TRUE(testutil::WaitForLoopbackPort(port_, 10000)) << z_->Output();
    std::vector<EndPoint> eps = {EndPoint(inet_addr("10.0.0.1"))};
    reply_ = Post(port_, std::make_unique<SynthZemReq>(1, 2, eps, std::vector<EndZone>{}));
    ASSERT_TRUE(proxy_.child->WaitForOutput("zemproxy: ZemInit", 20000)) << z_->Output();
  }

  apps_test::DirectoryAgent da_;
  apps_test::ProxyProcess proxy_;
  unsigned short port_ = 0;
  std::unique_ptr<Child> z_;
  std::future<std::string> reply_;
};

TEST_F(ZemsynthStop, RequestInFlightIsAnsweredBeforeTheExit) {
  Start(/*delay_ms=*/1500);
  z_->Signal(SIGTERM);
  ASSERT_TRUE(testutil::WaitUntil([&] { return Refuses(port_); }, 10000)) << z_->Output();
  EXPECT_EQ(reply_.get(), Msg::SynthZemOk);
  const int status = z_->Wait(20000);
  ASSERT_TRUE(WIFEXITED(status)) << status << "\n" << z_->Output();
  EXPECT_EQ(WEXITSTATUS(status), 0);
  const auto [finished, cut] = StopCounts(z_->Output(), "zemsynth: stopped on SIGTERM: ");
  EXPECT_GE(finished, 1) << z_->Output();
  EXPECT_EQ(cut, 0) << z_->Output();
}

TEST_F(ZemsynthStop, DeadlineCutsWhatIsStillInFlight) {
  Start(/*delay_ms=*/60000, {{"ORVEL_STOP_TIMEOUT", "0.5"}});
  z_->Signal(SIGINT);
  const int status = z_->Wait(20000);
  ASSERT_TRUE(WIFEXITED(status)) << status << "\n" << z_->Output();
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(StopCounts(z_->Output(), "zemsynth: stopped on SIGINT: ").second, 1) << z_->Output();
  EXPECT_EQ(reply_.get(), "");
}

TEST_F(ZemsynthStop, SecondSignalEndsAtOnce) {
  Start(/*delay_ms=*/60000);
  z_->Signal(SIGTERM);
  ASSERT_TRUE(testutil::WaitUntil([&] { return Refuses(port_); }, 10000)) << z_->Output();
  EXPECT_TRUE(z_->Running());
  z_->Signal(SIGTERM);
  const int status = z_->Wait(20000);
  ASSERT_TRUE(WIFSIGNALED(status)) << status << "\n" << z_->Output();
  EXPECT_EQ(WTERMSIG(status), SIGTERM);
  EXPECT_EQ(StopCounts(z_->Output(), "zemsynth: stopped at once on a second signal: ").second, 1)
      << z_->Output();
  EXPECT_EQ(reply_.get(), "");
}

TEST(ZemproxyStop, ExchangeInFlightIsAnsweredBeforeTheExit) {
  apps_test::ProxyProcess proxy = apps_test::StartProxy({"--misbehave", "delay=1500"});
  ASSERT_TRUE(proxy.child);
  std::future<std::string> reply = Post(proxy.port, std::make_unique<ZemInit>(1, 2, 7000));
  ASSERT_TRUE(proxy.child->WaitForOutput("zemproxy: ZemInit", 10000));
  proxy.child->Signal(SIGTERM);
  EXPECT_EQ(reply.get(), Msg::ZemInitOk);
  const int status = proxy.child->Wait(20000);
  ASSERT_TRUE(WIFEXITED(status)) << status << "\n" << proxy.child->Output();
  EXPECT_EQ(WEXITSTATUS(status), 0);
  const auto [finished, cut] = StopCounts(proxy.child->Output(), "zemproxy: stopped on SIGTERM: ");
  EXPECT_GE(finished, 1) << proxy.child->Output();
  EXPECT_EQ(cut, 0) << proxy.child->Output();
}

}  // namespace
