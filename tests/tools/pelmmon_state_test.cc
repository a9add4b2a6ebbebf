// Tests of the coordinate monitor's state: coordinates file, colouring lines
// applied in order, RESET, and the JSON the page reads.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <future>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "monitor_state.h"

namespace {

using pelmmon::MonitorState;

class MonitorStateTest : public ::testing::Test {
 protected:
  std::string WriteCoords(const std::string& text) {
    char path[] = "/tmp/pelmmon-coordsXXXXXX";
    int fd = mkstemp(path);
    EXPECT_GE(fd, 0);
    FILE* f = fdopen(fd, "w");
    std::fputs(text.c_str(), f);
    std::fclose(f);
    files_.push_back(path);
    return path;
  }
  void TearDown() override {
    for (auto& f : files_) std::remove(f.c_str());
  }
  int ColourOf(const std::string& node) {
    for (const auto& n : state_.Take().nodes)
      if (n.name == node) return n.colour;
    return -1;
  }
  MonitorState state_;
  std::vector<std::string> files_;
};

TEST_F(MonitorStateTest, PlacesNodesAndLaterLineWins) {
  std::string p = WriteCoords("10.0.0.1 1 2 3\n10.0.0.2 4.5 -1\n10.0.0.1 7 8\n");
  std::string problem = "stale";
  EXPECT_EQ(state_.LoadCoordinates(p, &problem), 2);
  EXPECT_EQ(problem, "");
  auto s = state_.Take();
  ASSERT_EQ(s.nodes.size(), 2u);
  EXPECT_EQ(s.nodes[0].name, "10.0.0.1");
  EXPECT_EQ(s.nodes[0].coords, (std::vector<double>{7, 8}));
  EXPECT_EQ(s.nodes[1].coords, (std::vector<double>{4.5, -1}));
  EXPECT_EQ(state_.LoadCoordinates("/nonexistent/pelm.coords"), -1);
}

// The monitor reads the file as the service does: a line the service refuses
// ends the reading there, and the operator is told that the service finds
// nothing in such a file.  A value that is not numbers leaves its node
// unplaced.
TEST_F(MonitorStateTest, FileReadAsTheServiceReadsIt) {
  std::string problem;
  std::string p = WriteCoords("10.0.0.1 1 2\n10.0.0.5 north\nbadline\n10.0.0.2 7 8\n");
  EXPECT_EQ(state_.LoadCoordinates(p, &problem), 1);
  EXPECT_NE(problem.find("after 2 entries"), std::string::npos) << problem;
  EXPECT_NE(problem.find("not numbers (first: 10.0.0.5)"), std::string::npos) << problem;
  auto s = state_.Take();
  ASSERT_EQ(s.nodes.size(), 2u);
  EXPECT_TRUE(s.nodes[0].placed);
  EXPECT_EQ(s.nodes[1].name, "10.0.0.5");
  EXPECT_FALSE(s.nodes[1].placed);
  // A carriage return stays in the service's value; as a number list it is
  // white space.
  EXPECT_EQ(state_.LoadCoordinates(WriteCoords("10.0.0.9 3 4\r\n"), &problem), 2);
  EXPECT_EQ(problem, "");
}

TEST_F(MonitorStateTest, LinesAppliedInOrderAndResetClears) {
  state_.LoadCoordinates(WriteCoords("10.0.0.1 1 2\n10.0.0.9 3 4\n"));
  EXPECT_TRUE(state_.ApplyLine("10.0.0.1 1"));
  EXPECT_TRUE(state_.ApplyLine("10.0.0.9 5\r"));
  EXPECT_TRUE(state_.ApplyLine("10.0.0.1 5"));
  EXPECT_EQ(ColourOf("10.0.0.1"), 5);
  EXPECT_EQ(ColourOf("10.0.0.9"), 5);
  // A node that the file does not place still shows, unplaced.
  EXPECT_TRUE(state_.ApplyLine("10.7.7.7 1"));
  EXPECT_EQ(ColourOf("10.7.7.7"), 1);
  EXPECT_TRUE(state_.ApplyLine("RESET 0"));
  for (const auto& n : state_.Take().nodes) EXPECT_EQ(n.colour, 0) << n.name;
}

TEST_F(MonitorStateTest, RefusesMalformedLinesWithoutChange) {
  uint64_t v = state_.Take().version;
  for (const char* bad :
       {"", "10.0.0.1", "10.0.0.1 ", " 5", "10.0.0.1 x", "10.0.0.1 5x", "10.0.0.1 99999999999"})
    EXPECT_FALSE(state_.ApplyLine(bad)) << bad;
  EXPECT_EQ(state_.Take().version, v);
}

// The change itself must wake the waiter: the waiter's own limit is far
// beyond what the test grants it, so a change that does not notify fails
// here instead of passing once that limit runs out.
TEST_F(MonitorStateTest, WaitNewerWakesOnChange) {
  const uint64_t v = state_.Take().version;
  std::atomic<bool> waiting{false};
  std::promise<uint64_t> woke;
  std::future<uint64_t> got = woke.get_future();
  std::thread waiter([&] {
    waiting = true;
    woke.set_value(state_.WaitNewer(v, 120000).version);
  });
  while (!waiting) std::this_thread::yield();
  // Let it block; had the change come first, the wait would return at once
  // and prove nothing, but fail nothing either.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_TRUE(state_.ApplyLine("10.0.0.3 1"));
  const bool woken = got.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
  EXPECT_TRUE(woken) << "the change did not wake the waiter";
  waiter.join();
  EXPECT_NE(got.get(), v);
}

TEST_F(MonitorStateTest, JsonEscapesNamesAndListsCoords) {
  state_.LoadCoordinates(WriteCoords("10.0.0.1 1.5 2\n"));
  state_.ApplyLine("we\"ird 1");
  state_.ApplyLine("bad\xff\xfe 1");
  std::string text = pelmmon::SnapshotJson(state_.Take());
  EXPECT_NE(text.find("\"we\\\"ird\""), std::string::npos) << text;
  auto j = nlohmann::json::parse(text);  // throws on invalid UTF-8 or syntax
  ASSERT_EQ(j["nodes"].size(), 3u);
  EXPECT_EQ(j["nodes"][0]["name"], "10.0.0.1");
  EXPECT_EQ(j["nodes"][0]["coords"], nlohmann::json::parse("[1.5,2.0]"));
  EXPECT_TRUE(j["nodes"][0].contains("x"));
  EXPECT_FALSE(j["nodes"][1].contains("x")) << "a node without coordinates has no place";
  EXPECT_EQ(j["nodes"][1]["colour"], 1);
  EXPECT_EQ(j["searches"][0]["ended"], nullptr);
}

}  // namespace
