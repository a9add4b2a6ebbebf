// http_common.cc: the request record, the CPU-time counters and the
// environment settings shared by both directions.
#include <sys/resource.h>

#include <cstdlib>

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
  return net::EnvSeconds("ORVEL_HTTP_CLIENT_TIMEOUT",
                         kDefaultClientTimeoutSeconds);
}

long long MaxBodyBytes() {
  long long v = net::EnvInteger("ORVEL_HTTP_MAX_BODY", kDefaultMaxBodyBytes);
  if (v <= 0) return kDefaultMaxBodyBytes;
  return v > kMaxBodyCeilingBytes ? kMaxBodyCeilingBytes : v;
}

}  // namespace orvel::http
