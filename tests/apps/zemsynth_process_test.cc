// Tests of zemsynth as a process: command line, exit statuses, and the
// console pause driven through a pseudo-terminal.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <future>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "apps_util.h"
#include "orvel/Msg.h"
#include "orvel/http.h"
#include "testutil/process_util.h"

namespace {

using testutil::Child;
using testutil::ChildOptions;

using testutil::InOrder;

std::string Zemsynth() { return testutil::BuildPath("orvel_apps/zemsynth"); }

TEST(ZemsynthProcess, WrongArgumentCountPrintsUsageAndExits255) {
  const std::vector<std::vector<std::string>> cases = {{}, {"7000"}, {"7000", "127.0.0.1", "x"}};
  for (const auto& args : cases) {
    std::vector<std::string> argv = {Zemsynth()};
    argv.insert(argv.end(), args.begin(), args.end());
    Child z(argv);
    int status = z.Wait(10000);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 255);
    // The console was opened (and failed: no terminal) before the check.
    EXPECT_EQ(z.Output(), "failed to open cterm?!\narg: port DA\n");
  }
}

// --help alone is the one single argument that is not a usage error.
TEST(ZemsynthProcess, HelpPrintsUsageAndExitsZero) {
  Child z({Zemsynth(), "--help"});
  int status = z.Wait(10000);
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(z.Output().rfind("Usage: zemsynth PORT DA\n", 0), 0u) << z.Output();
  EXPECT_EQ(z.Output().find("arg: port DA\n"), std::string::npos);
}

// The port is strtol's digits cut to 16 bits.
TEST(ZemsynthProcess, PortArgumentIsDigitsCutTo16Bits) {
  unsigned short port = testutil::FreeLoopbackPort();
  struct {
    std::string arg;
    unsigned short expected;
  } cases[] = {
      {std::to_string(port) + "x", port}, {std::to_string(65536 + port), port}, {"70000", 4464}};
  for (const auto& c : cases) {
    Child z({Zemsynth(), c.arg, "127.0.0.1"});
    const std::string want = " on port " + std::to_string(c.expected);
    // 4464 may be taken on this machine; then the bind failure names it.
    EXPECT_TRUE(z.WaitForOutput(want, 10000)) << c.arg << ": " << z.Output();
    EXPECT_TRUE(z.WaitForOutput("waiting for request\n", 10000) ||
                z.Output().find("Couldn't open") != std::string::npos)
        << z.Output();
  }
}

// An agent argument that is no address gets one warning line at start; the
// service starts all the same.
TEST(ZemsynthProcess, AgentThatIsNotAnAddressIsWarnedAboutOnce) {
  const std::string warning = "zemsynth: warning: DA \"";
  struct {
    const char* da;
    bool warned;
  } cases[] = {{"127.0.0.1", false},
               {"127.0.0.1:14270,127.0.0.2", false},
               {"localhost:14270", false},  // look-ups resolve names
               {"", false},
               {"banana", true},
               {"127.0.0.1:0", true},
               {"127.0.0.1,", true},
               {"127.0.0.1:80x", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.da);
    ChildOptions o;
    o.unset_env = {"ORVEL_PELMMONITOR", "ORVEL_PATH"};
    Child z({Zemsynth(), std::to_string(testutil::FreeLoopbackPort()), c.da}, o);
    ASSERT_TRUE(z.WaitForOutput("waiting for request\n", 10000)) << z.Output();
    const std::string out = z.Output();
    const size_t at = out.find(warning);
    if (!c.warned) {
      EXPECT_EQ(at, std::string::npos) << out;
      continue;
    }
    EXPECT_NE(out.find(warning + c.da +
                       "\" is not an agent address (A.B.C.D or a host name that resolves, "
                       "either optionally with :PORT, several separated by commas)\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(out.find(warning, at + 1), std::string::npos) << out;
  }
}

TEST(ZemsynthProcess, PortInUseEndsWithStatus1) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_ANY);
  socklen_t len = sizeof sa;
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
  ASSERT_EQ(listen(fd, 1), 0);
  getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
  const int port = ntohs(sa.sin_port);
  Child z({Zemsynth(), std::to_string(port), "127.0.0.1"});
  int status = z.Wait(10000);
  close(fd);
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 1);
  const std::string out = z.Output();
  EXPECT_NE(out.find(std::string("bind: ") + strerror(EADDRINUSE) + "\n"), std::string::npos)
      << out;
  EXPECT_NE(out.find("Couldn't open server socket on port " + std::to_string(port) + ".\n"),
            std::string::npos)
      << out;
}

// ---- Pauses through a pseudo-terminal ---------------------------------------
// A request for an end host that has no proxy and no coordinates pauses
// once (the client step) and then fails.

class ZemsynthConsole : public ::testing::Test {
 protected:
  void SetUp() override {
    da_ = apps_test::StartDirectoryAgent();
    ASSERT_TRUE(da_.child);
  }

  void Start(bool background = false) {
    port_ = testutil::FreeLoopbackPort();
    ChildOptions o;
    o.use_pty = true;
    o.pty_background = background;
    o.unset_env = {"ORVEL_PELMMONITOR", "ORVEL_PATH"};
    z_ = std::make_unique<Child>(
        std::vector<std::string>{Zemsynth(), std::to_string(port_), da_.Address()}, o);
    ASSERT_TRUE(z_->WaitForOutput("waiting for request", 10000)) << z_->Output();
    ASSERT_TRUE(testutil::WaitForLoopbackPort(port_, 5000));
    // Our own handle on the terminal, to read its settings.
    slave_ = open(z_->pty_name().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(slave_, 0);
  }
  void TearDown() override {
    if (slave_ >= 0) close(slave_);
  }

  // Posts a request for one end host; the future holds whether a reply
  // (rather than null) came back.
  std::future<bool> Request() {
    unsigned short port = port_;
    return std::async(std::launch::async, [port] {
      std::vector<EndPoint> eps = {EndPoint(inet_addr("10.9.9.9"))};
      std::vector<EndZone> zones;
      SynthZemReq req(1, 2, eps, zones);
      int sock = sendRequestMsg("127.0.0.1", port, &req);
      if (sock < 0) return false;
      std::unique_ptr<Msg> reply(getResponseMsg(sock));
      return reply != nullptr;
    });
  }

  std::string DrainMaster() {
    std::string got;
    pollfd p{z_->pty_master(), POLLIN, 0};
    while (poll(&p, 1, 200) > 0 && (p.revents & POLLIN)) {
      char buf[256];
      ssize_t n = read(z_->pty_master(), buf, sizeof buf);
      if (n <= 0) break;
      got.append(buf, static_cast<size_t>(n));
    }
    return got;
  }
  void Type(const std::string& keys) {
    ASSERT_EQ(write(z_->pty_master(), keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
  }
  tcflag_t LocalModes() {
    termios t{};
    tcgetattr(slave_, &t);
    return t.c_lflag;
  }

  apps_test::DirectoryAgent da_;
  unsigned short port_ = 0;
  std::unique_ptr<Child> z_;
  int slave_ = -1;
};

constexpr char kClientLine[] = "CLIENT node highlighted on PELM monitor (press any key)\n";

TEST_F(ZemsynthConsole, TypeAheadDoesNotEndThePauseOneKeyDoesUnechoed) {
  Start();
  // Typed before the pause: echoed (normal settings) and then discarded.
  Type("xyz");
  EXPECT_EQ(DrainMaster(), "xyz");
  std::future<bool> reply = Request();
  ASSERT_TRUE(z_->WaitForOutput(kClientLine, 20000)) << z_->Output();
  ASSERT_TRUE(testutil::WaitUntil([&] { return (LocalModes() & ECHO) == 0; }, 5000));
  EXPECT_EQ(LocalModes() & ICANON, 0u);
  // Still paused: the type-ahead did not end it.
  EXPECT_EQ(reply.wait_for(std::chrono::milliseconds(500)), std::future_status::timeout);
  EXPECT_EQ(z_->Output().find("finding coordinates"), std::string::npos);
  Type("k");
  EXPECT_FALSE(reply.get());  // no proxy: the synthesis fails with a 400
  EXPECT_TRUE(InOrder(z_->Output(), {"coordinates not found, returning now...\n",
                                     "got proxy 0.0.0.0:0\n", "Zem init failed!?\n"}))
      << z_->Output();
  EXPECT_EQ(DrainMaster(), "");  // the key was not echoed
  EXPECT_NE(LocalModes() & ECHO, 0u);
  EXPECT_NE(LocalModes() & ICANON, 0u);
}

// Two requests pausing at once take turns: one key ends one pause, and the
// other pause then runs with the pause settings (not the restored ones).
TEST_F(ZemsynthConsole, ConcurrentPausesTakeOneKeyEach) {
  Start();
  std::future<bool> first = Request();
  std::future<bool> second = Request();
  ASSERT_TRUE(testutil::WaitUntil(
      [&] {
        std::string out = z_->Output();
        size_t a = out.find(kClientLine);
        return a != std::string::npos && out.find(kClientLine, a + 1) != std::string::npos;
      },
      20000))
      << z_->Output();
  ASSERT_TRUE(testutil::WaitUntil([&] { return (LocalModes() & ECHO) == 0; }, 5000))
      << z_->Output();
  Type("k");
  // One request finishes; the other is still paused, without echo.
  ASSERT_TRUE(testutil::WaitUntil(
      [&] {
        return first.wait_for(std::chrono::milliseconds(0)) == std::future_status::ready ||
               second.wait_for(std::chrono::milliseconds(0)) == std::future_status::ready;
      },
      20000));
  ASSERT_TRUE(testutil::WaitUntil([&] { return (LocalModes() & ECHO) == 0; }, 5000));
  const bool first_done = first.wait_for(std::chrono::milliseconds(0)) == std::future_status::ready;
  std::future<bool>& pending = first_done ? second : first;
  EXPECT_EQ(pending.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
  Type("k");
  EXPECT_FALSE(pending.get());
  EXPECT_FALSE((first_done ? first : second).get());
  EXPECT_EQ(DrainMaster(), "");
  EXPECT_NE(LocalModes() & ECHO, 0u);
}

// The first SIGTERM waits for the paused request; the second ends the
// service at once.
TEST_F(ZemsynthConsole, TerminationDuringAPauseRestoresTheConsole) {
  Start();
  std::future<bool> reply = Request();
  ASSERT_TRUE(z_->WaitForOutput(kClientLine, 20000)) << z_->Output();
  ASSERT_TRUE(testutil::WaitUntil([&] { return (LocalModes() & ECHO) == 0; }, 5000));
  z_->Signal(SIGTERM);
  // Taken once the service no longer accepts.
  ASSERT_TRUE(testutil::WaitUntil([&] { return !testutil::WaitForLoopbackPort(port_, 0); }, 10000));
  EXPECT_TRUE(z_->Running());
  z_->Signal(SIGTERM);
  int status = z_->Wait(10000);
  ASSERT_TRUE(WIFSIGNALED(status)) << status << "\n" << z_->Output();
  EXPECT_EQ(WTERMSIG(status), SIGTERM);
  EXPECT_NE(LocalModes() & ECHO, 0u);
  EXPECT_NE(LocalModes() & ICANON, 0u);
  EXPECT_FALSE(reply.get());
}

// In the background the terminal would stop the service at its first
// pause; it skips the pause instead and goes on.
TEST_F(ZemsynthConsole, BackgroundServiceIsNotStoppedByAPause) {
  Start(/*background=*/true);
  std::future<bool> reply = Request();
  ASSERT_EQ(reply.wait_for(std::chrono::seconds(30)), std::future_status::ready) << z_->Output();
  EXPECT_FALSE(reply.get());
  EXPECT_TRUE(InOrder(z_->Output(), {kClientLine, "(console not in the foreground: not pausing)\n",
                                     "Zem init failed!?\n"}))
      << z_->Output();
  EXPECT_TRUE(z_->Running());
}

}  // namespace
