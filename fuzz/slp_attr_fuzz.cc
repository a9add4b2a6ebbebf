// Fuzzes the attribute-list parser in both modes; what parses must format
// and parse again.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "slp/attr.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace orvel::slp;
  std::string_view text(reinterpret_cast<const char*>(data), size);
  for (bool strict : {false, true}) {
    AttrList list;
    if (AttrList::Parse(text, strict, &list) != AttrError::kOk) continue;
    AttrList again;
    // The formatted form of a parsed list is itself a valid list.
    if (AttrList::Parse(list.Format(), false, &again) != AttrError::kOk) std::abort();
  }
  return 0;
}
