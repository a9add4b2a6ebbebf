// Fuzzes the client's response reader: the head parser and the body document
// parser over what follows an accepted head.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "http/http_impl.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace orvel::http;
  size_t head_len = size < kHeadReadBytes ? size : kHeadReadBytes;
  std::string buf(reinterpret_cast<const char*>(data), head_len);
  for (long long limit : {kDefaultMaxBodyBytes, 16LL}) {
    ResponseHead head;
    HeadStatus st = ParseResponseHead(buf.data(), buf.size(), limit, &head);
    if (st == HeadStatus::kNotOk && head.status == 200) std::abort();
    if (st != HeadStatus::kOk) continue;
    if (head.status != 200 || head.body_offset > buf.size() || !head.length.fits_int() ||
        head.length.value <= 0 || head.length.value > limit)
      std::abort();
    size_t avail = buf.size() - head.body_offset;
    size_t want = static_cast<size_t>(head.length.value);
    xmlDocPtr doc = ParseBodyDocument(buf.data() + head.body_offset, want < avail ? want : avail);
    if (doc != nullptr) xmlFreeDoc(doc);
  }
  return 0;
}
