// server_stats.h: what the HTTP server tells a metrics collector.
//
// A narrow accessor, so the server's internals may change freely: the
// server reports each connection's outcome to one observer and answers two
// gauges on request.  Without an observer a report costs one atomic load.
#ifndef ORVEL_LIBORVEL_HTTP_SERVER_STATS_H_
#define ORVEL_LIBORVEL_HTTP_SERVER_STATS_H_

#include <cstddef>
#include <string>
#include <vector>

namespace orvel::http {

enum class RequestResult {
  kOk,           // the handler's reply was sent with 200
  kRefused,      // the handler returned null (400)
  kMalformed,    // unreadable head or body, not a document, not a message
  kUnknownType,  // a document naming no message type
  kTimeout,      // the peer did not send its request in time
  kNoThread,     // no handler thread could be started for it (400, or 503)
};
constexpr size_t kRequestResults = 6;
const char* RequestResultName(RequestResult r);
// Every result's name, in the order of the enumeration: the labels of a
// count indexed by result.
std::vector<std::string> RequestResultNames();

// Called once per connection on its own thread, with the request's root
// element name ("" when no document was read).  Must be thread-safe.
using RequestObserver = void (*)(const char* type, RequestResult result);
void SetRequestObserver(RequestObserver observer);
// Used by the server.
void ReportRequest(const char* type, RequestResult result);

struct ServerGauges {
  size_t connections_open = 0;  // accepted and not yet closed
  size_t handler_threads = 0;   // connection threads alive, busy or idle
};
ServerGauges CurrentServerGauges();
// Used by the server as a connection starts and ends.
void ConnectionOpened();
void ConnectionClosed();
// True while a server started by startServerLoop() accepts connections.
bool ServerAccepting();
void SetServerAccepting(bool accepting);  // used by the server
// Provided by the server: its connection threads alive.
size_t ConnectionThreads();

}  // namespace orvel::http

#endif  // ORVEL_LIBORVEL_HTTP_SERVER_STATS_H_
