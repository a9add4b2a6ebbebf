// Fuzzes the client's response reader: the head parser and the body document
// parser over what follows an accepted head.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "http/http_impl.h"
#include "http_fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace orvel::http;
  std::string buf = HeadReadBuffer(data, size);
  for (long long limit : {kDefaultMaxBodyBytes, 16LL}) {
    ResponseHead head;
    HeadStatus st = ParseResponseHead(buf.data(), buf.size(), limit, &head);
    if (st == HeadStatus::kNotOk && head.status == 200) std::abort();
    if (st != HeadStatus::kOk) continue;
    if (head.status != 200 || head.body_offset > buf.size() || !head.length.fits_int() ||
        head.length.value <= 0 || head.length.value > limit)
      std::abort();
    ParseArrivedBody(buf, head.body_offset, head.length.value);
  }
  return 0;
}
