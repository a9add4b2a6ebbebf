// Fuzzes the server's request reader: the head parser over one read's bytes
// and, when the head is accepted, the body document parser over what follows.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "http/http_impl.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace orvel::http;
  // The server reads at most one buffer of head bytes.
  size_t head_len = size < kHeadReadBytes ? size : kHeadReadBytes;
  std::string buf(reinterpret_cast<const char*>(data), head_len);
  for (long long limit : {kDefaultMaxBodyBytes, 16LL}) {
    RequestHead head;
    HeadStatus st = ParseRequestHead(buf.data(), buf.size(), limit, &head);
    if (st != HeadStatus::kOk) continue;
    if (head.body_offset > buf.size() || !head.length.fits_int() || head.length.value <= 0 ||
        head.length.value > limit)
      std::abort();
    size_t avail = buf.size() - head.body_offset;
    size_t want = static_cast<size_t>(head.length.value);
    xmlDocPtr doc = ParseBodyDocument(buf.data() + head.body_offset, want < avail ? want : avail);
    if (doc != nullptr) xmlFreeDoc(doc);
  }
  return 0;
}
