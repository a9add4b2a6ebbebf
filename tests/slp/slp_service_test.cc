// SLPService and ServiceInstance: URL reading rules, the result callback,
// result access, and the properties set for a given or empty agent address.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "fake_agent.h"
#include "orvel/SLP.h"
#include "slp/lookup_session.h"
#include "slp/ua_internal.h"
#include "slp/wire.h"

namespace {

using orvel::slp::Message;
using orvel::slp::SrvRply;

unsigned long Addr(const char* dotted) { return inet_addr(dotted); }

TEST(ServiceInstance, AddressAndPortFromUrl) {
  struct Case {
    const char* url;
    const char* addr;  // expected dotted quad, "" for 0
    unsigned short port;
  } cases[] = {
      {"service:ZemProxy://10.0.0.5:5000", "10.0.0.5", 5000},
      // Without a port the last colon is the one before "//".
      {"service:ZemProxy://10.0.0.5", "10.0.0.5", 0},
      {"ZemProxy://10.0.0.5:5000", "10.0.0.5", 5000},
      {"service:CompResource://10.1.2.3/?x-PELM-num=1", "10.1.2.3", 0},
      // Port and attribute part together: the host text keeps the port.
      {"service:CompResource://10.1.2.3:80/?x-PELM-num=1", "", 80},
      {"service:ZemProxy:10.0.0.5:5000", "", 5000},         // no "//"
      {"service:ZemProxy://proxy.example:5000", "", 5000},  // a name
      {"service:ZemProxy://10.0.0.5:65535", "10.0.0.5", 65535},
      {"service:ZemProxy://10.0.0.5:65536", "10.0.0.5", 0},
      {"service:ZemProxy://10.0.0.5:99999999999999999999", "10.0.0.5", 0},
      {"service:ZemProxy://10.0.0.5:", "10.0.0.5", 0},
      {"service:ZemProxy://10.0.0.5:12ab", "10.0.0.5", 12},
      {"", "", 0},
      {"//", "", 0},
      {"x://a:1", "", 1},  // one character before the colon: host is "a:1"
      // "/?x-PELM" before the "//" is not the attribute part; reading it
      // there once put the end of the host before its start.
      {"a/?x-PELM://10.0.0.7:42", "10.0.0.7", 42},
      {"/?x-PELM//10.0.0.8", "10.0.0.8", 0},
  };
  for (const Case& c : cases) {
    ServiceInstance si(c.url, 10);
    EXPECT_EQ(si.getAddr(), *c.addr ? Addr(c.addr) : 0ul) << c.url;
    EXPECT_EQ(si.getPort(), c.port) << c.url;
    if (*c.addr) {
      EXPECT_EQ(si.getAddrStr(), c.addr) << c.url;
    }
  }
}

TEST(SLPFindSrvCallback, KeepsOnlyRealAnswers) {
  struct Call {
    const char* url;
    unsigned short lifetime;
    SLPError err;
    bool kept;
  } calls[] = {
      {"service:x://1.1.1.1:1", 300, SLP_OK, true},
      {"service:x://2.2.2.2:2", 0, SLP_OK, false},  // lifetime 0
      {nullptr, 0, SLP_LAST_CALL, false},           // closing call
      {nullptr, 10, SLP_OK, false},                 // null URL
      {nullptr, 10, SLP_LAST_CALL, false},
      {"service:x://3.3.3.3:3", 5, SLP_NETWORK_TIMED_OUT, false},
      {"service:x://4.4.4.4:4", 5, SLP_PARSE_ERROR, false},
      {"service:x://5.5.5.5:5", 9, SLP_LAST_CALL, true},
  };
  std::vector<ServiceInstance> list;
  for (const Call& c : calls) {
    size_t before = list.size();
    EXPECT_EQ(SLPFindSrvCallback(nullptr, c.url, c.lifetime, c.err, &list), SLP_TRUE);
    EXPECT_EQ(list.size(), before + (c.kept ? 1 : 0)) << (c.url ? c.url : "(null)");
  }
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].getServiceURL(), "service:x://1.1.1.1:1");
  EXPECT_EQ(list[0].getLifetime(), 300);
  EXPECT_EQ(list[1].getLifetime(), 9);
}

TEST(SLPServiceProperties, EmptyAgentAddressTurnsOnDiscovery) {
  SLPSetProperty("net.slp.DAAddresses", "");
  SLPSetProperty("net.slp.activeDADetection", "false");
  SLPSetProperty("net.slp.passiveDADetection", "false");
  {
    SLPService s("ZemProxy", "", "", "default");
    EXPECT_STREQ(SLPGetProperty("net.slp.activeDADetection"), "true");
    EXPECT_STREQ(SLPGetProperty("net.slp.passiveDADetection"), "true");
    EXPECT_STREQ(SLPGetProperty("net.slp.DAAddresses"), "");
  }
  {
    SLPService s("ZemProxy", "", "127.0.0.1", "default");
    EXPECT_STREQ(SLPGetProperty("net.slp.DAAddresses"), "127.0.0.1");
    EXPECT_STREQ(SLPGetProperty("net.slp.activeDADetection"), "false");
    EXPECT_STREQ(SLPGetProperty("net.slp.passiveDADetection"), "false");
  }
}

// Runs searches against a fake agent that answers with fixed URL entries.
class SLPServiceSearch : public ::testing::Test {
 protected:
  void SetUp() override {
    SLPSetProperty("net.slp.datagramTimeouts", "200,200");
    SLPSetProperty("net.slp.unicastMaximumWait", "1000");
  }
  void Answer(std::vector<orvel::slp::UrlEntry> urls) {
    agent_ = std::make_unique<slptest::FakeAgent>(
        [urls](const Message& req, bool) -> std::vector<std::string> {
          SrvRply r;
          r.urls = urls;
          return {slptest::ReplyTo(req, r)};
        });
    ASSERT_TRUE(agent_->ok());
  }
  std::unique_ptr<slptest::FakeAgent> agent_;
};

TEST_F(SLPServiceSearch, EmptyReplyYieldsZero) {
  Answer({});
  SLPService s("ZemProxy", "(addr=1.2.3.4)", agent_->address(), "default");
  EXPECT_EQ(s.FindServices(), 0);
  EXPECT_EQ(s.numFound(), 0);
  EXPECT_EQ(s.serviceAt(0), nullptr);
  std::vector<ServiceInstance> keep{ServiceInstance("u", 1)};
  EXPECT_EQ(s.getSIvec(keep), 0);
  EXPECT_EQ(keep.size(), 1u);  // left as it was
}

TEST_F(SLPServiceSearch, ResultsInOrderWithoutLifetimeZero) {
  Answer({{300, "service:ZemProxy://10.0.0.1:5000", {}},
          {0, "service:ZemProxy://10.0.0.2:5000", {}},
          {20, "service:ZemProxy://10.0.0.3:6000", {}}});
  SLPService s("ZemProxy", "", agent_->address(), "default");
  ASSERT_EQ(s.FindServices(), 2);
  EXPECT_EQ(s.numFound(), 2);
  ASSERT_NE(s.serviceAt(0), nullptr);
  ASSERT_NE(s.serviceAt(1), nullptr);
  EXPECT_EQ(s.serviceAt(0)->getAddrStr(), "10.0.0.1");
  EXPECT_EQ(s.serviceAt(0)->getLifetime(), 300);
  EXPECT_EQ(s.serviceAt(1)->getPort(), 6000);
  EXPECT_EQ(s.serviceAt(-1), nullptr);
  EXPECT_EQ(s.serviceAt(2), nullptr);
  std::vector<ServiceInstance> out{ServiceInstance("old", 1)};
  EXPECT_EQ(s.getSIvec(out), 2);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[1].getServiceURL(), "service:ZemProxy://10.0.0.3:6000");
}

TEST_F(SLPServiceSearch, FailedSearchHidesEarlierResults) {
  Answer({{300, "service:ZemProxy://10.0.0.1:5000", {}}});
  SLPService s("ZemProxy", "", agent_->address(), "default");
  ASSERT_EQ(s.FindServices(), 1);
  const std::string address = agent_->address();
  agent_.reset();  // nobody answers there any more
  EXPECT_EQ(s.FindServices(), -1);
  // Not a time-out: the reason says what happened, at which agent.
  EXPECT_EQ(s.lastError(), SLP_NETWORK_ERROR);
  EXPECT_EQ(s.lastReason(), address + ": nobody on the port: Connection refused");
  EXPECT_EQ(s.numFound(), 0);
  EXPECT_EQ(s.serviceAt(0), nullptr);
  std::vector<ServiceInstance> out;
  EXPECT_EQ(s.getSIvec(out), 0);
}

TEST_F(SLPServiceSearch, ErrorReplyFails) {
  agent_ = std::make_unique<slptest::FakeAgent>(
      [](const Message& req, bool) -> std::vector<std::string> {
        SrvRply r;
        r.error = orvel::slp::error::kParseError;
        return {slptest::ReplyTo(req, r)};
      });
  SLPService s("ZemProxy", "(((", agent_->address(), "default");
  EXPECT_EQ(s.FindServices(), -1);
  EXPECT_EQ(s.numFound(), 0);
}

// An agent that answers every search with one URL.
std::unique_ptr<slptest::FakeAgent> AgentWithUrl(const std::string& url) {
  return std::make_unique<slptest::FakeAgent>(
      [url](const Message& req, bool) -> std::vector<std::string> {
        SrvRply r;
        r.urls = {{60, url, {}}};
        return {slptest::ReplyTo(req, r)};
      });
}

std::string FirstUrl(SLPService& s) {
  if (s.FindServices() != 1) return "failed: " + s.lastReason();
  return s.serviceAt(0)->getServiceURL();
}

// Each service (and session) asks its own agents, whatever the services
// made after it were given.
TEST_F(SLPServiceSearch, ServicesKeepTheirOwnAgents) {
  auto a = AgentWithUrl("service:ZemProxy://10.0.0.1:1");
  auto b = AgentWithUrl("service:ZemProxy://10.0.0.2:2");
  SLPService sa("ZemProxy", "", a->address(), "default");
  SLPService sb("ZemProxy", "", b->address(), "default");
  EXPECT_EQ(FirstUrl(sa), "service:ZemProxy://10.0.0.1:1");
  EXPECT_EQ(FirstUrl(sb), "service:ZemProxy://10.0.0.2:2");
  EXPECT_EQ(FirstUrl(sa), "service:ZemProxy://10.0.0.1:1");

  // An empty address means discovery, not the agent an earlier service was
  // given.  The discovered agent is planted: no multicast leaves the test.
  // In a child, since discovery starts the process's passive listener,
  // which the discovery tests want to start themselves.
  sockaddr_in discovered;
  ASSERT_TRUE(orvel::slp::ResolveAgent(b->address(), 427, &discovered));
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    orvel::slp::SetDiscoveredAgents({discovered});
    SLPService given("ZemProxy", "", a->address(), "default");
    SLPService empty("ZemProxy", "", "", "default");
    int rc = FirstUrl(empty) == "service:ZemProxy://10.0.0.2:2" ? 0 : 3;
    if (rc == 0 && FirstUrl(given) != "service:ZemProxy://10.0.0.1:1") rc = 4;
    _exit(rc);
  }
  int status = -1;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;

  // A session: many look-ups over one handle, its own agent, no property.
  SLPSetProperty("net.slp.DAAddresses", b->address().c_str());
  orvel::slp::LookupSession session(a->address());
  std::vector<ServiceInstance> found;
  for (int i = 0; i < 3; ++i) {
    orvel::Status st = session.Find("ZemProxy", "", "default", &found);
    ASSERT_TRUE(st.ok()) << st.ToString();
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].getServiceURL(), "service:ZemProxy://10.0.0.1:1");
  }
  EXPECT_EQ(session.agent(), a->address());
  EXPECT_STREQ(SLPGetProperty("net.slp.DAAddresses"), b->address().c_str());
  SLPSetProperty("net.slp.DAAddresses", "");

  // A failed look-up keeps its reason and code; a silent agent times out.
  SLPError code = SLP_OK;
  const std::string gone = a->address();
  a.reset();
  orvel::Status st = session.Find("ZemProxy", "", "default", &found, &code);
  EXPECT_EQ(code, SLP_NETWORK_ERROR);
  EXPECT_EQ(st.ToString(), gone + ": nobody on the port: Connection refused");
  slptest::FakeAgent silent([](const Message&, bool) { return std::vector<std::string>{}; });
  orvel::slp::LookupSession quiet(silent.address());
  st = quiet.Find("ZemProxy", "", "default", &found, &code);
  EXPECT_EQ(code, SLP_NETWORK_TIMED_OUT);
  EXPECT_TRUE(st.IsTimedOut()) << st.ToString();
  EXPECT_EQ(st.message().rfind(silent.address() + ": no reply to 2 datagrams", 0), 0u)
      << st.ToString();
}

}  // namespace
