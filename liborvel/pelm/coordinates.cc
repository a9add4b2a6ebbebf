// coordinates.cc: the coordinates file cache.
//
// The file $ORVEL_PATH/pelm.coords maps a host's dotted quad to its network
// coordinates, one "KEY VALUE" line per host.  It is read once per process
// into a cache.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>

#include "net/address.h"
#include "orvel/SLP.h"
#include "pelm/coordinates_reader.h"
#include "pelm/settings.h"
#include "port/mutex.h"

namespace {

using orvel::pelm::kMaxCoordLineBytes;

// Filled once from the file and never refreshed.  A failed fill (unset
// variable, missing file, format error) leaves coordmap_initialized false
// and keeps the entries stored so far, so the next call reads the file
// again.  Both are guarded by coordmap_mutex: a lookup never sees a
// half-filled map.
orvel::port::Mutex coordmap_mutex;
std::map<std::string, std::string> coordmap GUARDED_BY(coordmap_mutex);
bool coordmap_initialized GUARDED_BY(coordmap_mutex) = false;

enum class LineResult { kLine, kEnd, kTooLong };

// Reads one line, without its line feed, into *line.  kEnd only when the
// file has no more characters at all.
LineResult ReadCoordLine(FILE* f, std::string* line) {
  line->clear();
  int c;
  bool any = false;
  while ((c = getc(f)) != EOF) {
    any = true;
    if (c == '\n') return LineResult::kLine;
    if (line->size() == kMaxCoordLineBytes) return LineResult::kTooLong;
    line->push_back(static_cast<char>(c));
  }
  return any ? LineResult::kLine : LineResult::kEnd;
}

struct FileCloser {
  void operator()(FILE* f) const { fclose(f); }
};

// True when the whole file was read.
bool FillCoordMap() REQUIRES(coordmap_mutex) {
  const char* path_env = orvel::pelm::ReadSettings().orvel_path;
  if (path_env == nullptr) {
    printf("ORVEL_PATH not set, returning now...\n");
    return false;
  }
  std::string path = std::string(path_env) + "/pelm.coords";
  std::unique_ptr<FILE, FileCloser> f(fopen(path.c_str(), "re"));
  if (!f) {
    printf("coordinate file not found, returning now...\n");
    return false;
  }
  if (!orvel::pelm::ReadCoordinates(f.get(), &coordmap)) {
    printf("coordinate file format error, returning now...\n");
    return false;
  }
  return true;
}

}  // namespace

namespace orvel::pelm {

bool ReadCoordinates(FILE* f, std::map<std::string, std::string>* out) {
  std::string line;
  for (;;) {
    LineResult r = ReadCoordLine(f, &line);
    if (r == LineResult::kEnd) return true;
    size_t space = line.find(' ');
    if (r == LineResult::kTooLong || space == std::string::npos) return false;
    // The line feed is already gone; a carriage return stays in the value.
    (*out)[line.substr(0, space)] = line.substr(space + 1);
  }
}

namespace {
bool IsCoordSpace(char c) { return c == ' ' || c == '\r' || c == '\n' || c == '\t'; }
}  // namespace

std::optional<std::vector<double>> ParseCoordinates(std::string_view text) {
  std::vector<double> out;
  size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && IsCoordSpace(text[i])) ++i;
    if (i == text.size()) break;
    size_t j = i;
    while (j < text.size() && !IsCoordSpace(text[j])) ++j;
    std::string token(text.substr(i, j - i));
    char* end = nullptr;
    double d = std::strtod(token.c_str(), &end);
    if (end != token.c_str() + token.size() || !std::isfinite(d)) return std::nullopt;
    out.push_back(d);
    i = j;
  }
  if (out.empty()) return std::nullopt;
  return out;
}

}  // namespace orvel::pelm

void chomp(char* text) {
  if (text == nullptr) return;
  size_t n = strlen(text);
  if (n > 0 && text[n - 1] == '\n') text[n - 1] = '\0';
}

std::string getCoordinates(unsigned long addr) {
  orvel::port::MutexLock lock(&coordmap_mutex);
  if (!coordmap_initialized) {
    if (!FillCoordMap()) return std::string();
    coordmap_initialized = true;
  }
  std::string host = orvel::net::AddressText(static_cast<uint32_t>(addr & 0xffffffffUL));
  printf("finding coordinates for %s...\n", host.c_str());
  auto it = coordmap.find(host);
  return it == coordmap.end() ? std::string() : it->second;
}
