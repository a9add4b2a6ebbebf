// Tests of the coordinates file cache and the coordinate monitor client.
//
// The cache lives for the whole process, so every scenario runs in a fresh
// child process (RunInFreshProcess) and starts with a cold cache.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "orvel/Msg.h"
#include "orvel/SLP.h"
#include "pelm/coordinates_reader.h"
#include "testutil/process_util.h"

namespace {

using testutil::RunInFreshProcess;
using testutil::StdoutCapture;
using testutil::TempDir;

unsigned long Addr(const char* text) { return inet_addr(text); }

// ---- Coordinates file -------------------------------------------------------

struct Step {
  enum Kind { kQuery, kWriteFile, kRemoveFile, kUnsetPath, kSetPath } kind;
  std::string arg;       // address to query, or file content
  std::string expected;  // coordinates expected from a query
};

struct CoordCase {
  const char* name;
  std::vector<Step> steps;
  std::string expected_output;  // everything printed on stdout
};

void PrintTo(const CoordCase& c, std::ostream* os) { *os << c.name; }

Step Query(const std::string& addr, const std::string& expected) {
  return {Step::kQuery, addr, expected};
}
Step Write(const std::string& content) { return {Step::kWriteFile, content, ""}; }

std::string Finding(const std::string& addr) { return "finding coordinates for " + addr + "...\n"; }
const char kFormatError[] = "coordinate file format error, returning now...\n";
const char kNotFound[] = "coordinate file not found, returning now...\n";
const char kPathUnset[] = "ORVEL_PATH not set, returning now...\n";

// A line of exactly len characters (line feed not counted) for 10.0.0.7.
std::string LongLine(size_t len) {
  std::string key = "10.0.0.7 ";
  std::string value;
  for (size_t i = 0; value.size() + key.size() < len; ++i) value += std::to_string(i % 10);
  value.resize(len - key.size());
  return key + value;
}

// A table of file contents and what they read as, one row per case.
std::vector<CoordCase> CoordCases() {
  const std::string l127 = LongLine(127);
  const std::string l200 = LongLine(200);
  const std::string l64k = LongLine(64 * 1024);
  const std::string l64k1 = LongLine(64 * 1024 + 1);
  return {
      {"ValueKeepsInnerSpacesLosesLineFeed",
       {Write("10.0.0.1 1.5 2.5 3.5\n"), Query("10.0.0.1", "1.5 2.5 3.5")},
       Finding("10.0.0.1")},
      {"LastLineWithoutLineFeed",
       {Write("10.0.0.1 1 2\n10.0.0.2 3 4"), Query("10.0.0.2", "3 4"), Query("10.0.0.1", "1 2")},
       Finding("10.0.0.2") + Finding("10.0.0.1")},
      {"LaterDuplicateWins",
       {Write("10.0.0.1 old\n10.0.0.1 new\n"), Query("10.0.0.1", "new")},
       Finding("10.0.0.1")},
      {"KeyWithLeadingZerosNeverMatches",
       {Write("010.000.000.001 1 2 3\n"), Query("10.0.0.1", "")},
       Finding("10.0.0.1")},
      {"CarriageReturnStaysInValue",
       {Write("10.0.0.1 1 2\r\n"), Query("10.0.0.1", "1 2\r")},
       Finding("10.0.0.1")},
      {"UnknownHostGivesEmpty",
       {Write("10.0.0.1 1 2\n"), Query("10.0.0.9", "")},
       Finding("10.0.0.9")},
      // Every call reads the file again: once it is mended, a call succeeds.
      {"BlankLineIsFormatErrorOnEveryCall",
       {Write("10.0.0.1 1 2\n\n10.0.0.2 3\n"), Query("10.0.0.1", ""), Query("10.0.0.2", ""),
        Write("10.0.0.1 1 2\n10.0.0.2 3\n"), Query("10.0.0.2", "3")},
       std::string(kFormatError) + kFormatError + Finding("10.0.0.2")},
      {"LineWithoutSpaceIsFormatError",
       {Write("10.0.0.1 1 2\n10.0.0.2\n"), Query("10.0.0.1", "")},
       kFormatError},
      // Lines are read whole: no piece of a long line becomes a line.
      {"LineOf127CharactersIsOneEntry",
       {Write(l127 + "\n10.0.0.8 8\n"), Query("10.0.0.7", l127.substr(9)), Query("10.0.0.8", "8")},
       Finding("10.0.0.7") + Finding("10.0.0.8")},
      {"LineOf200CharactersIsOneEntry",
       {Write("10.0.0.8 8\n" + l200 + "\n"), Query("10.0.0.7", l200.substr(9))},
       Finding("10.0.0.7")},
      {"LineAtTheCapIsOneEntry",
       {Write(l64k + "\n"), Query("10.0.0.7", l64k.substr(9))},
       Finding("10.0.0.7")},
      {"LineOverTheCapIsFormatError",
       {Write("10.0.0.8 8\n" + l64k1 + "\n"), Query("10.0.0.8", "")},
       kFormatError},
      {"UnsetPathThenSet",
       {{Step::kUnsetPath, "", ""},
        Query("10.0.0.1", ""),
        Write("10.0.0.1 1 2 3\n"),
        {Step::kSetPath, "", ""},
        Query("10.0.0.1", "1 2 3")},
       std::string(kPathUnset) + Finding("10.0.0.1")},
      {"MissingFileThenPresent",
       {{Step::kRemoveFile, "", ""},
        Query("10.0.0.1", ""),
        Write("10.0.0.1 4 5\n"),
        Query("10.0.0.1", "4 5")},
       std::string(kNotFound) + Finding("10.0.0.1")},
      // Once filled, the cache is not refreshed.
      {"FilledCacheIgnoresLaterChanges",
       {Write("10.0.0.1 a\n"), Query("10.0.0.1", "a"), Write("10.0.0.1 b\n"),
        Query("10.0.0.1", "a")},
       Finding("10.0.0.1") + Finding("10.0.0.1")},
  };
}

// Runs the steps in the current (fresh) process; returns a report that is
// "OK" followed by the captured output, or the first mismatch.
std::string RunSteps(const CoordCase& c, const TempDir& dir) {
  setenv("ORVEL_PATH", dir.path().c_str(), 1);
  StdoutCapture capture;
  std::string failures;
  for (const Step& step : c.steps) {
    switch (step.kind) {
      case Step::kWriteFile:
        dir.WriteFile("pelm.coords", step.arg);
        break;
      case Step::kRemoveFile:
        unlink((dir.path() + "/pelm.coords").c_str());
        break;
      case Step::kUnsetPath:
        unsetenv("ORVEL_PATH");
        break;
      case Step::kSetPath:
        setenv("ORVEL_PATH", dir.path().c_str(), 1);
        break;
      case Step::kQuery: {
        std::string got = getCoordinates(Addr(step.arg.c_str()));
        if (got != step.expected) {
          failures += "query " + step.arg + ": got [" + got.substr(0, 80) + "] want [" +
                      step.expected.substr(0, 80) + "]\n";
        }
        break;
      }
    }
  }
  std::string output = capture.Finish();
  return failures.empty() ? "OK" + output : failures;
}

class CoordinatesFile : public ::testing::TestWithParam<CoordCase> {};

TEST_P(CoordinatesFile, Lookup) {
  const CoordCase& c = GetParam();
  TempDir dir;
  std::string report = RunInFreshProcess([&] { return RunSteps(c, dir); });
  EXPECT_EQ(report, "OK" + c.expected_output);
}

INSTANTIATE_TEST_SUITE_P(Table, CoordinatesFile, ::testing::ValuesIn(CoordCases()),
                         [](const ::testing::TestParamInfo<CoordCase>& info) {
                           return std::string(info.param.name);
                         });

TEST(CoordinatesFile, SixteenThreadsOnAColdCacheAllGetTheirValues) {
  TempDir dir;
  std::string content;
  for (int i = 1; i <= 200; ++i) {
    content += "10.1." + std::to_string(i / 100) + "." + std::to_string(i % 100) + " " +
               std::to_string(i) + " " + std::to_string(i * 2) + "\n";
  }
  dir.WriteFile("pelm.coords", content);
  std::string report = RunInFreshProcess([&] {
    setenv("ORVEL_PATH", dir.path().c_str(), 1);
    StdoutCapture capture;
    std::vector<std::string> results(16 * 200);
    std::vector<std::thread> threads;
    for (int t = 0; t < 16; ++t) {
      threads.emplace_back([t, &results] {
        for (int k = 0; k < 200; ++k) {
          // Each thread starts at a different host.
          int i = (k + t * 13) % 200 + 1;
          std::string host = "10.1." + std::to_string(i / 100) + "." + std::to_string(i % 100);
          results[t * 200 + k] = host + "=" + getCoordinates(inet_addr(host.c_str()));
        }
      });
    }
    for (auto& th : threads) th.join();
    capture.Finish();
    std::string bad;
    for (int t = 0; t < 16; ++t) {
      for (int k = 0; k < 200; ++k) {
        int i = (k + t * 13) % 200 + 1;
        std::string want = "10.1." + std::to_string(i / 100) + "." + std::to_string(i % 100) + "=" +
                           std::to_string(i) + " " + std::to_string(i * 2);
        if (results[t * 200 + k] != want) bad += results[t * 200 + k] + "\n";
      }
    }
    return bad.empty() ? std::string("OK") : bad;
  });
  EXPECT_EQ(report, "OK");
}

struct ChompCase {
  std::string in;
  std::string out;
};

TEST(Chomp, RemovesOneTrailingLineFeedOnly) {
  const ChompCase cases[] = {
      {"", ""}, {"\n", ""}, {"a\n", "a"}, {"a\n\n", "a\n"}, {"a", "a"}, {"a\r\n", "a\r"},
  };
  for (const auto& c : cases) {
    std::vector<char> buf(c.in.begin(), c.in.end());
    buf.push_back('\0');
    chomp(buf.data());
    EXPECT_EQ(std::string(buf.data()), c.out) << "input [" << c.in << "]";
  }
}

// ---- Coordinate monitor ------------------------------------------------------
// Each test has a monitor port of its own, so a monitor running on this
// machine (port 5646) does not get in the way.

TEST(MonitorAddress, BareAddressTakesPort5646AndAPortMayFollow) {
  using orvel::pelm::MonitorAddress;
  using orvel::pelm::ParseMonitorAddress;
  uint32_t addr = 0;
  uint16_t port = 0;
  EXPECT_EQ(ParseMonitorAddress("127.0.0.3", &addr, &port), MonitorAddress::kOk);
  EXPECT_EQ(addr, inet_addr("127.0.0.3"));
  EXPECT_EQ(port, 5646);
  EXPECT_EQ(ParseMonitorAddress("10.1.2.3:7000", &addr, &port), MonitorAddress::kOk);
  EXPECT_EQ(addr, inet_addr("10.1.2.3"));
  EXPECT_EQ(port, 7000);
  EXPECT_EQ(ParseMonitorAddress("10.1.2.3:65535", &addr, &port), MonitorAddress::kOk);
  EXPECT_EQ(port, 65535);
  for (const char* bad : {"monitor.invalid", "", ":7000", "monitor:7000"}) {
    EXPECT_EQ(ParseMonitorAddress(bad, &addr, &port), MonitorAddress::kBadAddress) << bad;
  }
  for (const char* bad : {"10.1.2.3:", "10.1.2.3:0", "10.1.2.3:65536", "10.1.2.3:70x",
                          "10.1.2.3:-1", "10.1.2.3:123456"}) {
    EXPECT_EQ(ParseMonitorAddress(bad, &addr, &port), MonitorAddress::kBadPort) << bad;
  }
}

class MonitorClient : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("ORVEL_PELMMONITOR", Address().c_str(), 1);
    unsetenv("ORVEL_PELMMONITOR_TIMEOUT_MS");
  }
  std::string Address() const { return "127.0.0.1:" + std::to_string(port_); }
  // Runs pelmmon_color and returns what it printed on stdout and stderr.
  std::string Colour(const std::string& node, int colour) {
    StdoutCapture err(2);
    StdoutCapture out(1);
    pelmmon_color(node, colour);
    std::string o = out.Finish();
    return o + err.Finish();
  }
  const unsigned short port_ = testutil::FreeLoopbackPort();
};

TEST_F(MonitorClient, SendsExactlyOneLineThenCloses) {
  testutil::LoopbackRecorder monitor(port_);
  ASSERT_TRUE(monitor.ok());
  EXPECT_EQ(Colour("N", 1), "");
  EXPECT_EQ(Colour("RESET", 0), "");
  ASSERT_TRUE(monitor.WaitForClosed(2, 5000));
  EXPECT_EQ(monitor.Closed(), (std::vector<std::string>{"N 1\n", "RESET 0\n"}));
}

TEST_F(MonitorClient, UnsetVariablePrintsAndSendsNothing) {
  testutil::LoopbackRecorder monitor(port_);
  ASSERT_TRUE(monitor.ok());
  unsetenv("ORVEL_PELMMONITOR");
  EXPECT_EQ(Colour("N", 1), "ORVEL_PELMMONITOR not set, returning now\n");
  // A name instead of a dotted quad would reach this host's own monitor port.
  setenv("ORVEL_PELMMONITOR", "monitor.invalid", 1);
  EXPECT_EQ(Colour("N", 2),
            "ORVEL_PELMMONITOR [monitor.invalid] is not a dotted quad, nothing sent\n");
  setenv("ORVEL_PELMMONITOR", "127.0.0.1:0", 1);
  EXPECT_EQ(Colour("N", 2),
            "ORVEL_PELMMONITOR [127.0.0.1:0] has no valid port after the colon, nothing sent\n");
  // Only the last, well-configured call reaches the monitor.
  setenv("ORVEL_PELMMONITOR", Address().c_str(), 1);
  EXPECT_EQ(Colour("N", 3), "");
  ASSERT_TRUE(monitor.WaitForClosed(1, 5000));
  EXPECT_EQ(monitor.Closed(), (std::vector<std::string>{"N 3\n"}));
}

TEST_F(MonitorClient, UnreachableMonitorReportsConnectFailure) {
  std::string printed = Colour("N", 1);
  EXPECT_EQ(printed.rfind("pelmmon_color: connect:: ", 0), 0u) << printed;
  EXPECT_NE(printed.find(strerror(ECONNREFUSED)), std::string::npos) << printed;
}

// A monitor whose accept queue is full never completes the handshake; the
// connect gives up after the configured time instead of hanging the request.
TEST_F(MonitorClient, StalledMonitorTimesOut) {
  int lfd = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(lfd, 0);
  int one = 1;
  setsockopt(lfd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port_);
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(lfd, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
  ASSERT_EQ(listen(lfd, 0), 0);
  // Fill the queue with non-blocking connects that are never accepted.
  std::vector<int> fillers;
  for (int i = 0; i < 4; ++i) {
    int f = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    connect(f, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    fillers.push_back(f);
  }
  usleep(100000);
  setenv("ORVEL_PELMMONITOR_TIMEOUT_MS", "300", 1);
  std::string printed = Colour("N", 1);
  EXPECT_EQ(printed, std::string("pelmmon_color: connect:: ") + strerror(ETIMEDOUT) + "\n");
  for (int f : fillers) close(f);
  close(lfd);
}

}  // namespace
