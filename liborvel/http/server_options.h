// server_options.h: the HTTP server's settings, read once.
//
// startServerLoop() reads them from the environment as it starts; a program
// may call ReadServerOptions() first to refuse a wrong setting with its own
// exit status before it serves.  The public calls that serve or read one
// connection on the caller's thread (HTTPconn, readHTTPRequest, ...) read
// them as they are called.
#ifndef ORVEL_LIBORVEL_HTTP_SERVER_OPTIONS_H_
#define ORVEL_LIBORVEL_HTTP_SERVER_OPTIONS_H_

#include <chrono>
#include <cstdint>

#include "net/status.h"

namespace orvel::http {

constexpr double kDefaultReadTimeoutSeconds = 30;
constexpr double kDefaultIdleThreadKeepSeconds = 10;
// A day: longer is no use, and a larger number would not fit in
// milliseconds.
constexpr double kMaxIdleThreadKeepSeconds = 86400;
constexpr long long kDefaultMaxBodyBytes = 16LL * 1024 * 1024;
// Hard ceiling whatever the environment says, so length + 1 never overflows
// an int.
constexpr long long kMaxBodyCeilingBytes = 1LL << 30;
constexpr long kMaxEventThreads = 64;

// How a server reads requests.
enum class ParserMode {
  kStrict,    // one read holds the request line and "Content-Length" right after it
  kStandard,  // RFC 9112: fields in any order and letter case, the head over several reads
};

struct ServerOptions {
  // ORVEL_HTTP_PARSER: "strict" (default) or "standard".
  ParserMode parser = ParserMode::kStrict;
  // ORVEL_HTTP_LISTEN: address to listen on, network order; default
  // 0.0.0.0, every address.
  uint32_t listen_addr = 0;
  // ORVEL_HTTP_READ_TIMEOUT: seconds a peer has to send its request, and
  // again to take the response; default 30.
  double read_timeout_s = kDefaultReadTimeoutSeconds;
  // ORVEL_HTTP_MAX_BODY: largest accepted Content-Length; default 16 MiB,
  // at most kMaxBodyCeilingBytes.
  long long max_body_bytes = kDefaultMaxBodyBytes;
  // ORVEL_HTTP_IDLE_THREAD_KEEP: how long a handler thread with nothing to
  // do waits for the next request; default 10 s, at most a day.
  std::chrono::milliseconds idle_thread_keep{10000};
  // ORVEL_HTTP_EVENT_THREADS: threads accepting and reading requests;
  // default one per processor online, at most kMaxEventThreads.
  long event_threads = 1;
  // ORVEL_STOP_TIMEOUT: how long a stop waits for the requests in flight
  // (WaitForStopAndDrain); default 30 s, at most an hour.
  std::chrono::milliseconds stop_timeout{30000};
};

// Reads the settings above from the environment.  Unusable numbers fall
// back to their defaults (as they always have); an ORVEL_HTTP_PARSER or
// ORVEL_HTTP_LISTEN that cannot be used is an error naming the variable,
// and *options then holds the default for it.
Status ReadServerOptions(ServerOptions* options);

}  // namespace orvel::http

#endif  // ORVEL_LIBORVEL_HTTP_SERVER_OPTIONS_H_
