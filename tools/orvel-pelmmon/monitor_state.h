// monitor_state.h: what the coordinate monitor knows: node positions from the
// coordinates file and the colour of each node, as the service's colouring
// lines arrive ("NODE COLOUR\n"; "RESET 0" clears every colour).
//
// Besides the live colours it keeps the last searches: every colouring line
// after a RESET (or at start) opens a search, the next RESET closes it.  A
// search records its marks with their times and pairs each chosen node
// (colour 5) with the client (colour 1) it was chosen for, so the picture of
// a search outlives the RESET that ends it.
//
// Thread safety: MonitorState synchronises itself; any thread may apply lines
// while others wait for changes or take snapshots.
#ifndef ORVEL_TOOLS_PELMMON_MONITOR_STATE_H_
#define ORVEL_TOOLS_PELMMON_MONITOR_STATE_H_

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "port/mutex.h"

namespace pelmmon {

constexpr int kClientColour = 1;
constexpr int kChosenColour = 5;

struct NodeView {
  std::string name;
  std::vector<double> coords;  // empty when the file does not place it
  int colour = 0;              // 0: not coloured
  bool placed = false;         // x and y are meaningful
  double x = 0, y = 0;         // position on the distance-keeping plane
};

struct Mark {
  std::string node;
  int colour = 0;
  int64_t at_ms = 0;  // wall clock, milliseconds since the epoch
};

// A chosen node and the client it was chosen for.
struct Choice {
  std::string client;  // empty when no client was marked before it
  std::string chosen;
  std::optional<double> distance;  // over the shared dimensions; none without coordinates
};

struct Search {
  uint64_t id = 0;
  int64_t started_ms = 0;
  int64_t ended_ms = 0;  // 0 while open
  std::vector<Mark> marks;
  size_t marks_dropped = 0;  // beyond kMaxMarksPerSearch
  std::vector<Choice> choices;
};

struct Snapshot {
  uint64_t version = 0;
  std::vector<NodeView> nodes;  // file nodes by name, then nodes only seen in lines
  size_t dims = 0;              // dimensions of the coordinates
  double kept = 1.0;            // share of the spread the plane shows
  std::deque<Search> searches;  // oldest first
};

class MonitorState {
 public:
  static constexpr size_t kMaxSearches = 200;
  static constexpr size_t kMaxMarksPerSearch = 256;
  // Names seen only in colouring lines; past this they are refused, so a
  // stray sender cannot grow the state without bound.
  static constexpr size_t kMaxUnknownNodes = 10000;

  using Clock = std::function<int64_t()>;  // milliseconds since the epoch
  MonitorState();
  explicit MonitorState(Clock clock);

  // Reads the coordinates file with the service's own reader; returns the
  // number of nodes placed, or -1 when the file cannot be opened.  When the
  // file has a line the service would refuse, the nodes before it are kept
  // and *problem (if given) says why; nodes whose value is not a list of
  // numbers are listed unplaced.
  int LoadCoordinates(const std::string& path, std::string* problem = nullptr);

  // Applies one line without its line feed.  Returns false (and changes
  // nothing) for a line that is not "NODE COLOUR".
  bool ApplyLine(const std::string& line);

  Snapshot Take() const;
  // Blocks until the version differs from seen or timeout_ms passes.
  Snapshot WaitNewer(uint64_t seen, int timeout_ms) const;

 private:
  // Projects every node with coordinates onto the plane; how many.
  int PlaceNodesLocked() REQUIRES(mu_);
  NodeView* FindOrAddLocked(const std::string& name) REQUIRES(mu_);
  void RecordLocked(const std::string& node, int colour) REQUIRES(mu_);

  const Clock clock_;
  mutable orvel::port::Mutex mu_;
  mutable orvel::port::CondVar changed_;
  uint64_t version_ GUARDED_BY(mu_) = 0;
  std::vector<std::string> order_ GUARDED_BY(mu_);
  std::map<std::string, NodeView> nodes_ GUARDED_BY(mu_);
  size_t unknown_nodes_ GUARDED_BY(mu_) = 0;
  size_t dims_ GUARDED_BY(mu_) = 0;
  double kept_ GUARDED_BY(mu_) = 1.0;
  std::deque<Search> searches_ GUARDED_BY(mu_);
  bool search_open_ GUARDED_BY(mu_) = false;
  uint64_t next_search_id_ GUARDED_BY(mu_) = 1;
};

// JSON text of a snapshot, read by the page:
// {"version":N,"dims":D,"kept":K,"nodes":[{"name":..,"colour":..,"coords":[..],
//  "x":..,"y":..}],"searches":[{"id":..,"started":..,"ended":..|null,
//  "marks":[{"node":..,"colour":..,"at":..}],"choices":[{"client":..,
//  "chosen":..,"distance":..|null}]}]}.  Unplaced nodes have no x and y.
std::string SnapshotJson(const Snapshot& s);

}  // namespace pelmmon

#endif  // ORVEL_TOOLS_PELMMON_MONITOR_STATE_H_
