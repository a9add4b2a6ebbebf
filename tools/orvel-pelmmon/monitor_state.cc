// monitor_state.cc: node positions, colours and the search history of the
// coordinate monitor.
#include "monitor_state.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <nlohmann/json.hpp>

#include "pelm/coordinates_reader.h"
#include "projection.h"

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
  bool whole = orvel::pelm::ReadCoordinates(f.get(), &entries);
  std::vector<std::string> unreadable;

  orvel::port::MutexLock l(&mu_);
  for (const auto& [key, value] : entries) {
    NodeView* n = FindOrAddLocked(key);
    auto coords = orvel::pelm::ParseCoordinates(value);
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
                 std::to_string(orvel::pelm::kMaxCoordLineBytes) + " bytes) after " +
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

std::optional<double> MonitorState::DistanceLocked(const std::string& a,
                                                   const std::string& b) const {
  auto x = nodes_.find(a), y = nodes_.find(b);
  if (x == nodes_.end() || y == nodes_.end() || x->second.coords.empty() ||
      y->second.coords.empty())
    return std::nullopt;
  return SharedDistance(x->second.coords, y->second.coords);
}

// Locators send the client, then the node chosen for it: the latest client
// still waiting for its node, else the latest client at all.
std::string MonitorState::PendingClientLocked(const Search& s) const {
  std::string client;
  for (auto m = s.marks.rbegin(); m != s.marks.rend(); ++m) {
    if (m->colour != kClientColour) continue;
    bool served = false;
    for (const auto& c : s.choices) served = served || c.client == m->node;
    if (!served) return m->node;
    if (client.empty()) client = m->node;
  }
  return client;
}

void MonitorState::AddCandidatesLocked(Search* s, const std::string& client) {
  for (const auto& c : s->candidates)
    if (c.client == client) return;  // marked before in this search
  std::vector<Candidate> found;
  for (const auto& [name, node] : nodes_) {
    if (node.kind != Kind::kComputing || name == client) continue;
    std::optional<double> d = DistanceLocked(client, name);
    if (d) found.push_back(Candidate{client, name, d});
  }
  std::sort(found.begin(), found.end(), [](const Candidate& a, const Candidate& b) {
    return *a.distance < *b.distance || (*a.distance == *b.distance && a.node < b.node);
  });
  if (found.size() > kMaxCandidatesPerClient) found.resize(kMaxCandidatesPerClient);
  s->candidates.insert(s->candidates.end(), found.begin(), found.end());
}

void MonitorState::RecordLocked(const std::string& node, int colour) {
  int64_t now = clock_();
  if (!search_open_) {
    // A chosen node for a client whose search went quiet belongs to it.
    bool resume =
        colour == kChosenColour && !searches_.empty() && searches_.back().ended_by == End::kIdle;
    if (resume) {
      const Search& last = searches_.back();
      const std::string client = PendingClientLocked(last);
      bool served = false;
      for (const auto& c : last.choices) served = served || c.client == client;
      resume = !client.empty() && !served;
    }
    if (resume) {
      searches_.back().ended_ms = 0;
      searches_.back().ended_by = End::kOpen;
    } else {
      Search s;
      s.id = next_search_id_++;
      s.started_ms = now;
      searches_.push_back(std::move(s));
      while (searches_.size() > kMaxSearches) searches_.pop_front();
    }
    search_open_ = true;
  }
  Search& s = searches_.back();
  s.last_line_ms = now;
  if (s.marks.size() < kMaxMarksPerSearch)
    s.marks.push_back(Mark{node, colour, now});
  else
    s.marks_dropped++;
  NodeView* n = FindOrAddLocked(node);
  if (colour == kClientColour) {
    if (n->kind == Kind::kUnknown) n->kind = Kind::kEndHost;
    if (s.candidates.size() < kMaxMarksPerSearch) AddCandidatesLocked(&s, node);
    return;
  }
  if (colour != kChosenColour) return;
  n->kind = Kind::kComputing;
  if (s.choices.size() >= kMaxMarksPerSearch) return;
  std::string client = PendingClientLocked(s);
  Choice c{client, node, DistanceLocked(client, node)};
  s.choices.push_back(c);
  bool listed = client.empty();
  for (const auto& k : s.candidates) listed = listed || (k.client == client && k.node == node);
  if (!listed) s.candidates.push_back(Candidate{client, node, c.distance});
}

void MonitorState::SetIdleMs(int64_t ms) {
  orvel::port::MutexLock l(&mu_);
  idle_ms_ = ms;
}

bool MonitorState::ExpireIdle() {
  orvel::port::MutexLock l(&mu_);
  if (!search_open_ || idle_ms_ <= 0) return false;
  Search& s = searches_.back();
  const int64_t now = clock_();
  if (now - s.last_line_ms < idle_ms_) return false;
  s.ended_ms = now;
  s.ended_by = End::kIdle;
  search_open_ = false;
  version_++;
  changed_.SignalAll();
  return true;
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
    if (search_open_) {
      searches_.back().ended_ms = clock_();
      searches_.back().ended_by = End::kReset;
    }
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
  s.idle_ms = idle_ms_;
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
    const char* kind = n.kind == Kind::kComputing ? "computing"
                       : n.kind == Kind::kEndHost ? "host"
                                                  : "unknown";
    Json j = {{"name", n.name}, {"colour", n.colour}, {"kind", kind}, {"coords", n.coords}};
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
    Json candidates = Json::array();
    for (const auto& c : search.candidates)
      candidates.push_back({{"client", c.client},
                            {"node", c.node},
                            {"distance", c.distance ? Json(*c.distance) : Json(nullptr)}});
    const Json ended_by = search.ended_by == End::kReset  ? Json("reset")
                          : search.ended_by == End::kIdle ? Json("idle")
                                                          : Json(nullptr);
    searches.push_back({{"id", search.id},
                        {"started", search.started_ms},
                        {"ended", search.ended_ms ? Json(search.ended_ms) : Json(nullptr)},
                        {"ended_by", ended_by},
                        {"marks", std::move(marks)},
                        {"marks_dropped", search.marks_dropped},
                        {"choices", std::move(choices)},
                        {"candidates", std::move(candidates)}});
  }
  Json out = {{"version", s.version},
              {"dims", s.dims},
              {"kept", s.kept},
              {"idle_ms", s.idle_ms},
              {"nodes", std::move(nodes)},
              {"searches", std::move(searches)}};
  // Node names come from the network: bytes that are not UTF-8 are replaced
  // rather than failing the whole answer.
  return out.dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace pelmmon
