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
  static const char* const kPredefined[] = {"&amp;", "&lt;", "&gt;", "&quot;", "&apos;"};
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
  std::snprintf(buf, sizeof(buf), "%d", static_cast<int32_t>(static_cast<uint32_t>(value)));
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

namespace {

// An element holding text that has no '&': the text becomes one text node
// as it stands, the same tree xmlNewChild builds for it, without scanning
// the text for references.
xmlNodePtr AddPlainText(xmlNodePtr parent, const char* name, const char* text) {
  return xmlNewTextChild(parent, nullptr, BAD_CAST name, BAD_CAST text);
}

// "%d" of the low 32 bits as a signed number, without the printf machinery
// (documents carry thousands of these).
char* FormatInt32(char* end, unsigned long value) {
  const int32_t v = static_cast<int32_t>(static_cast<uint32_t>(value));
  uint32_t u = v < 0 ? 0u - static_cast<uint32_t>(v) : static_cast<uint32_t>(v);
  char* p = end;
  *--p = '\0';
  do {
    *--p = static_cast<char>('0' + u % 10);
    u /= 10;
  } while (u != 0);
  if (v < 0) *--p = '-';
  return p;
}

}  // namespace

xmlNodePtr AddText(xmlNodePtr parent, const char* name, const char* text) {
  // Empty text stays an empty element ("<t/>"), as xmlNewChild makes it.
  if (text != nullptr && *text != '\0' && std::strchr(text, '&') == nullptr) {
    return AddPlainText(parent, name, text);
  }
  return xmlNewChild(parent, nullptr, BAD_CAST name, BAD_CAST text);
}

xmlNodePtr AddInt(xmlNodePtr parent, const char* name, unsigned long value) {
  char buf[16];
  return AddPlainText(parent, name, FormatInt32(buf + sizeof buf, value));
}

xmlNodePtr AddAddress(xmlNodePtr parent, const char* name, unsigned long addr) {
  // Network byte order: the first octet is the lowest-addressed byte.
  const uint32_t a = static_cast<uint32_t>(addr & 0xffffffffUL);
  unsigned char octets[4];
  std::memcpy(octets, &a, sizeof octets);
  char buf[INET_ADDRSTRLEN];
  char* p = buf;
  for (int i = 0; i < 4; ++i) {
    unsigned v = octets[i];
    if (v >= 100) *p++ = static_cast<char>('0' + v / 100);
    if (v >= 10) *p++ = static_cast<char>('0' + v / 10 % 10);
    *p++ = static_cast<char>('0' + v % 10);
    *p++ = i < 3 ? '.' : '\0';
  }
  return AddPlainText(parent, name, buf);
}

xmlNodePtr AddDouble(xmlNodePtr parent, const char* name, double value) {
  return AddText(parent, name, FormatDouble(value).c_str());
}

xmlNodePtr AddString(xmlNodePtr parent, const char* name, const std::string& value) {
  if (value.empty()) return AddText(parent, name, nullptr);
  return AddText(parent, name, EscapeBareAmpersands(value).c_str());
}

xmlNodePtr AddList(xmlNodePtr parent, const char* name, size_t count) {
  xmlNodePtr list = AddText(parent, name, nullptr);
  char buf[16];
  xmlNewProp(list, BAD_CAST "num", BAD_CAST FormatInt32(buf + sizeof buf, count));
  return list;
}

}  // namespace msg
}  // namespace orvel
