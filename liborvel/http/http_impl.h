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

#include <cstddef>
#include <cstdint>
#include <string>

#include "http.h"
#include "net/socket_io.h"

// What the accept thread is started with; owned by the accept thread.
struct ThreadParam {
  unsigned short listenport;  // host byte order
  RecvCallbackT RecvCallback;
  int listensock;  // already listening (owned from here on), or -1: open one
};

// What one connection is served with; created by the accept thread, owned
// and released by the connection thread that serves it.
struct Parameters {
  RecvCallbackT RecvCallback;
  int sock;
  uint32_t srcaddr;  // network byte order, as accept() gave it
  uint16_t srcport;  // network byte order, as accept() gave it
};

// Body of the accept thread; takes ownership of a ThreadParam allocated with
// new.  Returns only when accept fails with an error that cannot pass.
void* serverThread(void* thread_param);
// Serves one connection on a connection thread; takes ownership of a Parameters allocated
// with new, and of its socket.  Always returns null.
void* HTTPconn(void* parameters);

namespace orvel::http {

// Fixed sizes of the wire format.
constexpr size_t kHeadReadBytes = 8192;       // one read of the head
constexpr size_t kMaxMethodChars = 6;
constexpr size_t kMaxUriChars = 8191;
constexpr size_t kMaxVersionChars = 9;
constexpr size_t kMaxReasonChars = 499;
constexpr size_t kSurplusReadBytes = 8192;

// Connection threads (see http.h): their stack, how long an idle one waits
// for the next connection, and how many may wait at once.
constexpr size_t kConnectionStackBytes = size_t{256} * 1024;
constexpr int kIdleWorkerKeepMs = 10000;
constexpr size_t kMaxIdleWorkers = 256;

// Defaults of the environment settings (see http.h).
constexpr double kDefaultReadTimeoutSeconds = 30;
constexpr double kDefaultClientTimeoutSeconds = 60;
constexpr long long kDefaultMaxBodyBytes = 16LL * 1024 * 1024;
// Hard ceiling whatever the environment says, so length + 1 never overflows
// an int.
constexpr long long kMaxBodyCeilingBytes = 1LL << 30;

// Settings read from the environment on each use.
double ReadTimeoutSeconds();
double ClientTimeoutSeconds();
long long MaxBodyBytes();

// The calling thread's own CPU times, in microseconds, as get_rusage_times
// reports the process's.
void ThreadCpuTimes(long* utime, long* stime);

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
  kBadFirstLine,      // request/status line unreadable or a token too long
  kNoContentLength,   // the Content-Length line is not where it must be
  kLengthNotPositive, // declared length 0 or negative
  kLengthTooLarge,    // declared length above the limit
  kNotOk,             // response only: status other than 200
};

// Prints the line for a refused declared length (kLengthNotPositive or
// kLengthTooLarge) on standard error; peer is "client" or "server".
void PrintLengthRefusal(HeadStatus status, const LengthField& length,
                        const char* peer, long long max_body_bytes);

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
HeadStatus ParseRequestHead(const char* data, size_t len,
                            long long max_body_bytes, RequestHead* head);

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
HeadStatus ParseResponseHead(const char* data, size_t len,
                             long long max_body_bytes, ResponseHead* head);

// Parses body[0, len) as an XML document with network access off and
// without entity substitution or DTD loading.  Null when it does not parse.
xmlDocPtr ParseBodyDocument(const char* body, size_t len);

// Thread creation used for connection threads; replaceable so tests can
// make it fail.  Null restores pthread_create.  Also retires the idle
// connection threads, so the next connection needs a new one.
using ThreadCreateFn = int (*)(pthread_t*, const pthread_attr_t*,
                               void* (*)(void*), void*);
void SetThreadCreateForTesting(ThreadCreateFn fn);
// Connection threads still serving a connection (not waiting for one).
size_t BusyConnectionThreadsForTesting();

// Connects to host:port within deadline (see openClientSocket).
net::UniqueFd ConnectClient(const char* host, unsigned short port,
                            net::Deadline deadline);

}  // namespace orvel::http

#endif  // ORVEL_LIBORVEL_HTTP_HTTP_IMPL_H_
