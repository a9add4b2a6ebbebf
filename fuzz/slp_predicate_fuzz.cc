// Fuzzes the search-filter parser and, for filters that parse, evaluation
// against a fixed attribute list.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "slp/attr.h"
#include "slp/predicate.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace orvel::slp;
  static AttrList attrs = [] {
    AttrList a;
    AttrList::Parse("(addr=10.0.0.1),(mask=255.255.255.255),(x-PELM-coords=1 2 3),(n=42),kw", false,
                    &a);
    return a;
  }();
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto p = Predicate::Parse(text);
  if (p) (void)p->Matches(attrs);
  return 0;
}
