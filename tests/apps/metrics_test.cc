// zemsynth's metrics listener: the counts a scrape shows match what was
// really sent, the text passes Prometheus's own parser, and scrapes answer
// while the service is under load.
#include <sys/wait.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "apps_util.h"
#include "orvel/Msg.h"
#include "orvel/http.h"
#include "testutil/net_util.h"
#include "testutil/process_util.h"

namespace {

using testutil::Child;
using testutil::ChildOptions;

struct Service {
  apps_test::DirectoryAgent da;
  apps_test::ProxyProcess proxy;
  std::unique_ptr<Child> synth;
  testutil::TempDir dir;  // ORVEL_PATH without pelm.coords: no fallback
  unsigned short port = 0;
  unsigned short metrics = 0;
};

void Start(Service* s) {
  s->da = apps_test::StartDirectoryAgent();
  ASSERT_TRUE(s->da.child);
  s->proxy = apps_test::StartProxy({"--da", s->da.Address(), "--addr", "10.0.0.1"});
  ASSERT_TRUE(s->proxy.child);
  s->port = testutil::FreeLoopbackPort();
  s->metrics = testutil::FreeLoopbackPort();
  ChildOptions o;
  o.env = {{"ORVEL_METRICS_LISTEN", "127.0.0.1:" + std::to_string(s->metrics)},
           {"ORVEL_PATH", s->dir.path()}};
  o.unset_env = {"ORVEL_PELMMONITOR"};
  s->synth =
      std::make_unique<Child>(std::vector<std::string>{testutil::BuildPath("orvel_apps/zemsynth"),
                                                       std::to_string(s->port), s->da.Address()},
                              o);
  ASSERT_TRUE(s->synth->WaitForOutput("waiting for request\n", 10000)) << s->synth->Output();
  ASSERT_TRUE(orvel::testutil::WaitListening(s->metrics, 5000));
}

// The HTTP status of a reply to a SynthZemReq for hosts, 0 when none came.
int Synthesize(unsigned short port, const std::vector<std::string>& hosts) {
  std::vector<EndPoint> eps;
  for (const std::string& h : hosts) eps.emplace_back(inet_ADDR(h.c_str()));
  SynthZemReq req(Msg::generateId(), Msg::generateVersion(), eps, {});
  int sock = sendRequestMsg("127.0.0.1", port, &req);
  if (sock < 0) return 0;
  int status = 0;
  std::unique_ptr<Msg> reply(getResponseMsgStatus(sock, &status));
  return status;
}

std::string Get(unsigned short port, const std::string& path) {
  return orvel::testutil::Exchange(
      port, "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
}

// The value of the sample line that starts with series, or -1.
double Sample(const std::string& text, const std::string& series) {
  size_t at = text.find("\n" + series + " ");
  if (at == std::string::npos) return -1;
  return std::strtod(text.c_str() + at + series.size() + 2, nullptr);
}

std::string Body(const std::string& response) {
  size_t at = response.find("\r\n\r\n");
  return at == std::string::npos ? "" : response.substr(at + 4);
}

TEST(ZemsynthMetrics, CountsMatchWhatWasSent) {
  Service s;
  ASSERT_NO_FATAL_FAILURE(Start(&s));
  // 3 served: two empty requests and one host with a registered proxy;
  // 1 refused: a host with neither proxy nor coordinates.
  EXPECT_EQ(Synthesize(s.port, {}), 200);
  EXPECT_EQ(Synthesize(s.port, {"10.0.0.1"}), 200);
  EXPECT_EQ(Synthesize(s.port, {}), 200);
  EXPECT_EQ(Synthesize(s.port, {"10.9.9.9"}), 400);
  // Not a document: malformed.
  std::string bad =
      orvel::testutil::Exchange(s.port, "POST /query HTTP/1.1\r\nContent-Length: 4\r\n\r\nabcd");
  EXPECT_EQ(bad.rfind("HTTP/1.1 400", 0), 0u) << bad;

  const std::string text = "\n" + Body(Get(s.metrics, "/metrics"));
  EXPECT_EQ(Sample(text, "zemsynth_requests_total{result=\"ok\",type=\"SynthZemReq\"}"), 3) << text;
  EXPECT_EQ(Sample(text, "zemsynth_requests_total{result=\"refused\",type=\"SynthZemReq\"}"), 1)
      << text;
  EXPECT_EQ(Sample(text, "zemsynth_requests_total{result=\"malformed\",type=\"none\"}"), 1) << text;
  EXPECT_EQ(Sample(text, "zemsynth_members_total{kind=\"host\",path=\"registered\"}"), 1) << text;
  EXPECT_EQ(Sample(text, "zemsynth_members_total{kind=\"host\",path=\"failed\"}"), 1) << text;
  EXPECT_EQ(Sample(text, "zemsynth_members_total{kind=\"zone\",path=\"registered\"}"), 0) << text;
  // Every synthesis that got past the type check, served or refused.
  EXPECT_EQ(Sample(text, "zemsynth_synthesis_duration_seconds_count{stage=\"whole\"}"), 4) << text;
  EXPECT_EQ(Sample(text, "zemsynth_synthesis_duration_seconds_count{stage=\"locate\"}"), 4) << text;
  EXPECT_GE(Sample(text, "zemsynth_handler_threads"), 1) << text;
  EXPECT_GE(Sample(text, "zemsynth_connections_open"), 0) << text;
  EXPECT_GT(Sample(text, "process_cpu_seconds_total"), 0) << text;

  const std::string health = Get(s.metrics, "/healthz");
  EXPECT_EQ(health.rfind("HTTP/1.1 200", 0), 0u) << health;
  // The service's own port keeps its framing: no metrics there.
  const std::string on_service = Get(s.port, "/metrics");
  EXPECT_EQ(on_service.find("zemsynth_requests_total"), std::string::npos) << on_service;
  // zemsynth's standard output is unchanged by the metrics.
  EXPECT_EQ(s.synth->Output().find("metrics on port"), s.synth->Output().rfind("metrics on port"));
}

TEST(ZemsynthMetrics, ScrapesPassPromtoolUnderLoad) {
  if (std::system("command -v promtool >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "promtool not installed (Debian package prometheus): the text is not checked";
  }
  Service s;
  ASSERT_NO_FATAL_FAILURE(Start(&s));
  constexpr int kThreads = 4, kEach = 25;
  std::atomic<int> served{0};
  std::vector<std::thread> load;
  for (int t = 0; t < kThreads; ++t) {
    load.emplace_back([&] {
      for (int i = 0; i < kEach; ++i) {
        if (Synthesize(s.port, {}) == 200) ++served;
      }
    });
  }
  testutil::TempDir dir;
  int scrapes = 0;
  double last = 0;
  for (int i = 0; i < 10; ++i) {
    const std::string body = Body(Get(s.metrics, "/metrics"));
    ASSERT_FALSE(body.empty());
    const std::string file = dir.WriteFile("scrape" + std::to_string(i), body);
    const std::string cmd = "promtool check metrics < " + file + " > " + file + ".out 2>&1";
    EXPECT_EQ(std::system(cmd.c_str()), 0) << testutil::ReadFileOrEmpty(file + ".out") << body;
    double now = Sample("\n" + body, "zemsynth_requests_total{result=\"ok\",type=\"SynthZemReq\"}");
    if (now < 0) now = 0;  // no request served yet: no sample
    EXPECT_GE(now, last) << "a counter went down";
    if (now > last) last = now;
    ++scrapes;
  }
  for (std::thread& t : load) t.join();
  EXPECT_EQ(scrapes, 10);
  EXPECT_EQ(served.load(), kThreads * kEach);
  const std::string text = "\n" + Body(Get(s.metrics, "/metrics"));
  EXPECT_EQ(Sample(text, "zemsynth_requests_total{result=\"ok\",type=\"SynthZemReq\"}"),
            kThreads * kEach)
      << text;
}

std::string Post(unsigned short port, const std::string& doc) {
  return orvel::testutil::Exchange(port, "POST /query HTTP/1.1\r\nContent-Length: " +
                                             std::to_string(doc.size()) + "\r\n\r\n" + doc);
}

TEST(ZemproxyMetrics, ExchangesByMessageType) {
  const unsigned short metrics = testutil::FreeLoopbackPort();
  apps_test::ProxyProcess proxy =
      apps_test::StartProxy({"--metrics", "127.0.0.1:" + std::to_string(metrics)});
  ASSERT_TRUE(proxy.child);
  ASSERT_TRUE(orvel::testutil::WaitListening(metrics, 5000)) << proxy.child->Output();
  const std::string init =
      "<?xml version=\"1.0\"?>\n<ZemInit><id>9</id><version>10</version>"
      "<data_port>7560</data_port></ZemInit>\n";
  EXPECT_EQ(Post(proxy.port, init).rfind("HTTP/1.1 200", 0), 0u);
  EXPECT_EQ(Post(proxy.port, init).rfind("HTTP/1.1 200", 0), 0u);
  EXPECT_EQ(Post(proxy.port, "<?xml version=\"1.0\"?>\n<Banana/>\n").rfind("HTTP/1.1 400", 0), 0u);
  const std::string text = "\n" + Body(Get(metrics, "/metrics"));
  EXPECT_EQ(Sample(text, "zemproxy_exchanges_total{result=\"ok\",type=\"ZemInit\"}"), 2) << text;
  EXPECT_EQ(Sample(text, "zemproxy_exchanges_total{result=\"unknown_type\",type=\"other\"}"), 1)
      << text;
  EXPECT_EQ(Sample(text, "zemproxy_exchanges_total{result=\"ok\",type=\"ZemCommit\"}"), -1)
      << "no ZemCommit was sent: " << text;
  EXPECT_EQ(Get(metrics, "/healthz").rfind("HTTP/1.1 200", 0), 0u);
}

TEST(ZemsynthMetrics, ABadListenAddressStopsTheStart) {
  ChildOptions o;
  o.env = {{"ORVEL_METRICS_LISTEN", "localhost"}};
  Child z({testutil::BuildPath("orvel_apps/zemsynth"), std::to_string(testutil::FreeLoopbackPort()),
           "127.0.0.1"},
          o);
  int status = z.Wait(10000);
  ASSERT_TRUE(WIFEXITED(status)) << status;
  // A wrong setting, which the unit does not restart on.
  EXPECT_EQ(WEXITSTATUS(status), 64);
  EXPECT_NE(z.Output().find("zemsynth: ORVEL_METRICS_LISTEN needs ADDR:PORT"), std::string::npos)
      << z.Output();
}

}  // namespace
