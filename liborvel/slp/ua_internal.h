// ua_internal.h: pieces of the SLP user agent shared by its .cc files and
// tests.  Internal; never installed.
#ifndef ORVEL_LIBORVEL_SLP_UA_INTERNAL_H_
#define ORVEL_LIBORVEL_SLP_UA_INTERNAL_H_

#include <netinet/in.h>

#include <string>
#include <vector>

#include "slp_api.h"

namespace orvel {
namespace slp {

// Owns one socket descriptor; closes it on destruction.
class Socket {
 public:
  Socket() = default;
  explicit Socket(int fd) : fd_(fd) {}
  ~Socket() { reset(); }
  Socket(Socket&& o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
  Socket& operator=(Socket&& o) noexcept {
    if (this != &o) {
      reset();
      fd_ = o.fd_;
      o.fd_ = -1;
    }
    return *this;
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  void reset();

 private:
  int fd_ = -1;
};

// Typed reads of the process-wide property store (properties.cc).  Each
// returns the fallback when the property is unset or malformed.
// Thread-safe.
std::string PropertyString(const char* name);
long PropertyLong(const char* name, long fallback);
bool PropertyBool(const char* name, bool fallback);
// A comma-separated list of positive milliseconds; empty when unset or
// when an element is not a positive number.
std::vector<int> PropertyMillisList(const char* name);

// The protocol error code carried in a reply as an API error.
SLPError ApiErrorFromWire(uint16_t code);

// Forgets the directory agents found by discovery (tests).
void ForgetDiscoveredAgents();

}  // namespace slp
}  // namespace orvel

#endif  // ORVEL_LIBORVEL_SLP_UA_INTERNAL_H_
