// orvel-slpd's metrics listener: a scrape shows exactly what the test sent,
// the text passes Prometheus's own parser while the agent is under load,
// and the health check answers 503 until the agent serves.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "slp/wire.h"
#include "slpd_test_util.h"
#include "testutil/net_util.h"
#include "testutil/process_util.h"

namespace orvel::slp {
namespace {

sockaddr_in Addr(const char* host, int port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, host, &sa.sin_addr);
  return sa;
}

orvel::testutil::TestFd Socket(int type) {
  return orvel::testutil::TestFd(::socket(AF_INET, type | SOCK_CLOEXEC, 0));
}

// An agent with its metrics listener on a free port; wait false: return at
// once, before it serves.
class Agent : public slpdtest::SlpdProcess {
 public:
  explicit Agent(const std::vector<std::string>& extra, bool wait = true)
      : Agent(::testutil::FreeLoopbackPort(), extra, wait) {}
  uint16_t metrics() const { return metrics_; }

 private:
  Agent(uint16_t metrics, const std::vector<std::string>& extra, bool wait)
      : SlpdProcess(WithMetrics(metrics, extra), wait ? 20000 : 0), metrics_(metrics) {}
  static std::vector<std::string> WithMetrics(uint16_t metrics, std::vector<std::string> extra) {
    extra.insert(extra.begin(), {"--metrics", "127.0.0.1:" + std::to_string(metrics)});
    return extra;
  }
  uint16_t metrics_;
};

// Sends one datagram from source (no retry: every send counts once) and
// returns the reply's size, 0 when none came within a second.
size_t SendUdp(int port, const std::string& bytes, const char* source = "127.0.0.1") {
  orvel::testutil::TestFd s = Socket(SOCK_DGRAM);
  sockaddr_in from = Addr(source, 0);
  if (::bind(s.get(), reinterpret_cast<sockaddr*>(&from), sizeof from) != 0) return 0;
  sockaddr_in to = Addr("127.0.0.1", port);
  ::sendto(s.get(), bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  pollfd p{s.get(), POLLIN, 0};
  if (::poll(&p, 1, 1000) <= 0) return 0;
  char buf[65536];
  ssize_t n = ::recv(s.get(), buf, sizeof buf, 0);
  return n > 0 ? static_cast<size_t>(n) : 0;
}

// One request over TCP; the reply's size (0: none).
size_t SendTcp(int port, const std::string& bytes) {
  orvel::testutil::TestFd s = Socket(SOCK_STREAM);
  sockaddr_in to = Addr("127.0.0.1", port);
  if (::connect(s.get(), reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) return 0;
  if (!orvel::testutil::SendAll(s.get(), bytes)) return 0;
  std::string head = orvel::testutil::ReadAtLeast(s.get(), 5, 3000);
  if (head.size() < 5) return 0;
  const size_t want = PeekLength(reinterpret_cast<const uint8_t*>(head.data()), head.size());
  std::string rest = orvel::testutil::ReadAtLeast(s.get(), want - head.size(), 3000);
  return head.size() + rest.size();
}

uint16_t g_xid = 500;

std::string Encoded(Body body, uint16_t flags = 0) {
  Message m;
  m.header.xid = ++g_xid;
  m.header.flags = flags;
  m.body = std::move(body);
  return Encode(m);
}

std::string Registration(const std::string& url, const std::string& type, uint16_t lifetime = 300) {
  SrvReg r;
  r.entry = {lifetime, url, {}};
  r.service_type = type;
  r.scopes = "default";
  return Encoded(r, kFlagFresh);
}

std::string Lookup(const std::string& type) {
  SrvRqst q;
  q.service_type = type;
  q.scopes = "default";
  return Encoded(q);
}

std::string Scrape(uint16_t port, const std::string& path = "/metrics") {
  return orvel::testutil::Exchange(
      port, "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
}

std::string Body(const std::string& response) {
  size_t at = response.find("\r\n\r\n");
  return at == std::string::npos ? "" : "\n" + response.substr(at + 4);
}

// The value of the sample line series, or -1 when there is none.
double Sample(const std::string& text, const std::string& series) {
  size_t at = text.find("\n" + series + " ");
  if (at == std::string::npos) return -1;
  return std::strtod(text.c_str() + at + series.size() + 2, nullptr);
}

std::string Requests(const char* function, const char* result) {
  return std::string("orvel_slpd_requests_total{function=\"") + function + "\",result=\"" + result +
         "\"}";
}

// Sends the agent at port 3 registrations of two types and 2 refused ones
// (one over TCP), 2 look-ups, a malformed AttrRqst and an unreadable
// header; the bytes of the replies over each transport.  Only 127.0.0.2
// may register.
void SendTheMix(int port, size_t* udp_bytes, size_t* tcp_bytes) {
  size_t got = 0;
  // 3 registrations, two types.
  for (const char* url : {"service:test://10.0.0.1:1", "service:test://10.0.0.2:1"}) {
    ASSERT_GT(got = SendUdp(port, Registration(url, "service:test"), "127.0.0.2"), 0u);
    *udp_bytes += got;
  }
  ASSERT_GT(got = SendUdp(port, Registration("service:other://10.0.0.3", "Other"), "127.0.0.2"),
            0u);
  *udp_bytes += got;
  // Refused: lifetime 0 (invalid), and over TCP from a network that may not
  // register (its source is real, so it gets the error).
  ASSERT_GT(got = SendUdp(port, Registration("service:test://10.0.0.4:1", "test", 0), "127.0.0.2"),
            0u);
  *udp_bytes += got;
  *tcp_bytes = SendTcp(port, Registration("service:test://10.0.0.5:1", "test"));
  ASSERT_GT(*tcp_bytes, 0u);
  // 2 look-ups.
  for (int i = 0; i < 2; ++i) {
    ASSERT_GT(got = SendUdp(port, Lookup("test")), 0u);
    *udp_bytes += got;
  }
  // 1 malformed AttrRqst (its body cut short), 1 unreadable header.
  AttrRqst a;
  a.url = "service:test://10.0.0.1:1";
  a.scopes = "default";
  std::string cut = Encoded(a);
  cut.resize(cut.size() - 4);
  SetLength(&cut, cut.size());
  ASSERT_GT(got = SendUdp(port, cut), 0u) << "a unicast parse error is answered";
  *udp_bytes += got;
  EXPECT_EQ(SendUdp(port, "hello"), 0u);
}

TEST(SlpdMetrics, CountsMatchWhatWasSent) {
  ::testutil::TempDir dir;
  // Only 127.0.0.2 may register, so a registration from 127.0.0.1 is
  // refused for its source.
  Agent agent({"--state", dir.path() + "/state", "--allow-register", "127.0.0.2/32"});
  ASSERT_GT(agent.port(), 0) << agent.child().Output();
  ASSERT_TRUE(orvel::testutil::WaitListening(agent.metrics(), 5000));
  const int port = agent.port();
  size_t udp_bytes = 0;
  size_t tcp_bytes = 0;
  ASSERT_NO_FATAL_FAILURE(SendTheMix(port, &udp_bytes, &tcp_bytes));

  // The state file is saved within a tenth of a second of a change.
  std::string text;
  ASSERT_TRUE(::testutil::WaitUntil(
      [&] {
        text = Body(Scrape(agent.metrics()));
        return Sample(text, "orvel_slpd_state_saves_total{result=\"ok\"}") >= 1;
      },
      5000))
      << text;
  // -1: no such sample (no AttrRqst was answered).
  const std::pair<std::string, double> expected[] = {
      {"orvel_slpd_registrations{type=\"test\"}", 2},
      {"orvel_slpd_registrations{type=\"other\"}", 1},
      {Requests("SrvReg", "ok"), 3},
      {Requests("SrvReg", "error"), 1},
      {Requests("SrvReg", "refused"), 1},
      {Requests("SrvRqst", "ok"), 2},
      {Requests("AttrRqst", "malformed"), 1},
      {Requests("none", "malformed"), 1},
      {Requests("AttrRqst", "ok"), -1},
      {"orvel_slpd_refused_registrations_total{reason=\"source\"}", 1},
      {"orvel_slpd_refused_registrations_total{reason=\"invalid\"}", 1},
      {"orvel_slpd_replies_total{transport=\"udp\"}", 7},
      {"orvel_slpd_replies_total{transport=\"tcp\"}", 1},
      {"orvel_slpd_reply_bytes_total{transport=\"udp\"}", static_cast<double>(udp_bytes)},
      {"orvel_slpd_reply_bytes_total{transport=\"tcp\"}", static_cast<double>(tcp_bytes)},
      {"orvel_slpd_overflow_replies_total", 0},
      {"orvel_slpd_rate_limited_replies_total", 0},
      {"orvel_slpd_state_saves_total{result=\"failed\"}", 0},
  };
  for (const auto& [series, value] : expected) {
    EXPECT_EQ(Sample(text, series), value) << series << "\n" << text;
  }
  const std::string health = Scrape(agent.metrics(), "/healthz");
  EXPECT_EQ(health.rfind("HTTP/1.1 200", 0), 0u) << health;
}

TEST(SlpdMetrics, OverflowAndRateLimitedRepliesAreCounted) {
  // The smallest MTU and a reply budget of strictly 1x what a network sends: a list
  // of 20 URLs does not fit one datagram, and it is sent (cut, with the
  // overflow flag) only to a request long enough to earn it.
  Agent agent({"--mtu", "576", "--udp-reply-factor", "1", "--udp-reply-allowance", "0"});
  ASSERT_GT(agent.port(), 0) << agent.child().Output();
  ASSERT_TRUE(orvel::testutil::WaitListening(agent.metrics(), 5000));
  for (int i = 0; i < 20; ++i) {
    std::string url = "service:big://10.0.1." + std::to_string(i) + ":12345/a/long/path/for/size";
    ASSERT_GT(SendTcp(agent.port(), Registration(url, "big")), 0u);
  }
  // A unicast request's previous-responder list is not looked at: padding.
  SrvRqst padded;
  padded.service_type = "big";
  padded.scopes = "default";
  padded.prlist = std::string(599, 'x');
  for (int i = 0; i < 3; ++i) EXPECT_GT(SendUdp(agent.port(), Encoded(padded)), 500u);
  for (int i = 0; i < 5; ++i) EXPECT_LT(SendUdp(agent.port(), Lookup("big")), 40u);
  const std::string text = Body(Scrape(agent.metrics()));
  EXPECT_EQ(Sample(text, "orvel_slpd_overflow_replies_total"), 3) << text;
  EXPECT_EQ(Sample(text, "orvel_slpd_rate_limited_replies_total"), 5) << text;
  EXPECT_EQ(Sample(text, Requests("SrvRqst", "ok")), 8) << text;
  EXPECT_EQ(Sample(text, Requests("SrvReg", "ok")), 20) << text;
}

TEST(SlpdMetrics, ScrapesPassPromtoolUnderLoad) {
  const bool have_promtool = std::system("command -v promtool >/dev/null 2>&1") == 0;
  Agent agent({});
  ASSERT_GT(agent.port(), 0) << agent.child().Output();
  ASSERT_TRUE(orvel::testutil::WaitListening(agent.metrics(), 5000));
  ASSERT_GT(SendUdp(agent.port(), Registration("service:test://10.0.0.1:1", "test")), 0u);
  constexpr int kThreads = 4, kEach = 150;
  std::atomic<int> answered{0};
  std::vector<std::thread> load;
  for (int t = 0; t < kThreads; ++t) {
    load.emplace_back([&] {
      for (int i = 0; i < kEach; ++i) {
        if (SendUdp(agent.port(), Lookup(i % 2 ? "test" : "service:test")) > 0) ++answered;
      }
    });
  }
  ::testutil::TempDir dir;
  double last = 0;
  for (int i = 0; i < 10; ++i) {
    const std::string body = Body(Scrape(agent.metrics()));
    ASSERT_FALSE(body.empty());
    if (have_promtool) {
      const std::string file = dir.WriteFile("scrape" + std::to_string(i), body.substr(1));
      const std::string cmd = "promtool check metrics < " + file + " > " + file + ".out 2>&1";
      EXPECT_EQ(std::system(cmd.c_str()), 0) << ::testutil::ReadFileOrEmpty(file + ".out") << body;
    }
    double now = std::max(0.0, Sample(body, Requests("SrvRqst", "ok")));
    EXPECT_GE(now, last) << "a counter went down";
    last = now;
  }
  for (std::thread& t : load) t.join();
  EXPECT_EQ(answered.load(), kThreads * kEach);
  const std::string text = Body(Scrape(agent.metrics()));
  EXPECT_EQ(Sample(text, Requests("SrvRqst", "ok")), kThreads * kEach) << text;
  EXPECT_EQ(Sample(text, Requests("SrvReg", "ok")), 1) << text;
  EXPECT_EQ(Sample(text, "orvel_slpd_replies_total{transport=\"udp\"}"), kThreads * kEach + 1)
      << text;
  if (!have_promtool) {
    GTEST_SKIP() << "promtool not installed (Debian package prometheus): counts checked, "
                    "the text format not";
  }
}

TEST(SlpdMetrics, HealthIsUnavailableUntilTheStateIsLoaded) {
  // An etcd that accepts connections and never answers: loading the
  // registrations waits for its time-out, then (optional) serving starts
  // from memory.
  const unsigned short silent = ::testutil::FreeLoopbackPort();
  orvel::testutil::TestFd listener = Socket(SOCK_STREAM);
  int one = 1;
  ::setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in sa = Addr("127.0.0.1", silent);
  ASSERT_EQ(::bind(listener.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
  ASSERT_EQ(::listen(listener.get(), 16), 0);
  Agent agent({"--etcd", "http://127.0.0.1:" + std::to_string(silent), "--etcd-optional"},
              /*wait=*/false);
  ASSERT_TRUE(orvel::testutil::WaitListening(agent.metrics(), 5000)) << agent.child().Output();
  const std::string loading = Scrape(agent.metrics(), "/healthz");
  EXPECT_EQ(loading.rfind("HTTP/1.1 503", 0), 0u) << loading;
  EXPECT_EQ(agent.child().Output().find("listening on"), std::string::npos)
      << "the answer above came before the agent served";
  ASSERT_TRUE(agent.child().WaitForOutput("listening on 127.0.0.1:", 30000))
      << agent.child().Output();
  const std::string serving = Scrape(agent.metrics(), "/healthz");
  EXPECT_EQ(serving.rfind("HTTP/1.1 200", 0), 0u) << serving;
}

}  // namespace
}  // namespace orvel::slp
