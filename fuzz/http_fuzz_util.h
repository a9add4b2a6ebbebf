// http_fuzz_util.h: what the request and response fuzzers share: the head
// bytes one read takes in, and the body parse of what followed a head.
#ifndef ORVEL_FUZZ_HTTP_FUZZ_UTIL_H_
#define ORVEL_FUZZ_HTTP_FUZZ_UTIL_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "http/http_impl.h"

namespace orvel {
namespace http {

// The bytes one read of a head takes in: at most kHeadReadBytes of data.
inline std::string HeadReadBuffer(const uint8_t* data, size_t size) {
  size_t head_len = size < kHeadReadBytes ? size : kHeadReadBytes;
  return std::string(reinterpret_cast<const char*>(data), head_len);
}

// Parses as the body document the part of length bytes that arrived in buf
// after body_offset.  REQUIRES: body_offset <= buf.size(), length > 0.
inline void ParseArrivedBody(const std::string& buf, size_t body_offset, long long length) {
  size_t avail = buf.size() - body_offset;
  size_t want = static_cast<size_t>(length);
  xmlDocPtr doc = ParseBodyDocument(buf.data() + body_offset, want < avail ? want : avail);
  if (doc != nullptr) xmlFreeDoc(doc);
}

}  // namespace http
}  // namespace orvel

#endif  // ORVEL_FUZZ_HTTP_FUZZ_UTIL_H_
