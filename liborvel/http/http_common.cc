// http_common.cc: the request record, the CPU-time counters and the
// environment settings shared by both directions.
#include <errno.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "http/http_impl.h"

long global_utime = 0;
long global_stime = 0;
pthread_mutex_t global_time_mut = PTHREAD_MUTEX_INITIALIZER;

void freeHTTPReq(HTTPReq* req) {
  if (req == nullptr) return;
  std::free(req->uri);
  std::free(req->body);
  delete req;
}

namespace {

void Microseconds(const rusage& usage, long* utime, long* stime) {
  *utime = usage.ru_utime.tv_sec * 1000000L + usage.ru_utime.tv_usec;
  *stime = usage.ru_stime.tv_sec * 1000000L + usage.ru_stime.tv_usec;
}

}  // namespace

void get_rusage_times(long* utime, long* stime) {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  Microseconds(usage, utime, stime);
}

namespace orvel::http {

void ThreadCpuTimes(long* utime, long* stime) {
  rusage usage{};
  getrusage(RUSAGE_THREAD, &usage);
  Microseconds(usage, utime, stime);
}

}  // namespace orvel::http

void global_time_init() {
  pthread_mutex_lock(&global_time_mut);
  global_utime = 0;
  global_stime = 0;
  pthread_mutex_unlock(&global_time_mut);
}

void global_time_add(long utime, long stime) {
  pthread_mutex_lock(&global_time_mut);
  global_utime += utime;
  global_stime += stime;
  pthread_mutex_unlock(&global_time_mut);
}

namespace orvel::http {

double ReadTimeoutSeconds() {
  return net::EnvSeconds("ORVEL_HTTP_READ_TIMEOUT", kDefaultReadTimeoutSeconds);
}

double ClientTimeoutSeconds() {
  return net::EnvSeconds("ORVEL_HTTP_CLIENT_TIMEOUT", kDefaultClientTimeoutSeconds);
}

std::chrono::milliseconds IdleThreadKeep() {
  const double seconds =
      std::min(net::EnvSeconds("ORVEL_HTTP_IDLE_THREAD_KEEP", kDefaultIdleThreadKeepSeconds),
               kMaxIdleThreadKeepSeconds);
  return std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
}

long long MaxBodyBytes() {
  long long v = net::EnvInteger("ORVEL_HTTP_MAX_BODY", kDefaultMaxBodyBytes);
  if (v <= 0) return kDefaultMaxBodyBytes;
  return v > kMaxBodyCeilingBytes ? kMaxBodyCeilingBytes : v;
}

}  // namespace orvel::http

// ---- Reading, shared by the server and the client --------------------------

namespace orvel::http {

HTTPReq* RequestFromHead(char* head, size_t got, long long max_body_bytes, size_t* received) {
  head[got] = '\0';  // the lines below print it as text
  RequestHead parsed;
  const HeadStatus status = ParseRequestHead(head, got, max_body_bytes, &parsed);
  switch (status) {
    case HeadStatus::kOk:
      break;
    case HeadStatus::kBadFirstLine:
      std::fprintf(stderr, "Unexpected header from client:\n%s\n", head);
      return nullptr;
    case HeadStatus::kLengthNotPositive:
    case HeadStatus::kLengthTooLarge:
      PrintLengthRefusal(status, parsed.length, "client", max_body_bytes);
      return nullptr;
    default:
      std::fprintf(stderr, "Unexpected content-length from client:\n%s\n", head);
      return nullptr;
  }
  return NewRequest(parsed, head, got, received);
}

HTTPReq* NewRequest(const RequestHead& head, const char* data, size_t got, size_t* received) {
  ReqPtr req(new HTTPReq{});
  std::snprintf(req->method, sizeof req->method, "%s", head.method.c_str());
  req->uri = static_cast<char*>(std::calloc(head.uri.size() + 1, 1));
  req->content_length = static_cast<int>(head.length.value);
  req->body = static_cast<char*>(std::calloc(head.length.value + 1, 1));
  if (req->uri == nullptr || req->body == nullptr) {
    std::fprintf(stderr, "Out of memory for a body of %d bytes\n", req->content_length);
    return nullptr;
  }
  std::memcpy(req->uri, head.uri.data(), head.uri.size());
  // Bytes past the declared length are dropped.
  size_t count = got - head.body_offset;
  if (count > static_cast<size_t>(req->content_length)) count = req->content_length;
  std::memcpy(req->body, data + head.body_offset, count);
  *received = count;
  return req.release();
}

BodyStep ReadBodyOnce(int fd, char* body, size_t declared, size_t* received) {
  for (;;) {
    ssize_t n = ::recv(fd, body + *received, declared - *received, MSG_DONTWAIT);
    if (n > 0) {
      *received += static_cast<size_t>(n);
      return BodyStep::kMore;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return BodyStep::kAgain;
    return BodyStep::kEnded;
  }
}

bool ReadBodyRest(int fd, char* body, size_t declared, size_t* received, net::Deadline deadline) {
  while (*received < declared) {
    switch (ReadBodyOnce(fd, body, declared, received)) {
      case BodyStep::kMore:
        break;
      case BodyStep::kEnded:
        return true;
      case BodyStep::kAgain: {
        const int err = net::WaitReady(fd, POLLIN, deadline);
        if (err == ETIMEDOUT) return false;
        if (err != 0) return true;  // the socket failed: what came is all
        break;
      }
    }
  }
  return true;
}

void PrintHeadTimeout(double timeout_s) {
  std::fprintf(stderr, "Timed out after %g s waiting for request from client\n", timeout_s);
}

void PrintBodyTimeout(double timeout_s, size_t received, int declared) {
  std::fprintf(stderr,
               "Timed out after %g s: received %zu bytes of message body "
               "out of %d expected.\n",
               timeout_s, received, declared);
}

void PrintShortBody(size_t received, size_t declared) {
  std::fprintf(stderr, "Only received %zu bytes of message body out of %zu expected.\n", received,
               declared);
}

}  // namespace orvel::http
