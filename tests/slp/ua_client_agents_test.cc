// SLP client against scripted agents on loopback: answers cut to a
// datagram the way other agents cut them, answers past 4 MiB, agent errors
// that keep their reason, several agents (order after a failure, every one
// registered with), registrations kept alive, and the agents' refresh
// interval.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fake_agent.h"
#include "orvel/SLP.h"
#include "orvel/slp_api.h"
#include "slp/ua_internal.h"
#include "slp/wire.h"

namespace {

using namespace orvel::slp;
using slptest::FakeAgent;
using slptest::ReplyTo;
using Replies = std::vector<std::string>;

struct Urls {
  std::vector<std::string> urls;
  SLPError final_code = SLP_OK;
};

SLPBoolean Collect(SLPHandle, const char* url, unsigned short, SLPError err, void* cookie) {
  Urls* u = static_cast<Urls*>(cookie);
  if (err == SLP_OK && url)
    u->urls.push_back(url);
  else
    u->final_code = err;
  return SLP_TRUE;
}

void RegReport(SLPHandle, SLPError err, void* cookie) { *static_cast<SLPError*>(cookie) = err; }

SrvRply ManyUrls(int count, const std::string& padding = "") {
  SrvRply r;
  for (int i = 0; i < count; ++i)
    r.urls.push_back({300,
                      "service:ZemProxy://10." + std::to_string(i / 65536) + "." +
                          std::to_string(i / 256 % 256) + "." + std::to_string(i % 256) + ":5000" +
                          padding,
                      {}});
  return r;
}

// Polls cond for up to 5 s; the tests wait for events, not for time.
template <typename Cond>
bool Eventually(Cond cond) {
  for (int i = 0; i < 500; ++i) {
    if (cond()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return cond();
}

class SlpAgents : public ::testing::Test {
 protected:
  void SetUp() override {
    SLPSetProperty("net.slp.activeDADetection", "false");
    SLPSetProperty("net.slp.passiveDADetection", "false");
    SLPSetProperty("net.slp.datagramTimeouts", "300,300,300");
    SLPSetProperty("net.slp.unicastMaximumWait", "2000");
    SLPSetProperty("net.slp.useScopes", "default");
    SLPSetProperty("net.slp.MTU", "1400");
    ForgetAgentFailures();  // ports of earlier tests' agents come back
    ASSERT_EQ(SLPOpen("en", SLP_FALSE, &h_), SLP_OK);
  }
  void TearDown() override {
    SLPClose(h_);
    SetRefreshPeriodForTesting(std::chrono::milliseconds(0));
  }
  void UseAgents(const std::string& list) { SLPSetProperty("net.slp.DAAddresses", list.c_str()); }
  SLPError Find(Urls* u) { return SLPFindSrvs(h_, "ZemProxy", "default", "", Collect, u); }
  SLPHandle h_ = nullptr;
};

// Another agent's way with a big answer: the first datagram-sized part of
// the whole message, its header keeping the full length; with or without
// the overflow flag.  Over TCP the whole message.
TEST_F(SlpAgents, AnswerCutToADatagramIsFetchedWholeOverTcp) {
  for (uint16_t flags : {kFlagOverflow, uint16_t{0}}) {
    FakeAgent agent([flags](const Message& req, bool tcp) {
      std::string whole = ReplyTo(req, ManyUrls(10000), flags);
      if (!tcp) whole.resize(kDefaultMaxDatagramBytes);
      return Replies{whole};
    });
    UseAgents(agent.address());
    Urls u;
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(Find(&u), SLP_OK) << "flags " << flags;
    double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    std::printf("10000 URLs, cut datagram (flags 0x%04x) then TCP: %.1f ms\n", flags, ms);
    ASSERT_EQ(u.urls.size(), 10000u);
    EXPECT_EQ(u.urls[9999], "service:ZemProxy://10.0.39.15:5000");
    EXPECT_EQ(u.final_code, SLP_LAST_CALL);
    EXPECT_EQ(agent.udp_requests(), 1);  // no retransmission
    EXPECT_EQ(agent.tcp_requests(), 1);
  }
}

// When TCP fails, a cut datagram that decodes (whole entries and the
// flag) is still an answer; one that does not decode is no answer.
TEST_F(SlpAgents, CutDatagramWithoutTcpIsUsedOnlyWhenWhole) {
  FakeAgent whole_entries([](const Message& req, bool tcp) {
    if (tcp) return Replies{};  // closes without an answer
    return Replies{ReplyTo(req, ManyUrls(3), kFlagOverflow)};
  });
  UseAgents(whole_entries.address());
  Urls u;
  ASSERT_EQ(Find(&u), SLP_OK);
  EXPECT_EQ(u.urls.size(), 3u);

  FakeAgent cut([](const Message& req, bool tcp) {
    if (tcp) return Replies{};
    std::string part = ReplyTo(req, ManyUrls(100), kFlagOverflow);
    part.resize(500);
    return Replies{part};
  });
  UseAgents(cut.address());
  Urls none;
  // The agent answered, then closed the TCP connection: a network error
  // that says so, not "no directory agent answered in time".
  EXPECT_EQ(Find(&none), SLP_NETWORK_ERROR);
  EXPECT_TRUE(none.urls.empty());
  EXPECT_EQ(LastStatusOf(h_).ToString(),
            cut.address() + ": reading the reply over TCP: closed by the peer");
}

// The length field has 24 bits: an answer of several megabytes is read.
TEST_F(SlpAgents, AnswerOfSeveralMegabytesIsReadWholeOverTcp) {
  const std::string padding(80, 'p');
  FakeAgent agent([&padding](const Message& req, bool tcp) {
    if (!tcp) return Replies{ReplyTo(req, ManyUrls(10), kFlagOverflow)};
    return Replies{ReplyTo(req, ManyUrls(60000, padding))};
  });
  UseAgents(agent.address());
  Urls u;
  ASSERT_EQ(Find(&u), SLP_OK);
  ASSERT_EQ(u.urls.size(), 60000u);  // over 5 MiB on the wire
  EXPECT_EQ(u.urls.back(), "service:ZemProxy://10.0.234.95:5000" + padding);
}

// Errors 9, 10 and 11 are the agent's answer, not a network fault.
TEST_F(SlpAgents, AgentErrorsKeepTheirReason) {
  struct Case {
    uint16_t wire;
    SLPError api;
  } cases[] = {{error::kVerNotSupported, SLP_VER_NOT_SUPPORTED},
               {error::kInternalError, SLP_INTERNAL_ERROR},
               {error::kDaBusyNow, SLP_DA_BUSY_NOW}};
  for (const Case& c : cases) {
    uint16_t code = c.wire;
    FakeAgent agent([code](const Message& req, bool) {
      SrvRply r;
      r.error = code;
      return Replies{ReplyTo(req, r)};
    });
    UseAgents(agent.address());
    Urls u;
    EXPECT_EQ(Find(&u), c.api) << c.wire;
    EXPECT_EQ(u.final_code, c.api);
    EXPECT_EQ(LastAgentOf(h_), agent.address());

    // SLPService keeps both for the caller's log.
    SLPService s("ZemProxy", "", agent.address(), "default");
    EXPECT_EQ(s.FindServices(), -1);
    EXPECT_EQ(s.lastError(), c.api);
    EXPECT_EQ(s.agentAddress(), agent.address());
    EXPECT_STRNE(SLPErrorText(s.lastError()), SLPErrorText(SLP_NETWORK_ERROR));
  }
}

// A busy or broken agent makes way for the next one.
TEST_F(SlpAgents, NextAgentServesWhenFirstIsBusyOrBroken) {
  for (uint16_t code : {error::kDaBusyNow, error::kInternalError}) {
    FakeAgent first([code](const Message& req, bool) {
      SrvRply r;
      r.error = code;
      return Replies{ReplyTo(req, r)};
    });
    FakeAgent second([](const Message& req, bool) { return Replies{ReplyTo(req, ManyUrls(1))}; });
    UseAgents(first.address() + "," + second.address());
    Urls u;
    ASSERT_EQ(Find(&u), SLP_OK) << code;
    EXPECT_EQ(u.urls.size(), 1u);
    EXPECT_EQ(LastAgentOf(h_), second.address());
  }
}

TEST_F(SlpAgents, SilentAgentIsAskedLastAfterItFailed) {
  FakeAgent silent([](const Message&, bool) { return Replies{}; });
  FakeAgent live([](const Message& req, bool) { return Replies{ReplyTo(req, ManyUrls(1))}; });
  UseAgents(silent.address() + "," + live.address());
  Urls u;
  ASSERT_EQ(Find(&u), SLP_OK);
  EXPECT_EQ(silent.udp_requests(), 3);
  // The next searches go to the live agent first: the silent one costs
  // its wait once, not on every search.
  for (int i = 0; i < 3; ++i) {
    Urls again;
    ASSERT_EQ(Find(&again), SLP_OK);
    EXPECT_EQ(again.urls.size(), 1u);
  }
  EXPECT_EQ(silent.udp_requests(), 3);
  EXPECT_EQ(live.udp_requests(), 4);
}

TEST_F(SlpAgents, SearchThatFailsEverywhereNamesTheAgentsAsked) {
  FakeAgent a([](const Message&, bool) { return Replies{}; });
  FakeAgent b([](const Message&, bool) { return Replies{}; });
  UseAgents(a.address() + "," + b.address());
  SLPService s("ZemProxy", "", a.address() + "," + b.address(), "default");
  EXPECT_EQ(s.FindServices(), -1);
  EXPECT_EQ(s.lastError(), SLP_NETWORK_TIMED_OUT);
  EXPECT_NE(s.agentAddress().find(a.address()), std::string::npos);
  EXPECT_NE(s.agentAddress().find(b.address()), std::string::npos);
}

// Counts the registrations and deregistrations an agent receives.
struct RegLog {
  std::mutex mu;
  std::vector<Function> kinds;
  std::vector<uint16_t> lifetimes;
  int count(Function f) {
    std::lock_guard<std::mutex> lock(mu);
    int n = 0;
    for (Function k : kinds) n += k == f;
    return n;
  }
  Function last() {
    std::lock_guard<std::mutex> lock(mu);
    return kinds.empty() ? Function::kSrvRqst : kinds.back();
  }
};

slptest::Handler Acking(RegLog* log) {
  return [log](const Message& req, bool) {
    std::lock_guard<std::mutex> lock(log->mu);
    log->kinds.push_back(FunctionOf(req.body));
    if (const SrvReg* r = std::get_if<SrvReg>(&req.body))
      log->lifetimes.push_back(r->entry.lifetime);
    return Replies{ReplyTo(req, SrvAck{})};
  };
}

TEST_F(SlpAgents, RegistrationGoesToEveryListedAgent) {
  RegLog log_a, log_b;
  FakeAgent a(Acking(&log_a));
  FakeAgent b(Acking(&log_b));
  std::string dead = "127.0.0.1:" + std::to_string(slptest::DeadUdpPort());
  UseAgents(a.address() + "," + dead + "," + b.address());
  SLPError report = SLP_INTERNAL_SYSTEM_ERROR;
  ASSERT_EQ(SLPReg(h_, "service:ZemProxy://10.0.0.9:5000", 300, "", "(addr=10.0.0.9)", SLP_TRUE,
                   RegReport, &report),
            SLP_OK);
  EXPECT_EQ(report, SLP_OK);
  EXPECT_EQ(log_a.count(Function::kSrvReg), 1);
  EXPECT_EQ(log_b.count(Function::kSrvReg), 1);
  ASSERT_EQ(SLPDereg(h_, "service:ZemProxy://10.0.0.9:5000", RegReport, &report), SLP_OK);
  EXPECT_EQ(log_a.count(Function::kSrvDeReg), 1);
  EXPECT_EQ(log_b.count(Function::kSrvDeReg), 1);
}

TEST_F(SlpAgents, MaximumLifetimeIsRefreshedUntilDeregistered) {
  RegLog log;
  FakeAgent agent(Acking(&log));
  UseAgents(agent.address());
  SetRefreshPeriodForTesting(std::chrono::milliseconds(50));
  SLPError report = SLP_INTERNAL_SYSTEM_ERROR;
  const char* url = "service:ZemProxy://10.0.0.9:5000";
  ASSERT_EQ(
      SLPReg(h_, url, SLP_LIFETIME_MAXIMUM, "", "(addr=10.0.0.9)", SLP_TRUE, RegReport, &report),
      SLP_OK);
  EXPECT_TRUE(Eventually([&] { return log.count(Function::kSrvReg) >= 3; }));
  // The handle stays usable meanwhile.
  ASSERT_EQ(SLPReg(h_, "service:x://1.1.1.1", 60, "", "", SLP_TRUE, RegReport, &report), SLP_OK);
  ASSERT_EQ(SLPDereg(h_, url, RegReport, &report), SLP_OK);
  int regs = log.count(Function::kSrvReg);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  // Nothing registers the URL again after its deregistration.
  EXPECT_EQ(log.count(Function::kSrvReg), regs);
  EXPECT_EQ(log.last(), Function::kSrvDeReg);
  std::lock_guard<std::mutex> lock(log.mu);
  EXPECT_EQ(log.lifetimes.front(), SLP_LIFETIME_MAXIMUM);
}

TEST_F(SlpAgents, FiniteLifetimeAndClosedHandleAreNotRefreshed) {
  RegLog log;
  FakeAgent agent(Acking(&log));
  UseAgents(agent.address());
  SetRefreshPeriodForTesting(std::chrono::milliseconds(50));
  SLPError report;
  ASSERT_EQ(SLPReg(h_, "service:x://1.1.1.1", 600, "", "", SLP_TRUE, RegReport, &report), SLP_OK);
  SLPHandle other = nullptr;
  ASSERT_EQ(SLPOpen("en", SLP_FALSE, &other), SLP_OK);
  ASSERT_EQ(SLPReg(other, "service:x://2.2.2.2", SLP_LIFETIME_MAXIMUM, "", "", SLP_TRUE, RegReport,
                   &report),
            SLP_OK);
  EXPECT_TRUE(Eventually([&] { return log.count(Function::kSrvReg) >= 3; }));
  SLPClose(other);
  int regs = log.count(Function::kSrvReg);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(log.count(Function::kSrvReg), regs);
}

TEST_F(SlpAgents, DeletedAttributesStayDeletedAcrossRefreshes) {
  std::mutex mu;
  std::vector<std::string> reg_attrs;
  FakeAgent agent([&](const Message& req, bool) {
    if (const SrvReg* r = std::get_if<SrvReg>(&req.body)) {
      std::lock_guard<std::mutex> lock(mu);
      reg_attrs.push_back(r->attrs);
    }
    return Replies{ReplyTo(req, SrvAck{})};
  });
  UseAgents(agent.address());
  SetRefreshPeriodForTesting(std::chrono::milliseconds(50));
  SLPError report;
  const char* url = "service:x://1.1.1.1";
  ASSERT_EQ(SLPReg(h_, url, SLP_LIFETIME_MAXIMUM, "", "(a=1),(b=2,3),x-c,(d=4)", SLP_TRUE,
                   RegReport, &report),
            SLP_OK);
  ASSERT_EQ(SLPDelAttrs(h_, url, "B,x-*", RegReport, &report), SLP_OK);
  size_t seen;
  {
    std::lock_guard<std::mutex> lock(mu);
    seen = reg_attrs.size();
  }
  EXPECT_TRUE(Eventually([&] {
    std::lock_guard<std::mutex> lock(mu);
    return reg_attrs.size() >= seen + 2;
  }));
  std::lock_guard<std::mutex> lock(mu);
  EXPECT_EQ(reg_attrs.front(), "(a=1),(b=2,3),x-c,(d=4)");
  EXPECT_EQ(reg_attrs.back(), "(a=1),(d=4)");
}

TEST(SlpWithoutTags, DropsMatchingAttributesOnly) {
  EXPECT_EQ(WithoutTags("(a=1),(b=2,3),kw", "b"), "(a=1),kw");
  EXPECT_EQ(WithoutTags("(a=1),(b=2,3),kw", "KW,a"), "(b=2,3)");
  EXPECT_EQ(WithoutTags("(x-one=1),(x-two=2),(y=3)", "x-*"), "(y=3)");
  EXPECT_EQ(WithoutTags("(a=1)", "ab"), "(a=1)");
  EXPECT_EQ(WithoutTags("", "a"), "");
}

slptest::Handler Advertising(const std::string& attrs) {
  return [attrs](const Message& req, bool) {
    DAAdvert ad;
    ad.boot_timestamp = 1;
    ad.url = "service:directory-agent://127.0.0.1";
    ad.scopes = "default";
    ad.attrs = attrs;
    return Replies{ReplyTo(req, ad)};
  };
}

TEST_F(SlpAgents, RefreshIntervalIsTheLargestAnAgentDemands) {
  FakeAgent a(Advertising("(min-refresh-interval=600)"));
  FakeAgent b(Advertising("(x=1),(MIN-REFRESH-INTERVAL=1200),(y=2)"));
  FakeAgent c(Advertising(""));
  UseAgents(a.address() + "," + b.address() + "," + c.address());
  EXPECT_EQ(SLPGetRefreshInterval(), 1200);
  UseAgents(c.address());
  EXPECT_EQ(SLPGetRefreshInterval(), 0);
  UseAgents(a.address());
  EXPECT_EQ(SLPGetRefreshInterval(), 600);
}

TEST(SlpRefreshPeriod, BeforeTheLifetimeEndsAndAtMostFifteenMinutes) {
  EXPECT_EQ(RefreshPeriod(60), std::chrono::seconds(45));
  EXPECT_EQ(RefreshPeriod(SLP_LIFETIME_MAXIMUM), std::chrono::seconds(900));
  EXPECT_EQ(RefreshPeriod(1), std::chrono::seconds(1));
}

}  // namespace
