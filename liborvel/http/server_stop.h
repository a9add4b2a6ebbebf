// server_stop.h: an orderly stop of the HTTP servers of this process.
// Internal; never installed.
//
// A program that wants its requests in flight answered before it exits
// blocks its stop signals in every thread (before startServerLoop, so the
// server's threads inherit the mask) and then calls WaitForStopAndDrain on
// its main thread.
#ifndef ORVEL_LIBORVEL_HTTP_SERVER_STOP_H_
#define ORVEL_LIBORVEL_HTTP_SERVER_STOP_H_

#include <signal.h>

#include <chrono>
#include <cstddef>

namespace orvel::http {

// Closes the listening socket of every server started by startServerLoop
// (new connections are refused from then on) and returns the connections
// already accepted and not yet closed.  Thread-safe; a second call finds
// the listeners closed and only counts.
size_t StopAcceptingConnections();
// Connections accepted by any server of this process and not yet closed.
size_t OpenConnections();

struct StopOutcome {
  int signal = 0;       // the signal that asked for the stop
  size_t finished = 0;  // connections in flight at the stop that were closed in time
  size_t cut = 0;       // connections still open when the wait ended
  bool forced = false;  // a second signal ended the wait before the deadline
};

// How long a stop waits for the requests in flight: ORVEL_STOP_TIMEOUT
// seconds (default 30, at most 3600; not a positive number: the default).
// Read by ReadServerOptions into ServerOptions::stop_timeout.
constexpr double kDefaultStopTimeoutSeconds = 30;
constexpr double kMaxStopTimeoutSeconds = 3600;
std::chrono::milliseconds StopTimeout();

// Waits for one of signals (which the caller keeps blocked in every
// thread), stops accepting, then waits until the connections in flight
// are closed, timeout has passed, or a second signal arrives.  Returns
// what happened; the caller prints it and exits.
StopOutcome WaitForStopAndDrain(const sigset_t& signals, std::chrono::milliseconds timeout);

// "SIGTERM", "SIGINT" or "SIGHUP", else "a signal".
const char* StopSignalName(int sig);

}  // namespace orvel::http

#endif  // ORVEL_LIBORVEL_HTTP_SERVER_STOP_H_
