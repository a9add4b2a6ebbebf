// Fuzzes the server's request readers: the strict head parser over one
// read's bytes and, when the head is accepted, the body document parser over
// what follows; and the standard head parser over the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "http/http_impl.h"
#include "http_fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace orvel::http;
  // The server reads at most one buffer of head bytes.
  std::string buf = HeadReadBuffer(data, size);
  for (long long limit : {kDefaultMaxBodyBytes, 16LL}) {
    RequestHead head;
    HeadStatus st = ParseRequestHead(buf.data(), buf.size(), limit, &head);
    if (st != HeadStatus::kOk) continue;
    if (head.body_offset > buf.size() || !head.length.fits_int() || head.length.value <= 0 ||
        head.length.value > limit)
      std::abort();
    ParseArrivedBody(buf, head.body_offset, head.length.value);
  }
  // The standard framing reads the same bytes, gathered over any reads.
  for (long long limit : {kDefaultMaxBodyBytes, 16LL}) {
    StandardHead head;
    if (ParseStandardRequestHead(buf.data(), buf.size(), limit, &head) != StandardStatus::kOk) {
      continue;
    }
    if (head.head.body_offset > buf.size() || head.head.length.value <= 0 ||
        head.head.length.value > limit)
      std::abort();
  }
  return 0;
}
