// Fuzzes the user agent's side: a reply datagram decoded, then its URLs and
// attribute lists taken apart the way a caller of the SLP API does.
#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>

#include "orvel/slp_api.h"
#include "slp/attr.h"
#include "slp/wire.h"

namespace {

void TakeUrl(const std::string& url) {
  SLPSrvURL* parsed = nullptr;
  if (SLPParseSrvURL(url.c_str(), &parsed) == SLP_OK) SLPFree(parsed);
}

void TakeAttrs(const std::string& attrs) {
  char* out = nullptr;
  if (SLPUnescape(attrs.c_str(), &out, SLP_FALSE) == SLP_OK) SLPFree(out);
  orvel::slp::AttrList list;
  (void)orvel::slp::AttrList::Parse(attrs, /*strict=*/false, &list);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace orvel::slp;
  (void)PeekLength(data, size);
  Message m;
  if (Decode(data, size, &m) != WireStatus::kOk) return 0;
  if (const auto* r = std::get_if<SrvRply>(&m.body)) {
    for (const UrlEntry& e : r->urls) TakeUrl(e.url);
  } else if (const auto* a = std::get_if<AttrRply>(&m.body)) {
    TakeAttrs(a->attrs);
  } else if (const auto* d = std::get_if<DAAdvert>(&m.body)) {
    TakeUrl(d->url);
    TakeAttrs(d->attrs);
  } else if (const auto* t = std::get_if<SrvTypeRply>(&m.body)) {
    std::vector<std::string> tags;
    (void)ParseTagList(t->types, &tags);
  }
  return 0;
}
