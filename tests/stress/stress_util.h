// stress_util.h: helpers of the load and fault tests: many raw loopback
// connections driven from one thread with poll, process figures read from
// /proc, and the descriptor limit raised for the test and its children.
#ifndef ORVEL_TESTS_STRESS_STRESS_UTIL_H_
#define ORVEL_TESTS_STRESS_STRESS_UTIL_H_

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace stress {

// Raises the soft descriptor limit to the hard one (children inherit it).
// Returns the new soft limit.
long RaiseDescriptorLimit();

// Resident set size of pid in kB, or -1.
long RssKb(pid_t pid);
// Open descriptors of pid, or -1.
int DescriptorCount(pid_t pid);
// Threads of pid, or -1.
int ThreadCount(pid_t pid);

// Outcome of one raw connection.
struct ConnResult {
  bool connected = false;
  bool closed = false;  // end of stream (or reset) seen
  std::string reply;
};

// Opens count connections to 127.0.0.1:port at once (non-blocking), sends
// request on each, and reads every reply until the peer closes or
// timeout_ms passes for the whole batch.
std::vector<ConnResult> Burst(uint16_t port, size_t count, const std::string& request,
                              int timeout_ms);

// The status code of an HTTP reply ("HTTP/1.1 200 OK..."), or -1.
int HttpStatus(const std::string& reply);

}  // namespace stress

#endif  // ORVEL_TESTS_STRESS_STRESS_UTIL_H_
