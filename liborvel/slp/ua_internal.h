// ua_internal.h: pieces of the SLP user agent shared by its .cc files and
// tests.  Internal; never installed.
#ifndef ORVEL_LIBORVEL_SLP_UA_INTERNAL_H_
#define ORVEL_LIBORVEL_SLP_UA_INTERNAL_H_

#include <netinet/in.h>

#include <string>
#include <vector>

#include "net/socket_io.h"
#include "slp_api.h"

namespace orvel {
namespace slp {

// Sockets are owned by the project's one descriptor type.
using Socket = orvel::net::UniqueFd;

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
