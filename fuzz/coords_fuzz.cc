// Fuzzes the coordinates file reader over an in-memory file.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "pelm/coordinates_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;  // fmemopen refuses an empty buffer
  std::string copy(reinterpret_cast<const char*>(data), size);
  FILE* f = fmemopen(copy.data(), copy.size(), "r");
  if (f == nullptr) return 0;
  std::map<std::string, std::string> entries;
  bool ok = orvel::pelm::ReadCoordinates(f, &entries);
  fclose(f);
  for (const auto& [key, value] : entries) {
    // A key never holds the separator or a line feed.
    if (key.find(' ') != std::string::npos || key.find('\n') != std::string::npos) std::abort();
    if (value.size() > orvel::pelm::kMaxCoordLineBytes) std::abort();
  }
  (void)ok;
  return 0;
}
