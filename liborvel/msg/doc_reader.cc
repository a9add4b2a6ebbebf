#include "msg/doc_reader.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>

#include "orvel/Msg.h"

namespace orvel {
namespace msg {

namespace {

// Magnitude and sign of a decimal text; saturated marks a magnitude beyond
// 32 bits.
struct Decimal {
  uint64_t magnitude = 0;
  bool negative = false;
  bool saturated = false;
};

Decimal ScanDecimal(const char* text) {
  Decimal d;
  if (text == nullptr) return d;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  while (std::isspace(*p)) ++p;
  if (*p == '+' || *p == '-') {
    d.negative = (*p == '-');
    ++p;
  }
  if (!std::isdigit(*p)) {
    d.negative = false;  // no digits: the whole text reads as 0
    return d;
  }
  for (; std::isdigit(*p); ++p) {
    if (!d.saturated) {
      d.magnitude = d.magnitude * 10 + (*p - '0');
      if (d.magnitude > 0xffffffffULL) d.saturated = true;
    }
  }
  return d;
}

bool IsWhitespaceText(const xmlNode* node) {
  const xmlChar* p = node->content;
  if (p == nullptr) return true;
  for (; *p; ++p) {
    if (*p != ' ' && *p != '\t' && *p != '\n' && *p != '\r') return false;
  }
  return true;
}

bool IsPositional(const xmlNode* node) {
  switch (node->type) {
    case XML_COMMENT_NODE:
    case XML_PI_NODE:
      return false;
    case XML_TEXT_NODE:
      return !IsWhitespaceText(node);
    default:
      return true;
  }
}

xmlNodePtr SkipFrom(xmlNodePtr node) {
  while (node != nullptr && !IsPositional(node)) node = node->next;
  return node;
}

}  // namespace

uint32_t ParseUnsigned(const char* text) {
  Decimal d = ScanDecimal(text);
  if (d.saturated) return 0xffffffffU;
  uint32_t v = static_cast<uint32_t>(d.magnitude);
  return d.negative ? static_cast<uint32_t>(0U - v) : v;
}

int32_t ParseSigned(const char* text) {
  Decimal d = ScanDecimal(text);
  if (d.negative) {
    if (d.saturated || d.magnitude >= 0x80000000ULL) return INT32_MIN;
    return -static_cast<int32_t>(d.magnitude);
  }
  if (d.saturated || d.magnitude > 0x7fffffffULL) return INT32_MAX;
  return static_cast<int32_t>(d.magnitude);
}

double ParseDouble(const char* text) {
  if (text == nullptr) return 0.0;
  return std::strtod(text, nullptr);
}

xmlNodePtr FirstPositional(const xmlNode* parent) { return SkipFrom(parent->children); }

xmlNodePtr NextPositional(const xmlNode* node) { return SkipFrom(node->next); }

namespace {

// Appends the text and CDATA below node; false on an entity reference.
bool GatherText(const xmlNode* node, std::string* out) {
  for (const xmlNode* c = node->children; c != nullptr; c = c->next) {
    switch (c->type) {
      case XML_TEXT_NODE:
      case XML_CDATA_SECTION_NODE:
        if (c->content != nullptr) {
          out->append(reinterpret_cast<const char*>(c->content));
        }
        break;
      case XML_ELEMENT_NODE:
        if (!GatherText(c, out)) return false;
        break;
      case XML_ENTITY_REF_NODE:
        return false;
      default:  // comments and processing instructions carry no text
        break;
    }
  }
  return true;
}

}  // namespace

NodeText::NodeText(const xmlNode* node, DocReader* reader) : text_("") {
  if (node == nullptr) return;
  if (node->type == XML_TEXT_NODE || node->type == XML_CDATA_SECTION_NODE) {
    if (node->content != nullptr) {
      text_ = reinterpret_cast<const char*>(node->content);
    }
    return;
  }
  const xmlNode* only = node->children;
  if (node->type == XML_ELEMENT_NODE && only != nullptr && only->next == nullptr &&
      only->type == XML_TEXT_NODE && only->content != nullptr) {
    text_ = reinterpret_cast<const char*>(only->content);
    return;
  }
  if (node->type == XML_ENTITY_REF_NODE || !GatherText(node, &owned_)) {
    owned_.clear();
    reader->Fail();
  }
  text_ = owned_.c_str();
}

DocReader::DocReader(xmlDocPtr doc)
    : root_(doc ? xmlDocGetRootElement(doc) : nullptr), entries_(0), ok_(root_ != nullptr) {}

xmlNodePtr DocReader::Take(Cursor* c) {
  if (!ok_ || c->next == nullptr) {
    ok_ = false;
    return nullptr;
  }
  xmlNodePtr node = c->next;
  c->next = NextPositional(node);
  return node;
}

unsigned long DocReader::Address(Cursor* c) { return inet_ADDR(NodeText(Take(c), this).c_str()); }

long DocReader::Count(const xmlNode* node) {
  if (!ok_ || node == nullptr || node->type != XML_ELEMENT_NODE) {
    ok_ = false;
    return -1;
  }
  // The attribute as written; DTD defaults do not count, and an entity
  // reference in it refuses the document like one in element content.
  const xmlAttr* num = node->properties;
  while (num != nullptr && !xmlStrEqual(num->name, BAD_CAST "num")) {
    num = num->next;
  }
  if (num == nullptr) {
    ok_ = false;
    return -1;
  }
  std::string text;
  for (const xmlNode* c = num->children; c != nullptr; c = c->next) {
    if (c->type != XML_TEXT_NODE) {
      ok_ = false;
      return -1;
    }
    if (c->content != nullptr) {
      text.append(reinterpret_cast<const char*>(c->content));
    }
  }
  // Taken as a signed 32-bit count, as peers do.
  int32_t n = static_cast<int32_t>(ParseUnsigned(text.c_str()));
  if (n < 0 || n > kMaxListEntries || entries_ + n > kMaxDocEntries) {
    ok_ = false;
    return -1;
  }
  entries_ += n;
  return n;
}

}  // namespace msg
}  // namespace orvel
