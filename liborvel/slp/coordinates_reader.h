// coordinates_reader.h: the line reader of the coordinates file, apart from
// the file lookup and the cache so tests and fuzzers can drive it from a
// buffer (fmemopen).  Internal; never installed.
#ifndef ORVEL_LIBORVEL_SLP_COORDINATES_READER_H_
#define ORVEL_LIBORVEL_SLP_COORDINATES_READER_H_

#include <cstdio>
#include <map>
#include <string>

namespace orvel::slp {

// Longest accepted line, line feed not counted.
constexpr size_t kMaxCoordLineBytes = size_t{64} * 1024;

// Reads "KEY VALUE" lines from f into *out (later lines win).  False on a
// format error (a line without a space, or too long); the entries read
// before it stay in *out.  f is borrowed.  Not thread-safe on one *out.
bool ReadCoordinates(FILE* f, std::map<std::string, std::string>* out);

}  // namespace orvel::slp

#endif  // ORVEL_LIBORVEL_SLP_COORDINATES_READER_H_
