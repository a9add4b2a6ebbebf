// Tests of ZemProxyInitor against real zemproxy processes on loopback and a
// fake ABone client under a temporary ORVEL_PATH.
#include <arpa/inet.h>
#include <stdlib.h>

#include <memory>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "Zem.h"
#include "apps_util.h"
#include "orvel/http.h"
#include "testutil/net_util.h"
#include "testutil/process_util.h"

namespace {

using testutil::Child;
using testutil::StdoutCapture;
using testutil::TempDir;

unsigned long Addr(const char* text) { return inet_addr(text); }

// A zemproxy on its own loopback port.
struct Proxy : apps_test::ProxyProcess {
  TransportEndPoint endpoint() const { return TransportEndPoint(Addr("127.0.0.1"), port); }
  std::string log() const { return child->Output(); }
};

class Initor : public ::testing::Test {
 protected:
  Proxy StartProxy(const std::vector<std::string>& extra = {}) {
    Proxy p;
    static_cast<apps_test::ProxyProcess&>(p) = apps_test::StartProxy(extra);
    return p;
  }

  // Runs the initiator, capturing what it prints on stdout.
  std::string Run(std::vector<TransportEndPoint> eps, std::vector<TransportEndPoint> zones,
                  std::unique_ptr<ZemProxyInitor>* out) {
    StdoutCapture capture;
    *out = std::make_unique<ZemProxyInitor>(eps, zones);
    return capture.Finish();
  }

  static std::string Transports(const std::vector<MulticastEndPoint>& v) {
    std::string s;
    for (const auto& t : v) s += t.getAddrStr() + ":" + t.getPortStr() + "/" + t.getTTLStr() + " ";
    return s;
  }

  // "id=I version=V" of a log line.
  static std::string IdVersion(const std::string& line) {
    std::smatch m;
    std::regex re("id=(\\d+) version=(\\d+)");
    return std::regex_search(line, m, re) ? m[0].str() : "";
  }
};

TEST_F(Initor, EmptyListsSucceedAtOnce) {
  std::unique_ptr<ZemProxyInitor> initor;
  EXPECT_EQ(Run({}, {}, &initor), "");
  EXPECT_TRUE(initor->initOk());
  EXPECT_TRUE(initor->getEPTransports().empty());
  EXPECT_TRUE(initor->getZoneTransports().empty());
}

TEST_F(Initor, EndHostAndZoneProxyGetTheirGroupsAndPeers) {
  Proxy ep = StartProxy();
  Proxy zone = StartProxy();
  std::unique_ptr<ZemProxyInitor> initor;
  std::string out = Run({ep.endpoint()}, {zone.endpoint()}, &initor);
  ASSERT_TRUE(initor->initOk()) << out;
  EXPECT_EQ(out,
            "got ZemInitOk\nsending ZemCommit...got ZemCommitOk\n"
            "got ZemInitOk\nsending ZemCommit...got ZemCommitOk\n");
  EXPECT_EQ(Transports(initor->getEPTransports()), "224.5.6.7:7560/0 ");
  EXPECT_EQ(Transports(initor->getZoneTransports()), "225.5.6.7:7560/1 ");

  auto ep_got = ep.Received();
  auto zone_got = zone.Received();
  ASSERT_EQ(ep_got.size(), 2u) << ep.log();
  ASSERT_EQ(zone_got.size(), 2u) << zone.log();
  EXPECT_NE(ep_got[0].find("ZemInit id="), std::string::npos);
  EXPECT_NE(ep_got[0].find(" data_port=7560"), std::string::npos);
  EXPECT_NE(ep_got[1].find("ZemCommit id="), std::string::npos);
  EXPECT_NE(ep_got[1].find("data_addr=224.5.6.7 data_port=7560 ttl=0 members=0[]"),
            std::string::npos)
      << ep_got[1];
  EXPECT_NE(zone_got[1].find("data_addr=225.5.6.7 data_port=7560 ttl=1 members=1[127.0.0.1:" +
                             std::to_string(ep.port) + "]"),
            std::string::npos)
      << zone_got[1];
  // One id and version for the whole initialisation.
  std::string idv = IdVersion(ep_got[0]);
  EXPECT_FALSE(idv.empty());
  for (const auto& line : {ep_got[1], zone_got[0], zone_got[1]}) EXPECT_EQ(IdVersion(line), idv);
}

TEST_F(Initor, ThreeMembersEachCommitListsTheOthers) {
  Proxy a = StartProxy();
  Proxy b = StartProxy();
  Proxy c = StartProxy();
  std::unique_ptr<ZemProxyInitor> initor;
  std::string out = Run({a.endpoint(), b.endpoint()}, {c.endpoint()}, &initor);
  ASSERT_TRUE(initor->initOk()) << out;
  auto pa = "127.0.0.1:" + std::to_string(a.port);
  auto pb = "127.0.0.1:" + std::to_string(b.port);
  auto pc = "127.0.0.1:" + std::to_string(c.port);
  ASSERT_EQ(b.Received().size(), 2u);
  ASSERT_EQ(c.Received().size(), 2u);
  EXPECT_NE(a.Received().at(1).find("ttl=0 members=0[]"), std::string::npos);
  EXPECT_NE(b.Received()[1].find("224.5.6.7 data_port=7560 ttl=0 members=2[" + pa + "," + pc + "]"),
            std::string::npos)
      << b.Received()[1];
  EXPECT_NE(c.Received()[1].find("225.5.6.7 data_port=7560 ttl=1 members=2[" + pa + "," + pb + "]"),
            std::string::npos)
      << c.Received()[1];
  EXPECT_EQ(Transports(initor->getEPTransports()), "224.5.6.7:7560/0 224.5.6.7:7560/0 ");
  EXPECT_EQ(Transports(initor->getZoneTransports()), "225.5.6.7:7560/1 ");
}

// A member that cannot be reached stops the initialisation there; later
// members are never contacted and earlier transports stay.
struct StopCase {
  const char* name;
  std::vector<std::string> first_proxy_args;  // misbehaviour of member 1
  bool port_zero;                             // member 1 has port 0
  bool address_zero;                          // member 1 has address 0
  const char* printed;                        // expected in stdout
};

void PrintTo(const StopCase& c, std::ostream* os) { *os << c.name; }

class InitorStops : public Initor, public ::testing::WithParamInterface<StopCase> {};

TEST_P(InitorStops, AtTheFailingMember) {
  const StopCase& c = GetParam();
  Proxy first = StartProxy();
  Proxy bad = StartProxy(c.first_proxy_args);
  Proxy last = StartProxy();
  TransportEndPoint middle = bad.endpoint();
  if (c.port_zero) middle.setPort(static_cast<unsigned short>(0));
  if (c.address_zero) middle.setAddr(0UL);
  std::unique_ptr<ZemProxyInitor> initor;
  std::string out = Run({first.endpoint(), middle}, {last.endpoint()}, &initor);
  EXPECT_FALSE(initor->initOk());
  EXPECT_NE(out.find(c.printed), std::string::npos) << out;
  EXPECT_EQ(first.Received().size(), 2u);
  EXPECT_EQ(Transports(initor->getEPTransports()).substr(0, 17), "224.5.6.7:7560/0 ");
  EXPECT_TRUE(initor->getZoneTransports().empty());
  EXPECT_TRUE(last.Received().empty()) << last.log();
  if (c.port_zero) {
    EXPECT_TRUE(bad.Received().empty()) << bad.log();
  }
}

// A member without a proxy (address 0) dooms the synthesis: no member is
// contacted, not even those before it, so no proxy is left initialised for
// a session nobody will use.
TEST_F(Initor, MemberWithoutProxyContactsNoProxyAtAll) {
  Proxy first = StartProxy();
  Proxy last = StartProxy();
  std::unique_ptr<ZemProxyInitor> initor;
  orvel::testutil::StderrCapture err;
  std::string out = Run({first.endpoint(), TransportEndPoint()}, {last.endpoint()}, &initor);
  EXPECT_FALSE(initor->initOk());
  EXPECT_EQ(out, "");
  EXPECT_NE(err.Text().find("member 1 has no proxy address, returning now...\n"), std::string::npos)
      << err.Text();
  EXPECT_TRUE(first.Received().empty()) << first.log();
  EXPECT_TRUE(last.Received().empty()) << last.log();
  EXPECT_TRUE(initor->getEPTransports().empty());
  EXPECT_TRUE(initor->getZoneTransports().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Table, InitorStops,
    ::testing::Values(
        StopCase{"PortZero", {}, true, false, "got ZemCommitOk\n"},
        StopCase{"CommitOkAnsweredToInit",
                 {"--misbehave", "wrong-type"},
                 false,
                 false,
                 "got ZemCommitOk\n"},
        StopCase{
            "ClosedWithoutAnswer", {"--misbehave", "close"}, false, false, "got ZemCommitOk\n"}),
    [](const ::testing::TestParamInfo<StopCase>& info) { return std::string(info.param.name); });

// A proxy that sends its whole reply but keeps the connection open until
// the client gives up: the reply counts, after the time-out line.
TEST_F(Initor, WholeReplyFromProxyThatKeepsTheConnectionIsUsed) {
  orvel::testutil::FakePeer lingering([](int fd) {
    std::string request = orvel::testutil::ReadHttpRequest(fd);
    const bool commit = request.find("<ZemCommit") != std::string::npos;
    Msg* reply = commit ? static_cast<Msg*>(new ZemCommitOk(1, 2))
                        : static_cast<Msg*>(new ZemInitOk(1, 2, inet_addr("127.0.0.1"), 0));
    char* text = reply->getChars();
    std::string body(text);
    free(text);
    delete reply;
    orvel::testutil::SendAll(fd, "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: " +
                                     std::to_string(body.size()) + "\r\n\r\n" + body);
    // Stays until the client closes its end.
    (void)orvel::testutil::ReadUntilClosed(fd, 5000);
  });
  setenv("ORVEL_HTTP_CLIENT_TIMEOUT", "0.3", 1);
  orvel::testutil::StderrCapture err;
  std::unique_ptr<ZemProxyInitor> initor;
  std::string out = Run({TransportEndPoint(Addr("127.0.0.1"), lingering.port())}, {}, &initor);
  unsetenv("ORVEL_HTTP_CLIENT_TIMEOUT");
  EXPECT_TRUE(initor->initOk()) << out << err.Text();
  EXPECT_EQ(out, "got ZemInitOk\nsending ZemCommit...got ZemCommitOk\n");
  EXPECT_EQ(Transports(initor->getEPTransports()), "224.5.6.7:7560/0 ");
  EXPECT_NE(err.Text().find("Timed out after 0.3 s waiting for the reply from server\n"),
            std::string::npos)
      << err.Text();
  EXPECT_EQ(lingering.connections(), 2);
}

TEST_F(Initor, WrongReplyTypeSendsNoCommit) {
  Proxy bad = StartProxy({"--misbehave", "wrong-type"});
  std::unique_ptr<ZemProxyInitor> initor;
  std::string out = Run({bad.endpoint()}, {}, &initor);
  EXPECT_FALSE(initor->initOk());
  EXPECT_EQ(out, "");
  ASSERT_EQ(bad.Received().size(), 1u);
  EXPECT_NE(bad.Received()[0].find("ZemInit id="), std::string::npos);
  EXPECT_TRUE(initor->getEPTransports().empty());
}

// A proxy that answers too late fails its member once the client's reply
// time-out has passed, instead of holding the request for ever.
TEST_F(Initor, ProxyThatAnswersTooLateFailsTheMember) {
  setenv("ORVEL_HTTP_CLIENT_TIMEOUT", "1", 1);
  Proxy slow = StartProxy({"--misbehave", "delay=5000"});
  Proxy next = StartProxy();
  std::unique_ptr<ZemProxyInitor> initor;
  std::string out = Run({slow.endpoint(), next.endpoint()}, {}, &initor);
  unsetenv("ORVEL_HTTP_CLIENT_TIMEOUT");
  EXPECT_FALSE(initor->initOk());
  EXPECT_EQ(out, "");
  EXPECT_EQ(slow.Received().size(), 1u);
  EXPECT_TRUE(next.Received().empty());
}

// ---- ABone launches ---------------------------------------------------------

// A fake ABone client that records each invocation's arguments as one line
// "<arg1><arg2>...".
class AboneInitor : public Initor {
 protected:
  void SetUp() override {
    calls_ = dir_.path() + "/calls.log";
    dir_.WriteFile("abone/sc.linux",
                   "#!/bin/sh\nfor a in \"$@\"; do printf '<%s>' \"$a\"; done >> '" + calls_ +
                       "'\necho >> '" + calls_ + "'\n",
                   0755);
    setenv("ORVEL_PATH", dir_.path().c_str(), 1);
    setenv("ORVEL_ABONEVIEWERARGS", "-v 2", 1);
    setenv("ORVEL_PROXY_CODE_URL", "http://code.test/executables/proxy", 1);
    setenv("ORVEL_VIEWER_CODE_URL", "http://code.test/executables/viewer", 1);
    // No proxy program to wait for here.
    ZemProxyInitor::setLoadWaitForTesting(0);
  }
  static TransportEndPoint AboneNode(const char* addr) {
    TransportEndPoint t(Addr(addr), 0);
    t.setAboneNode();
    return t;
  }
  std::vector<std::string> Calls() const {
    std::vector<std::string> lines;
    std::string all = testutil::ReadFileOrEmpty(calls_);
    size_t pos = 0, end;
    while ((end = all.find('\n', pos)) != std::string::npos) {
      lines.push_back(all.substr(pos, end - pos));
      pos = end + 1;
    }
    return lines;
  }
  std::string Absc() const { return dir_.path() + "/abone/sc.linux -f anee2"; }
  static std::string Invoking(const std::string& cmd) {
    const std::string rule(53, '=');
    return "invoking proxy using command line:\n" + rule + "\n" + cmd + "\n" + rule + "\n";
  }

  TempDir dir_;
  std::string calls_;
};

TEST_F(AboneInitor, TwoNodesGetLoadAndStartCommandsByteForByte) {
  std::unique_ptr<ZemProxyInitor> initor;
  std::string out = Run({AboneNode("127.0.0.2")}, {AboneNode("127.0.0.3")}, &initor);
  ASSERT_TRUE(initor->initOk()) << out;
  const std::string start0 =
      Absc() +
      " 127.0.0.2 LOAD X=http://code.test/executables/viewer O=out.txt R=err.txt "
      "C=VanoruProxy -v 2 ";
  const std::string start1 =
      Absc() +
      " 127.0.0.3 LOAD X=http://code.test/executables/viewer O=out.txt R=err.txt "
      "C=VanoruProxy -v 2 S=-m127.0.0.2 ";
  EXPECT_EQ(out, "loading proxy to 127.0.0.2...\n" + Invoking(start0) +
                     "loading proxy to 127.0.0.3...\n" + Invoking(start1));
  EXPECT_EQ(Calls(), (std::vector<std::string>{
                         "<-f><anee2><127.0.0.2><LOAD><X=http://code.test/executables/proxy><S=-C>",
                         "<-f><anee2><127.0.0.2><LOAD><X=http://code.test/executables/viewer>"
                         "<O=out.txt><R=err.txt><C=VanoruProxy><-v><2>",
                         "<-f><anee2><127.0.0.3><LOAD><X=http://code.test/executables/proxy><S=-C>",
                         "<-f><anee2><127.0.0.3><LOAD><X=http://code.test/executables/viewer>"
                         "<O=out.txt><R=err.txt><C=VanoruProxy><-v><2><S=-m127.0.0.2>"}));
  EXPECT_EQ(Transports(initor->getEPTransports()), "127.0.0.2:7560/255 ");
  EXPECT_EQ(Transports(initor->getZoneTransports()), "127.0.0.3:7560/255 ");
}

TEST_F(AboneInitor, EmptyViewerArgumentsGiveTwoSpaces) {
  setenv("ORVEL_ABONEVIEWERARGS", "", 1);
  std::unique_ptr<ZemProxyInitor> initor;
  std::string out = Run({AboneNode("127.0.0.2")}, {}, &initor);
  ASSERT_TRUE(initor->initOk()) << out;
  EXPECT_NE(out.find(Absc() + " 127.0.0.2 LOAD X=http://code.test/executables/viewer "
                              "O=out.txt R=err.txt C=VanoruProxy  \n"),
            std::string::npos)
      << out;
  EXPECT_EQ(Calls().size(), 2u);
}

TEST_F(AboneInitor, ViewerArgumentsUnsetStopAfterTheLoad) {
  unsetenv("ORVEL_ABONEVIEWERARGS");
  std::unique_ptr<ZemProxyInitor> initor;
  std::string out = Run({AboneNode("127.0.0.2"), AboneNode("127.0.0.3")}, {}, &initor);
  EXPECT_FALSE(initor->initOk());
  EXPECT_EQ(out,
            "loading proxy to 127.0.0.2...\nORVEL_ABONEVIEWERARGS not set, returning now...\n");
  EXPECT_EQ(Calls().size(), 1u);
  EXPECT_TRUE(initor->getEPTransports().empty());
}

TEST_F(AboneInitor, PathUnsetRunsNothing) {
  unsetenv("ORVEL_PATH");
  std::unique_ptr<ZemProxyInitor> initor;
  std::string out = Run({AboneNode("127.0.0.2")}, {}, &initor);
  EXPECT_FALSE(initor->initOk());
  EXPECT_EQ(out, "ORVEL_PATH not set, returning now...\n");
  EXPECT_TRUE(Calls().empty());
}

// A client that could not run (missing: the shell says 127; not executable:
// 126) or that a signal killed fails its member, before the wait.  Any other
// exit status is the client's own business, those above 128 included.
TEST_F(AboneInitor, OnlyClientsThatDidNotRunOrWereKilledFailTheMember) {
  struct {
    const char* script;  // "" removes the client
    int mode;
    const char* printed;  // "" when the member is served
  } cases[] = {
      {"#!/bin/sh\nexit 1\n", 0755, ""},
      {"#!/bin/sh\nexit 130\n", 0755, ""},
      {"#!/bin/sh\nexit 200\n", 0755, ""},
      {"", 0, "command could not be run (status 127), returning now...\n"},
      {"#!/bin/sh\nexit 0\n", 0644, "command could not be run (status 126), returning now...\n"},
      {"#!/bin/sh\nkill -TERM $$\nsleep 5\n", 0755,
       "command ended by signal 15, returning now...\n"},
      {"#!/bin/sh\nkill -9 $$\n", 0755, "command ended by signal 9, returning now...\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.script) + " mode " + std::to_string(c.mode));
    unlink((dir_.path() + "/abone/sc.linux").c_str());
    if (*c.script) dir_.WriteFile("abone/sc.linux", c.script, c.mode);
    std::unique_ptr<ZemProxyInitor> initor;
    std::string out = Run({AboneNode("127.0.0.2")}, {}, &initor);
    if (*c.printed) {
      EXPECT_FALSE(initor->initOk());
      EXPECT_EQ(out, std::string("loading proxy to 127.0.0.2...\n") + c.printed);
      EXPECT_TRUE(initor->getEPTransports().empty());
    } else {
      EXPECT_TRUE(initor->initOk()) << out;
      EXPECT_NE(out.find("invoking proxy using command line:\n"), std::string::npos) << out;
      EXPECT_EQ(Transports(initor->getEPTransports()), "127.0.0.2:7560/255 ");
    }
  }
}

// A line with more than one command (viewer arguments from the environment)
// is run by the shell as it stands: every command in it runs.
TEST_F(AboneInitor, LineWithSeveralCommandsRunsAsItStands) {
  setenv("ORVEL_ABONEVIEWERARGS", ("-v; echo after >> '" + calls_ + "'").c_str(), 1);
  std::unique_ptr<ZemProxyInitor> initor;
  std::string out = Run({AboneNode("127.0.0.2")}, {}, &initor);
  EXPECT_TRUE(initor->initOk()) << out;
  std::vector<std::string> calls = Calls();
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[1],
            "<-f><anee2><127.0.0.2><LOAD><X=http://code.test/executables/viewer>"
            "<O=out.txt><R=err.txt><C=VanoruProxy><-v>");
  EXPECT_EQ(calls[2], "after");
}

TEST_F(AboneInitor, AddressZeroRunsNoCommand) {
  std::unique_ptr<ZemProxyInitor> initor;
  std::string out = Run({AboneNode("0.0.0.0")}, {}, &initor);
  EXPECT_FALSE(initor->initOk());
  EXPECT_EQ(out, "");
  EXPECT_TRUE(Calls().empty());
}

TEST(CodeURLs, EnvironmentOverridesTheBuildDefault) {
  unsetenv("ORVEL_PROXY_CODE_URL");
  unsetenv("ORVEL_VIEWER_CODE_URL");
  const std::string proxy = proxyCodeURL();
  const std::string viewer = viewerCodeURL();
  EXPECT_EQ(proxy.rfind("http://", 0), 0u);
  EXPECT_EQ(proxy.substr(proxy.size() - 18), "/executables/proxy");
  EXPECT_EQ(viewer.substr(viewer.size() - 19), "/executables/viewer");
  setenv("ORVEL_PROXY_CODE_URL", "http://a.test/p", 1);
  setenv("ORVEL_VIEWER_CODE_URL", "http://a.test/v", 1);
  EXPECT_EQ(proxyCodeURL(), "http://a.test/p");
  EXPECT_EQ(viewerCodeURL(), "http://a.test/v");
}

}  // namespace
