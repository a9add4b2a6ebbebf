// monitor_state.cc: node positions and colours of the coordinate monitor.
#include "monitor_state.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace pelmmon {

bool ParseCoordsLine(const std::string& line, std::string* key,
                     std::vector<double>* coords) {
  size_t sp = line.find(' ');
  if (sp == std::string::npos || sp == 0) return false;
  *key = line.substr(0, sp);
  coords->clear();
  std::istringstream in(line.substr(sp + 1));
  double v;
  while (in >> v) {
    if (!std::isfinite(v)) return false;
    coords->push_back(v);
  }
  return true;
}

int MonitorState::LoadCoordinates(const std::string& path) {
  std::ifstream in(path);
  if (!in) return -1;
  std::string line, key;
  std::vector<double> coords;
  int placed = 0;
  std::lock_guard<std::mutex> l(mu_);
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!ParseCoordsLine(line, &key, &coords)) continue;
    auto it = nodes_.find(key);
    if (it == nodes_.end()) {
      order_.push_back(key);
      it = nodes_.emplace(key, NodeView{key, {}, 0}).first;
    }
    // The later line for a node wins, as in the service's own reader.
    it->second.coords = coords;
  }
  for (const auto& kv : nodes_)
    if (!kv.second.coords.empty()) placed++;
  version_++;
  changed_.notify_all();
  return placed;
}

bool MonitorState::ApplyLine(const std::string& raw) {
  std::string line = raw;
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
  size_t sp = line.rfind(' ');
  if (sp == std::string::npos || sp == 0 || sp + 1 >= line.size()) return false;
  std::string node = line.substr(0, sp);
  const char* digits = line.c_str() + sp + 1;
  char* end = nullptr;
  unsigned long colour = std::strtoul(digits, &end, 10);
  if (*end != '\0' || colour > 1000000) return false;

  std::lock_guard<std::mutex> l(mu_);
  if (node == "RESET") {
    for (auto& kv : nodes_) kv.second.colour = 0;
  } else {
    auto it = nodes_.find(node);
    if (it == nodes_.end()) {
      order_.push_back(node);
      it = nodes_.emplace(node, NodeView{node, {}, 0}).first;
    }
    it->second.colour = static_cast<int>(colour);
  }
  version_++;
  changed_.notify_all();
  return true;
}

Snapshot MonitorState::Take() const {
  std::lock_guard<std::mutex> l(mu_);
  Snapshot s;
  s.version = version_;
  for (const auto& name : order_) s.nodes.push_back(nodes_.at(name));
  return s;
}

Snapshot MonitorState::WaitNewer(uint64_t seen, int timeout_ms) const {
  {
    std::unique_lock<std::mutex> l(mu_);
    changed_.wait_for(l, std::chrono::milliseconds(timeout_ms),
                      [&] { return version_ != seen; });
  }
  return Take();
}

namespace {
void AppendJsonString(std::string* out, const std::string& s) {
  out->push_back('"');
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out->push_back('\\');
      out->push_back(static_cast<char>(c));
    } else if (c < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out->append(buf);
    } else {
      out->push_back(static_cast<char>(c));
    }
  }
  out->push_back('"');
}
}  // namespace

std::string SnapshotJson(const Snapshot& s) {
  std::string out = "{\"version\":" + std::to_string(s.version) + ",\"nodes\":[";
  bool first = true;
  for (const auto& n : s.nodes) {
    if (!first) out.push_back(',');
    first = false;
    out += "{\"name\":";
    AppendJsonString(&out, n.name);
    out += ",\"colour\":" + std::to_string(n.colour) + ",\"coords\":[";
    for (size_t i = 0; i < n.coords.size(); i++) {
      char buf[40];
      std::snprintf(buf, sizeof buf, "%s%.6g", i ? "," : "", n.coords[i]);
      out += buf;
    }
    out += "]}";
  }
  out += "]}";
  return out;
}

}  // namespace pelmmon
