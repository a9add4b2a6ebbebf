// End-to-end tests: a directory agent, zemproxy instances registered in it,
// a coordinates file, a computing node registered with coordinates, and
// zemsynth itself, all real processes on loopback.
#include <arpa/inet.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <future>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "apps_util.h"
#include "orvel/Msg.h"
#include "orvel/http.h"
#include "testutil/process_util.h"

namespace {

using apps_test::ProxyProcess;
using testutil::Child;
using testutil::ChildOptions;
using testutil::TempDir;

unsigned long Addr(const char* text) { return inet_addr(text); }

using testutil::InOrder;

class EndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    da_ = apps_test::StartDirectoryAgent();
    ASSERT_TRUE(da_.child);
    dir_.WriteFile("pelm.coords", "10.0.0.4 1 2 3\n");
    calls_ = dir_.path() + "/calls.log";
    dir_.WriteFile("abone/sc.linux",
                   "#!/bin/sh\nfor a in \"$@\"; do printf '<%s>' \"$a\"; done >> '" + calls_ +
                       "'\necho >> '" + calls_ + "'\n",
                   0755);
    ASSERT_TRUE(
        apps_test::Register(da_, "service:CompResource://127.0.0.5", "(x-PELM-coords=1 2 3)"));
    host1_ = RegisteredProxy("10.0.0.1", "255.255.255.255");
    host2_ = RegisteredProxy("10.0.0.2", "255.255.255.255");
    zone_ = RegisteredProxy("10.1.0.0", "255.255.0.0");

    port_ = testutil::FreeLoopbackPort();
    ChildOptions o;
    o.has_stdin = true;
    o.stdin_data = "kkk";  // keys for the pauses of the end-host fallback
    o.env["ORVEL_PATH"] = dir_.path();
    o.env["ORVEL_ABONEVIEWERARGS"] = "-v";
    o.env["ORVEL_ABONE_LOAD_WAIT"] = "0.2";  // no proxy program to wait for
    o.unset_env = {"ORVEL_PELMMONITOR"};
    for (const auto& [name, value] : extra_env_) o.env[name] = value;
    zemsynth_ =
        std::make_unique<Child>(std::vector<std::string>{testutil::BuildPath("orvel_apps/zemsynth"),
                                                         std::to_string(port_), da_.Address()},
                                o);
    ASSERT_TRUE(testutil::WaitForLoopbackPort(port_, 10000)) << zemsynth_->Output();
  }

  ProxyProcess RegisteredProxy(const char* addr, const char* mask) {
    return apps_test::StartProxy({"--da", da_.Address(), "--addr", addr, "--mask", mask});
  }

  // Sends msg to zemsynth and returns the reply (null for a 400).
  std::unique_ptr<Msg> Exchange(Msg* msg) {
    int sock = sendRequestMsg("127.0.0.1", port_, msg);
    if (sock < 0) return nullptr;
    return std::unique_ptr<Msg>(getResponseMsg(sock));
  }

  static std::unique_ptr<SynthZemReq> TwoHostsOneZone(unsigned long id, unsigned long version) {
    std::vector<EndPoint> eps = {EndPoint(Addr("10.0.0.1")), EndPoint(Addr("10.0.0.2"))};
    EndZone zone(Addr("10.1.0.0"), Addr("255.255.0.0"));
    zone.setEP(Addr("10.1.0.5"));
    std::vector<EndZone> zones = {zone};
    return std::make_unique<SynthZemReq>(id, version, eps, zones);
  }

  static std::string Transports(const std::vector<MulticastEndPoint>& v) {
    std::string s;
    for (const auto& t : v) s += t.getAddrStr() + ":" + t.getPortStr() + "/" + t.getTTLStr() + " ";
    return s;
  }

  // Checks a reply to TwoHostsOneZone(id, version).
  static void ExpectSynthOk(Msg* reply, unsigned long id, unsigned long version) {
    ASSERT_NE(reply, nullptr);
    ASSERT_EQ(reply->getType(), Msg::SynthZemOk);
    auto* ok = dynamic_cast<SynthZemOk*>(reply);
    ASSERT_NE(ok, nullptr);
    EXPECT_EQ(ok->getId(), id);
    EXPECT_EQ(ok->getVersion(), version);
    EXPECT_EQ(Transports(ok->getEPTVec()), "224.5.6.7:7560/0 224.5.6.7:7560/0 ");
    EXPECT_EQ(Transports(ok->getZoneTVec()), "225.5.6.7:7560/1 ");
  }

  std::map<std::string, std::string> extra_env_;  // set before SetUp
  apps_test::DirectoryAgent da_;
  TempDir dir_;
  std::string calls_;
  ProxyProcess host1_, host2_, zone_;
  unsigned short port_ = 0;
  std::unique_ptr<Child> zemsynth_;
};

TEST_F(EndToEnd, TwoEndHostsAndOneZoneAreAnsweredInRequestOrder) {
  auto req = TwoHostsOneZone(4242, 17);
  auto start = std::chrono::steady_clock::now();
  std::unique_ptr<Msg> reply = Exchange(req.get());
  double ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  ExpectSynthOk(reply.get(), 4242, 17);
  // Members in request order: each proxy's commit lists the others.
  ASSERT_EQ(host1_.Received().size(), 2u);
  ASSERT_EQ(host2_.Received().size(), 2u);
  ASSERT_EQ(zone_.Received().size(), 2u);
  EXPECT_NE(host1_.Received()[1].find("ttl=0 members=0[]"), std::string::npos);
  EXPECT_NE(host2_.Received()[1].find("ttl=0 members=2[" + host1_.Endpoint() + "," +
                                      zone_.Endpoint() + "]"),
            std::string::npos)
      << host2_.Received()[1];
  EXPECT_NE(zone_.Received()[1].find("ttl=1 members=2[" + host1_.Endpoint() + "," +
                                     host2_.Endpoint() + "]"),
            std::string::npos)
      << zone_.Received()[1];
  const std::string out = zemsynth_->Output();
  EXPECT_NE(out.find("Got SynthZemReq from 127.0.0.1:"), std::string::npos) << out;
  // In this order; the server's own lines on stderr may come between.
  EXPECT_TRUE(InOrder(
      out,
      {"got proxy " + host1_.Endpoint() + "\n", "got proxy " + host2_.Endpoint() + "\n",
       "locating proxy for zone 10.1.0.0 (ep 83886346)\n", "got proxy " + zone_.Endpoint() + "\n"}))
      << out;
  // Reported for the record: the cost of one member end to end.
  printf("end-to-end: %.1f ms for 3 members, %.1f ms per member\n", ms, ms / 3);
  RecordProperty("ms_per_member", std::to_string(ms / 3));
}

TEST_F(EndToEnd, EmptyRequestGetsEmptyLists) {
  std::vector<EndPoint> eps;
  std::vector<EndZone> zones;
  SynthZemReq req(7, 8, eps, zones);
  std::unique_ptr<Msg> reply = Exchange(&req);
  ASSERT_NE(reply, nullptr);
  auto* ok = dynamic_cast<SynthZemOk*>(reply.get());
  ASSERT_NE(ok, nullptr);
  EXPECT_EQ(ok->getId(), 7u);
  EXPECT_EQ(ok->getVersion(), 8u);
  EXPECT_TRUE(ok->getEPTVec().empty());
  EXPECT_TRUE(ok->getZoneTVec().empty());
  EXPECT_TRUE(host1_.Received().empty());
}

TEST_F(EndToEnd, RequestOfAnotherTypeGets400) {
  ZemInit req(1, 1, 7560);
  EXPECT_EQ(Exchange(&req), nullptr);
  EXPECT_TRUE(zemsynth_->WaitForOutput("Not getting the right request!\n", 5000))
      << zemsynth_->Output();
}

TEST_F(EndToEnd, EndHostWithoutProxyOrCoordinatesFails) {
  std::vector<EndPoint> eps = {EndPoint(Addr("10.0.0.9"))};
  std::vector<EndZone> zones;
  SynthZemReq req(3, 4, eps, zones);
  EXPECT_EQ(Exchange(&req), nullptr);
  const std::string out = zemsynth_->Output();
  EXPECT_NE(out.find("got proxy 0.0.0.0:0\n"), std::string::npos) << out;
  EXPECT_NE(out.find("Zem init failed!?\n"), std::string::npos) << out;
}

// One host has a registered proxy, the other none: the synthesis fails
// without initialising the proxy it did find, which would otherwise serve a
// session nobody uses.
TEST_F(EndToEnd, RegisteredProxyIsLeftAloneWhenAnotherHostHasNone) {
  std::vector<EndPoint> eps = {EndPoint(Addr("10.0.0.2")), EndPoint(Addr("10.0.0.7"))};
  std::vector<EndZone> zones;
  SynthZemReq req(5, 6, eps, zones);
  EXPECT_EQ(Exchange(&req), nullptr);
  ASSERT_TRUE(zemsynth_->WaitForOutput("Zem init failed!?\n", 5000)) << zemsynth_->Output();
  const std::string out = zemsynth_->Output();
  EXPECT_TRUE(InOrder(
      out, {"got proxy " + host2_.Endpoint() + "\n", "coordinates not found, returning now...\n",
            "got proxy 0.0.0.0:0\n", "member 1 has no proxy address", "Zem init failed!?\n"}))
      << out;
  EXPECT_TRUE(host2_.Received().empty()) << host2_.child->Output();
}

TEST_F(EndToEnd, FourConcurrentRequestsAreAllAnswered) {
  std::vector<std::future<bool>> replies;
  for (unsigned long i = 0; i < 4; ++i) {
    replies.push_back(std::async(std::launch::async, [this, i] {
      auto req = TwoHostsOneZone(100 + i, 200 + i);
      std::unique_ptr<Msg> reply = Exchange(req.get());
      auto* ok = dynamic_cast<SynthZemOk*>(reply.get());
      return ok != nullptr && ok->getId() == 100 + i && ok->getVersion() == 200 + i &&
             ok->getEPTVec().size() == 2 && ok->getZoneTVec().size() == 1;
    }));
  }
  for (auto& r : replies) EXPECT_TRUE(r.get());
  EXPECT_EQ(host1_.Received().size(), 8u);
  EXPECT_EQ(zone_.Received().size(), 8u);
}

// An end host with coordinates but no proxy of its own gets the nearest
// computing node, where the proxy is launched through the ABone client.
TEST_F(EndToEnd, EndHostWithCoordinatesGetsAnAboneNode) {
  std::vector<EndPoint> eps = {EndPoint(Addr("10.0.0.4"))};
  std::vector<EndZone> zones;
  SynthZemReq req(9, 10, eps, zones);
  std::unique_ptr<Msg> reply = Exchange(&req);
  ASSERT_NE(reply, nullptr) << zemsynth_->Output();
  auto* ok = dynamic_cast<SynthZemOk*>(reply.get());
  ASSERT_NE(ok, nullptr);
  EXPECT_EQ(Transports(ok->getEPTVec()), "127.0.0.5:7560/255 ");
  const std::string calls = testutil::ReadFileOrEmpty(calls_);
  EXPECT_NE(calls.find("<-f><anee2><127.0.0.5><LOAD>"), std::string::npos) << calls;
  EXPECT_NE(zemsynth_->Output().find("got proxy 127.0.0.5:0\n"), std::string::npos);
}

// Served four members at once: the same answer, every proxy committed,
// lines naming their member, and one log line per request.
class EndToEndConcurrent : public EndToEnd {
 protected:
  EndToEndConcurrent() { extra_env_["ORVEL_SYNTH_CONCURRENCY"] = "4"; }
};

TEST_F(EndToEndConcurrent, AnswerAndLinesNameTheirMembers) {
  auto req = TwoHostsOneZone(51, 52);
  ExpectSynthOk(Exchange(req.get()).get(), 51, 52);
  EXPECT_EQ(host2_.Received().size(), 2u);
  EXPECT_EQ(zone_.Received().size(), 2u);
  ASSERT_TRUE(zemsynth_->WaitForOutput("outcome=ok", 5000)) << zemsynth_->Output();
  const std::string out = zemsynth_->Output();
  EXPECT_NE(out.find("member 1 (end host 10.0.0.2): got proxy " + host2_.Endpoint() + "\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("member 2 (proxy " + zone_.Endpoint() + "): got ZemCommitOk\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("zemsynth: request type=SynthZemReq id=51 version=52 peer=127.0.0.1:"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find(" hosts=2 zones=1 outcome=ok duration_ms="), std::string::npos) << out;
}

// Several agents: every proxy registers with each, and zemsynth, given both,
// keeps synthesising once the first is killed (its port then refuses, so
// the look-ups pass to the second at once).
class EndToEndTwoAgents : public EndToEnd {
 protected:
  void SetUp() override {
    first_ = apps_test::StartDirectoryAgent();
    second_ = apps_test::StartDirectoryAgent();
    ASSERT_TRUE(first_.child && second_.child);
    const std::string both = first_.Address() + "," + second_.Address();
    for (const char* addr : {"10.0.0.1", "10.0.0.2"})
      hosts_.push_back(apps_test::StartProxy({"--da", both, "--addr", addr}));
    zone_ = apps_test::StartProxy({"--da", both, "--addr", "10.1.0.0", "--mask", "255.255.0.0"});
    port_ = testutil::FreeLoopbackPort();
    ChildOptions o;
    o.unset_env = {"ORVEL_PELMMONITOR"};
    zemsynth_ =
        std::make_unique<Child>(std::vector<std::string>{testutil::BuildPath("orvel_apps/zemsynth"),
                                                         std::to_string(port_), both},
                                o);
    ASSERT_TRUE(testutil::WaitForLoopbackPort(port_, 10000)) << zemsynth_->Output();
  }

  apps_test::DirectoryAgent first_, second_;
  std::vector<ProxyProcess> hosts_;
};

TEST_F(EndToEndTwoAgents, SynthesisGoesOnWithTheFirstAgentKilled) {
  for (const apps_test::DirectoryAgent* da : {&first_, &second_})
    EXPECT_EQ(apps_test::Find(*da, "ZemProxy", "").size(), 3u) << da->Address();
  auto req = TwoHostsOneZone(7, 1);
  ExpectSynthOk(Exchange(req.get()).get(), 7, 1);

  first_.child->Signal(SIGKILL);
  first_.child->Wait(5000);
  req = TwoHostsOneZone(8, 1);
  auto start = std::chrono::steady_clock::now();
  std::unique_ptr<Msg> reply = Exchange(req.get());
  double ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  std::printf("synthesis with the first of two agents killed: %.0f ms\n", ms);
  ExpectSynthOk(reply.get(), 8, 1);
  EXPECT_EQ(zemsynth_->Output().find("got proxy 0.0.0.0:0"), std::string::npos)
      << zemsynth_->Output();
}

// Every stop signal an operator or an init system sends deregisters.
TEST(ZemProxyRegistration, RegistersAndDeregistersOnEachStopSignal) {
  apps_test::DirectoryAgent da = apps_test::StartDirectoryAgent();
  ASSERT_TRUE(da.child);
  const std::string predicate = "(&(addr=10.5.0.1)(mask=255.255.255.255))";
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(sig);
    ProxyProcess proxy = apps_test::StartProxy({"--da", da.Address(), "--addr", "10.5.0.1"});
    ASSERT_TRUE(proxy.child);
    EXPECT_EQ(apps_test::Find(da, "ZemProxy", predicate),
              (std::vector<std::string>{"service:ZemProxy://" + proxy.Endpoint()}));
    proxy.child->Signal(sig);
    int status = proxy.child->Wait(10000);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(apps_test::Find(da, "ZemProxy", predicate).empty());
  }
}

// A second proxy started on the port of a running one, with the same
// service URL but another host, fails before it registers: the running
// proxy's entry stays as it was.
TEST(ZemProxyRegistration, SecondProxyOnABusyPortLeavesTheFirstEntryAlone) {
  apps_test::DirectoryAgent da = apps_test::StartDirectoryAgent();
  ASSERT_TRUE(da.child);
  ProxyProcess first = apps_test::StartProxy({"--da", da.Address(), "--addr", "10.5.0.1"});
  ASSERT_TRUE(first.child);
  const std::string url = "service:ZemProxy://" + first.Endpoint();
  Child second({testutil::BuildPath("tools/zemproxy/zemproxy"), "--port",
                std::to_string(first.port), "--da", da.Address(), "--addr", "10.5.0.9"});
  int status = second.Wait(10000);
  ASSERT_TRUE(WIFEXITED(status)) << status << second.Output();
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_NE(second.Output().find("Couldn't open server socket on port " +
                                 std::to_string(first.port) + "."),
            std::string::npos)
      << second.Output();
  EXPECT_EQ(second.Output().find("registered"), std::string::npos) << second.Output();
  EXPECT_EQ(apps_test::Find(da, "ZemProxy", "(&(addr=10.5.0.1)(mask=255.255.255.255))"),
            (std::vector<std::string>{url}));
  EXPECT_TRUE(apps_test::Find(da, "ZemProxy", "(addr=10.5.0.9)").empty());
  EXPECT_TRUE(first.child->Running());
}

// What goes into the directory must be an address a lookup can ask for.
TEST(ZemProxyRegistration, AddrAndMaskMustBeDottedQuads) {
  apps_test::DirectoryAgent da = apps_test::StartDirectoryAgent();
  ASSERT_TRUE(da.child);
  const std::vector<std::vector<std::string>> bad = {{"--addr", "banana"},
                                                     {"--addr", "10.0.0"},
                                                     {"--mask", "255.255.0.256"},
                                                     {"--mask", "255.255.0.0 "},
                                                     {"--host", "localhost"}};
  for (const auto& args : bad) {
    SCOPED_TRACE(args[0] + " " + args[1]);
    std::vector<std::string> argv = {testutil::BuildPath("tools/zemproxy/zemproxy"), "--port",
                                     std::to_string(testutil::FreeLoopbackPort()), "--da",
                                     da.Address()};
    argv.insert(argv.end(), args.begin(), args.end());
    Child proxy(argv);
    int status = proxy.Wait(10000);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 64);  // a wrong command line
    EXPECT_NE(proxy.Output().find("zemproxy: " + args[0] +
                                  " must be a dotted quad (A.B.C.D), not \"" + args[1] + "\"\n"),
              std::string::npos)
        << proxy.Output();
  }
  EXPECT_TRUE(apps_test::Find(da, "ZemProxy", "").empty());
}

}  // namespace
