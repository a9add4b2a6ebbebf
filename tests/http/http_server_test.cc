// The server over loopback with raw sockets: exact response bytes and the
// lines printed for every kind of request.
//
// One file for one contract: the server's bytes and lines, case by case,
// beside the raw-socket helpers they share.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "http/http_impl.h"
#include "http/http_test_util.h"
#include "http/refusal.h"
#include "http/server_stats.h"
#include "orvel/http.h"
#include "testutil/net_util.h"

namespace orvel::httptest {

namespace {

// Holds a handler (requests naming data port 4) until the test lets it go,
// so a test can act while the handler is known to be at work.
class HandlerGate {
 public:
  void Enter() {
    std::unique_lock<std::mutex> lock(mu_);
    entered_ = true;
    cv_.notify_all();
    cv_.wait_for(lock, std::chrono::seconds(10), [this] { return open_; });
    entered_ = open_ = false;
  }
  bool WaitEntered() {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::seconds(10), [this] { return entered_; });
  }
  void Open() {
    std::lock_guard<std::mutex> lock(mu_);
    open_ = true;
    cv_.notify_all();
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool entered_ = false;
  bool open_ = false;
};
HandlerGate g_gate;

std::atomic<unsigned short> g_last_src_port{0};
std::atomic<int> g_last_sock{-2};

Msg* TestHandler(Msg* request) {
  g_last_src_port = request->getSrcPort();
  g_last_sock = request->sock;
  if (dynamic_cast<ZemCommit*>(request) != nullptr) http::SetRefusalReason("no commits here");
  auto* init = dynamic_cast<ZemInit*>(request);
  if (init == nullptr) return nullptr;
  if (init->getPort() == 1) usleep(300 * 1000);
  if (init->getPort() == 2) return request;  // the reply is the request itself
  if (init->getPort() == 4) g_gate.Enter();
  if (init->getPort() == 3) {  // 20 ms of this thread's CPU
    timespec t0{}, t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t0);
    do {
      clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    } while ((t.tv_sec - t0.tv_sec) * 1000000000L + (t.tv_nsec - t0.tv_nsec) < 20000000L);
  }
  return new ZemInitOk(request->getId(), request->getVersion(), request->getSrcAddr(), 7);
}

}  // namespace

uint16_t TestServerPort() {
  static const uint16_t port = [] {
    uint16_t p = testutil::FreePort();
    startServerLoop(p, TestHandler);
    testutil::WaitListening(p);
    // One whole exchange after the readiness probe: connections are
    // accepted in order, so the probe's connection thread has started by
    // the time this is answered, and tests that wait for a quiet server
    // see it.
    testutil::Exchange(p, "GET / HTTP/1.1\r\n\r\n");
    return p;
  }();
  return port;
}

uint16_t StandardServerPort() {
  static const uint16_t port = [] {
    uint16_t p = testutil::FreePort();
    ScopedEnv parser("ORVEL_HTTP_PARSER", "standard");
    ScopedEnv threads("ORVEL_HTTP_EVENT_THREADS", "1");
    startServerLoop(p, TestHandler);
    testutil::WaitListening(p);
    testutil::Exchange(p, "GET / HTTP/1.1\r\n\r\n");
    return p;
  }();
  return port;
}

namespace {
std::mutex g_head_reads_mu;
std::condition_variable g_head_reads_cv;
size_t g_head_reads = 0;

void CountHeadRead(size_t) {
  std::lock_guard<std::mutex> lock(g_head_reads_mu);
  ++g_head_reads;
  g_head_reads_cv.notify_all();
}
}  // namespace

bool SendAndWaitForHeadRead(int fd, const std::string& first) {
  size_t before = 0;
  {
    std::lock_guard<std::mutex> lock(g_head_reads_mu);
    before = g_head_reads;
  }
  http::SetHeadReadHookForTesting(CountHeadRead);
  bool read = testutil::SendAll(fd, first);
  {
    std::unique_lock<std::mutex> lock(g_head_reads_mu);
    read = read && g_head_reads_cv.wait_for(lock, std::chrono::seconds(10),
                                            [&] { return g_head_reads > before; });
  }
  http::SetHeadReadHookForTesting(nullptr);
  return read;
}

unsigned short LastSrcPort() { return g_last_src_port; }
int LastSock() { return g_last_sock; }

namespace {

using testutil::StderrCapture;
using testutil::TestFd;

std::string InitText(unsigned long id, unsigned short port = 7560) {
  return Text(ZemInit(id, id + 1, port));
}

std::string InitOkText(unsigned long id) {
  return Text(ZemInitOk(id, id + 1, htonl(INADDR_LOOPBACK), 7));
}

// Waits until no connection thread is still at work.
bool ServerQuiet() {
  for (int i = 0; i < 500; ++i) {
    if (http::BusyConnectionThreadsForTesting() == 0) return true;
    usleep(10 * 1000);
  }
  return false;
}

// An environment setting changed only while no connection thread runs.
class ServerEnv {
 public:
  ServerEnv(const char* name, const char* value) {
    EXPECT_TRUE(ServerQuiet());
    env_.emplace(name, value);
    // Takes the worker pool's lock after the change, so the next connection
    // thread is seen (ThreadSanitizer included) to start after it.
    EXPECT_TRUE(ServerQuiet());
  }
  ~ServerEnv() {
    EXPECT_TRUE(ServerQuiet());
    env_.reset();
  }

 private:
  std::optional<ScopedEnv> env_;
};

// A server of its own, started on a free port with the environment
// settings given (servers read them as they start).
uint16_t StartServerWith(std::initializer_list<std::pair<const char*, const char*>> settings) {
  std::vector<std::unique_ptr<ServerEnv>> env;
  env.push_back(std::make_unique<ServerEnv>("ORVEL_HTTP_EVENT_THREADS", "1"));
  for (const auto& s : settings) env.push_back(std::make_unique<ServerEnv>(s.first, s.second));
  uint16_t p = testutil::FreePort();
  startServerLoop(p, TestHandler);
  testutil::WaitListening(p);
  return p;
}

class HttpServer : public ::testing::Test {
 protected:
  void SetUp() override { port_ = TestServerPort(); }
  // A connection thread still finishing when the process exits would race
  // libxml2's clean-up at exit.
  void TearDown() override { EXPECT_TRUE(ServerQuiet()); }

  // Sends request, returns the whole response; stderr captured meanwhile.
  std::string Send(const std::string& request, bool half_close = false) {
    return testutil::Exchange(port_, request, half_close);
  }

  uint16_t port_ = 0;
};

struct Row {
  const char* name;
  std::string request;
  std::vector<std::string> printed;  // lines, in order
};

TEST_F(HttpServer, RefusedRequestsGet400AndTheirLine) {
  const std::string refused_init = "<?xml version=\"1.0\"?>\n<ZemInit><id>1</id></ZemInit>";
  const std::string commit = Text(
      ZemCommit(5, 6, htonl(0xe0050607), 7560, 0, {TransportEndPoint(htonl(0x0a000001), 7560)}));
  const Row rows[] = {
      {"malformed request line",
       "GARBAGE\r\n\r\n",
       {"Unexpected header from client:\nGARBAGE\r\n\r\n\n", "readHTTPRequest returned NULL\n"}},
      {"Host header first",
       "POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 5\r\n\r\nhello",
       {"Unexpected content-length from client:\nPOST / HTTP/1.1\r\nHost: a\r\n",
        "readHTTPRequest returned NULL\n"}},
      {"header name in other case",
       "POST / HTTP/1.1\r\ncontent-length: 5\r\n\r\nhello",
       {"Unexpected content-length from client:\n", "readHTTPRequest returned NULL\n"}},
      {"length zero",
       "POST / HTTP/1.1\r\nContent-Length: 0\r\n\r\n",
       {"Body length is: 0\n", "readHTTPRequest returned NULL\n"}},
      {"length negative",
       "POST / HTTP/1.1\r\nContent-Length: -5\r\n\r\n",
       {"Body length is: -5\n", "readHTTPRequest returned NULL\n"}},
      {"length above the limit",
       "POST / HTTP/1.1\r\nContent-Length: 16777217\r\n\r\nx",
       {"Content-Length 16777217 from client is above the limit of 16777216 bytes\n",
        "readHTTPRequest returned NULL\n"}},
      {"length overflowing int",
       "POST / HTTP/1.1\r\nContent-Length: 4294967297\r\n\r\nx",
       {"Content-Length 4294967297 from client is above the limit",
        "readHTTPRequest returned NULL\n"}},
      {"method of seven",
       Request(InitText(1), "CONNECT / HTTP/1.1"),
       {"Unexpected header from client:\nCONNECT", "readHTTPRequest returned NULL\n"}},
      {"version of ten",
       Request(InitText(1), "POST / HTTP/1.100"),
       {"Unexpected header from client:\nPOST", "readHTTPRequest returned NULL\n"}},
      {"URI of 8192",
       Request(InitText(1), "POST /" + std::string(8191, 'u') + " V"),
       {"Unexpected header from client:\n", "readHTTPRequest returned NULL\n"}},
      {"reply type as request", Request(InitOkText(1)), {"undefined request type\n"}},
      {"body not XML",
       Request("this is not <xml"),
       {"Request body is not a well-formed XML document\n"}},
      {"refused document", Request(refused_init), {"Refused malformed ZemInit request\n"}},
      {"handler returns null", Request(commit), {"RecvCallback returned NULL\n"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    StderrCapture err;
    EXPECT_EQ(Send(row.request), kBadRequest);
    std::string printed = err.Text();
    size_t at = 0;
    for (const std::string& line : row.printed) {
      size_t found = printed.find(line, at);
      EXPECT_NE(found, std::string::npos) << "missing: " << line << "\nin: " << printed;
      if (found != std::string::npos) at = found + line.size();
    }
  }
}

TEST_F(HttpServer, AnswersZemInitWithExactBytes) {
  TestFd s = testutil::ConnectLoopback(port_);
  ASSERT_TRUE(s.valid());
  ASSERT_TRUE(testutil::SendAll(s.get(), Request(InitText(100))));
  EXPECT_EQ(testutil::ReadUntilClosed(s.get()), OkResponse(InitOkText(100)));
  sockaddr_in local{};
  socklen_t len = sizeof local;
  getsockname(s.get(), reinterpret_cast<sockaddr*>(&local), &len);
  EXPECT_EQ(LastSrcPort(), ntohs(local.sin_port));
  EXPECT_GE(LastSock(), 0);
}

// The server frees a request its handler handed back as the reply only once,
// after sending it.
TEST_F(HttpServer, RequestHandedBackAsReplyIsSent) {
  const std::string text = InitText(300, /*port=*/2);
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(Send(Request(text)), OkResponse(text));
  }
}

TEST_F(HttpServer, AcceptedVariants) {
  const std::string text = InitText(200);
  const std::string xxe_text =
      "<?xml version=\"1.0\"?><!DOCTYPE ZemInit [<!ENTITY e SYSTEM "
      "\"file:///etc/hostname\">]><ZemInit><id>200</id><version>201</version>"
      "<data_port>&e;</data_port></ZemInit>";
  const Row rows[] = {
      {"GET / HTTP/1.0", Request(text, "GET / HTTP/1.0"), {}},
      {"six-character method, nine-character version", Request(text, "DELETE / HTTP/1.10"), {}},
      {"no terminating zero",
       "POST / HTTP/1.1\r\nContent-Length: " + std::to_string(text.size()) + "\r\n\r\n" + text,
       {}},
      {"surplus beyond the declared length dropped",
       "POST / HTTP/1.1\r\nContent-Length: " + std::to_string(text.size()) + "\r\n\r\n" + text +
           "<trailing garbage",
       {}},
      {"comment before the root",
       Request("<?xml version=\"1.0\"?>\n<!-- hi --><ZemInit><id>200</id>"
               "<version>201</version><data_port>9</data_port></ZemInit>"),
       {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(Send(row.request), OkResponse(InitOkText(200)));
  }
  // An entity reference is neither loaded nor expanded: the document is
  // refused, so no file of this host can reach a handler.
  EXPECT_EQ(Send(Request(xxe_text)), kBadRequest);
}

TEST_F(HttpServer, LimitFromEnvironment) {
  const std::string text = InitText(300);
  const std::string limit = std::to_string(text.size() + 1);
  const std::string over = std::to_string(text.size() + 2);
  port_ = StartServerWith({{"ORVEL_HTTP_MAX_BODY", limit.c_str()}});
  StderrCapture err;
  EXPECT_EQ(Send("POST / HTTP/1.1\r\nContent-Length: " + over + "\r\n\r\nx"), kBadRequest);
  EXPECT_NE(err.Text().find("Content-Length " + over + " from client is above the limit of " +
                            limit + " bytes\n"),
            std::string::npos);
  EXPECT_EQ(Send(Request(text)), OkResponse(InitOkText(300)));
}

TEST_F(HttpServer, SplitHeadAnswered400) {
  StderrCapture err;
  TestFd s = testutil::ConnectLoopback(port_);
  EXPECT_TRUE(SendAndWaitForHeadRead(s.get(), "POST /query HTTP/1.1\r\n"));
  testutil::SendAll(s.get(), "Content-Length: 5\r\n\r\nhello");
  EXPECT_EQ(testutil::ReadUntilClosed(s.get()), kBadRequest);
  EXPECT_NE(err.Text().find("Unexpected content-length from client:\nPOST /query HTTP/1.1\r\n\n"),
            std::string::npos);
}

TEST_F(HttpServer, BodyInLaterSegmentsIsRead) {
  const std::string text = InitText(400);
  TestFd s = testutil::ConnectLoopback(port_);
  testutil::SendAll(s.get(), "POST / HTTP/1.1\r\nContent-Length: " + std::to_string(text.size()) +
                                 "\r\n\r\n" + text.substr(0, 10));
  usleep(100 * 1000);
  testutil::SendAll(s.get(), text.substr(10, 20));
  usleep(100 * 1000);
  testutil::SendAll(s.get(), text.substr(30));
  EXPECT_EQ(testutil::ReadUntilClosed(s.get()), OkResponse(InitOkText(400)));
}

TEST_F(HttpServer, PartialBodyDispatched) {
  const std::string text = InitText(500);
  StderrCapture err;
  std::string request =
      "POST / HTTP/1.1\r\nContent-Length: " + std::to_string(text.size() + 50) + "\r\n\r\n" + text;
  EXPECT_EQ(Send(request, /*half_close=*/true), OkResponse(InitOkText(500)));
  EXPECT_NE(err.Text().find("Only received " + std::to_string(text.size()) +
                            " bytes of message body out of " + std::to_string(text.size() + 50) +
                            " expected.\n"),
            std::string::npos);
}

TEST_F(HttpServer, SilentAndTricklingPeersTimeOut) {
  port_ = StartServerWith({{"ORVEL_HTTP_READ_TIMEOUT", "0.3"}});
  {
    StderrCapture err;
    TestFd s = testutil::ConnectLoopback(port_);
    EXPECT_EQ(testutil::ReadUntilClosed(s.get()), kBadRequest);
    EXPECT_NE(err.Text().find("Timed out after 0.3 s waiting for request from client\n"),
              std::string::npos);
  }
  {
    StderrCapture err;
    TestFd s = testutil::ConnectLoopback(port_);
    testutil::SendAll(s.get(), "POST / HTTP/1.1\r\nContent-Length: 100\r\n\r\n<ZemInit>");
    EXPECT_EQ(testutil::ReadUntilClosed(s.get()), kBadRequest);
    EXPECT_NE(err.Text().find("Timed out after 0.3 s: received 9 bytes of message body "
                              "out of 100 expected.\n"),
              std::string::npos);
  }
}

// With the default SIGPIPE action, a write to a vanished peer would end the
// test process; the server must survive and go on serving.
TEST_F(HttpServer, PeerClosingBeforeReplyDoesNotKillTheProcess) {
  signal(SIGPIPE, SIG_DFL);
  StderrCapture err;
  {
    TestFd s = testutil::ConnectLoopback(port_);
    ASSERT_TRUE(testutil::SendAll(s.get(), Request(InitText(600, /*port=*/4))));
    // The peer vanishes while the handler is at work, before the reply.
    ASSERT_TRUE(g_gate.WaitEntered());
    linger hard{1, 0};  // close with a reset
    setsockopt(s.get(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  }
  g_gate.Open();
  EXPECT_TRUE(err.WaitFor("Warning: Could only write "));
  EXPECT_EQ(Send(Request(InitText(601))), OkResponse(InitOkText(601)));
  signal(SIGPIPE, SIG_IGN);
}

TEST_F(HttpServer, FiftyConcurrentClientsAllAnswered) {
  constexpr int kClients = 50;
  std::vector<std::string> got(kClients);
  std::vector<std::thread> threads;
  for (int i = 0; i < kClients; ++i) {
    threads.emplace_back([&, i] {
      got[i] = testutil::Exchange(port_, Request(InitText(1000 + i * 10)), false, 30000);
    });
  }
  for (auto& t : threads) t.join();
  for (int i = 0; i < kClients; ++i) {
    EXPECT_EQ(got[i], OkResponse(InitOkText(1000 + i * 10))) << i;
  }
}

int FailingCreate(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*) { return EAGAIN; }

std::atomic<int> g_no_thread_reports{0};
void CountNoThread(const char*, http::RequestResult result) {
  if (result == http::RequestResult::kNoThread) ++g_no_thread_reports;
}

// The request that gets no handler thread is answered and counted, and the
// server goes on.
TEST_F(HttpServer, ThreadCreationFailureRefusesOnlyThatConnection) {
  StderrCapture err;
  // A worker still finishing an earlier connection would take this one.
  ASSERT_TRUE(ServerQuiet());
  http::SetRequestObserver(CountNoThread);
  http::SetThreadCreateForTesting(FailingCreate);
  EXPECT_EQ(Send(Request(InitText(700))), kBadRequest);
  http::SetThreadCreateForTesting(nullptr);
  http::SetRequestObserver(nullptr);
  EXPECT_EQ(g_no_thread_reports.load(), 1);
  EXPECT_NE(err.Text().find("pthread_create: Resource temporarily unavailable\n"
                            "Can't create thread... refusing this connection\n"),
            std::string::npos);
  EXPECT_EQ(Send(Request(InitText(701))), OkResponse(InitOkText(701)));
}

// Each connection adds the CPU time it used, so the counters sum to no more
// than the process has used in all.
TEST_F(HttpServer, CpuCountersAddEachConnectionsOwnTime) {
  global_time_init();
  constexpr int kConnections = 10;
  for (int i = 0; i < kConnections; ++i) {
    EXPECT_EQ(Send(Request(Text(ZemInit(810 + i, 811 + i, 3)))),
              OkResponse(Text(ZemInitOk(810 + i, 811 + i, htonl(INADDR_LOOPBACK), 7))));
  }
  auto counted = [] {
    pthread_mutex_lock(&global_time_mut);
    long total = global_utime + global_stime;
    pthread_mutex_unlock(&global_time_mut);
    return total;
  };
  // The connection thread adds after closing; wait for the last briefly.
  constexpr long kBurnedUs = kConnections * 20000L;
  for (int i = 0; i < 200 && counted() < kBurnedUs * 9 / 10; ++i) usleep(10 * 1000);
  long utime = 0;
  long stime = 0;
  get_rusage_times(&utime, &stime);
  EXPECT_GE(counted(), kBurnedUs * 9 / 10);
  EXPECT_LE(counted(), utime + stime);
}

// HTTPconn run directly: a null handler, and socket 0 taken as valid.
TEST(HttpConn, NullHandlerAnswered400OnDescriptorZero) {
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  TestFd saved_stdin(dup(0));
  ASSERT_EQ(dup2(pair[0], 0), 0);
  close(pair[0]);
  TestFd peer(pair[1]);
  testutil::SendAll(peer.get(), Request(InitText(900)));
  StderrCapture err;
  HTTPconn(new Parameters{nullptr, 0, 0, 0});
  EXPECT_EQ(testutil::ReadUntilClosed(peer.get()), kBadRequest);
  EXPECT_NE(err.Text().find("RecvCallback is NULL!\n"), std::string::npos);
  dup2(saved_stdin.get(), 0);
}

TEST(HttpServerSocket, ListeningSocketIsCloseOnExec) {
  int fd = openServerSocket(testutil::FreePort());
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
  close(fd);
}

// Runs in a child: with the descriptor table full, accept fails with
// EMFILE; the loop must report it, back off and serve once descriptors free.
void ServeThroughDescriptorExhaustion() {
  rlimit lim{};
  getrlimit(RLIMIT_NOFILE, &lim);
  lim.rlim_cur = 64;
  if (setrlimit(RLIMIT_NOFILE, &lim) != 0) std::exit(2);
  uint16_t port = testutil::FreePort();
  startServerLoop(port, TestHandler);
  // A probe connection would be served and closed by a worker after the
  // table is full, freeing the one slot the next accept needs.
  if (!testutil::WaitListeningWithoutConnecting(port)) std::exit(3);
  TestFd client(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  std::vector<int> fillers;
  for (int fd; (fd = dup(2)) >= 0;) fillers.push_back(fd);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  to.sin_port = htons(port);
  if (connect(client.get(), reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) std::exit(4);
  usleep(300 * 1000);
  for (int i = 0; i < 8 && !fillers.empty(); ++i) {
    close(fillers.back());
    fillers.pop_back();
  }
  testutil::SendAll(client.get(), Request(InitText(950)));
  std::string got = testutil::ReadUntilClosed(client.get());
  std::exit(got == OkResponse(InitOkText(950)) ? 0 : 5);
}

TEST(HttpServerDeath, AcceptSurvivesDescriptorExhaustion) {
#ifdef ORVEL_SANITIZE_UNDEFINED
  // UBSan reads an object's vtable through a pipe the first time it checks
  // a dynamic type; with the descriptor table full that read fails and it
  // reports every such object as invalid.
  GTEST_SKIP() << "not under UBSan: its type checks need free descriptors";
#endif
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(ServeThroughDescriptorExhaustion(), ::testing::ExitedWithCode(0),
              "accept: Too many open files");
}

// Runs in a child: a listener that can no longer accept (shut down under
// the server) ends accepting with a message; the process goes on.
void EndAcceptingWhenListenerFails() {
  uint16_t port = testutil::FreePort();
  startServerLoop(port, TestHandler);
  if (!testutil::WaitListeningWithoutConnecting(port)) std::exit(3);
  int listener = -1;
  for (int fd = 0; fd < 1024 && listener < 0; ++fd) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    int listening = 0;
    socklen_t opt_len = sizeof listening;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0 && a.sin_family == AF_INET &&
        ntohs(a.sin_port) == port &&
        getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &opt_len) == 0 && listening == 1) {
      listener = fd;
    }
  }
  if (listener < 0) std::exit(4);
  shutdown(listener, SHUT_RDWR);  // a blocked accept() now fails with EINVAL
  // Whoever was accepting closes the listener as it stops.
  for (int i = 0; i < 500 && fcntl(listener, F_GETFD) >= 0; ++i) usleep(10 * 1000);
  if (fcntl(listener, F_GETFD) >= 0) std::exit(5);
  if (testutil::ConnectLoopback(port, 200).valid()) std::exit(6);
  std::exit(0);
}

TEST(HttpServerDeath, ListenerFailureEndsAcceptingNotTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(EndAcceptingWhenListenerFails(), ::testing::ExitedWithCode(0),
              "accept: Invalid argument\nserverThread terminating now...\n");
}

TEST(HttpServerDeath, NullHandlerEndsProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(startServerLoop(testutil::FreePort(), nullptr), ::testing::ExitedWithCode(1),
              "RecvCallback is NULL!");
}

TEST(HttpServerDeath, PortInUseEndsProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        uint16_t port = testutil::FreePort();
        int held = openServerSocket(port);
        if (held < 0) std::exit(2);
        startServerLoop(port, TestHandler);
        sleep(10);
        std::exit(0);
      },
      ::testing::ExitedWithCode(1),
      "bind: Address already in use\nCouldn't open server socket on port "
      "[0-9]+\\.");
}

}  // namespace
}  // namespace orvel::httptest
