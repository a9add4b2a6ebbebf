// Every program answers --version and --help, and a wrong command line ends
// with the documented status.
#include <sys/wait.h>

#include <cctype>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "testutil/process_util.h"

namespace {

using testutil::BuildPath;
using testutil::Child;

using testutil::ProgramRun;

ProgramRun Start(const std::vector<std::string>& argv) { return testutil::RunProgram(argv, 10000); }

const std::vector<std::pair<std::string, std::string>> kPrograms = {
    {"zemsynth", "orvel_apps/zemsynth"},
    {"zemclient", "tools/zemclient/zemclient"},
    {"zemproxy", "tools/zemproxy/zemproxy"},
    {"orvel-slpd", "tools/orvel-slpd/orvel-slpd"},
    {"orvel-slptool", "tools/orvel-slptool/orvel-slptool"},
    {"orvel-pelmmon", "tools/orvel-pelmmon/orvel-pelmmon"},
    {"orvel-load", "tools/orvel-load/orvel-load"},
};

TEST(Programs, VersionIsNameAndProjectVersion) {
  for (const auto& [name, path] : kPrograms) {
    ProgramRun r = Start({BuildPath(path), "--version"});
    EXPECT_EQ(r.exit_code, 0) << name;
    EXPECT_EQ(r.output, name + " " + ORVEL_VERSION + "\n");
  }
}

TEST(Programs, HelpDocumentsExitStatusAndVersion) {
  for (const auto& [name, path] : kPrograms) {
    ProgramRun r = Start({BuildPath(path), "--help"});
    EXPECT_EQ(r.exit_code, 0) << name;
    EXPECT_NE(r.output.find("Usage: " + name), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("\nExit status:\n"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("--version"), std::string::npos) << r.output;
  }
}

TEST(Programs, WrongCommandLinesEndWith64) {
  const std::vector<std::vector<std::string>> cases = {
      {"tools/zemproxy/zemproxy", "--port", "0"},
      {"tools/zemproxy/zemproxy", "--port", "1", "--misbehave", "sometimes"},
      {"tools/zemproxy/zemproxy"},
      {"tools/orvel-slpd/orvel-slpd", "--mtu", "100"},
      {"tools/orvel-slpd/orvel-slpd", "--log-format", "xml"},
      {"tools/orvel-pelmmon/orvel-pelmmon", "--port", "x"},
      {"tools/orvel-load/orvel-load", "--port", "1"},
      {"tools/orvel-load/orvel-load", "--port", "1", "--idle", "1", "--hold", "-2"},
      {"tools/zemclient/zemclient", "send", "--server", "127.0.0.1:1", "a", "b"},
      {"tools/orvel-slptool/orvel-slptool", "--wait", "0", "findsrvs", "x"},
      // An agent with a bad port is a wrong command line, not an unreachable agent.
      {"tools/orvel-slptool/orvel-slptool", "--da", "127.0.0.1:99999", "findsrvs", "x"},
      {"tools/orvel-slptool/orvel-slptool", "--da", "127.0.0.1,127.0.0.1:0", "findsrvs", "x"},
      {"tools/zemproxy/zemproxy", "--port", "1", "--da", "127.0.0.1:7x"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> argv = c;
    argv[0] = BuildPath(c[0]);
    ProgramRun r = Start(argv);
    EXPECT_EQ(r.exit_code, 64) << c[0] << " " << (c.size() > 1 ? c[1] : "") << ": " << r.output;
    // One line why, one pointing at --help; never the whole help text.
    EXPECT_NE(r.output.find("for more information"), std::string::npos) << r.output;
    EXPECT_EQ(r.output.find("Options:"), std::string::npos) << r.output;
  }
}

// A failed registration says why in words, with the agents it went to.
TEST(Programs, ZemproxyRegistrationFailureNamesTheReason) {
  const std::string da = "127.0.0.1:" + std::to_string(testutil::FreeLoopbackPort());
  ProgramRun r = Start({BuildPath("tools/zemproxy/zemproxy"), "--port",
                        std::to_string(testutil::FreeLoopbackPort()), "--da", da});
  EXPECT_EQ(r.exit_code, 1) << r.output;
  const std::string lead = " with " + da + " failed: ";
  const size_t at = r.output.find(lead);
  ASSERT_NE(at, std::string::npos) << r.output;
  // Words first ("network error ..."), not the raw code pair "(-23/-23)".
  EXPECT_TRUE(std::isalpha(static_cast<unsigned char>(r.output[at + lead.size()]))) << r.output;
  EXPECT_EQ(r.output.find("/-"), std::string::npos) << r.output;
}

TEST(Programs, ZemsynthKeepsItsOwnUsageStatus) {
  // --version only as the single argument: every other count is the old
  // usage error.
  ProgramRun r = Start({BuildPath("orvel_apps/zemsynth"), "--version", "x", "y"});
  EXPECT_EQ(r.exit_code, 255);
  EXPECT_NE(r.output.find("arg: port DA\n"), std::string::npos) << r.output;
}

}  // namespace
