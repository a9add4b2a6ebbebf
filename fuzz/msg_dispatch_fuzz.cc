// Fuzzes message construction from arbitrary documents: the bytes are parsed
// as the transports parse them and handed to both factories, so every
// document constructor is reached.  A message that is built must serialise.
#include <libxml/parser.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "orvel/Msg.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  xmlInitParser();
  return 0;
}

static void Quiet(void*, const char*, ...) {}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  xmlSetGenericErrorFunc(nullptr, Quiet);
  for (int reply = 0; reply < 2; reply++) {
    xmlDocPtr doc =
        xmlReadMemory(reinterpret_cast<const char*>(data), static_cast<int>(size), nullptr, nullptr,
                      XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    if (!doc) return 0;
    Msg* m = reply ? newReplyMsgFromDoc(doc) : newRequestMsgFromDoc(doc);
    if (m) {
      char* text = m->getChars();
      if (!text) std::abort();
      std::free(text);
      delete m;
    }
  }
  return 0;
}
