// http.h: one-shot HTTP/1.1 exchanges carrying one XML message each way.
//
// Server: startServerLoop() accepts on a TCP port and serves one request
// per connection: one response (200 with the handler's reply document, or
// a refusal: 400, or in the standard framing below the fitting status),
// then close.  Event threads (one per processor, or
// ORVEL_HTTP_EVENT_THREADS) accept and read requests without blocking, so a
// silent or slow peer costs no thread; once a request is in whole, its
// handler runs on a handler thread of its own.  Handler threads are reused:
// a finished one waits up to 10 s for the next request (at most 256 wait at
// once), and a new one is started whenever none is free, so every request
// is handled at once, with no cap; a request for which no thread can be
// started is refused (counted "no_thread").  Their stacks are 256 KiB: a
// handler must not need more.  Client: sendRequestMsg()
// posts a message to "http://host:port/query" and getResponseMsg() reads the
// reply message back and closes the socket.
//
// Framing: a request or status line, "Content-Length" as the first header
// (a response has "Connection: close" before it), an empty line, the
// document.  The server reads requests so by default (strict): the request
// line and that header must arrive in the first read of the head, and every
// refusal is a bare 400.  With ORVEL_HTTP_PARSER=standard it reads them as
// RFC 9112 does: fields in any order and letter case, the head (at most
// 8 KiB) over several reads, "Expect: 100-continue" answered, a body only
// with Content-Length (Transfer-Encoding gets 411); a refusal then carries
// its status and a text/plain reason.  Its 200 responses are the same in
// both.  The client reads the length of a reply wherever it stands among
// the fields, in any letter case.  The client counts and sends the text's
// terminating zero byte; the server's reply body has none.
//
// Thread safety: every function may be called from any thread at the same
// time; each exchange uses its own socket.  The only shared state is the
// CPU-time counters (guarded by global_time_mut) and the settings below.
//
// Blocking: every network wait is bounded.  The server gives a peer
// ORVEL_HTTP_READ_TIMEOUT seconds to send its request and the same again to
// take the response; the handler's own work is never timed out.  The client
// bounds its connect and writes by ORVEL_HTTP_CLIENT_TIMEOUT, and the
// reading of the reply by the same amount again.
//
// Diagnostics go to standard error, one line each; no exception is thrown.
// No function here raises SIGPIPE (writes use MSG_NOSIGNAL).  Every socket is
// close-on-exec.  Descriptor 0 is a valid socket; only -1 means failure.
//
// Environment: a server reads its settings once as it starts; the calls
// that serve or read one connection on the caller's thread
// (openServerSocket, readHTTPRequest, sendHTTPResponse, sendHTTPError) and
// the client read them on each use.
//   ORVEL_HTTP_PARSER          server: strict (default) or standard
//   ORVEL_HTTP_LISTEN          server: address to listen on (default: every
//                              address, 0.0.0.0)
//   ORVEL_HTTP_READ_TIMEOUT    server: seconds, fractions allowed (default 30)
//   ORVEL_HTTP_MAX_BODY        both sides: largest accepted Content-Length in
//                              bytes (default 16777216, at most 1073741824);
//                              larger lengths are refused before allocation
//   ORVEL_HTTP_CLIENT_TIMEOUT  client: seconds, fractions allowed (default 60)
//   ORVEL_HTTP_EVENT_THREADS   server: event threads (default: one per
//                              processor online; at most 64)
//   ORVEL_HTTP_IDLE_THREAD_KEEP  server: seconds a handler thread with no
//                              request to serve is kept for the next one
//                              (default 10, at most 86400; the first server
//                              started sets it for all)
#ifndef ORVEL_INCLUDE_HTTP_H_
#define ORVEL_INCLUDE_HTTP_H_

#include <pthread.h>

#include <string>

#include "orvel/Msg.h"
#include "orvel/export.h"

// One HTTP request.  Allocated by readHTTPRequest() or newHTTPReq(),
// released with freeHTTPReq(); uri and body are malloc'ed buffers the
// record owns.
struct HTTPReq {
  char method[7];      // at most 6 characters
  char* uri;           // owned, terminated
  int content_length;  // body bytes; -1 while an outgoing request has no body
  char* body;          // owned or null; always followed by one zero byte
};

// Releases uri, body and the record.  Accepts null.
ORVEL_EXPORT void freeHTTPReq(HTTPReq* req);

// The request handler: gets the request message (still owned by the server,
// deleted right after the call, so keep no reference to it) and returns a
// new reply the server takes over and deletes, or null for a 400.  The
// request carries the peer's address (getSrcAddr, network order), port
// (getSrcPort, host order) and the connection's socket (sock, blocking).
// Called on a handler thread; several calls may run at once.
typedef Msg* (*RecvCallbackT)(Msg* request);

// ---- Server ---------------------------------------------------------------

// Starts the event threads on port (host order) and returns at once; they
// accept until accept() fails with an error that cannot pass (then one
// prints "serverThread terminating now...", the listening socket is closed
// and the connections already accepted are still served; the process goes
// on).
// The port is bound before it returns.  A null handler, a failure to
// create the thread, a port that cannot be bound, or an unusable
// ORVEL_HTTP_PARSER or ORVEL_HTTP_LISTEN ends the process with status 1.
// Ignores SIGPIPE for the process and initialises libxml2 on the calling
// thread.  Meant to be called once.
ORVEL_EXPORT void startServerLoop(unsigned short port, RecvCallbackT handler);
// Listening socket bound to ORVEL_HTTP_LISTEN (default INADDR_ANY) and port
// with SO_REUSEADDR and a backlog of SOMAXCONN (the kernel caps it at
// net.core.somaxconn), or -1 (after perror "socket", "bind" or "listen",
// or a line for an unusable ORVEL_HTTP_LISTEN).  The caller owns the
// descriptor.  Prints "Listening on port %d".
ORVEL_EXPORT int openServerSocket(unsigned short port);
// Reads one request from sock (not closed here) in the framing of
// ORVEL_HTTP_PARSER, bounded by ORVEL_HTTP_READ_TIMEOUT.  Returns a new record the caller releases
// with freeHTTPReq(), or null (printing why; nothing is left allocated).  A body cut short by the
// peer closing is returned as far as it arrived.
ORVEL_EXPORT HTTPReq* readHTTPRequest(int sock);
// Writes a 200 response carrying text (without its terminator).  Prints a
// warning when the peer did not take the whole body.
ORVEL_EXPORT void sendHTTPResponse(int sock, const char* text);
// Writes the 400 response: status line, "Connection: close", empty line.
ORVEL_EXPORT void sendHTTPError(int sock);

// Process-wide CPU-time counters (microseconds), guarded by global_time_mut;
// handler threads add the CPU time each request took as it ends, and event
// threads the time they spent accepting and reading.
extern ORVEL_EXPORT long global_utime;
extern ORVEL_EXPORT long global_stime;
extern ORVEL_EXPORT pthread_mutex_t global_time_mut;
// The process's CPU times (getrusage RUSAGE_SELF) in microseconds.
ORVEL_EXPORT void get_rusage_times(long* utime, long* stime);
// Resets / adds to both counters, each under global_time_mut.
ORVEL_EXPORT void global_time_init();
ORVEL_EXPORT void global_time_add(long utime, long stime);

// ---- Client ---------------------------------------------------------------

// New outgoing record with method (cut to 6 characters) and a copy of uri;
// content_length -1, no body.  The caller releases it with freeHTTPReq().
ORVEL_EXPORT HTTPReq* newHTTPReq(const char* method, const std::string& uri);
// Stores a copy of text with its terminator; content_length = strlen + 1.
// Does nothing when req or text is null.
ORVEL_EXPORT void setBody(HTTPReq* req, const char* text);
// Connected IPv4 stream socket (close-on-exec) to host:port, or -1.  A host
// that is not a dotted quad is looked up (getaddrinfo, first address).
// Refuses a null host and port 0 silently, the address 0.0.0.0 with a line.
// Blocks at most ORVEL_HTTP_CLIENT_TIMEOUT.  The caller owns the socket.
ORVEL_EXPORT int openClientSocket(const char* host, unsigned short port);
// Connects and writes the request (req stays the caller's).  Returns the
// connected socket, or -1 when no connection was made.  A failed write is
// not reported here; it shows when the response is read.
ORVEL_EXPORT int sendHTTPReq(HTTPReq* req, const char* host, unsigned short port);
// Reads the reply from sock and closes sock on every path.  Returns a new
// message of one of the eight reply classes that the caller owns and
// deletes, or null: for an unusable or refused reply, a request type, a
// time-out, or a status other than 200 (printing why, except for a reply
// naming no reply type).  A body cut short by the peer closing is parsed as
// far as it arrived.  A reply whose declared body arrived whole is used even
// when the peer then keeps the connection open past the time-out (the
// time-out line is printed all the same).
ORVEL_EXPORT Msg* getResponseMsg(int sock);
// As getResponseMsg(); also stores in *http_status (if not null) the status
// code of the response, or 0 when no status line could be read (closed,
// timed out or garbled).  Lets a client tell a refusal from a broken peer.
ORVEL_EXPORT Msg* getResponseMsgStatus(int sock, int* http_status);
// Posts msg (still the caller's), serialised with getChars(), to
// http://host:port/query: a POST whose body is the text and its
// terminating zero byte.  Returns the connected socket to hand to
// getResponseMsg(), or -1 when no connection was made: at once for a null
// msg or host or port 0, after a line for a host that does not resolve or
// a connect refused or timed out.  A failed write is not reported here; it shows
// when the response is read.
ORVEL_EXPORT int sendRequestMsg(const char* host, unsigned short port, Msg* msg);

#endif  // ORVEL_INCLUDE_HTTP_H_
