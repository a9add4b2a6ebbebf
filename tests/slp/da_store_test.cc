// Registration store: lifetimes, fresh and incremental updates,
// deregistration, scopes, type matching and nearest-node answers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "slp/da_store.h"
#include "slp/wire.h"

namespace orvel::slp {
namespace {

class FakeClock : public DaClock {
 public:
  std::chrono::steady_clock::time_point Now() const override { return now; }
  int64_t WallSeconds() const override {
    return 1'800'000'000 + std::chrono::duration_cast<std::chrono::seconds>(now - start).count() +
           wall_skew;
  }
  void Advance(int ms) { now += std::chrono::milliseconds(ms); }
  std::chrono::steady_clock::time_point start{std::chrono::hours(1000)};
  std::chrono::steady_clock::time_point now = start;
  int64_t wall_skew = 0;
};

class StoreTest : public ::testing::Test {
 protected:
  uint16_t Reg(const std::string& url, const std::string& type, const std::string& attrs,
               uint16_t lifetime = 300, bool fresh = true, const std::string& scopes = "default",
               const std::string& lang = "en") {
    RegistrationInput in;
    in.url = url;
    in.service_type = type;
    in.attrs = attrs;
    in.lifetime = lifetime;
    in.fresh = fresh;
    in.scopes = scopes;
    in.lang = lang;
    return store.Register(in);
  }
  // URLs found, in answer order; "error N" when the look-up failed.
  std::vector<std::string> Find(const std::string& type, const std::string& pred = "",
                                const std::string& scopes = "DEFAULT",
                                const std::string& lang = "en") {
    std::vector<ServiceMatch> out;
    uint16_t code = store.FindServices(type, scopes, lang, pred, &out);
    if (code != error::kOk) return {"error " + std::to_string(code)};
    std::vector<std::string> urls;
    for (const ServiceMatch& m : out) urls.push_back(m.url);
    return urls;
  }
  uint16_t Lifetime(const std::string& type) {
    std::vector<ServiceMatch> out;
    store.FindServices(type, "default", "en", "", &out);
    return out.empty() ? 0 : out[0].lifetime;
  }

  FakeClock clock;
  RegistrationStore store{"default,other", &clock};
};

using Urls = std::vector<std::string>;

TEST_F(StoreTest, LifetimeExpiresAndRemainingShrinks) {
  ASSERT_EQ(Reg("service:ZemProxy://10.0.0.5:5000", "service:ZemProxy", "", 2), error::kOk);
  EXPECT_EQ(Lifetime("ZemProxy"), 2);
  clock.Advance(1500);
  EXPECT_EQ(Lifetime("ZemProxy"), 1);  // ceil(0.5 s), never 0
  clock.Advance(499);
  EXPECT_EQ(Find("ZemProxy"), Urls{"service:ZemProxy://10.0.0.5:5000"});
  clock.Advance(1);
  EXPECT_EQ(Find("ZemProxy"), Urls{});
  EXPECT_EQ(store.size(), 0u);
}

// What the metrics gauge shows: live registrations per normalized type,
// the types past the bound summed under "".
TEST_F(StoreTest, CountByTypeIsBoundedAndSkipsExpired) {
  ASSERT_EQ(Reg("service:a://1", "service:A", "", 300), error::kOk);
  ASSERT_EQ(Reg("service:a://2", "a", "", 300), error::kOk);
  ASSERT_EQ(Reg("service:b://1", "b", "", 300), error::kOk);
  ASSERT_EQ(Reg("service:c://1", "c", "", 1), error::kOk);
  ASSERT_EQ(Reg("service:d://1", "d", "", 300), error::kOk);
  ASSERT_EQ(Reg("service:d://2", "d", "", 300), error::kOk);
  using Counts = std::vector<std::pair<std::string, size_t>>;
  EXPECT_EQ(store.CountByType(10), (Counts{{"a", 2}, {"b", 1}, {"c", 1}, {"d", 2}}));
  EXPECT_EQ(store.CountByType(2), (Counts{{"a", 2}, {"b", 1}, {"", 3}}));
  clock.Advance(1500);
  EXPECT_EQ(store.CountByType(10), (Counts{{"a", 2}, {"b", 1}, {"d", 2}}));
  EXPECT_EQ(store.CountByType(0), (Counts{{"", 5}}));
}

TEST_F(StoreTest, TypeMatchingIgnoresCaseAndOneServicePrefix) {
  Reg("service:ZemProxy://10.0.0.1:1", "service:ZemProxy", "");
  Reg("ZemProxy://10.0.0.2:2", "ZemProxy", "");
  Reg("service:zemproxy:tcp://10.0.0.3:3", "service:zemproxy:tcp", "");
  Reg("service:ZemProxy.acme://10.0.0.4:4", "service:ZemProxy.acme", "");
  Reg("service:ZemProxys://10.0.0.5:5", "service:ZemProxys", "");
  const Urls three = {"service:ZemProxy://10.0.0.1:1", "ZemProxy://10.0.0.2:2",
                      "service:zemproxy:tcp://10.0.0.3:3"};
  EXPECT_EQ(Find("ZemProxy"), three);
  EXPECT_EQ(Find("service:ZEMPROXY"), three);
  EXPECT_EQ(Find("zemproxy:tcp"), Urls{"service:zemproxy:tcp://10.0.0.3:3"});
  EXPECT_EQ(Find("service:ZemProxy.acme"), Urls{"service:ZemProxy.acme://10.0.0.4:4"});
  EXPECT_EQ(Find("CompResource"), Urls{});
}

TEST_F(StoreTest, FreshReplacesIncrementalMerges) {
  const std::string url = "service:x://h";
  EXPECT_EQ(Reg(url, "service:x", "(A=1)", 300, /*fresh=*/false), error::kInvalidUpdate);
  ASSERT_EQ(Reg(url, "service:x", "(A=1),(B=2),(C=3)"), error::kOk);
  ASSERT_EQ(Reg(url, "service:x", "(C=30),(D=40)", 300, /*fresh=*/false), error::kOk);
  std::string attrs;
  ASSERT_EQ(store.FindAttributes(url, "default", "en", "", &attrs), error::kOk);
  EXPECT_EQ(attrs, "(A=1),(B=2),(C=30),(D=40)");
  EXPECT_EQ(Reg(url, "service:y", "(E=1)", 300, false), error::kInvalidUpdate);
  EXPECT_EQ(Reg(url, "service:x", "(E=1)", 300, false, "other"), error::kScopeNotSupported);
  ASSERT_EQ(Reg(url, "service:x", "(Z=9)"), error::kOk);
  store.FindAttributes(url, "default", "en", "", &attrs);
  EXPECT_EQ(attrs, "(Z=9)");
  EXPECT_EQ(Find("x", "(A=1)"), Urls{});
  EXPECT_EQ(store.size(), 1u);
}

TEST_F(StoreTest, RegistrationChecks) {
  EXPECT_EQ(Reg("u://1", "t", "", 0), error::kInvalidRegistration);
  EXPECT_EQ(Reg("", "t", ""), error::kInvalidRegistration);
  EXPECT_EQ(Reg("u://1", "", ""), error::kInvalidRegistration);
  EXPECT_EQ(Reg("u://1", "t", "", 300, true, "default", ""), error::kInvalidRegistration);
  EXPECT_EQ(Reg("u://1", "t", "(x=4"), error::kParseError);
  EXPECT_EQ(Reg("u://1", "t", "", 300, true, "default,elsewhere"), error::kScopeNotSupported);
  EXPECT_EQ(Reg("u://1", "t", "", 300, true, ""), error::kScopeNotSupported);
  EXPECT_EQ(store.size(), 0u);
  // Values of one attribute may mix types.
  EXPECT_EQ(Reg("u://1", "t", "(x=4,true)"), error::kOk);
}

TEST_F(StoreTest, ScopesAndLanguages) {
  Reg("t://a", "t", "(k=1)", 300, true, "default");
  Reg("t://b", "t", "(k=1)", 300, true, "OTHER");
  Reg("t://c", "t", "(k=1)", 300, true, "default", "de");
  EXPECT_EQ(Find("t", "", "default"), (Urls{"t://a", "t://c"}));
  EXPECT_EQ(Find("t", "", "other"), Urls{"t://b"});
  EXPECT_EQ(Find("t", "", "nowhere"), Urls{"error 4"});
  EXPECT_EQ(Find("t", "", ""), Urls{"error 4"});
  // A non-empty predicate restricts the language (primary tag only).
  EXPECT_EQ(Find("t", "(k=1)", "default", "en-US"), Urls{"t://a"});
  EXPECT_EQ(Find("t", "(k=1)", "default", "DE"), Urls{"t://c"});
  EXPECT_EQ(Find("t", "(k=1)", "default", "fr"), Urls{"error 1"});
  EXPECT_EQ(Find("t", "(k=", "default"), Urls{"error 2"});
}

TEST_F(StoreTest, DeregistrationWholeAndByTags) {
  Reg("t://a", "t", "(p=1),(q=2),(qq=3)");
  Reg("t://a", "t", "(p=1)", 300, true, "default", "de");
  EXPECT_EQ(store.Deregister("other", "t://a", "en", ""), error::kScopeNotSupported);
  ASSERT_EQ(store.Deregister("default", "t://a", "en", "q*"), error::kOk);
  std::string attrs;
  store.FindAttributes("t://a", "default", "en", "", &attrs);
  EXPECT_EQ(attrs, "(p=1)");
  ASSERT_EQ(store.Deregister("default", "t://a", "en", ""), error::kOk);
  EXPECT_EQ(store.size(), 0u);  // every language went
  EXPECT_EQ(store.Deregister("default", "t://never", "en", ""), error::kOk);
}

TEST_F(StoreTest, NearestNodesComeNearestFirst) {
  Reg("service:CompResource://10.0.0.10", "CompResource", "(x-PELM-coords=10 10 10)");
  Reg("service:CompResource://10.0.0.11", "CompResource", "(x-PELM-coords=1 2 4)");
  Reg("service:CompResource://10.0.0.12", "CompResource", "(x-PELM-coords=0 0 0)");
  Reg("service:CompResource://10.0.0.13", "CompResource", "(x-PELM-coords=1 2)");  // 2-D
  Reg("service:CompResource://10.0.0.14", "CompResource", "(cpu=4)");              // no coords
  Reg("service:ZemProxy://10.0.0.99:1", "ZemProxy", "(x-PELM-coords=1 2 3)");      // other type
  const std::string p1 = "(|(foo=bar)(&(x-PELM-num=1)(x-PELM-clients=1 2 3)))";
  EXPECT_EQ(Find("CompResource", p1), Urls{"service:CompResource://10.0.0.13"});
  EXPECT_EQ(Find("CompResource", "(&(x-PELM-num=3)(x-PELM-clients=1 2 3))"),
            (Urls{"service:CompResource://10.0.0.13", "service:CompResource://10.0.0.11",
                  "service:CompResource://10.0.0.12"}));
  EXPECT_EQ(Find("CompResource", "(&(x-PELM-num=0)(x-PELM-clients=1 2 3))"), Urls{});
  // The other branch of an or still counts; nearest matches come first.
  Reg("service:CompResource://10.0.0.15", "CompResource", "(foo=bar)");
  EXPECT_EQ(Find("CompResource", p1),
            (Urls{"service:CompResource://10.0.0.13", "service:CompResource://10.0.0.15"}));
  // Extra conjuncts restrict the candidates before the K nearest are taken.
  Reg("service:CompResource://10.0.0.16", "CompResource", "(x-PELM-coords=50 50 50),(cpu=64)");
  EXPECT_EQ(Find("CompResource", "(&(cpu>=16)(x-PELM-num=1)(x-PELM-clients=1 2 3))"),
            Urls{"service:CompResource://10.0.0.16"});
}

TEST_F(StoreTest, NearestLooksPastNodesOutsideTheScope) {
  // Many close nodes that the request cannot see, one far node it can: the
  // far one is still the answer.
  for (int i = 0; i < 40; ++i) {
    Reg("service:CompResource://10.3.0." + std::to_string(i), "CompResource",
        "(x-PELM-coords=1 2 " + std::to_string(3 + i % 3) + ")", 300, true, "other");
  }
  Reg("service:CompResource://10.3.1.1", "CompResource", "(x-PELM-coords=90 90 90)");
  Reg("service:CompResource://10.3.1.2", "CompResource", "(x-PELM-coords=99 99 99)");
  EXPECT_EQ(Find("CompResource", "(&(x-PELM-num=1)(x-PELM-clients=1 2 3))", "default"),
            Urls{"service:CompResource://10.3.1.1"});
  EXPECT_EQ(Find("CompResource", "(&(x-PELM-num=2)(x-PELM-clients=1 2 3))", "other"),
            (Urls{"service:CompResource://10.3.0.0", "service:CompResource://10.3.0.3"}));
}

// Refreshes that repeat a registration only move its expiry; removals
// out of the middle of the coordinate records keep every other node
// findable; a refresh after an incremental update still replaces.
TEST_F(StoreTest, RefreshesAndRemovalsKeepTheIndexesRight) {
  for (int i = 0; i < 20; ++i) {
    Reg("service:CompResource://10.4.0." + std::to_string(i), "CompResource",
        "(x-PELM-coords=" + std::to_string(i * 10) + " 0 0)");
  }
  auto nearest = [&](int x) {
    return Find("CompResource", "(&(x-PELM-num=1)(x-PELM-clients=" + std::to_string(x) + " 0 0))");
  };
  clock.Advance(100'000);
  Reg("service:CompResource://10.4.0.3", "CompResource", "(x-PELM-coords=30 0 0)", 900);
  EXPECT_EQ(nearest(31), Urls{"service:CompResource://10.4.0.3"});
  std::vector<ServiceMatch> out;
  store.FindServices("CompResource", "default", "en", "(x-PELM-coords=*)", &out);
  ASSERT_EQ(out.size(), 20u);
  EXPECT_EQ(out[3].url, "service:CompResource://10.4.0.3");  // keeps its place
  EXPECT_EQ(out[3].lifetime, 900);
  EXPECT_EQ(out[4].lifetime, 200);
  // Removed from the middle, the first and the last: the rest still answer.
  for (int i : {5, 0, 19}) {
    store.Deregister("default", "service:CompResource://10.4.0." + std::to_string(i), "en", "");
  }
  EXPECT_EQ(nearest(51), Urls{"service:CompResource://10.4.0.6"});
  EXPECT_EQ(nearest(-5), Urls{"service:CompResource://10.4.0.1"});
  EXPECT_EQ(nearest(200), Urls{"service:CompResource://10.4.0.18"});
  for (int i = 1; i < 19; ++i) {
    if (i == 5) continue;
    EXPECT_EQ(nearest(i * 10), Urls{"service:CompResource://10.4.0." + std::to_string(i)}) << i;
  }
  // The refreshed entry ends when its new lifetime does.
  clock.Advance(201'000);
  EXPECT_EQ(nearest(31), Urls{"service:CompResource://10.4.0.3"});
  EXPECT_EQ(nearest(41), Urls{"service:CompResource://10.4.0.3"});

  // Incremental, then a fresh SrvReg with the increment's text: only it.
  Reg("service:x://h", "x", "(a=1)");
  Reg("service:x://h", "x", "(b=2)", 300, /*fresh=*/false);
  EXPECT_EQ(Find("x", "(a=1)"), Urls{"service:x://h"});
  Reg("service:x://h", "x", "(b=2)");
  EXPECT_EQ(Find("x", "(a=1)"), Urls{});
  EXPECT_EQ(Find("x", "(b=2)"), Urls{"service:x://h"});
}

// Nearest answers through the ordered view agree with a plain ranking of
// every node while nodes come, go and move (views rebuilt on the way).
TEST_F(StoreTest, NearestAnswersMatchAPlainRankingThroughChanges) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> coord(0, 100);
  struct Node {
    std::vector<double> c;
    int order;
  };
  std::map<std::string, Node> nodes;
  int order = 0;
  auto put = [&](int i) {
    const std::string url =
        "service:CompResource://10.5." + std::to_string(i / 250) + "." + std::to_string(i % 250);
    std::vector<double> c{coord(rng), coord(rng)};
    if (i % 7 != 0) c.push_back(coord(rng));  // some 2-D nodes among the 3-D ones
    std::string text;
    for (double x : c) text += (text.empty() ? "" : " ") + std::to_string(x);
    ASSERT_EQ(Reg(url, "CompResource", "(x-PELM-coords=" + text + ")"), error::kOk);
    auto [it, inserted] = nodes.emplace(url, Node{c, order});
    if (inserted) ++order;
    it->second.c = c;
  };
  auto check = [&](int rounds) {
    for (int r = 0; r < rounds; ++r) {
      std::vector<double> q{coord(rng), coord(rng), coord(rng)};
      const size_t k = 1 + rng() % 3;
      std::vector<std::tuple<double, int, std::string>> all;
      for (const auto& [url, n] : nodes) {
        double d = 0;
        for (size_t j = 0; j < n.c.size(); ++j) d += (n.c[j] - q[j]) * (n.c[j] - q[j]);
        all.emplace_back(d, n.order, url);
      }
      std::sort(all.begin(), all.end());
      Urls want;
      for (size_t j = 0; j < k && j < all.size(); ++j) want.push_back(std::get<2>(all[j]));
      char pred[160];
      std::snprintf(pred, sizeof pred, "(&(x-PELM-num=%zu)(x-PELM-clients=%.17g %.17g %.17g))", k,
                    q[0], q[1], q[2]);
      ASSERT_EQ(Find("CompResource", pred), want) << pred;
    }
  };
  for (int i = 0; i < 800; ++i) put(i);
  check(50);
  for (int step = 0; step < 6; ++step) {
    // Some go, some move, some come: past the share that rebuilds the view.
    for (int j = 0; j < 90; ++j) {
      auto it = nodes.begin();
      std::advance(it, rng() % nodes.size());
      store.Deregister("default", it->first, "en", "");
      nodes.erase(it);
    }
    for (int j = 0; j < 40; ++j) put(static_cast<int>(rng() % 1200));
    check(30);
  }
}

TEST_F(StoreTest, EqualityIndexStaysInStepWithUpdates) {
  for (int i = 0; i < 50; ++i) {
    std::string a = "10.0.0." + std::to_string(i);
    Reg("service:ZemProxy://" + a + ":5000", "service:ZemProxy",
        "(addr=" + a + "),(mask=255.255.255.255)");
  }
  const std::string p = "(&(addr=10.0.0.7)(mask=255.255.255.255))";
  EXPECT_EQ(Find("ZemProxy", p), Urls{"service:ZemProxy://10.0.0.7:5000"});
  Reg("service:ZemProxy://10.0.0.7:5000", "service:ZemProxy",
      "(addr=10.0.0.77),(mask=255.255.255.255)", 300, /*fresh=*/false);
  EXPECT_EQ(Find("ZemProxy", p), Urls{});
  EXPECT_EQ(Find("ZemProxy", "(addr=10.0.0.77)"), Urls{"service:ZemProxy://10.0.0.7:5000"});
  store.Deregister("default", "service:ZemProxy://10.0.0.7:5000", "en", "");
  EXPECT_EQ(Find("ZemProxy", "(addr=10.0.0.77)"), Urls{});
  EXPECT_EQ(Find("ZemProxy", "(|(addr=10.0.0.3)(addr=10.0.0.4))").size(), 2u);
}

TEST_F(StoreTest, AttributeAndTypeRequests) {
  Reg("service:printer:lpr://p1", "service:printer:lpr", "(color=true),(ppm=10)");
  Reg("service:printer:http://p2", "service:printer:http", "(color=false),(ppm=10),duplex");
  Reg("service:x.acme://x", "service:x.acme", "");
  std::string out;
  ASSERT_EQ(store.FindAttributes("service:printer", "default", "en", "", &out), error::kOk);
  EXPECT_EQ(out, "(color=true,false),(ppm=10),duplex");
  ASSERT_EQ(store.FindAttributes("service:printer", "default", "en", "pp*", &out), error::kOk);
  EXPECT_EQ(out, "(ppm=10)");
  EXPECT_EQ(store.FindTypes(true, "", "default", &out), error::kOk);
  EXPECT_EQ(out, "service:printer:lpr,service:printer:http,service:x.acme");
  store.FindTypes(false, "", "default", &out);
  EXPECT_EQ(out, "service:printer:lpr,service:printer:http");
  store.FindTypes(false, "ACME", "default", &out);
  EXPECT_EQ(out, "service:x.acme");
  EXPECT_EQ(store.FindTypes(true, "", "nowhere", &out), error::kScopeNotSupported);
}

TEST_F(StoreTest, SnapshotReloadKeepsRemainingLifetimes) {
  Reg("service:ZemProxy://10.0.0.5:5000", "service:ZemProxy", "(addr=10.0.0.5),(v=a\\2cb\\09)",
      100);
  Reg("t://short", "t", "", 5);
  clock.Advance(2000);
  std::string snap = store.Snapshot();

  FakeClock later;
  later.wall_skew = 2 + 10;  // the agent was down for 10 s after the snapshot
  RegistrationStore reloaded("default", &later);
  EXPECT_EQ(reloaded.Load(snap), 1u);  // t://short ran out meanwhile
  std::vector<ServiceMatch> out;
  reloaded.FindServices("ZemProxy", "default", "en", "(v=a\\2cb\\09)", &out);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].lifetime, 100 - 2 - 10);
  EXPECT_EQ(reloaded.Load("garbage\n"), 0u);
  RegistrationStore torn("default", &later);
  EXPECT_EQ(torn.Load(snap.substr(0, snap.find('\n') + 10)), 0u);  // a torn line is dropped
}

// Fields of the state file and of etcd keys: every byte survives, and only
// two hex digits follow a '%' (a sign or a space once passed as a number).
TEST(LineFields, EscapeRoundTripsAndUnescapeIsStrict) {
  std::string all;
  for (int c = 0; c < 256; ++c) all.push_back(static_cast<char>(c));
  const std::string escaped = EscapeField(all);
  EXPECT_EQ(escaped.find_first_of("\t\n\r"), std::string::npos);
  std::string back;
  ASSERT_TRUE(UnescapeField(escaped, &back));
  EXPECT_EQ(back, all);
  ASSERT_TRUE(UnescapeField("a%0ab%2F", &back));
  EXPECT_EQ(back, "a\nb/");
  for (const char* bad : {"%+1", "% 1", "%-1", "%1", "%", "x%G0", "%0x"}) {
    EXPECT_FALSE(UnescapeField(bad, &back)) << bad;
  }
}

}  // namespace
}  // namespace orvel::slp

namespace orvel::slp {
namespace {

// Repeated attribute and type requests are answered from a cache; every
// change of the store (registration, update, removal, expiry) must show.
TEST_F(StoreTest, CachedAnswersFollowEveryChange) {
  Reg("service:printer:lpr://p1", "service:printer:lpr", "(ppm=10)");
  std::string attrs, types;
  ASSERT_EQ(store.FindAttributes("printer", "default", "en", "", &attrs), error::kOk);
  ASSERT_EQ(store.FindTypes(true, "", "default", &types), error::kOk);
  EXPECT_EQ(attrs, "(ppm=10)");
  Reg("service:printer:http://p2", "service:printer:http", "(ppm=20),duplex", 10);
  store.FindAttributes("printer", "default", "en", "", &attrs);
  store.FindTypes(true, "", "default", &types);
  EXPECT_EQ(attrs, "(ppm=10,20),duplex");
  EXPECT_EQ(types, "service:printer:lpr,service:printer:http");
  ASSERT_EQ(store.Deregister("default", "service:printer:lpr://p1", "en", "ppm"), error::kOk);
  store.FindAttributes("printer", "default", "en", "", &attrs);
  EXPECT_EQ(attrs, "(ppm=20),duplex");
  clock.now += std::chrono::seconds(11);  // p2 expires
  store.FindAttributes("printer", "default", "en", "", &attrs);
  store.FindTypes(true, "", "default", &types);
  EXPECT_EQ(attrs, "");
  EXPECT_EQ(types, "service:printer:lpr");
}

// The union removes values equal under the typed comparison however they
// were written, keeps the first spelling, and stays in first-seen order.
TEST_F(StoreTest, AttributeUnionRemovesEqualValues) {
  for (int i = 0; i < 300; ++i) {
    Reg("service:u://h" + std::to_string(i), "u",
        "(n=" + std::string(i % 2 ? "0" : "") + std::to_string(i % 3) + "),(s=  Some   " +
            (i % 2 ? "STRING" : "string") + "),(b=" + (i % 2 ? "TRUE" : "true") + "),kw");
  }
  std::string out;
  ASSERT_EQ(store.FindAttributes("u", "default", "en", "", &out), error::kOk);
  EXPECT_EQ(out, "(n=0,01,2),(s=  Some   string),(b=true),kw");
}

// Index planning gives up past its budget; the answer must not change.
TEST_F(StoreTest, PlanningBudgetKeepsAnswers) {
  for (int i = 0; i < 50; ++i) {
    Reg("service:ZemProxy://10.0.0." + std::to_string(i), "ZemProxy",
        "(addr=10.0.0." + std::to_string(i) + "),(mask=255.255.255.255)");
  }
  std::string wide = "(|";
  for (int i = 0; i < 200; ++i) wide += "(mask=255.255.255.255)";
  wide += "(addr=10.0.0.3))";
  EXPECT_EQ(Find("ZemProxy", wide).size(), 50u);
  EXPECT_EQ(Find("ZemProxy", "(&" + wide + "(addr=10.0.0.3))"),
            Urls{"service:ZemProxy://10.0.0.3"});
}

}  // namespace
}  // namespace orvel::slp
