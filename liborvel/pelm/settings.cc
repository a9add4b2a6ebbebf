// settings.cc: the coordinates and monitor settings from the environment.
#include "pelm/settings.h"

#include <cerrno>
#include <cstdlib>

namespace orvel::pelm {

Settings ReadSettings() {
  Settings s;
  s.orvel_path = std::getenv("ORVEL_PATH");
  s.monitor = std::getenv("ORVEL_PELMMONITOR");
  const char* text = std::getenv("ORVEL_PELMMONITOR_TIMEOUT_MS");
  if (text != nullptr && *text != '\0') {
    char* end = nullptr;
    errno = 0;
    long ms = std::strtol(text, &end, 10);
    if (errno == 0 && *end == '\0' && ms > 0 && ms <= 600000)
      s.monitor_timeout_ms = static_cast<int>(ms);
  }
  return s;
}

}  // namespace orvel::pelm
