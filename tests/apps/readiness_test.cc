// /readyz of zemsynth and zemproxy follows their directory agent: 200 while
// it answers, 503 within a few seconds of its loss, 200 again once it is
// back; /healthz stays 200 all along.
#include <signal.h>

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "apps_util.h"
#include "testutil/net_util.h"
#include "testutil/process_util.h"

namespace {

using testutil::Child;
using testutil::ChildOptions;

// The status line of GET path on 127.0.0.1:port, and the body after it.
std::string Get(unsigned short port, const std::string& path) {
  const std::string reply = orvel::testutil::Exchange(
      port, "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
  const size_t body = reply.find("\r\n\r\n");
  return reply.substr(0, reply.find("\r\n")) +
         (body == std::string::npos ? "" : " " + reply.substr(body + 4));
}

bool Answers(unsigned short port, const std::string& path, const std::string& status) {
  return testutil::WaitUntil([&] { return Get(port, path).rfind(status, 0) == 0; }, 15000);
}

std::unique_ptr<Child> Agent(unsigned short port) {
  auto agent = std::make_unique<Child>(
      std::vector<std::string>{testutil::BuildPath("tools/orvel-slpd/orvel-slpd"), "--listen",
                               "127.0.0.1", "--port", std::to_string(port)});
  EXPECT_TRUE(testutil::WaitForLoopbackPort(port, 5000)) << agent->Output();
  return agent;
}

TEST(Readiness, FollowsTheDirectoryAgent) {
  const unsigned short da_port = testutil::FreeLoopbackPort();
  std::unique_ptr<Child> agent = Agent(da_port);
  const std::string da = "127.0.0.1:" + std::to_string(da_port);

  const unsigned short synth_metrics = testutil::FreeLoopbackPort();
  ChildOptions o;
  o.env = {{"ORVEL_METRICS_LISTEN", "127.0.0.1:" + std::to_string(synth_metrics)}};
  o.unset_env = {"ORVEL_PELMMONITOR", "ORVEL_PATH"};
  Child synth({testutil::BuildPath("orvel_apps/zemsynth"),
               std::to_string(testutil::FreeLoopbackPort()), da},
              o);
  const unsigned short proxy_metrics = testutil::FreeLoopbackPort();
  apps_test::ProxyProcess proxy =
      apps_test::StartProxy({"--da", da, "--addr", "10.0.0.1", "--metrics",
                             "127.0.0.1:" + std::to_string(proxy_metrics)});
  ASSERT_TRUE(proxy.child);
  ASSERT_TRUE(orvel::testutil::WaitListening(synth_metrics, 10000)) << synth.Output();

  for (unsigned short m : {synth_metrics, proxy_metrics}) {
    SCOPED_TRACE(m);
    EXPECT_TRUE(Answers(m, "/readyz", "HTTP/1.1 200 OK ready")) << Get(m, "/readyz");
  }
  agent->Signal(SIGKILL);
  agent->Wait(5000);
  for (unsigned short m : {synth_metrics, proxy_metrics}) {
    SCOPED_TRACE(m);
    EXPECT_TRUE(Answers(
        m, "/readyz", "HTTP/1.1 503 Service Unavailable no directory agent answered lately: " + da))
        << Get(m, "/readyz");
    EXPECT_EQ(Get(m, "/healthz").rfind("HTTP/1.1 200", 0), 0u);
  }
  agent = Agent(da_port);
  for (unsigned short m : {synth_metrics, proxy_metrics}) {
    SCOPED_TRACE(m);
    EXPECT_TRUE(Answers(m, "/readyz", "HTTP/1.1 200 OK ready")) << Get(m, "/readyz");
  }
}

}  // namespace
