// monitor_state.h: what the coordinate monitor knows: node positions from the
// coordinates file and the colour of each node, as the service's colouring
// lines arrive ("NODE COLOUR\n"; "RESET 0" clears every colour).
//
// Thread safety: MonitorState synchronises itself; any thread may apply lines
// while others wait for changes or take snapshots.
#ifndef ORVEL_TOOLS_PELMMON_MONITOR_STATE_H_
#define ORVEL_TOOLS_PELMMON_MONITOR_STATE_H_

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace pelmmon {

struct NodeView {
  std::string name;
  std::vector<double> coords;  // empty when the file does not place it
  int colour = 0;              // 0: not coloured
};

struct Snapshot {
  uint64_t version = 0;
  std::vector<NodeView> nodes;  // file order, then nodes only seen in lines
};

// Parses one coordinates-file line "KEY COORDS..." into key and numbers.
// Returns false for a line without a space.
bool ParseCoordsLine(const std::string& line, std::string* key,
                     std::vector<double>* coords);

class MonitorState {
 public:
  // Reads the coordinates file; returns the number of nodes placed, or -1
  // when the file cannot be opened.  Lines that do not parse are skipped.
  int LoadCoordinates(const std::string& path);

  // Applies one line without its line feed.  Returns false (and changes
  // nothing) for a line that is not "NODE COLOUR".
  bool ApplyLine(const std::string& line);

  Snapshot Take() const;
  // Blocks until the version differs from seen or timeout_ms passes.
  Snapshot WaitNewer(uint64_t seen, int timeout_ms) const;

 private:
  mutable std::mutex mu_;
  mutable std::condition_variable changed_;
  uint64_t version_ = 0;                    // guarded by mu_
  std::vector<std::string> order_;          // guarded by mu_
  std::map<std::string, NodeView> nodes_;   // guarded by mu_
};

// JSON text of a snapshot: {"version":N,"nodes":[{"name":..,"x":..,...}]}.
std::string SnapshotJson(const Snapshot& s);

}  // namespace pelmmon

#endif  // ORVEL_TOOLS_PELMMON_MONITOR_STATE_H_
