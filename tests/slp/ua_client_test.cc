// SLP client API against scripted agents on loopback: XID matching,
// retransmission, agent fail-over within the wait bound, overflow re-asked
// over TCP, registrations, concurrency, and multicast agent discovery in a
// private network namespace.
//
// One file for the client API's contract, beside the scripted agents it
// runs against; the agent-list behaviour is in ua_client_agents_test.cc.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fake_agent.h"
#include "orvel/slp_api.h"
#include "slp/ua_internal.h"
#include "slp/wire.h"

namespace {

using namespace orvel::slp;
using slptest::FakeAgent;
using slptest::ReplyTo;

struct Found {
  std::vector<std::string> urls;
  std::vector<unsigned short> lifetimes;
  int last_calls = 0;
  int calls_after_last = 0;
  SLPError final_code = SLP_OK;
};

SLPBoolean Collect(SLPHandle, const char* url, unsigned short lifetime, SLPError err,
                   void* cookie) {
  Found* f = static_cast<Found*>(cookie);
  if (f->last_calls > 0) ++f->calls_after_last;
  if (err == SLP_OK && url) {
    f->urls.push_back(url);
    f->lifetimes.push_back(lifetime);
  } else {
    ++f->last_calls;
    f->final_code = err;
  }
  return SLP_TRUE;
}

void RegReport(SLPHandle, SLPError err, void* cookie) { *static_cast<SLPError*>(cookie) = err; }

std::vector<std::string> OneUrl(const Message& req, const std::string& url) {
  SrvRply r;
  r.urls.push_back({120, url, {}});
  return {ReplyTo(req, r)};
}

class SlpClient : public ::testing::Test {
 protected:
  void SetUp() override {
    SLPSetProperty("net.slp.activeDADetection", "false");
    SLPSetProperty("net.slp.passiveDADetection", "false");
    SLPSetProperty("net.slp.datagramTimeouts", "300,300,300");
    SLPSetProperty("net.slp.unicastMaximumWait", "2000");
    SLPSetProperty("net.slp.useScopes", "default");
    SLPSetProperty("net.slp.MTU", "1400");
    ASSERT_EQ(SLPOpen("en", SLP_FALSE, &h_), SLP_OK);
  }
  void TearDown() override { SLPClose(h_); }
  void UseAgents(const std::string& list) { SLPSetProperty("net.slp.DAAddresses", list.c_str()); }
  SLPError Find(Found* f, const char* type = "ZemProxy", const char* filter = "") {
    return SLPFindSrvs(h_, type, "default", filter, Collect, f);
  }
  SLPHandle h_ = nullptr;
};

TEST_F(SlpClient, SearchDeliversUrlsThenOneLastCall) {
  FakeAgent agent([](const Message& req, bool) {
    const SrvRqst& rq = std::get<SrvRqst>(req.body);
    // The request travels as given: type, scope and filter untouched.
    if (rq.service_type != "ZemProxy" || rq.scopes != "default" ||
        rq.predicate != "(addr=10.0.0.1)" || req.header.lang != "en" ||
        (req.header.flags & kFlagRequestMcast))
      return std::vector<std::string>{};
    SrvRply r;
    r.urls.push_back({300, "service:ZemProxy://10.0.0.1:5000", {}});
    r.urls.push_back({7, "service:ZemProxy://10.0.0.2:5001", {}});
    return std::vector<std::string>{ReplyTo(req, r)};
  });
  UseAgents(agent.address());
  Found f;
  ASSERT_EQ(Find(&f, "ZemProxy", "(addr=10.0.0.1)"), SLP_OK);
  ASSERT_EQ(f.urls.size(), 2u);
  EXPECT_EQ(f.urls[1], "service:ZemProxy://10.0.0.2:5001");
  EXPECT_EQ(f.lifetimes[0], 300);
  EXPECT_EQ(f.last_calls, 1);
  EXPECT_EQ(f.final_code, SLP_LAST_CALL);
  EXPECT_EQ(f.calls_after_last, 0);
}

struct Stopper {
  SLPHandle handle = nullptr;
  int calls = 0;
  SLPError nested = SLP_OK;
};

// Stops after the first URL; meanwhile tries the same handle again.
SLPBoolean StopAtFirst(SLPHandle h, const char*, unsigned short, SLPError, void* cookie) {
  Stopper* s = static_cast<Stopper*>(cookie);
  ++s->calls;
  Found ignored;
  s->nested = SLPFindSrvs(h, "x", "default", "", Collect, &ignored);
  return SLP_FALSE;
}

TEST_F(SlpClient, FalseFromCallbackEndsDeliveryAndHandleIsBusyMeanwhile) {
  FakeAgent agent([](const Message& req, bool) {
    SrvRply r;
    r.urls.push_back({10, "service:x://1.1.1.1:1", {}});
    r.urls.push_back({10, "service:x://1.1.1.2:1", {}});
    return std::vector<std::string>{ReplyTo(req, r)};
  });
  UseAgents(agent.address());
  Stopper s;
  EXPECT_EQ(SLPFindSrvs(h_, "x", "default", "", StopAtFirst, &s), SLP_OK);
  EXPECT_EQ(s.calls, 1);  // neither the second URL nor the last call
  EXPECT_EQ(s.nested, SLP_HANDLE_IN_USE);
  Found f;
  EXPECT_EQ(Find(&f), SLP_OK);  // free again afterwards
  EXPECT_EQ(f.urls.size(), 2u);
}

TEST_F(SlpClient, RepliesWithForeignXidAreIgnored) {
  FakeAgent agent([](const Message& req, bool) {
    Message stale = req;
    stale.header.xid = static_cast<uint16_t>(req.header.xid + 1);
    std::vector<std::string> out = OneUrl(stale, "service:x://9.9.9.9:9");
    std::vector<std::string> good = OneUrl(req, "service:x://1.1.1.1:1");
    out.push_back(good[0]);
    return out;
  });
  UseAgents(agent.address());
  Found f;
  ASSERT_EQ(Find(&f), SLP_OK);
  ASSERT_EQ(f.urls.size(), 1u);
  EXPECT_EQ(f.urls[0], "service:x://1.1.1.1:1");
}

TEST_F(SlpClient, RetransmitsWithTheSameXid) {
  std::atomic<int> seen{0};
  FakeAgent agent([&seen](const Message& req, bool) {
    if (++seen < 3) return std::vector<std::string>{};  // lose two
    return OneUrl(req, "service:x://1.1.1.1:1");
  });
  UseAgents(agent.address());
  Found f;
  ASSERT_EQ(Find(&f), SLP_OK);
  EXPECT_EQ(f.urls.size(), 1u);
  std::vector<unsigned> xids = agent.udp_xids();
  ASSERT_EQ(xids.size(), 3u);
  EXPECT_EQ(xids[0], xids[1]);
  EXPECT_EQ(xids[1], xids[2]);
  // The next request gets a new XID.
  ASSERT_EQ(Find(&f), SLP_OK);
  EXPECT_NE(agent.udp_xids().back(), xids[0]);
}

TEST_F(SlpClient, SilentAgentTimesOutAfterBoundedRetries) {
  FakeAgent agent([](const Message&, bool) { return std::vector<std::string>{}; });
  UseAgents(agent.address());
  Found f;
  EXPECT_EQ(Find(&f), SLP_NETWORK_TIMED_OUT);
  EXPECT_EQ(agent.udp_requests(), 3);  // one per datagramTimeouts entry
  EXPECT_TRUE(f.urls.empty());
  EXPECT_EQ(f.last_calls, 1);
  EXPECT_EQ(f.final_code, SLP_NETWORK_TIMED_OUT);
}

TEST_F(SlpClient, NextAgentAnswersWhenFirstIsDeadOrSilent) {
  FakeAgent silent([](const Message&, bool) { return std::vector<std::string>{}; });
  FakeAgent second([](const Message& req, bool) { return OneUrl(req, "service:x://2.2.2.2:2"); });
  std::string dead = "127.0.0.1:" + std::to_string(slptest::DeadUdpPort());
  struct Case {
    const char* what;
    std::string list;
  } cases[] = {{"nobody on the port", dead + "," + second.address()},
               {"agent does not answer", silent.address() + " , " + second.address()}};
  for (const Case& c : cases) {
    UseAgents(c.list);
    Found f;
    ASSERT_EQ(Find(&f), SLP_OK) << c.what;
    ASSERT_EQ(f.urls.size(), 1u) << c.what;
    EXPECT_EQ(f.urls[0], "service:x://2.2.2.2:2");
  }
}

TEST_F(SlpClient, OverflowReplyIsFetchedAgainOverTcp) {
  FakeAgent agent([](const Message& req, bool tcp) {
    SrvRply r;
    r.urls.push_back({10, "service:x://1.1.1.1:1", {}});
    if (!tcp) return std::vector<std::string>{ReplyTo(req, r, kFlagOverflow)};
    r.urls.push_back({10, "service:x://1.1.1.2:1", {}});
    r.urls.push_back({10, "service:x://1.1.1.3:1", {}});
    return std::vector<std::string>{ReplyTo(req, r)};
  });
  UseAgents(agent.address());
  Found f;
  ASSERT_EQ(Find(&f), SLP_OK);
  EXPECT_EQ(agent.tcp_requests(), 1);
  ASSERT_EQ(f.urls.size(), 3u);
  EXPECT_EQ(f.urls[2], "service:x://1.1.1.3:1");
}

TEST_F(SlpClient, RequestTooBigForADatagramGoesOverTcp) {
  FakeAgent agent([](const Message& req, bool) { return OneUrl(req, "service:x://1.1.1.1:1"); });
  UseAgents(agent.address());
  SLPSetProperty("net.slp.MTU", "128");
  std::string filter = "(x-PELM-clients=" + std::string(200, '1') + ")";
  Found f;
  EXPECT_EQ(Find(&f, "x", filter.c_str()), SLP_OK);
  EXPECT_EQ(f.urls.size(), 1u);
  EXPECT_EQ(agent.tcp_requests(), 1);
  EXPECT_EQ(agent.udp_requests(), 0);
}

TEST_F(SlpClient, ErrorCodesAreReportedNegated) {
  struct Case {
    uint16_t wire;
    SLPError api;
  } cases[] = {{error::kParseError, SLP_PARSE_ERROR},
               {error::kScopeNotSupported, SLP_OK},  // no agent serves it: nothing found
               {error::kLanguageNotSupported, SLP_LANGUAGE_NOT_SUPPORTED},
               {error::kAuthenticationUnknown, SLP_AUTHENTICATION_UNKNOWN}};
  for (const Case& c : cases) {
    uint16_t code = c.wire;
    FakeAgent agent([code](const Message& req, bool) {
      SrvRply r;
      r.error = code;
      // Error replies may stop after the error code.
      std::string b = ReplyTo(req, r);
      b.resize(b.size() - 2);
      b[4] = static_cast<char>(b.size());
      return std::vector<std::string>{b};
    });
    UseAgents(agent.address());
    Found f;
    EXPECT_EQ(Find(&f), c.api) << c.wire;
    EXPECT_EQ(f.final_code, c.api == SLP_OK ? SLP_LAST_CALL : c.api);
    EXPECT_TRUE(f.urls.empty());
  }
}

TEST_F(SlpClient, BadArgumentsAndNoAgent) {
  Found f;
  EXPECT_EQ(SLPFindSrvs(h_, "", "", "", Collect, &f), SLP_PARAMETER_BAD);
  EXPECT_EQ(SLPFindSrvs(h_, nullptr, "", "", Collect, &f), SLP_PARAMETER_BAD);
  EXPECT_EQ(SLPFindSrvs(h_, "x", "", "", nullptr, &f), SLP_PARAMETER_BAD);
  EXPECT_EQ(SLPFindSrvs(nullptr, "x", "", "", Collect, &f), SLP_PARAMETER_BAD);
  UseAgents("");
  EXPECT_EQ(Find(&f), SLP_NETWORK_INIT_FAILED);
  SLPHandle async = nullptr;
  EXPECT_EQ(SLPOpen("en", SLP_TRUE, &async), SLP_NOT_IMPLEMENTED);
  EXPECT_EQ(async, nullptr);
}

TEST_F(SlpClient, RegisterAndDeregisterCarryTheirFields) {
  std::vector<Message> got;
  std::mutex mu;
  FakeAgent agent([&](const Message& req, bool) {
    std::lock_guard<std::mutex> lock(mu);
    got.push_back(req);
    return std::vector<std::string>{ReplyTo(req, SrvAck{})};
  });
  UseAgents(agent.address());
  SLPError report = SLP_INTERNAL_SYSTEM_ERROR;
  ASSERT_EQ(SLPReg(h_, "service:ZemProxy://10.0.0.9:5000", 60, "", "(addr=10.0.0.9)", SLP_TRUE,
                   RegReport, &report),
            SLP_OK);
  EXPECT_EQ(report, SLP_OK);
  ASSERT_EQ(SLPDereg(h_, "service:ZemProxy://10.0.0.9:5000", RegReport, &report), SLP_OK);
  ASSERT_EQ(got.size(), 2u);
  const SrvReg& reg = std::get<SrvReg>(got[0].body);
  EXPECT_TRUE(got[0].header.flags & kFlagFresh);
  EXPECT_EQ(reg.entry.lifetime, 60);
  EXPECT_EQ(reg.service_type, "service:ZemProxy");
  EXPECT_EQ(reg.scopes, "default");
  EXPECT_EQ(reg.attrs, "(addr=10.0.0.9)");
  const SrvDeReg& dr = std::get<SrvDeReg>(got[1].body);
  EXPECT_EQ(dr.entry.url, "service:ZemProxy://10.0.0.9:5000");
  EXPECT_EQ(dr.scopes, "default");
  EXPECT_EQ(dr.tags, "");
  EXPECT_EQ(SLPReg(h_, "service:x://1.1.1.1", 0, "", "", SLP_TRUE, RegReport, &report),
            SLP_PARAMETER_BAD);
}

// As RFC 2614 has it: a registration call that started returns SLP_OK and
// the agent's error reaches the callback; one that could not start returns
// its error and calls nobody.  A URL that does not parse is an invalid
// registration.
TEST_F(SlpClient, RejectedRegistrationIsReportedThroughTheCallback) {
  FakeAgent agent([](const Message& req, bool) {
    uint16_t code = std::holds_alternative<SrvReg>(req.body) ? error::kInvalidRegistration
                                                             : error::kScopeNotSupported;
    return std::vector<std::string>{ReplyTo(req, SrvAck{code})};
  });
  UseAgents(agent.address());
  SLPError report = SLP_OK;
  EXPECT_EQ(
      SLPReg(h_, "service:x://1.1.1.1", 5, "service:x", "(a=1,true)", SLP_TRUE, RegReport, &report),
      SLP_OK);
  EXPECT_EQ(report, SLP_INVALID_REGISTRATION);
  report = SLP_OK;
  EXPECT_EQ(SLPDereg(h_, "service:x://1.1.1.1", RegReport, &report), SLP_OK);
  EXPECT_EQ(report, SLP_SCOPE_NOT_SUPPORTED);
  report = SLP_OK;
  EXPECT_EQ(SLPDelAttrs(h_, "service:x://1.1.1.1", "a", RegReport, &report), SLP_OK);
  EXPECT_EQ(report, SLP_SCOPE_NOT_SUPPORTED);
  report = SLP_LAST_CALL;
  for (const char* bad : {"no scheme at all", "://10.0.0.1", "service:x://10.0.0.1:port"}) {
    EXPECT_EQ(SLPReg(h_, bad, 5, "service:x", "", SLP_TRUE, RegReport, &report),
              SLP_INVALID_REGISTRATION)
        << bad;
    EXPECT_EQ(SLPDereg(h_, bad, RegReport, &report), SLP_INVALID_REGISTRATION) << bad;
  }
  EXPECT_EQ(report, SLP_LAST_CALL);  // never called
}

TEST_F(SlpClient, SixteenThreadsSearchAtOnce) {
  FakeAgent agent([](const Message& req, bool) {
    // Echo the predicate in the URL so each thread can check its own answer.
    const SrvRqst& rq = std::get<SrvRqst>(req.body);
    return OneUrl(req, "service:x://10.0.0.1:" + rq.predicate);
  });
  UseAgents(agent.address());
  std::atomic<int> good{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 16; ++t) {
    threads.emplace_back([t, &good] {
      SLPHandle h;
      if (SLPOpen("en", SLP_FALSE, &h) != SLP_OK) return;
      int ok = 0;
      for (int i = 0; i < 20; ++i) {
        Found f;
        std::string tag = std::to_string(t * 100 + i);
        // Concurrent property writes must not disturb the searches.
        SLPSetProperty("net.slp.useScopes", "default");
        if (SLPFindSrvs(h, "x", "default", tag.c_str(), Collect, &f) == SLP_OK &&
            f.urls.size() == 1 && f.urls[0] == "service:x://10.0.0.1:" + tag)
          ++ok;
      }
      SLPClose(h);
      if (ok == 20) ++good;
    });
  }
  for (std::thread& th : threads) th.join();
  EXPECT_EQ(good, 16);
}

TEST(SlpProperties, DefaultsAndInternedValues) {
  EXPECT_STREQ(SLPGetProperty("net.slp.port"), "427");
  EXPECT_EQ(SLPGetProperty("no.such.property"), nullptr);
  SLPSetProperty("x.test.value", "one");
  const char* first = SLPGetProperty("x.test.value");
  SLPSetProperty("x.test.value", "two");
  EXPECT_STREQ(first, "one");  // still readable after a later set
  EXPECT_STREQ(SLPGetProperty("x.test.value"), "two");
  struct Case {
    const char* text;
    std::vector<int> want;  // empty: rejected
  } lists[] = {{"100,200", {100, 200}},
               {"100, 200", {100, 200}},
               {"100,x", {}},
               {"100,", {}},
               {"0,5", {}},
               {"-5", {}},
               {"", {}}};
  for (const Case& c : lists) {
    SLPSetProperty("x.test.list", c.text);
    EXPECT_EQ(PropertyMillisList("x.test.list"), c.want) << c.text;
  }
}

TEST(SlpEscape, RoundTripAndRejects) {
  char* out = nullptr;
  ASSERT_EQ(SLPEscape("a(b),c\\d!", &out, SLP_FALSE), SLP_OK);
  EXPECT_STREQ(out, "a\\28b\\29\\2Cc\\5Cd\\21");
  char* back = nullptr;
  ASSERT_EQ(SLPUnescape(out, &back, SLP_FALSE), SLP_OK);
  EXPECT_STREQ(back, "a(b),c\\d!");
  SLPFree(out);
  SLPFree(back);
  EXPECT_EQ(SLPEscape("bad*tag", &out, SLP_TRUE), SLP_PARSE_ERROR);
  EXPECT_EQ(SLPUnescape("end\\", &out, SLP_FALSE), SLP_PARSE_ERROR);
  EXPECT_EQ(SLPUnescape("\\4", &out, SLP_FALSE), SLP_PARSE_ERROR);
  EXPECT_EQ(SLPUnescape("\\zz", &out, SLP_FALSE), SLP_PARSE_ERROR);
}

TEST(SlpParseSrvURL, SplitsParts) {
  SLPSrvURL* u = nullptr;
  ASSERT_EQ(SLPParseSrvURL("service:printer:lpr://10.0.0.1:515/queue", &u), SLP_OK);
  EXPECT_STREQ(u->s_pcSrvType, "service:printer:lpr");
  EXPECT_STREQ(u->s_pcHost, "10.0.0.1");
  EXPECT_EQ(u->s_iPort, 515);
  EXPECT_STREQ(u->s_pcSrvPart, "/queue");
  SLPFree(u);
  EXPECT_EQ(SLPParseSrvURL("no-scheme", &u), SLP_PARSE_ERROR);
  EXPECT_EQ(SLPParseSrvURL("x://h:99999", &u), SLP_PARSE_ERROR);
}

// ---- Multicast discovery inside a private network namespace ---------------

// Brings up loopback with multicast in the current (new) namespace.
bool LoopbackMulticastUp() {
  int s = socket(AF_INET, SOCK_DGRAM, 0);
  if (s < 0) return false;
  ifreq ifr{};
  std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
  bool ok = ioctl(s, SIOCGIFFLAGS, &ifr) == 0;
  ifr.ifr_flags |= IFF_UP | IFF_MULTICAST;
  ok = ok && ioctl(s, SIOCSIFFLAGS, &ifr) == 0;
  close(s);
  return ok;
}

// Answers multicast directory-agent requests on port with a DAAdvert, and
// unicast SrvRqsts with one URL.  Runs until *stop.
void MulticastAgent(int udp, std::atomic<bool>* stop) {
  std::vector<uint8_t> buf(65536);
  while (!*stop) {
    pollfd p{udp, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    sockaddr_in from{};
    socklen_t fl = sizeof(from);
    ssize_t n = recvfrom(udp, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&from), &fl);
    Message req;
    if (n <= 0 || Decode(buf.data(), static_cast<size_t>(n), &req) != WireStatus::kOk) continue;
    const SrvRqst* rq = std::get_if<SrvRqst>(&req.body);
    if (!rq) continue;
    std::string reply;
    if (rq->service_type == "service:directory-agent") {
      if (!(req.header.flags & kFlagRequestMcast)) continue;
      if (rq->prlist.find("127.0.0.1") != std::string::npos) continue;
      DAAdvert ad{0, 1000, "service:directory-agent://127.0.0.1", "default", "", "", {}};
      reply = ReplyTo(req, ad);
    } else {
      reply = OneUrl(req, "service:x://10.9.9.9:99")[0];
    }
    sendto(udp, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), fl);
  }
}

// The agent's socket in the namespace: port, joined to the SLP group on
// loopback, shared (SO_REUSEADDR) with the client's passive listener.
int AgentSocket(unsigned short port) {
  int udp = socket(AF_INET, SOCK_DGRAM, 0);
  int one = 1;
  setsockopt(udp, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  ip_mreq m{};
  inet_pton(AF_INET, kMulticastGroup, &m.imr_multiaddr);
  inet_pton(AF_INET, "127.0.0.1", &m.imr_interface);
  if (bind(udp, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 ||
      setsockopt(udp, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof(m)) != 0 ||
      setsockopt(udp, IPPROTO_IP, IP_MULTICAST_IF, &m.imr_interface, sizeof(m.imr_interface)) !=
          0) {
    close(udp);
    return -1;
  }
  return udp;
}

bool FoundViaDiscoveredAgent(SLPHandle h) {
  Found f;
  SLPError e = SLPFindSrvs(h, "x", "default", "", Collect, &f);
  return e == SLP_OK && f.urls.size() == 1 && f.urls[0] == "service:x://10.9.9.9:99";
}

enum class Detection { kActive, kPassive };

// Exit codes: 0 found; 2 no namespace or no multicast (skip); other: failure.
int DiscoverInNamespace(Detection mode) {
  if (unshare(CLONE_NEWNET) != 0) return 2;
  if (!LoopbackMulticastUp()) return 2;
  const unsigned short port = 14270;
  int udp = AgentSocket(port);
  if (udp < 0) return 2;
  std::atomic<bool> stop{false};
  std::thread agent(MulticastAgent, udp, &stop);
  SLPSetProperty("net.slp.port", std::to_string(port).c_str());
  SLPSetProperty("net.slp.interfaces", "127.0.0.1");
  SLPSetProperty("net.slp.DAAddresses", "");
  SLPSetProperty("net.slp.activeDADetection", mode == Detection::kActive ? "true" : "false");
  SLPSetProperty("net.slp.passiveDADetection", mode == Detection::kPassive ? "true" : "false");
  SLPSetProperty("net.slp.DADiscoveryTimeouts", "300,300");
  SLPSetProperty("net.slp.datagramTimeouts", "300,300");
  ForgetDiscoveredAgents();
  SLPHandle h;
  int rc = 4;
  if (SLPOpen("en", SLP_FALSE, &h) == SLP_OK) {
    if (mode == Detection::kActive) {
      rc = FoundViaDiscoveredAgent(h) ? 0 : 5;
    } else {
      // Nothing heard yet; this call starts the listener.
      Found f;
      rc = SLPFindSrvs(h, "x", "default", "", Collect, &f) == SLP_NETWORK_INIT_FAILED ? 0 : 6;
      // The agent announces itself, unsolicited (XID 0), a few times.
      Message ad;
      ad.header.xid = 0;
      ad.body = DAAdvert{0, 1000, "service:directory-agent://127.0.0.1", "default", "", "", {}};
      std::string bytes = Encode(ad);
      sockaddr_in group{};
      group.sin_family = AF_INET;
      group.sin_port = htons(port);
      inet_pton(AF_INET, kMulticastGroup, &group.sin_addr);
      bool found = false;
      for (int i = 0; i < 20 && !found && rc == 0; ++i) {
        sendto(udp, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&group),
               sizeof(group));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        found = FoundViaDiscoveredAgent(h);
      }
      if (rc == 0 && !found) rc = 7;
    }
    SLPClose(h);
  }
  stop = true;
  agent.join();
  close(udp);
  return rc;
}

void RunDiscoveryCase(Detection mode) {
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) _exit(DiscoverInNamespace(mode));
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 2)
    GTEST_SKIP() << "cannot create a network namespace with multicast on loopback "
                    "(needs CAP_SYS_ADMIN)";
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// Each case runs in a forked child that moves into a new network namespace,
// so multicast never leaves the test.
TEST(SlpDiscovery, FindsAgentByMulticastInOwnNamespace) { RunDiscoveryCase(Detection::kActive); }

TEST(SlpDiscovery, LearnsAgentFromUnsolicitedAdvert) { RunDiscoveryCase(Detection::kPassive); }

}  // namespace
