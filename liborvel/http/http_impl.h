// http_impl.h: internals of the HTTP transport shared by the server, the
// client and their tests.  Never installed.
//
// The head parsers work on a byte buffer without sockets, so they can be
// driven by tests and fuzzers.  They read like the C sscanf family: a token
// is a maximal run of non-white-space, a white-space character in a pattern
// matches any run of white space (none, CR and LF included), and scanning
// stops at the first zero byte.
#ifndef ORVEL_LIBORVEL_HTTP_HTTP_IMPL_H_
#define ORVEL_LIBORVEL_HTTP_HTTP_IMPL_H_

#include <pthread.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "http/server_options.h"
#include "net/socket_io.h"
#include "orvel/http.h"

// What the server is started with: one per startServerLoop call, shared by
// its event threads and never freed (the server serves until the process
// ends).
struct ThreadParam {
  unsigned short listenport;  // host byte order
  RecvCallbackT RecvCallback;
  int listensock;  // the listening socket, shared by the event threads
};

// What one connection is served with by HTTPconn, which serves it whole on
// the calling thread: created by the caller, owned and released by HTTPconn.
struct Parameters {
  RecvCallbackT RecvCallback;
  int sock;
  uint32_t srcaddr;  // network byte order, as accept() gave it
  uint16_t srcport;  // network byte order, as accept() gave it
};

// Body of each event thread of the server; the argument is that thread's
// own record (see http_server.cc).  Runs until the process ends.
void* serverThread(void* event_thread);
// Serves one connection on the calling thread, with the settings of the
// environment as they are now: the server's own reading, answering and
// closing, with blocking waits instead of its event loop.  Takes ownership
// of a Parameters allocated with new, and of its socket.  Always returns
// null.
void* HTTPconn(void* parameters);

namespace orvel::http {

// Fixed sizes of the wire format.
constexpr size_t kHeadReadBytes = 8192;  // one read of the head
constexpr size_t kMaxMethodChars = 6;
constexpr size_t kMaxUriChars = 8191;
constexpr size_t kMaxVersionChars = 9;
constexpr size_t kMaxReasonChars = 499;
constexpr size_t kSurplusReadBytes = 8192;

// Handler threads (see http.h): their stack, how long an idle one waits
// for the next request, and how many may wait at once.  Event threads take
// the same stack size.
constexpr size_t kConnectionStackBytes = size_t{256} * 1024;
constexpr size_t kMaxIdleWorkers = 256;

// Default of the client's time-out (see http.h); the server's settings are
// in server_options.h.
constexpr double kDefaultClientTimeoutSeconds = 60;

// Single settings, read from the environment on each use.
double ReadTimeoutSeconds();
double ClientTimeoutSeconds();
long long MaxBodyBytes();
// How long an idle handler thread waits for the next request
// (ORVEL_HTTP_IDLE_THREAD_KEEP, at most kMaxIdleThreadKeepSeconds).
std::chrono::milliseconds IdleThreadKeep();

// The calling thread's own CPU times, in microseconds, as get_rusage_times
// reports the process's.
void ThreadCpuTimes(long* utime, long* stime);

// Adds the CPU time the calling thread spends while this lives to the
// process counters (global_time_add).  The whole process's times, added at
// every connection end, would count all CPU again each time; and
// getrusage(RUSAGE_SELF) walks every thread of the process.
class ThreadCpuCharge {
 public:
  ThreadCpuCharge() { ThreadCpuTimes(&utime0_, &stime0_); }
  ~ThreadCpuCharge() {
    long utime = 0;
    long stime = 0;
    ThreadCpuTimes(&utime, &stime);
    global_time_add(utime - utime0_, stime - stime0_);
  }
  ThreadCpuCharge(const ThreadCpuCharge&) = delete;
  ThreadCpuCharge& operator=(const ThreadCpuCharge&) = delete;

 private:
  long utime0_ = 0;
  long stime0_ = 0;
};

// Text allocated with malloc (getChars, head buffers), freed with free.
struct MallocDeleter {
  void operator()(char* p) const { std::free(p); }
};
using MallocText = std::unique_ptr<char, MallocDeleter>;

// A decimal number as "%d" reads it, kept wide so that out-of-range values
// are recognised instead of overflowing.
struct LengthField {
  long long value = 0;  // saturated at +-kSaturation
  std::string text;     // the sign and digits as they stood
  bool fits_int() const;
  static constexpr long long kSaturation = 1LL << 40;
};

enum class HeadStatus {
  kOk,
  kBadFirstLine,       // request/status line unreadable or a token too long
  kNoContentLength,    // the Content-Length line is not where it must be
  kLengthNotPositive,  // declared length 0 or negative
  kLengthTooLarge,     // declared length above the limit
  kNotOk,              // response only: status other than 200
};

// Prints the line for a refused declared length (kLengthNotPositive or
// kLengthTooLarge) on standard error; peer is "client" or "server".
void PrintLengthRefusal(HeadStatus status, const LengthField& length, const char* peer,
                        long long max_body_bytes);

struct RequestHead {
  std::string method;
  std::string uri;
  std::string version;
  LengthField length;
  size_t body_offset = 0;  // first body byte, within the scanned text
};

// Reads a request head from the first len bytes of data (the bytes of one
// read; scanning stops at the first zero byte): "%s %s %s\r\n%n" then
// "Content-Length: %d\r\n\r\n%n".  Fills *head as far as it got.
HeadStatus ParseRequestHead(const char* data, size_t len, long long max_body_bytes,
                            RequestHead* head);

struct ResponseHead {
  std::string version;
  int status = 0;
  std::string reason;  // first word of the reason phrase
  LengthField length;
  size_t body_offset = 0;
};

// Reads a response head: "%s %d %s\r\nConnection: close\r\n%n" then
// "Content-Length: %d\r\n\r\n%n".  kNotOk is reported before the
// Connection line is looked at, so a 400 names its status.
HeadStatus ParseResponseHead(const char* data, size_t len, long long max_body_bytes,
                             ResponseHead* head);

// Parses body[0, len) as an XML document with network access off and
// without entity substitution or DTD loading.  Null when it does not parse.
xmlDocPtr ParseBodyDocument(const char* body, size_t len);

// startServerLoop with the settings given instead of the environment's:
// the same start, the same failures ending the process.
void StartServer(const ServerOptions& options, unsigned short port, RecvCallbackT handler);
// openServerSocket on addr (network order) instead of ORVEL_HTTP_LISTEN's.
int OpenListener(uint32_t addr, unsigned short port);

// Thread creation used for handler threads; replaceable so tests can
// make it fail.  Null restores pthread_create.  Also retires the idle
// handler threads, so the next request needs a new one.
using ThreadCreateFn = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
void SetThreadCreateForTesting(ThreadCreateFn fn);
// Connections accepted and not yet closed, plus handler threads still at
// work: 0 when the server is quiet.
size_t BusyConnectionThreadsForTesting();
// Called on the event thread right after the single read of a request head
// (bytes: what it returned), before the head is parsed.  Null: none.
using HeadReadHook = void (*)(size_t bytes);
void SetHeadReadHookForTesting(HeadReadHook hook);

// ---- Reading a request or a reply, shared by the server and the client ----

// Builds the request from the bytes of the single head read (head holds
// got bytes and room for one more).  Copies the body bytes that came along
// (at most the declared length) and sets *received to their count.  Null,
// after printing why, when the head is refused.
HTTPReq* RequestFromHead(char* head, size_t got, long long max_body_bytes, size_t* received);
// The record for a head read from data[0, got): its method, URI and length,
// and the body bytes that came along (at most the declared length; their
// count in *received).  Null when out of memory, with the line printed.
HTTPReq* NewRequest(const RequestHead& head, const char* data, size_t got, size_t* received);

enum class BodyStep {
  kMore,   // bytes arrived (*received grew)
  kEnded,  // the peer closed or the socket failed: no more will come
  kAgain,  // nothing to read now
};
// One read without waiting into body[*received, declared).
BodyStep ReadBodyOnce(int fd, char* body, size_t declared, size_t* received);
// Reads into body[*received, declared) until it is full, the peer closes or
// the deadline passes.  False on time-out.
bool ReadBodyRest(int fd, char* body, size_t declared, size_t* received, net::Deadline deadline);

// The lines of a request that came too slowly or too short.
void PrintHeadTimeout(double timeout_s);
void PrintBodyTimeout(double timeout_s, size_t received, int declared);
void PrintShortBody(size_t received, size_t declared);

// Connects to host:port within deadline (see openClientSocket).
net::UniqueFd ConnectClient(const char* host, unsigned short port, net::Deadline deadline);

// A request record freed with freeHTTPReq.
struct ReqDeleter {
  void operator()(HTTPReq* req) const { freeHTTPReq(req); }
};
using ReqPtr = std::unique_ptr<HTTPReq, ReqDeleter>;

// Why a request gets no 200, as the standard framing tells the peer: the
// status and a short text for a person (strict mode sends its bare 400).
struct Refusal {
  int status = 400;
  std::string reason;
};

// Reads one request from a socket as its bytes arrive, in the framing of
// the options' parser mode; each step reads without waiting, so an event
// loop drives it on readiness and a blocking caller between waits.  Prints
// the line for each refusal as it finds it.
class RequestReader {
 public:
  enum class Step {
    kMore,     // wait until the socket is readable, then Read again
    kDone,     // the request is in (TakeRequest), or all the peer sent of it
    kRefused,  // unusable or too slow (refusal(), timed_out())
  };
  explicit RequestReader(const ServerOptions& options) : options_(options) {}
  RequestReader(const RequestReader&) = delete;
  RequestReader& operator=(const RequestReader&) = delete;

  // scratch: kHeadReadBytes + 1 bytes lent for the head's read.
  Step Read(int fd, char* scratch);
  // The read time-out passed: prints its line; the request is refused.
  void TimedOut();
  // Reads with blocking waits until the request is in or refused, within
  // the options' read time-out (HTTPconn and readHTTPRequest).
  Step ReadBlocking(int fd);

  ReqPtr TakeRequest() { return std::move(req_); }
  const Refusal& refusal() const { return refusal_; }
  bool timed_out() const { return timed_out_; }

 private:
  Step ReadHead(int fd, char* scratch);
  Step ReadStandardHead(int fd, char* scratch, size_t got);
  Step BodyStarted();
  Step ReadBody(int fd);
  Step Refuse(int status, std::string reason);

  const ServerOptions& options_;
  ReqPtr req_;  // null until the head is in
  size_t received_ = 0;
  std::string head_;  // standard framing: the head so far, when it takes several reads
  Refusal refusal_;
  bool timed_out_ = false;
};

// The two ends of every connection the server serves.  Both close fd and
// count the connection closed (it was counted open with ConnectionOpened).
// A refused request is answered on the reading thread: its few bytes fit a
// fresh socket's buffer.
void RefuseAndClose(const ServerOptions& options, int fd, const RequestReader& reader);
// Parses, dispatches and answers a request read whole.
void ServeAndClose(const ServerOptions& options, RecvCallbackT callback, int fd, uint32_t srcaddr,
                   uint16_t srcport, ReqPtr req);
// Closes a connection's socket and counts it closed.
void CloseConnection(int fd);

// The 200 response of sendHTTPResponse, written within deadline.
void SendResponse(int sock, const char* text, net::Deadline deadline);
// The refusal as the parser mode frames it: the bare 400 of sendHTTPError
// in strict mode; in standard mode the status with the reason as a
// text/plain body.
void SendRefusal(int sock, ParserMode mode, const Refusal& refusal, net::Deadline deadline);

// The standard framing's head (RFC 9112), from the bytes arrived so far.
struct StandardHead {
  RequestHead head;
  bool expect_continue = false;  // "Expect: 100-continue": answer 100 before the body
  Refusal refusal;               // when refused
};
enum class StandardStatus { kOk, kIncomplete, kRefused };
StandardStatus ParseStandardRequestHead(const char* data, size_t len, long long max_body_bytes,
                                        StandardHead* out);

}  // namespace orvel::http

#endif  // ORVEL_LIBORVEL_HTTP_HTTP_IMPL_H_
