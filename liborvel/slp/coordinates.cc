// coordinates.cc: the coordinates file cache and the coordinate monitor client.
//
// The file $ORVEL_PATH/pelm.coords maps a host's dotted quad to its network
// coordinates, one "KEY VALUE" line per host.  It is read once per process
// into a cache.  The monitor is told to colour a node with one
// "NODE COLOUR\n" line over a short TCP connection to $ORVEL_PELMMONITOR
// ("ADDR", port 5646, or "ADDR:PORT").
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "net/address.h"
#include "net/socket_io.h"
#include "orvel/Msg.h"
#include "orvel/SLP.h"
#include "port/mutex.h"
#include "slp/coordinates_reader.h"

namespace {

using orvel::slp::kMaxCoordLineBytes;
constexpr unsigned short kPelmMonitorPort = 5646;
constexpr int kDefaultMonitorTimeoutMs = 2000;

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
  const char* path_env = getenv("ORVEL_PATH");
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
  if (!orvel::slp::ReadCoordinates(f.get(), &coordmap)) {
    printf("coordinate file format error, returning now...\n");
    return false;
  }
  return true;
}

int MonitorTimeoutMs() {
  const char* text = getenv("ORVEL_PELMMONITOR_TIMEOUT_MS");
  if (text == nullptr || *text == '\0') return kDefaultMonitorTimeoutMs;
  char* end = nullptr;
  errno = 0;
  long ms = strtol(text, &end, 10);
  if (errno != 0 || *end != '\0' || ms <= 0 || ms > 600000) {
    return kDefaultMonitorTimeoutMs;
  }
  return static_cast<int>(ms);
}

}  // namespace

namespace orvel::slp {

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

MonitorAddress ParseMonitorAddress(const std::string& text, uint32_t* addr, uint16_t* port) {
  const size_t colon = text.find(':');
  *addr = static_cast<uint32_t>(inet_ADDR(text.substr(0, colon).c_str()));
  if (*addr == 0) return MonitorAddress::kBadAddress;
  if (colon == std::string::npos) {
    *port = kPelmMonitorPort;
    return MonitorAddress::kOk;
  }
  const std::string digits = text.substr(colon + 1);
  if (digits.empty() || digits.size() > 5 ||
      digits.find_first_not_of("0123456789") != std::string::npos) {
    return MonitorAddress::kBadPort;
  }
  const long value = strtol(digits.c_str(), nullptr, 10);
  if (value < 1 || value > 65535) return MonitorAddress::kBadPort;
  *port = static_cast<uint16_t>(value);
  return MonitorAddress::kOk;
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

}  // namespace orvel::slp

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
  std::string host = inet_NTOS(addr);
  printf("finding coordinates for %s...\n", host.c_str());
  auto it = coordmap.find(host);
  return it == coordmap.end() ? std::string() : it->second;
}

void pelmmon_color(const std::string& node, int colour) {
  const char* monitor = getenv("ORVEL_PELMMONITOR");
  if (monitor == nullptr) {
    printf("ORVEL_PELMMONITOR not set, returning now\n");
    return;
  }
  uint32_t monitor_addr = 0;
  uint16_t monitor_port = 0;
  switch (orvel::slp::ParseMonitorAddress(monitor, &monitor_addr, &monitor_port)) {
    case orvel::slp::MonitorAddress::kOk:
      break;
    case orvel::slp::MonitorAddress::kBadAddress:
      // Address 0 would reach this host's own monitor port, not the monitor.
      printf("ORVEL_PELMMONITOR [%s] is not a dotted quad, nothing sent\n", monitor);
      return;
    case orvel::slp::MonitorAddress::kBadPort:
      printf("ORVEL_PELMMONITOR [%s] has no valid port after the colon, nothing sent\n", monitor);
      return;
  }
  int timeout_ms = MonitorTimeoutMs();
  // One deadline for connecting and sending: a monitor that stops reading
  // must not hold the request either.
  orvel::net::Deadline deadline = orvel::net::Deadline::AfterMs(timeout_ms);
  int err = 0;
  const char* failed_call = "connect";
  orvel::net::UniqueFd sock =
      orvel::net::ConnectTcp(orvel::net::Ipv4(monitor_addr, monitor_port), deadline, &err,
                             /*nonblocking=*/false, &failed_call);
  if (!sock.valid()) {
    errno = err;
    perror(std::string(failed_call) == "socket" ? "pelmmon_color: socket:"
                                                : "pelmmon_color: connect:");
    return;
  }
  std::string line = node + " " + ultostr(static_cast<unsigned long>(colour)) + "\n";
  // The monitor's answer (none) and a failed send change nothing for the
  // caller; the send never raises SIGPIPE.
  (void)orvel::net::WriteAll(sock.get(), line.data(), line.size(), deadline);
}
