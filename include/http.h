// http.h: one-shot HTTP/1.1 exchanges carrying one XML message each way.
//
// Server: startServerLoop() accepts on a TCP port and serves every
// connection on a thread of its own: one request, one response (200 with the
// handler's reply document, or 400), then close.  Client: sendRequestMsg()
// posts a message to "http://host:port/query" and getResponseMsg() reads the
// reply message back and closes the socket.
//
// Diagnostics go to standard error.  All functions are thread-safe.
//
// Environment (read when used):
//   ORVEL_HTTP_READ_TIMEOUT    server: seconds a peer may take to send its
//                              request (default 30)
//   ORVEL_HTTP_MAX_BODY        both sides: largest accepted Content-Length in
//                              bytes (default 16777216)
//   ORVEL_HTTP_CLIENT_TIMEOUT  client: seconds for connect, writes and the
//                              reply (default 60)
#ifndef ORVEL_INCLUDE_HTTP_H_
#define ORVEL_INCLUDE_HTTP_H_

#include <pthread.h>

#include <string>

#include "Msg.h"

// One HTTP request.  Allocated by readHTTPRequest() or newHTTPReq(),
// released with freeHTTPReq().
struct HTTPReq {
  char method[7];      // at most 6 characters
  char* uri;           // owned, terminated
  int content_length;  // body bytes; -1 while an outgoing request has no body
  char* body;          // owned or null; always followed by one zero byte
};

// Releases uri, body and the record.  Accepts null.
void freeHTTPReq(HTTPReq* req);

// The request handler: gets the request message (still owned by the server,
// deleted after the call) and returns a new reply the server takes over, or
// null for a 400.  Called on the connection's own thread.
typedef Msg* (*RecvCallbackT)(Msg* request);

// ---- Server ---------------------------------------------------------------

// Starts the accept thread on port (host order) and returns at once.  A null
// handler or a failure to start ends the process with status 1.  Ignores
// SIGPIPE for the process and initialises libxml2 on the calling thread.
void startServerLoop(unsigned short port, RecvCallbackT handler);
// Listening socket bound to INADDR_ANY:port (close-on-exec), or -1.
int openServerSocket(unsigned short port);
// Reads one request from sock.  Returns a new record, or null (printing why).
HTTPReq* readHTTPRequest(int sock);
// Writes a 200 response carrying text (without its terminator).
void sendHTTPResponse(int sock, const char* text);
// Writes the 400 response.
void sendHTTPError(int sock);

// Process-wide CPU-time counters (microseconds), guarded by global_time_mut.
extern long global_utime;
extern long global_stime;
extern pthread_mutex_t global_time_mut;
// The caller's process CPU times (getrusage RUSAGE_SELF) in microseconds.
void get_rusage_times(long* utime, long* stime);
void global_time_init();
void global_time_add(long utime, long stime);

// ---- Client ---------------------------------------------------------------

// New outgoing record with method (at most 6 characters) and a copy of uri;
// content_length -1, no body.
HTTPReq* newHTTPReq(const char* method, const std::string& uri);
// Stores a copy of text with its terminator; content_length = strlen + 1.
// Does nothing when req or text is null.
void setBody(HTTPReq* req, const char* text);
// Connected IPv4 stream socket (close-on-exec) to host:port, or -1.  A host
// that is not a dotted quad is looked up (getaddrinfo).  Refuses a null host,
// port 0 and the address 0.0.0.0.
int openClientSocket(const char* host, unsigned short port);
// Connects and writes the request.  Returns the connected socket, or -1.
int sendHTTPReq(HTTPReq* req, const char* host, unsigned short port);
// Reads the reply from sock, builds its reply class and closes sock on
// every path.  Returns a new message the caller owns, or null.
Msg* getResponseMsg(int sock);
// Posts msg (still the caller's) to http://host:port/query.  Returns the
// connected socket to hand to getResponseMsg(), or -1 when nothing was sent.
int sendRequestMsg(const char* host, unsigned short port, Msg* msg);

#endif  // ORVEL_INCLUDE_HTTP_H_
