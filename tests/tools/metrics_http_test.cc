// The metrics listener shared by the daemons: address parsing, request
// counts by bounded labels, and the health check's two answers.
#include <atomic>
#include <memory>
#include <string>

#include <gtest/gtest.h>
#include <prometheus/counter.h>
#include <prometheus/registry.h>

#include "metrics_http.h"
#include "testutil/net_util.h"

namespace orvel::metrics {
namespace {

TEST(MetricsListen, AddressesAreIpv4AndAPort) {
  std::string host, why;
  int port = -1;
  EXPECT_TRUE(ParseListenAddress("127.0.0.1:9100", &host, &port, &why));
  EXPECT_EQ(host, "127.0.0.1");
  EXPECT_EQ(port, 9100);
  EXPECT_TRUE(ParseListenAddress("0.0.0.0:0", &host, &port, &why));
  EXPECT_EQ(port, 0);
  for (const char* bad : {"localhost:9100", "127.0.0.1", "127.0.0.1:", "127.0.0.1:65536",
                          "127.0.0.1:9x", ":9100", "127.0.0.1:-1"}) {
    why.clear();
    EXPECT_FALSE(ParseListenAddress(bad, &host, &port, &why)) << bad;
    EXPECT_FALSE(why.empty()) << bad;
  }
  // As an option's error: empty when usable, else named after the option.
  EXPECT_EQ(ListenAddressError("--metrics", "127.0.0.1:9100"), "");
  EXPECT_EQ(ListenAddressError("--metrics", "127.0.0.1"),
            "--metrics needs ADDR:PORT with an IPv4 address, not \"127.0.0.1\"");
}

TEST(MetricsCounts, UnknownTypesShareOneLabel) {
  RequestCounts counts({"SynthZemReq"}, {"ok", "refused"});
  counts.Add("SynthZemReq", 0);
  counts.Add("SynthZemReq", 0);
  counts.Add("SynthZemReq", 1);
  counts.Add("Banana", 1);
  counts.Add("Apple", 1);
  counts.Add("", 1);
  counts.Add("SynthZemReq", 7);  // no such result: ignored
  EXPECT_EQ(counts.Get("SynthZemReq", 0), 2u);
  EXPECT_EQ(counts.Get("SynthZemReq", 1), 1u);
  EXPECT_EQ(counts.Get("other", 1), 2u);
  EXPECT_EQ(counts.Get("Cherry", 1), 2u) << "any unlisted type reads as other";
  EXPECT_EQ(counts.Get("", 1), 1u);
  prometheus::MetricFamily f = counts.Family("x_total", "help");
  EXPECT_EQ(f.metric.size(), 4u) << "pairs never seen are left out";
}

TEST(MetricsServer, ServesMetricsAndHealthOnItsOwnPort) {
  auto registry = std::make_shared<prometheus::Registry>();
  auto& family =
      prometheus::BuildCounter().Name("test_events_total").Help("events").Register(*registry);
  prometheus::Counter& events = family.Add({{"kind", "a"}});
  events.Increment(3);
  std::atomic<bool> healthy{true};
  MetricsServer server({registry}, [&] { return healthy.load(); });
  ASSERT_EQ(server.Start("127.0.0.1:0"), "");
  ASSERT_GT(server.port(), 0);
  const auto port = static_cast<uint16_t>(server.port());
  auto get = [port](const std::string& path) {
    return orvel::testutil::Exchange(
        port, "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
  };
  std::string metrics = get("/metrics");
  EXPECT_EQ(metrics.rfind("HTTP/1.1 200", 0), 0u) << metrics;
  EXPECT_NE(metrics.find("\ntest_events_total{kind=\"a\"} 3\n"), std::string::npos) << metrics;
  std::string ok = get("/healthz");
  EXPECT_EQ(ok.rfind("HTTP/1.1 200", 0), 0u) << ok;
  healthy = false;
  std::string down = get("/healthz");
  EXPECT_EQ(down.rfind("HTTP/1.1 503", 0), 0u) << down;
  EXPECT_EQ(get("/other").rfind("HTTP/1.1 404", 0), 0u);
  server.Stop();

  MetricsServer busy({registry}, nullptr);
  MetricsServer second({registry}, nullptr);
  ASSERT_EQ(busy.Start("127.0.0.1:0"), "");
  EXPECT_NE(second.Start("127.0.0.1:" + std::to_string(busy.port())), "")
      << "a taken port is an error, not a silent listener elsewhere";
}

}  // namespace
}  // namespace orvel::metrics
