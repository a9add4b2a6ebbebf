// coordinates_reader.h: the line reader of the coordinates file, apart from
// the file lookup and the cache so tests, fuzzers and the monitor program
// can drive it from any FILE (fmemopen), the coordinate text reader the
// agent core shares, and the reader of the monitor's address.  Internal;
// never installed.
#ifndef ORVEL_LIBORVEL_PELM_COORDINATES_READER_H_
#define ORVEL_LIBORVEL_PELM_COORDINATES_READER_H_

#include <cstdint>
#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orvel::pelm {

// Longest accepted line, line feed not counted.
constexpr size_t kMaxCoordLineBytes = size_t{64} * 1024;

// Reads "KEY VALUE" lines from f into *out (later lines win).  False on a
// format error (a line without a space, or too long); the entries read
// before it stay in *out.  f is borrowed.  Not thread-safe on one *out.
bool ReadCoordinates(FILE* f, std::map<std::string, std::string>* out);

// Parses "1 2.5 -3" into numbers; empty when the text holds anything else
// or no number at all.  Shared by the coordinates readers and the agent's
// nearest-node terms.
std::optional<std::vector<double>> ParseCoordinates(std::string_view text);

enum class MonitorAddress { kOk, kBadAddress, kBadPort };

// Reads the monitor's address from text ("A.B.C.D", port 5646, or
// "A.B.C.D:PORT" with PORT 1 to 65535) into *addr (network order) and
// *port (host order).  An address that reads as 0 is kBadAddress.
MonitorAddress ParseMonitorAddress(const std::string& text, uint32_t* addr, uint16_t* port);

}  // namespace orvel::pelm

#endif  // ORVEL_LIBORVEL_PELM_COORDINATES_READER_H_
