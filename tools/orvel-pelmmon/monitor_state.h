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
// A search that fails sends no further line (the service colours the client
// and gives up without a RESET), so a search that hears nothing for the idle
// time ends by itself; a chosen node that still comes for its client after
// that reopens it (an operator took long at a pause).
//
// The service never names its candidates or which nodes compute.  The
// monitor learns computing nodes from the lines themselves: only a node found
// by the coordinate search is coloured chosen.  The candidates of a client
// are the computing nodes known when it is marked, nearest first by the
// coordinates file, plus the node chosen for it.
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
constexpr int64_t kDefaultIdleMs = 5000;

// What the lines have shown a node to be.
enum class Kind { kUnknown, kEndHost, kComputing };

struct NodeView {
  std::string name;
  std::vector<double> coords;  // empty when the file does not place it
  int colour = 0;              // 0: not coloured
  bool placed = false;         // x and y are meaningful
  double x = 0, y = 0;         // position on the distance-keeping plane
  Kind kind = Kind::kUnknown;  // computing once chosen, else end host once a client
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

// A computing node that could serve a client.
struct Candidate {
  std::string client;
  std::string node;
  std::optional<double> distance;
};

enum class End { kOpen, kReset, kIdle };

struct Search {
  uint64_t id = 0;
  int64_t started_ms = 0;
  int64_t ended_ms = 0;  // 0 while open
  End ended_by = End::kOpen;
  int64_t last_line_ms = 0;
  std::vector<Mark> marks;
  size_t marks_dropped = 0;  // beyond kMaxMarksPerSearch
  std::vector<Choice> choices;
  std::vector<Candidate> candidates;  // per client, nearest first
};

struct Snapshot {
  uint64_t version = 0;
  std::vector<NodeView> nodes;  // file nodes by name, then nodes only seen in lines
  size_t dims = 0;              // dimensions of the coordinates
  double kept = 1.0;            // share of the spread the plane shows
  int64_t idle_ms = kDefaultIdleMs;
  std::deque<Search> searches;  // oldest first
};

class MonitorState {
 public:
  static constexpr size_t kMaxSearches = 200;
  static constexpr size_t kMaxMarksPerSearch = 256;
  // Names seen only in colouring lines; past this they are refused, so a
  // stray sender cannot grow the state without bound.
  static constexpr size_t kMaxUnknownNodes = 10000;
  static constexpr size_t kMaxCandidatesPerClient = 5;

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

  // A search with no line for this long ends without waiting for RESET.
  void SetIdleMs(int64_t ms);
  // Ends the open search if it has been idle long enough; true if it did.
  // The colouring thread calls it a few times a second.
  bool ExpireIdle();

  Snapshot Take() const;
  // Blocks until the version differs from seen or timeout_ms passes.
  Snapshot WaitNewer(uint64_t seen, int timeout_ms) const;

 private:
  // Projects every node with coordinates onto the plane; how many.
  int PlaceNodesLocked() REQUIRES(mu_);
  NodeView* FindOrAddLocked(const std::string& name) REQUIRES(mu_);
  void RecordLocked(const std::string& node, int colour) REQUIRES(mu_);
  // The client waiting longest for a node in s ("" when none).
  std::string PendingClientLocked(const Search& s) const REQUIRES(mu_);
  void AddCandidatesLocked(Search* s, const std::string& client) REQUIRES(mu_);
  std::optional<double> DistanceLocked(const std::string& a, const std::string& b) const
      REQUIRES(mu_);

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
  int64_t idle_ms_ GUARDED_BY(mu_) = kDefaultIdleMs;
  uint64_t next_search_id_ GUARDED_BY(mu_) = 1;
};

// JSON text of a snapshot, read by the page:
// {"version":N,"dims":D,"kept":K,"idle_ms":I,"nodes":[{"name":..,"colour":..,
//  "kind":"unknown|host|computing","coords":[..],"x":..,"y":..}],
//  "searches":[{"id":..,"started":..,"ended":..|null,"ended_by":"reset|idle"|null,
//  "marks":[{"node":..,"colour":..,"at":..}],"choices":[{"client":..,
//  "chosen":..,"distance":..|null}],"candidates":[{"client":..,"node":..,
//  "distance":..|null}]}]}.  Unplaced nodes have no x and y.
std::string SnapshotJson(const Snapshot& s);

}  // namespace pelmmon

#endif  // ORVEL_TOOLS_PELMMON_MONITOR_STATE_H_
