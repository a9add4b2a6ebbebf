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

// What one connection is served with when it is served whole on one thread
// (HTTPconn): created by the caller, owned and released by HTTPconn.
struct Parameters {
  RecvCallbackT RecvCallback;
  int sock;
  uint32_t srcaddr;  // network byte order, as accept() gave it
  uint16_t srcport;  // network byte order, as accept() gave it
};

// Body of each event thread of the server; the argument is that thread's
// own record (see http_server.cc).  Runs until the process ends.
void* serverThread(void* event_thread);
// Serves one connection on the calling thread: reads the request with
// blocking waits, dispatches it and answers.  Takes ownership of a
// Parameters allocated with new, and of its socket.  Always returns null.
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

// Defaults of the environment settings (see http.h).
constexpr double kDefaultReadTimeoutSeconds = 30;
constexpr double kDefaultClientTimeoutSeconds = 60;
constexpr double kDefaultIdleThreadKeepSeconds = 10;
// A day: longer is no use, and a larger number would not fit in
// milliseconds.
constexpr double kMaxIdleThreadKeepSeconds = 86400;
constexpr long long kDefaultMaxBodyBytes = 16LL * 1024 * 1024;
// Hard ceiling whatever the environment says, so length + 1 never overflows
// an int.
constexpr long long kMaxBodyCeilingBytes = 1LL << 30;

// Settings read from the environment on each use.
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

// The blocking read of one request (readHTTPRequest and HTTPconn): null
// when it was refused or timed out, with the line printed.
HTTPReq* ReadRequest(int sock, double timeout_s, long long max_body_bytes);

// Parses, dispatches and answers one request that has been read whole
// (req null: it was refused, and why has been printed).  Does not close
// sock.
void ServeRequest(RecvCallbackT callback, int sock, uint32_t srcaddr, uint16_t srcport, ReqPtr req);

}  // namespace orvel::http

#endif  // ORVEL_LIBORVEL_HTTP_HTTP_IMPL_H_
