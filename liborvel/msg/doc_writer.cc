#include "msg/doc_writer.h"

#include <arpa/inet.h>
#include <libxml/parser.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace orvel {
namespace msg {

void EnsureXmlInitialised() {
  static std::once_flag once;
  std::call_once(once, xmlInitParser);
}

xmlDocPtr NewDocument() {
  EnsureXmlInitialised();
  return xmlNewDoc(BAD_CAST "1.0");
}

namespace {

bool IsXmlChar(unsigned long c) {
  return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
         (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}

// Length of the reference starting at s[0] == '&' that the XML library
// resolves into text, or 0 when s does not begin one.
size_t ResolvedReferenceLength(const char* s) {
  static const char* const kPredefined[] = {"&amp;", "&lt;", "&gt;", "&quot;",
                                            "&apos;"};
  for (const char* ref : kPredefined) {
    size_t n = std::strlen(ref);
    if (std::strncmp(s, ref, n) == 0) return n;
  }
  if (s[1] != '#') return 0;
  const char* p = s + 2;
  bool hex = (*p == 'x');
  if (hex) ++p;
  unsigned long value = 0;
  const char* digits = p;
  for (; hex ? std::isxdigit(static_cast<unsigned char>(*p))
             : std::isdigit(static_cast<unsigned char>(*p));
       ++p) {
    int d = std::isdigit(static_cast<unsigned char>(*p))
                ? *p - '0'
                : std::tolower(static_cast<unsigned char>(*p)) - 'a' + 10;
    value = value * (hex ? 16 : 10) + d;
    if (value > 0x10FFFF) return 0;
  }
  if (p == digits || *p != ';' || !IsXmlChar(value)) return 0;
  return static_cast<size_t>(p - s) + 1;
}

}  // namespace

std::string FormatInt(unsigned long value) {
  char buf[16];
  std::snprintf(buf, sizeof(buf), "%d",
                static_cast<int32_t>(static_cast<uint32_t>(value)));
  return buf;
}

std::string FormatDouble(double value) {
  char buf[64];
  int n = std::snprintf(buf, sizeof(buf), "%f", value);
  if (n >= 0 && static_cast<size_t>(n) < sizeof(buf)) return buf;
  // Large magnitudes need more than the usual buffer; never cut the digits.
  std::string out(static_cast<size_t>(n) + 1, '\0');
  std::snprintf(&out[0], out.size(), "%f", value);
  out.resize(static_cast<size_t>(n));
  return out;
}

std::string EscapeBareAmpersands(const std::string& value) {
  if (value.find('&') == std::string::npos) return value;
  std::string out;
  out.reserve(value.size() + 8);
  const char* s = value.c_str();
  for (size_t i = 0; i < value.size(); ++i) {
    if (s[i] != '&') {
      out += s[i];
      continue;
    }
    size_t n = ResolvedReferenceLength(s + i);
    if (n == 0) {
      out += "&amp;";
    } else {
      out.append(s + i, n);
      i += n - 1;
    }
  }
  return out;
}

xmlNodePtr AddText(xmlNodePtr parent, const char* name, const char* text) {
  return xmlNewChild(parent, nullptr, BAD_CAST name, BAD_CAST text);
}

xmlNodePtr AddInt(xmlNodePtr parent, const char* name, unsigned long value) {
  char buf[16];
  std::snprintf(buf, sizeof(buf), "%d",
                static_cast<int32_t>(static_cast<uint32_t>(value)));
  return AddText(parent, name, buf);
}

xmlNodePtr AddAddress(xmlNodePtr parent, const char* name, unsigned long addr) {
  struct in_addr in;
  in.s_addr = static_cast<in_addr_t>(addr & 0xffffffffUL);
  char buf[INET_ADDRSTRLEN];
  inet_ntop(AF_INET, &in, buf, sizeof(buf));
  return AddText(parent, name, buf);
}

xmlNodePtr AddDouble(xmlNodePtr parent, const char* name, double value) {
  return AddText(parent, name, FormatDouble(value).c_str());
}

xmlNodePtr AddString(xmlNodePtr parent, const char* name,
                     const std::string& value) {
  if (value.empty()) return AddText(parent, name, nullptr);
  return AddText(parent, name, EscapeBareAmpersands(value).c_str());
}

xmlNodePtr AddList(xmlNodePtr parent, const char* name, size_t count) {
  xmlNodePtr list = AddText(parent, name, nullptr);
  char buf[16];
  std::snprintf(buf, sizeof(buf), "%d", static_cast<int32_t>(count));
  xmlNewProp(list, BAD_CAST "num", BAD_CAST buf);
  return list;
}

}  // namespace msg
}  // namespace orvel
