// Helpers shared by the message tests.
#ifndef ORVEL_TESTS_MSG_MSG_TEST_UTIL_H_
#define ORVEL_TESTS_MSG_MSG_TEST_UTIL_H_

#include <libxml/parser.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "orvel/Msg.h"

namespace msgtest {

// getChars as a string (the buffer is released here).
inline std::string Dump(const Msg& m) {
  char* text = m.getChars();
  if (text == nullptr) return std::string();
  std::string out(text);
  free(text);
  return out;
}

// Parses as the transports do: no network, no entity substitution.
inline xmlDocPtr Parse(const std::string& text) {
  return xmlReadMemory(text.data(), static_cast<int>(text.size()), nullptr, nullptr,
                       XML_PARSE_NONET);
}

// A document as getChars writes it: the declaration, the root on one line.
inline std::string Doc(const std::string& body) {
  return "<?xml version=\"1.0\"?>\n" + body + "\n";
}

// Serialises m and reads the text back into a new T.
template <typename T>
std::unique_ptr<T> Reparse(const Msg& m) {
  return std::make_unique<T>(Parse(Dump(m)));
}

inline unsigned long A(const char* dotted) { return inet_ADDR(dotted); }

}  // namespace msgtest

#endif  // ORVEL_TESTS_MSG_MSG_TEST_UTIL_H_
