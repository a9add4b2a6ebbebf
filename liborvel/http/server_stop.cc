#include "http/server_stop.h"

#include <time.h>

#include <algorithm>

#include "net/socket_io.h"

namespace orvel::http {

std::chrono::milliseconds StopTimeout() {
  const double seconds = std::min(net::EnvSeconds("ORVEL_STOP_TIMEOUT", kDefaultStopTimeoutSeconds),
                                  kMaxStopTimeoutSeconds);
  return std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
}

StopOutcome WaitForStopAndDrain(const sigset_t& signals, std::chrono::milliseconds timeout) {
  StopOutcome out;
  while (sigwait(&signals, &out.signal) != 0) {
  }
  const size_t in_flight = StopAcceptingConnections();
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  // The count drops as handler threads close their connections; a short
  // poll keeps this free of any hook into them, and the wait for the
  // signal doubles as the sleep.
  constexpr auto kPoll = std::chrono::milliseconds(10);
  size_t open = OpenConnections();
  while (open != 0) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) break;
    const auto step = std::min<std::chrono::nanoseconds>(deadline - now, kPoll);
    timespec ts{};
    ts.tv_nsec = static_cast<long>(step.count());
    if (sigtimedwait(&signals, nullptr, &ts) > 0) {
      out.forced = true;
      open = OpenConnections();
      break;
    }
    open = OpenConnections();
  }
  // Connections accepted just before the listeners closed are in
  // in_flight; none can be added after.
  out.cut = std::min(open, in_flight);
  out.finished = in_flight - out.cut;
  return out;
}

const char* StopSignalName(int sig) {
  switch (sig) {
    case SIGTERM:
      return "SIGTERM";
    case SIGINT:
      return "SIGINT";
    case SIGHUP:
      return "SIGHUP";
    default:
      return "a signal";
  }
}

}  // namespace orvel::http
