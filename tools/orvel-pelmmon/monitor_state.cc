// monitor_state.cc: node positions, colours and the search history of the
// coordinate monitor.
#include "monitor_state.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <nlohmann/json.hpp>

#include "projection.h"
#include "slp/coordinates_reader.h"

namespace pelmmon {

namespace {

int64_t WallMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

struct FileCloser {
  void operator()(FILE* f) const { std::fclose(f); }
};

}  // namespace

MonitorState::MonitorState() : MonitorState(WallMs) {}
MonitorState::MonitorState(Clock clock) : clock_(std::move(clock)) {}

NodeView* MonitorState::FindOrAddLocked(const std::string& name) {
  auto it = nodes_.find(name);
  if (it != nodes_.end()) return &it->second;
  order_.push_back(name);
  NodeView& n = nodes_[name];
  n.name = name;
  return &n;
}

int MonitorState::LoadCoordinates(const std::string& path, std::string* problem) {
  std::unique_ptr<FILE, FileCloser> f(std::fopen(path.c_str(), "re"));
  if (!f) return -1;
  // The service's reader: what it refuses, the monitor does not pretend to
  // know either.
  std::map<std::string, std::string> entries;
  bool whole = orvel::slp::ReadCoordinates(f.get(), &entries);
  std::vector<std::string> unreadable;

  orvel::port::MutexLock l(&mu_);
  for (const auto& [key, value] : entries) {
    NodeView* n = FindOrAddLocked(key);
    auto coords = orvel::slp::ParseCoordinates(value);
    if (coords) {
      n->coords = std::move(*coords);
    } else {
      n->coords.clear();
      unreadable.push_back(key);
    }
  }
  // Nodes named in the file come first, by name; line-only nodes follow.
  std::vector<std::string> order;
  for (const auto& [key, node] : nodes_)
    if (entries.count(key)) order.push_back(key);
  for (const auto& key : order_)
    if (!entries.count(key)) order.push_back(key);
  order_ = std::move(order);

  const int placed = PlaceNodesLocked();
  if (problem) {
    problem->clear();
    if (!whole)
      *problem = "a line without a space (or longer than " +
                 std::to_string(orvel::slp::kMaxCoordLineBytes) + " bytes) after " +
                 std::to_string(entries.size()) +
                 " entries: the service finds no coordinates in this file";
    if (!unreadable.empty()) {
      if (!problem->empty()) *problem += "; ";
      *problem += std::to_string(unreadable.size()) +
                  " values are not numbers (first: " + unreadable.front() + ")";
    }
  }
  version_++;
  changed_.SignalAll();
  return placed;
}

int MonitorState::PlaceNodesLocked() {
  std::vector<std::vector<double>> points;
  std::vector<NodeView*> placed;
  for (auto& [key, node] : nodes_) {
    node.placed = false;
    if (node.coords.empty()) continue;
    points.push_back(node.coords);
    placed.push_back(&node);
  }
  Projection p = ProjectToPlane(points);
  for (size_t i = 0; i < placed.size(); ++i) {
    placed[i]->placed = true;
    placed[i]->x = p.xy[i].first;
    placed[i]->y = p.xy[i].second;
  }
  dims_ = p.dims;
  kept_ = p.kept;
  return static_cast<int>(placed.size());
}

void MonitorState::RecordLocked(const std::string& node, int colour) {
  int64_t now = clock_();
  if (!search_open_) {
    Search s;
    s.id = next_search_id_++;
    s.started_ms = now;
    searches_.push_back(std::move(s));
    while (searches_.size() > kMaxSearches) searches_.pop_front();
    search_open_ = true;
  }
  Search& s = searches_.back();
  if (s.marks.size() < kMaxMarksPerSearch)
    s.marks.push_back(Mark{node, colour, now});
  else
    s.marks_dropped++;
  if (colour != kChosenColour || s.choices.size() >= kMaxMarksPerSearch) return;

  // Pair with the latest client still waiting for its node, else the latest
  // client at all: locators send the client, then the node chosen for it.
  std::string client;
  for (auto m = s.marks.rbegin(); m != s.marks.rend(); ++m) {
    if (m->colour != kClientColour) continue;
    bool served = false;
    for (const auto& c : s.choices) served = served || c.client == m->node;
    if (!served) {
      client = m->node;
      break;
    }
    if (client.empty()) client = m->node;
  }
  Choice c{client, node, std::nullopt};
  auto a = nodes_.find(client), b = nodes_.find(node);
  if (a != nodes_.end() && b != nodes_.end() && !a->second.coords.empty() &&
      !b->second.coords.empty())
    c.distance = SharedDistance(a->second.coords, b->second.coords);
  s.choices.push_back(std::move(c));
}

bool MonitorState::ApplyLine(const std::string& raw) {
  std::string line = raw;
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
  size_t sp = line.rfind(' ');
  if (sp == std::string::npos || sp == 0 || sp + 1 >= line.size()) return false;
  std::string node = line.substr(0, sp);
  const char* digits = line.c_str() + sp + 1;
  if (*digits < '0' || *digits > '9') return false;
  char* end = nullptr;
  unsigned long colour = std::strtoul(digits, &end, 10);
  if (*end != '\0' || colour > 1000000) return false;

  orvel::port::MutexLock l(&mu_);
  if (node == "RESET") {
    for (auto& kv : nodes_) kv.second.colour = 0;
    if (search_open_) searches_.back().ended_ms = clock_();
    search_open_ = false;
  } else {
    if (!nodes_.count(node)) {
      if (unknown_nodes_ >= kMaxUnknownNodes) return false;
      unknown_nodes_++;
    }
    FindOrAddLocked(node)->colour = static_cast<int>(colour);
    RecordLocked(node, static_cast<int>(colour));
  }
  version_++;
  changed_.SignalAll();
  return true;
}

Snapshot MonitorState::Take() const {
  orvel::port::MutexLock l(&mu_);
  Snapshot s;
  s.version = version_;
  s.dims = dims_;
  s.kept = kept_;
  for (const auto& name : order_) s.nodes.push_back(nodes_.at(name));
  s.searches = searches_;
  return s;
}

Snapshot MonitorState::WaitNewer(uint64_t seen, int timeout_ms) const {
  {
    orvel::port::MutexLock l(&mu_);
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (version_ == seen) {
      if (!changed_.WaitUntil(&l, give_up)) break;
    }
  }
  return Take();
}

std::string SnapshotJson(const Snapshot& s) {
  using Json = nlohmann::ordered_json;
  Json nodes = Json::array();
  for (const auto& n : s.nodes) {
    Json j = {{"name", n.name}, {"colour", n.colour}, {"coords", n.coords}};
    if (n.placed) {
      j["x"] = n.x;
      j["y"] = n.y;
    }
    nodes.push_back(std::move(j));
  }
  Json searches = Json::array();
  for (const auto& search : s.searches) {
    Json marks = Json::array();
    for (const auto& m : search.marks)
      marks.push_back({{"node", m.node}, {"colour", m.colour}, {"at", m.at_ms}});
    Json choices = Json::array();
    for (const auto& c : search.choices)
      choices.push_back({{"client", c.client},
                         {"chosen", c.chosen},
                         {"distance", c.distance ? Json(*c.distance) : Json(nullptr)}});
    searches.push_back({{"id", search.id},
                        {"started", search.started_ms},
                        {"ended", search.ended_ms ? Json(search.ended_ms) : Json(nullptr)},
                        {"marks", std::move(marks)},
                        {"marks_dropped", search.marks_dropped},
                        {"choices", std::move(choices)}});
  }
  Json out = {{"version", s.version},
              {"dims", s.dims},
              {"kept", s.kept},
              {"nodes", std::move(nodes)},
              {"searches", std::move(searches)}};
  // Node names come from the network: bytes that are not UTF-8 are replaced
  // rather than failing the whole answer.
  return out.dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace pelmmon
