// End to end on loopback: orvel-slpd started on a free port, services
// registered with orvel-slptool, and found through SLPService the way the
// proxy locator asks.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "orvel/SLP.h"
#include "slp/ua_internal.h"
#include "testutil/process_util.h"

namespace {

using testutil::BuildPath;
using testutil::Child;

std::string AgentBinary() { return BuildPath("tools/orvel-slpd/orvel-slpd"); }
std::string ToolBinary() { return BuildPath("tools/orvel-slptool/orvel-slptool"); }

using ToolRun = ::testutil::ProgramRun;

class SlpEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    if (access(AgentBinary().c_str(), X_OK) != 0 || access(ToolBinary().c_str(), X_OK) != 0)
      GTEST_SKIP() << "orvel-slpd or orvel-slptool not built";
    SLPSetProperty("net.slp.datagramTimeouts", "300,300,300");
    SLPSetProperty("net.slp.unicastMaximumWait", "3000");
    port_ = StartAgent(&agent_);
    ASSERT_NE(port_, 0);
    da_ = "127.0.0.1:" + std::to_string(port_);
  }

  static unsigned short StartAgent(std::unique_ptr<Child>* child) {
    unsigned short port = testutil::FreeLoopbackPort();
    *child = std::make_unique<Child>(
        std::vector<std::string>{AgentBinary(), "--listen", "127.0.0.1", "--port",
                                 std::to_string(port), "--scopes", "default"});
    if (!(*child)->started() || !testutil::WaitForLoopbackPort(port, 5000)) return 0;
    return port;
  }

  ToolRun Tool(std::vector<std::string> args) {
    std::vector<std::string> argv{ToolBinary(), "--da",   da_,   "--scope",
                                  "default",    "--wait", "3000"};
    argv.insert(argv.end(), args.begin(), args.end());
    return ::testutil::RunProgram(argv, 20000);
  }

  // Looks up as the locator does and returns the answers (empty on error).
  std::vector<ServiceInstance> Lookup(const std::string& type, const std::string& predicate,
                                      int* rc = nullptr) {
    SLPService s(type, predicate, da_, "default");
    int n = s.FindServices();
    if (rc) *rc = n;
    std::vector<ServiceInstance> out;
    if (n > 0 && s.numFound() > 0) s.getSIvec(out);
    return out;
  }

  std::unique_ptr<Child> agent_;
  unsigned short port_ = 0;
  std::string da_;
};

TEST_F(SlpEndToEnd, RegisteredProxyIsFoundWithAddressPortAndLifetime) {
  ToolRun reg = Tool({"--lifetime", "300", "register", "service:ZemProxy://10.0.0.1:5000",
                      "(addr=10.0.0.1),(mask=255.255.255.255)"});
  ASSERT_EQ(reg.exit_code, 0) << reg.output;
  ASSERT_EQ(Tool({"--lifetime", "300", "register", "service:ZemProxy://10.1.0.9:5001",
                  "(addr=10.1.0.0),(mask=255.255.0.0)"})
                .exit_code,
            0);

  std::vector<ServiceInstance> host =
      Lookup("ZemProxy", "(&(addr=10.0.0.1)(mask=255.255.255.255))");
  ASSERT_EQ(host.size(), 1u);
  EXPECT_EQ(host[0].getAddrStr(), "10.0.0.1");
  EXPECT_EQ(host[0].getPort(), 5000);
  EXPECT_GT(host[0].getLifetime(), 290);
  EXPECT_LE(host[0].getLifetime(), 300);

  std::vector<ServiceInstance> zone = Lookup("ZemProxy", "(&(addr=10.1.0.0)(mask=255.255.0.0))");
  ASSERT_EQ(zone.size(), 1u);
  EXPECT_EQ(zone[0].getAddrStr(), "10.1.0.9");
  EXPECT_EQ(zone[0].getPort(), 5001);

  int rc = -2;
  EXPECT_TRUE(Lookup("ZemProxy", "(&(addr=10.0.0.2)(mask=255.255.255.255))", &rc).empty());
  EXPECT_EQ(rc, 0);

  ToolRun find = Tool({"findsrvs", "ZemProxy", "(addr=10.0.0.1)"});
  EXPECT_EQ(find.exit_code, 0);
  EXPECT_NE(find.output.find("service:ZemProxy://10.0.0.1:5000,"), std::string::npos)
      << find.output;
}

TEST_F(SlpEndToEnd, NearestComputingNodeComesFirst) {
  struct Node {
    const char* url;
    const char* coords;
  } nodes[] = {{"service:CompResource://10.2.0.1/?x-PELM", "10 10 10"},
               {"service:CompResource://10.2.0.2/?x-PELM", "1 2 4"},
               {"service:CompResource://10.2.0.3/?x-PELM", "5 5 5"}};
  for (const Node& n : nodes) {
    ToolRun r = Tool({"register", n.url, std::string("(x-PELM-coords=") + n.coords + ")"});
    ASSERT_EQ(r.exit_code, 0) << r.output;
  }
  std::vector<ServiceInstance> found =
      Lookup("CompResource", "(|(foo=bar)(&(x-PELM-num=1)(x-PELM-clients=1 2 3)))");
  ASSERT_FALSE(found.empty());
  EXPECT_EQ(found[0].getAddrStr(), "10.2.0.2");
  EXPECT_EQ(found[0].getPort(), 0);
}

TEST_F(SlpEndToEnd, RegistrationExpiresAfterItsLifetime) {
  ASSERT_EQ(Tool({"--lifetime", "2", "register", "service:ZemProxy://10.0.0.7:7"}).exit_code, 0);
  std::vector<ServiceInstance> fresh = Lookup("ZemProxy", "");
  ASSERT_EQ(fresh.size(), 1u);
  EXPECT_GE(fresh[0].getLifetime(), 1);
  EXPECT_LE(fresh[0].getLifetime(), 2);
  EXPECT_TRUE(testutil::WaitUntil([this] { return Lookup("ZemProxy", "").empty(); }, 6000));
  int rc = -2;
  Lookup("ZemProxy", "", &rc);
  EXPECT_EQ(rc, 0);
}

TEST_F(SlpEndToEnd, DeregisteredServiceIsGone) {
  const std::string url = "service:ZemProxy://10.0.0.8:8";
  ASSERT_EQ(Tool({"register", url}).exit_code, 0);
  ASSERT_EQ(Lookup("ZemProxy", "").size(), 1u);
  ToolRun d = Tool({"deregister", url});
  ASSERT_EQ(d.exit_code, 0) << d.output;
  EXPECT_TRUE(Lookup("ZemProxy", "").empty());
}

TEST_F(SlpEndToEnd, DeadFirstAgentThenLiveOne) {
  ASSERT_EQ(Tool({"register", "service:ZemProxy://10.0.0.3:3"}).exit_code, 0);
  std::string dead = "127.0.0.1:" + std::to_string(testutil::FreeLoopbackPort());
  SLPService s("ZemProxy", "", dead + "," + da_, "default");
  ASSERT_EQ(s.FindServices(), 1);
  EXPECT_EQ(s.serviceAt(0)->getAddrStr(), "10.0.0.3");
}

// Two agents: a registration reaches both, and with the first killed a
// look-up through both is answered by the second.
TEST_F(SlpEndToEnd, RegistrationReachesEveryAgentAndSurvivesOneKilled) {
  std::unique_ptr<Child> second;
  unsigned short second_port = StartAgent(&second);
  ASSERT_NE(second_port, 0);
  const std::string other = "127.0.0.1:" + std::to_string(second_port);
  const std::string both = da_ + "," + other;
  SLPSetProperty("net.slp.DAAddresses", both.c_str());
  SLPSetProperty("net.slp.activeDADetection", "false");
  SLPSetProperty("net.slp.passiveDADetection", "false");
  SLPHandle h = nullptr;
  ASSERT_EQ(SLPOpen("en", SLP_FALSE, &h), SLP_OK);
  SLPError cb = SLP_OK;
  EXPECT_EQ(SLPReg(
                h, "service:ZemProxy://10.0.0.7:7", 600, "", "(addr=10.0.0.7)", SLP_TRUE,
                [](SLPHandle, SLPError, void*) {}, &cb),
            SLP_OK);
  SLPClose(h);
  for (const std::string& one : {da_, other}) {
    SLPService s("ZemProxy", "", one, "default");
    EXPECT_EQ(s.FindServices(), 1) << one;
  }
  agent_->Signal(SIGKILL);
  agent_->Wait(5000);
  auto start = std::chrono::steady_clock::now();
  SLPService s("ZemProxy", "", both, "default");
  ASSERT_EQ(s.FindServices(), 1);
  double ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  std::printf("look-up with the first of two agents killed: %.1f ms\n", ms);
  EXPECT_EQ(s.serviceAt(0)->getAddrStr(), "10.0.0.7");
  EXPECT_EQ(s.agentAddress(), other);
}

// A service agent keeps a registration made with the maximum lifetime; when
// its agent restarts without state (a later boot timestamp in its DAAdvert)
// the registration is sent again at once, not at the next refresh (15 min).
TEST_F(SlpEndToEnd, KeptRegistrationComesBackWhenTheAgentRestarts) {
  orvel::slp::SetAgentWatchPeriodForTesting(std::chrono::milliseconds(200));
  SLPSetProperty("net.slp.DAAddresses", da_.c_str());
  SLPSetProperty("net.slp.activeDADetection", "false");
  SLPSetProperty("net.slp.passiveDADetection", "false");
  SLPHandle h = nullptr;
  ASSERT_EQ(SLPOpen("en", SLP_FALSE, &h), SLP_OK);
  SLPError cb = SLP_OK;
  ASSERT_EQ(SLPReg(
                h, "service:ZemProxy://10.0.0.8:8", SLP_LIFETIME_MAXIMUM, "", "(addr=10.0.0.8)",
                SLP_TRUE, [](SLPHandle, SLPError, void*) {}, &cb),
            SLP_OK);
  EXPECT_EQ(Lookup("ZemProxy", "").size(), 1u);
  agent_->Signal(SIGTERM);
  ASSERT_GE(agent_->Wait(5000), 0);
  // Boot timestamps count seconds: the new agent must start in a later one.
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  agent_ = std::make_unique<Child>(std::vector<std::string>{AgentBinary(), "--listen", "127.0.0.1",
                                                            "--port", std::to_string(port_),
                                                            "--scopes", "default"});
  ASSERT_TRUE(testutil::WaitForLoopbackPort(port_, 5000)) << agent_->Output();
  size_t found = 0;
  EXPECT_TRUE(testutil::WaitUntil(
      [&] {
        found = Lookup("ZemProxy", "").size();
        return found == 1;
      },
      10000))
      << "the restarted agent did not get the registration back (" << found << " found)";
  SLPClose(h);
  orvel::slp::SetAgentWatchPeriodForTesting(std::chrono::milliseconds(0));
}

TEST_F(SlpEndToEnd, SixteenThreadsLookUpAtOnce) {
  for (int i = 1; i <= 4; ++i) {
    std::string a = "10.3.0." + std::to_string(i);
    ASSERT_EQ(Tool({"register", "service:ZemProxy://" + a + ":600" + std::to_string(i),
                    "(addr=" + a + "),(mask=255.255.255.255)"})
                  .exit_code,
              0);
  }
  std::atomic<int> right{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 16; ++t) {
    threads.emplace_back([this, t, &right] {
      int i = t % 4 + 1;
      std::string a = "10.3.0." + std::to_string(i);
      bool all = true;
      for (int k = 0; k < 10; ++k) {
        SLPService s("ZemProxy", "(&(addr=" + a + ")(mask=255.255.255.255))", da_, "default");
        all = all && s.FindServices() == 1 && s.serviceAt(0)->getAddrStr() == a &&
              s.serviceAt(0)->getPort() == 6000 + i;
      }
      if (all) ++right;
    });
  }
  for (std::thread& th : threads) th.join();
  EXPECT_EQ(right, 16);
}

TEST_F(SlpEndToEnd, ToolReportsErrorsWithExitCodes) {
  // A wrong command line is 64, as for every tool; 2 is an unreachable peer.
  EXPECT_EQ(Tool({"bogus"}).exit_code, 64);
  EXPECT_EQ(Tool({"findsrvs"}).exit_code, 64);
  ToolRun lifetime = Tool({"--lifetime", "0", "register", "service:x://1.2.3.4"});
  EXPECT_EQ(lifetime.exit_code, 64);
  EXPECT_NE(lifetime.output.find("--lifetime needs a number 1..65535, not \"0\""),
            std::string::npos)
      << lifetime.output;
  ToolRun prop = Tool({"getproperty", "net.slp.port"});
  EXPECT_EQ(prop.exit_code, 0);
  EXPECT_NE(prop.output.find("net.slp.port = 427"), std::string::npos);
  // A search in a scope the agent does not serve finds nothing, as with
  // the widely deployed library; a registration there is refused.
  ToolRun scope = Tool({"--scope", "elsewhere", "findsrvs", "ZemProxy"});
  EXPECT_EQ(scope.exit_code, 0) << scope.output;
  // No URL printed (under valgrind the output also holds its own lines).
  EXPECT_EQ(scope.output.find("service:"), std::string::npos) << scope.output;
  ToolRun reg = Tool({"--scope", "elsewhere", "register", "service:ZemProxy://10.0.0.3:3"});
  EXPECT_EQ(reg.exit_code, 1);
  EXPECT_NE(reg.output.find("scope not supported"), std::string::npos) << reg.output;
  // Nobody at the address: an error within the wait bound.
  da_ = "127.0.0.1:" + std::to_string(testutil::FreeLoopbackPort());
  ToolRun dead = Tool({"findsrvs", "ZemProxy"});
  EXPECT_EQ(dead.exit_code, 2) << dead.output;
}

// An agent that does not take registrations from this host drops them
// silently over UDP; the tool goes to TCP after the first datagram and
// reports the refusal (not "no agent answered" after its whole wait), and
// the agent logs the refused source without --verbose.
TEST_F(SlpEndToEnd, RefusedRegistrationIsReportedByTheToolAndLogged) {
  unsigned short port = testutil::FreeLoopbackPort();
  Child strict({AgentBinary(), "--listen", "127.0.0.1", "--port", std::to_string(port),
                "--allow-register", "127.0.0.2/32"});
  ASSERT_TRUE(testutil::WaitForLoopbackPort(port, 5000)) << strict.Output();
  da_ = "127.0.0.1:" + std::to_string(port);
  auto start = std::chrono::steady_clock::now();
  ToolRun reg = Tool({"register", "service:ZemProxy://10.0.0.3:3"});
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("refused registration reported after %.2f s\n", seconds);
  EXPECT_EQ(reg.exit_code, 1) << reg.output;
  EXPECT_NE(reg.output.find("authentication failed"), std::string::npos) << reg.output;
  EXPECT_NE(reg.output.find("may not register"), std::string::npos) << reg.output;
  EXPECT_EQ(Tool({"deregister", "service:ZemProxy://10.0.0.3:3"}).exit_code, 1);
  EXPECT_TRUE(strict.WaitForOutput("refused from sources outside --allow-register", 3000))
      << strict.Output();
  EXPECT_NE(strict.Output().find("from 127.0.0.1 over udp, not answered"), std::string::npos)
      << strict.Output();
}

TEST_F(SlpEndToEnd, PropertiesComeFromTheConfigurationFile) {
  testutil::TempDir dir;
  std::string conf =
      dir.WriteFile("slp.conf",
                    "# agent on a test port\nnet.slp.DAAddresses = 127.0.0.1 ; inline\n"
                    "net.slp.port=" +
                        std::to_string(port_) + "\nnot a property line\n");
  ASSERT_EQ(Tool({"register", "service:ZemProxy://10.0.0.6:6"}).exit_code, 0);
  testutil::ChildOptions opt;
  opt.env["ORVEL_SLP_CONF"] = conf;
  // No --da: the agent address and port come from the file alone.
  Child show({ToolBinary(), "getproperty", "net.slp.port"}, opt);
  ASSERT_EQ(show.Wait(20000), 0);
  EXPECT_NE(show.Output().find("net.slp.port = " + std::to_string(port_)), std::string::npos)
      << show.Output();
  Child find({ToolBinary(), "--scope", "default", "findsrvs", "ZemProxy"}, opt);
  ASSERT_EQ(find.Wait(20000), 0) << find.Output();
  EXPECT_NE(find.Output().find("service:ZemProxy://10.0.0.6:6,"), std::string::npos)
      << find.Output();
}

TEST_F(SlpEndToEnd, AttributesAndTypesThroughTheTool) {
  ASSERT_EQ(
      Tool({"register", "service:ZemProxy://10.0.0.4:4", "(addr=10.0.0.4),(port=4)"}).exit_code, 0);
  ToolRun attrs = Tool({"findattrs", "service:ZemProxy://10.0.0.4:4"});
  EXPECT_EQ(attrs.exit_code, 0);
  EXPECT_NE(attrs.output.find("(addr=10.0.0.4)"), std::string::npos) << attrs.output;
  ToolRun types = Tool({"findsrvtypes"});
  EXPECT_EQ(types.exit_code, 0);
  EXPECT_NE(types.output.find("service:ZemProxy"), std::string::npos) << types.output;
}

}  // namespace
