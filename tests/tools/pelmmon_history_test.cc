// Tests of the monitor's picture data: the search history that survives
// RESET, the pairing of chosen nodes with their clients and its distance,
// the distance-keeping projection, and the command line.
#include <gtest/gtest.h>

#include <unistd.h>
#include <cmath>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "monitor_state.h"
#include "options.h"
#include "projection.h"

namespace {

using pelmmon::MonitorState;

class HistoryTest : public ::testing::Test {
 protected:
  HistoryTest() : state_([this] { return now_; }) {}
  void Load(const std::string& text) {
    char path[] = "/tmp/pelmmon-histXXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fd);
    EXPECT_GE(state_.LoadCoordinates(path), 0);
    std::remove(path);
  }
  int ColourOf(const std::string& node) {
    for (const auto& n : state_.Take().nodes)
      if (n.name == node) return n.colour;
    return -1;
  }
  int64_t now_ = 1000;
  MonitorState state_;
};

TEST_F(HistoryTest, ResetClosesTheSearchInsteadOfErasingIt) {
  Load("10.0.0.1 0 0 0\n10.0.0.2 3 4 0\n10.0.0.3 9 9 9\n");
  ASSERT_TRUE(state_.ApplyLine("10.0.0.1 1"));
  now_ = 1500;
  ASSERT_TRUE(state_.ApplyLine("10.0.0.2 5"));
  now_ = 2000;
  ASSERT_TRUE(state_.ApplyLine("RESET 0"));
  auto s = state_.Take();
  for (const auto& n : s.nodes) EXPECT_EQ(n.colour, 0) << n.name;
  ASSERT_EQ(s.searches.size(), 1u);
  const auto& first = s.searches[0];
  EXPECT_EQ(first.started_ms, 1000);
  EXPECT_EQ(first.ended_ms, 2000);
  ASSERT_EQ(first.marks.size(), 2u);
  EXPECT_EQ(first.marks[1].node, "10.0.0.2");
  EXPECT_EQ(first.marks[1].at_ms, 1500);
  ASSERT_EQ(first.choices.size(), 1u);
  EXPECT_EQ(first.choices[0].client, "10.0.0.1");
  EXPECT_EQ(first.choices[0].chosen, "10.0.0.2");
  ASSERT_TRUE(first.choices[0].distance.has_value());
  EXPECT_DOUBLE_EQ(*first.choices[0].distance, 5.0);

  // A second RESET has no search to close; the next line opens a new one.
  ASSERT_TRUE(state_.ApplyLine("RESET 0"));
  now_ = 3000;
  ASSERT_TRUE(state_.ApplyLine("10.0.0.3 1"));
  s = state_.Take();
  ASSERT_EQ(s.searches.size(), 2u);
  EXPECT_EQ(s.searches[0].ended_ms, 2000);
  EXPECT_EQ(s.searches[1].started_ms, 3000);
  EXPECT_EQ(s.searches[1].ended_ms, 0);
  EXPECT_GT(s.searches[1].id, s.searches[0].id);
}

TEST_F(HistoryTest, ChosenNodesPairWithTheClientTheyServe) {
  Load("10.0.0.1 0 0\n10.0.0.2 0 1\n10.0.0.3 5 5\n10.0.0.4 5 6 7\n");
  // Two locators interleaved: each chosen node goes to the latest client
  // still waiting; a node without coordinates gets no distance.
  for (const char* line : {"10.0.0.1 1", "10.0.0.3 1", "10.0.0.4 5", "10.0.0.2 5", "10.9.9.9 5"})
    ASSERT_TRUE(state_.ApplyLine(line)) << line;
  auto s = state_.Take();
  ASSERT_EQ(s.searches.size(), 1u);
  const auto& c = s.searches[0].choices;
  ASSERT_EQ(c.size(), 3u);
  EXPECT_EQ(c[0].client, "10.0.0.3");
  EXPECT_DOUBLE_EQ(*c[0].distance, 1.0);  // over the two shared dimensions
  EXPECT_EQ(c[1].client, "10.0.0.1");
  EXPECT_DOUBLE_EQ(*c[1].distance, 1.0);
  EXPECT_EQ(c[2].client, "10.0.0.3");  // everyone served: the latest client
  EXPECT_FALSE(c[2].distance.has_value());
  // A chosen node with no client before it is kept, with no client.
  ASSERT_TRUE(state_.ApplyLine("RESET 0"));
  ASSERT_TRUE(state_.ApplyLine("10.0.0.2 5"));
  EXPECT_EQ(state_.Take().searches.back().choices.at(0).client, "");
}

// A client with no node after it (no coordinates, no computing node near)
// gets no further line: its search ends on its own after the idle time.  A
// chosen node that still comes for it reopens that search.
TEST_F(HistoryTest, QuietSearchEndsWithoutAChoiceAndALateChoiceReopensIt) {
  state_.SetIdleMs(5000);
  ASSERT_TRUE(state_.ApplyLine("10.0.0.1 1"));
  now_ += 4999;
  EXPECT_FALSE(state_.ExpireIdle());
  now_ += 1;
  EXPECT_TRUE(state_.ExpireIdle());
  EXPECT_FALSE(state_.ExpireIdle());
  auto s = state_.Take();
  ASSERT_EQ(s.searches.size(), 1u);
  EXPECT_EQ(s.searches[0].ended_by, pelmmon::End::kIdle);
  EXPECT_EQ(s.searches[0].ended_ms, now_);
  EXPECT_TRUE(s.searches[0].choices.empty());
  EXPECT_EQ(ColourOf("10.0.0.1"), 1) << "the live colour stays until RESET";
  EXPECT_NE(pelmmon::SnapshotJson(s).find("\"ended_by\":\"idle\""), std::string::npos);

  now_ += 20000;
  ASSERT_TRUE(state_.ApplyLine("10.0.0.2 5"));
  s = state_.Take();
  ASSERT_EQ(s.searches.size(), 1u);
  EXPECT_EQ(s.searches[0].ended_by, pelmmon::End::kOpen);
  ASSERT_EQ(s.searches[0].choices.size(), 1u);
  EXPECT_EQ(s.searches[0].choices[0].client, "10.0.0.1");
  ASSERT_TRUE(state_.ApplyLine("RESET 0"));
  // A client line after a quiet end, and a chosen node after a served one,
  // open new searches.
  ASSERT_TRUE(state_.ApplyLine("10.0.0.3 1"));
  now_ += 6000;
  EXPECT_TRUE(state_.ExpireIdle());
  ASSERT_TRUE(state_.ApplyLine("10.0.0.4 1"));
  EXPECT_EQ(state_.Take().searches.size(), 3u);

  state_.SetIdleMs(0);  // only RESET ends a search
  now_ += 100000;
  EXPECT_FALSE(state_.ExpireIdle());
}

// Computing nodes are learnt from the chosen lines; a client's candidates
// are the known ones nearest first, and always the node chosen for it.
TEST_F(HistoryTest, CandidatesAreTheKnownComputingNodesNearestFirst) {
  Load("10.0.0.1 0 0\n10.0.0.2 9 0\n10.9.0.1 1 0\n10.9.0.2 5 0\n10.9.0.3 2 0\n");
  for (const char* line :
       {"10.0.0.1 1", "10.9.0.2 5", "RESET 0", "10.0.0.2 1", "10.9.0.1 5", "RESET 0", "10.0.0.1 1"})
    ASSERT_TRUE(state_.ApplyLine(line)) << line;
  auto s = state_.Take();
  ASSERT_EQ(s.searches.size(), 3u);
  auto names = [](const pelmmon::Search& x) {
    std::vector<std::string> out;
    for (const auto& c : x.candidates) out.push_back(c.client + ">" + c.node);
    return out;
  };
  // Nothing known at first: the chosen node is the only candidate.
  EXPECT_EQ(names(s.searches[0]), (std::vector<std::string>{"10.0.0.1>10.9.0.2"}));
  EXPECT_EQ(names(s.searches[1]),
            (std::vector<std::string>{"10.0.0.2>10.9.0.2", "10.0.0.2>10.9.0.1"}));
  EXPECT_EQ(names(s.searches[2]),
            (std::vector<std::string>{"10.0.0.1>10.9.0.1", "10.0.0.1>10.9.0.2"}));
  EXPECT_DOUBLE_EQ(*s.searches[2].candidates[0].distance, 1.0);
  std::map<std::string, pelmmon::Kind> kinds;
  for (const auto& n : s.nodes) kinds[n.name] = n.kind;
  EXPECT_EQ(kinds["10.9.0.1"], pelmmon::Kind::kComputing);
  EXPECT_EQ(kinds["10.0.0.1"], pelmmon::Kind::kEndHost);
  EXPECT_EQ(kinds["10.9.0.3"], pelmmon::Kind::kUnknown) << "never chosen: not known to compute";
}

TEST_F(HistoryTest, HistoryAndNamesAreBounded) {
  for (size_t i = 0; i < MonitorState::kMaxSearches + 5; ++i) {
    ASSERT_TRUE(state_.ApplyLine("10.0.0.1 1"));
    ASSERT_TRUE(state_.ApplyLine("RESET 0"));
  }
  auto s = state_.Take();
  ASSERT_EQ(s.searches.size(), MonitorState::kMaxSearches);
  EXPECT_EQ(s.searches.back().id, MonitorState::kMaxSearches + 5);
  for (size_t i = 0; i < MonitorState::kMaxMarksPerSearch + 3; ++i)
    ASSERT_TRUE(state_.ApplyLine("10.0.0.1 2"));
  s = state_.Take();
  EXPECT_EQ(s.searches.back().marks.size(), MonitorState::kMaxMarksPerSearch);
  EXPECT_EQ(s.searches.back().marks_dropped, 3u);
  // Names only seen in lines stop being taken at the cap; known ones go on.
  size_t refused = 0;
  for (size_t i = 0; i < MonitorState::kMaxUnknownNodes + 2; ++i)
    if (!state_.ApplyLine("n" + std::to_string(i) + " 3")) refused++;
  EXPECT_EQ(refused, 3u);  // 10.0.0.1 took one slot
  EXPECT_TRUE(state_.ApplyLine("10.0.0.1 4"));
}

// Points that lie on a tilted plane in three dimensions keep every distance
// on the picture; the first two coordinates alone would not.
TEST(ProjectionTest, KeepsDistancesOfPointsOnAPlane) {
  std::vector<std::vector<double>> pts;
  for (int i = 0; i < 6; ++i)
    for (int j = 0; j < 5; ++j) {
      double u = i * 1.5, v = j * 0.7;
      // Plane spanned by (1,1,1)/sqrt3 and (1,-1,0)/sqrt2.
      pts.push_back({u / std::sqrt(3.0) + v / std::sqrt(2.0),
                     u / std::sqrt(3.0) - v / std::sqrt(2.0), u / std::sqrt(3.0)});
    }
  auto p = pelmmon::ProjectToPlane(pts);
  EXPECT_EQ(p.dims, 3u);
  EXPECT_NEAR(p.kept, 1.0, 1e-9);
  for (size_t a = 0; a < pts.size(); ++a)
    for (size_t b = a + 1; b < pts.size(); ++b) {
      double plane = std::hypot(p.xy[a].first - p.xy[b].first, p.xy[a].second - p.xy[b].second);
      EXPECT_NEAR(plane, pelmmon::SharedDistance(pts[a], pts[b]), 1e-9) << a << " " << b;
    }
}

// Two nodes that differ only in the third dimension, the widest one, are
// told apart; the projection never lengthens a distance.
TEST(ProjectionTest, SeparatesNodesAlongTheWidestAxisAndNeverStretches) {
  std::vector<std::vector<double>> pts = {{1, 2, 0},  {1, 2, 40}, {3, 1, 20},
                                          {2, 2, 10}, {0, 0, 30}, {5}};
  auto p = pelmmon::ProjectToPlane(pts);
  EXPECT_GT(p.kept, 0.9);
  EXPECT_LT(p.kept, 1.0);
  double d01 = std::hypot(p.xy[0].first - p.xy[1].first, p.xy[0].second - p.xy[1].second);
  EXPECT_GT(d01, 39.0);
  for (size_t a = 0; a + 1 < pts.size(); ++a)
    for (size_t b = a + 1; b + 1 < pts.size(); ++b) {
      double plane = std::hypot(p.xy[a].first - p.xy[b].first, p.xy[a].second - p.xy[b].second);
      EXPECT_LE(plane, pelmmon::SharedDistance(pts[a], pts[b]) + 1e-9);
    }
  // Same input, same picture.
  auto again = pelmmon::ProjectToPlane(pts);
  EXPECT_EQ(again.xy, p.xy);
  EXPECT_TRUE(pelmmon::ProjectToPlane({}).xy.empty());
}

TEST(OptionsTest, PortsAreCheckedWhole) {
  int port = -1;
  EXPECT_TRUE(pelmmon::ParsePort("0", &port));
  EXPECT_EQ(port, 0);
  EXPECT_TRUE(pelmmon::ParsePort("65535", &port));
  EXPECT_EQ(port, 65535);
  for (const char* bad :
       {"", "abc", "99999", "65536", "-1", "+80", " 80", "80 ", "5646x", "123456"})
    EXPECT_FALSE(pelmmon::ParsePort(bad, &port)) << bad;

  pelmmon::Options opt;
  std::string error;
  EXPECT_FALSE(pelmmon::ParseOptions({"--port", "abc"}, nullptr, &opt, &error));
  EXPECT_EQ(error, "--port wants a number from 0 to 65535, not \"abc\"");
  EXPECT_FALSE(pelmmon::ParseOptions({"--http", "127.0.0.1:99999"}, nullptr, &opt, &error));
  EXPECT_FALSE(pelmmon::ParseOptions({"--http", ":80"}, nullptr, &opt, &error));
  EXPECT_FALSE(pelmmon::ParseOptions({"--coords"}, nullptr, &opt, &error));
  EXPECT_EQ(error, "--coords needs a value");

  EXPECT_FALSE(pelmmon::ParseOptions({"--search-idle", "-1"}, nullptr, &opt, &error));
  EXPECT_EQ(error, "--search-idle wants seconds from 0 to 3600, not \"-1\"");

  pelmmon::Options good;
  EXPECT_EQ(good.search_idle_s, 5);
  ASSERT_TRUE(pelmmon::ParseOptions(
      {"--port", "7000", "--http", "127.0.0.1:0", "--no-view", "--search-idle", "0"}, "/opt/orvel",
      &good, &error));
  EXPECT_EQ(good.search_idle_s, 0);
  EXPECT_EQ(good.port, 7000);
  EXPECT_EQ(good.http_addr, "127.0.0.1");
  EXPECT_EQ(good.http_port, 0);
  EXPECT_FALSE(good.tty_view);
  EXPECT_EQ(good.coords_path, "/opt/orvel/pelm.coords");
}

}  // namespace
