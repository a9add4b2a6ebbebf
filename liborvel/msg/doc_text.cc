// doc_text.cc: the direct writer and its libxml2 fallback.
#include "msg/doc_text.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "msg/doc_writer.h"

namespace orvel {
namespace msg {

namespace {

constexpr int kMaxDepth = 256;  // deeper trees go to libxml2 (no deep recursion)

// Text grown in one malloc'd block, handed to the caller as it is: large
// blocks then grow by mremap inside realloc, with no copy at the end.
class Out {
 public:
  Out() = default;
  Out(const Out&) = delete;
  Out& operator=(const Out&) = delete;
  ~Out() { std::free(data_); }

  void append(const char* s, size_t n) {
    if (failed_) return;
    if (len_ + n + 1 > cap_) {
      size_t cap = cap_ == 0 ? 4096 : cap_;
      while (len_ + n + 1 > cap) cap *= 2;
      char* grown = static_cast<char*>(std::realloc(data_, cap));
      if (grown == nullptr) {
        failed_ = true;
        return;
      }
      data_ = grown;
      cap_ = cap;
    }
    std::memcpy(data_ + len_, s, n);
    len_ += n;
  }
  void append(const char* s) { append(s, std::strlen(s)); }
  void push_back(char c) { append(&c, 1); }
  bool failed() const { return failed_; }
  size_t size() const { return len_; }
  // The NUL-terminated text, now the caller's (null if memory ran out).
  char* release() {
    if (failed_ || data_ == nullptr) return nullptr;
    data_[len_] = '\0';
    char* d = data_;
    data_ = nullptr;
    len_ = cap_ = 0;
    return d;
  }

 private:
  char* data_ = nullptr;
  size_t len_ = 0;
  size_t cap_ = 0;
  bool failed_ = false;
};

// Printable ASCII only: libxml2 turns other bytes into character
// references, and control bytes differently in text and attributes.
bool Printable(unsigned char c) { return c >= 0x20 && c <= 0x7e; }

// Appends s escaped; false, with s partly appended, at a byte that is not
// Printable.
bool AppendEscaped(Out* out, const xmlChar* s, bool attribute) {
  if (s == nullptr) return true;
  const char* run = reinterpret_cast<const char*>(s);
  const char* p = run;
  for (; *p != 0; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    if (!Printable(c)) return false;
    const char* ref = nullptr;
    switch (c) {
      case '<':
        ref = "&lt;";
        break;
      case '>':
        ref = "&gt;";
        break;
      case '&':
        ref = "&amp;";
        break;
      case '"':
        if (attribute) ref = "&quot;";
        break;
      default:
        break;
    }
    if (ref == nullptr) continue;
    out->append(run, static_cast<size_t>(p - run));
    out->append(ref);
    run = p + 1;
  }
  out->append(run, static_cast<size_t>(p - run));
  return true;
}

// A text node libxml2 escapes (not one marked to be written raw).
bool PlainTextNode(xmlNodePtr n) { return xmlStrEqual(n->name, BAD_CAST "text") != 0; }

bool PlainName(const xmlChar* name) {
  if (name == nullptr || *name == 0) return false;
  for (; *name != 0; ++name) {
    if (!Printable(*name)) return false;
  }
  return true;
}

bool WriteElement(xmlNodePtr n, int depth, Out* out) {
  if (n->type != XML_ELEMENT_NODE || n->ns != nullptr || n->nsDef != nullptr || depth > kMaxDepth ||
      !PlainName(n->name)) {
    return false;
  }
  const char* name = reinterpret_cast<const char*>(n->name);
  out->push_back('<');
  out->append(name);
  for (xmlAttrPtr a = n->properties; a != nullptr; a = a->next) {
    if (a->type != XML_ATTRIBUTE_NODE || a->ns != nullptr || !PlainName(a->name)) return false;
    const xmlChar* value = nullptr;
    if (xmlNodePtr v = a->children) {
      if (v->next != nullptr || v->type != XML_TEXT_NODE || !PlainTextNode(v)) return false;
      value = v->content;
    }
    out->push_back(' ');
    out->append(reinterpret_cast<const char*>(a->name));
    out->append("=\"");
    if (!AppendEscaped(out, value, true)) return false;
    out->push_back('"');
  }
  if (n->children == nullptr) {
    out->append("/>");
    return true;
  }
  out->push_back('>');
  for (xmlNodePtr c = n->children; c != nullptr; c = c->next) {
    if (c->type == XML_TEXT_NODE) {
      if (!PlainTextNode(c) || !AppendEscaped(out, c->content, false)) return false;
    } else if (!WriteElement(c, depth + 1, out)) {
      return false;
    }
  }
  out->append("</");
  out->append(name);
  out->push_back('>');
  return true;
}

bool WriteDirect(xmlDocPtr doc, Out* out) {
  xmlNodePtr root = doc->children;
  if (doc->type != XML_DOCUMENT_NODE || doc->encoding != nullptr || doc->standalone != -1 ||
      doc->version == nullptr ||
      std::strcmp(reinterpret_cast<const char*>(doc->version), "1.0") != 0 ||
      doc->intSubset != nullptr || doc->extSubset != nullptr || root == nullptr ||
      root != doc->last || xmlSaveNoEmptyTags != 0) {
    return false;
  }
  out->append("<?xml version=\"1.0\"?>\n");
  if (!WriteElement(root, 0, out)) return false;
  out->push_back('\n');
  return true;
}

// The direct writer's text as a string; false where it leaves doc to libxml2.
bool DirectText(xmlDocPtr doc, std::string* out) {
  Out text;
  if (!WriteDirect(doc, &text) || text.failed()) return false;
  const size_t len = text.size();
  std::unique_ptr<char, decltype(&std::free)> owned(text.release(), &std::free);
  out->assign(owned.get(), len);
  return true;
}

char* LibxmlText(xmlDocPtr doc, int* size) {
  xmlChar* buf = nullptr;
  int n = 0;
  xmlDocDumpMemory(doc, &buf, &n);
  if (size != nullptr) *size = buf != nullptr ? n : 0;
  return reinterpret_cast<char*>(buf);
}

struct DocFree {
  void operator()(xmlDocPtr d) const { xmlFreeDoc(d); }
};

// Both writers on a document holding every character the direct writer
// escapes, in text and in attributes, plus empty and nested elements.
bool WritersAgree() {
  std::unique_ptr<xmlDoc, DocFree> doc(NewDocument());
  if (!doc) return false;
  xmlNodePtr root = xmlNewDocNode(doc.get(), nullptr, BAD_CAST "r", nullptr);
  xmlDocSetRootElement(doc.get(), root);
  xmlNewProp(root, BAD_CAST "a", BAD_CAST "<>&\"' x=1;");
  xmlNewProp(root, BAD_CAST "e", BAD_CAST "");
  xmlNewTextChild(root, nullptr, BAD_CAST "t", BAD_CAST "<>&\"' a;b ]]>");
  xmlNewChild(root, nullptr, BAD_CAST "empty", nullptr);
  xmlNewTextChild(root, nullptr, BAD_CAST "blank", BAD_CAST "");
  xmlNodePtr list = xmlNewChild(root, nullptr, BAD_CAST "list", nullptr);
  xmlNewProp(list, BAD_CAST "num", BAD_CAST "2");
  xmlNewTextChild(xmlNewChild(list, nullptr, BAD_CAST "i", nullptr), nullptr, BAD_CAST "v",
                  BAD_CAST "10.0.0.1");
  xmlNewTextChild(list, nullptr, BAD_CAST "i", BAD_CAST "-2147483648");
  std::string direct;
  if (!DirectText(doc.get(), &direct)) return false;
  int n = 0;
  char* lib = LibxmlText(doc.get(), &n);
  const bool same = lib != nullptr && direct == std::string(lib, static_cast<size_t>(n));
  xmlFree(lib);
  return same;
}

bool DirectWriterEnabled() {
  static const bool enabled = WritersAgree();
  return enabled;
}

}  // namespace

char* DocumentText(xmlDocPtr doc, int* size) {
  if (size != nullptr) *size = 0;
  if (doc == nullptr) return nullptr;
  Out text;
  if (!DirectWriterEnabled() || !WriteDirect(doc, &text)) return LibxmlText(doc, size);
  const size_t len = text.size();
  // Callers release it with free(), as they would libxml2's buffer.
  char* out = text.release();
  if (out != nullptr && size != nullptr) *size = static_cast<int>(len);
  return out;
}

bool DirectDocumentTextForTesting(xmlDocPtr doc, std::string* out) {
  return doc != nullptr && DirectText(doc, out);
}

bool DirectWriterEnabledForTesting() { return DirectWriterEnabled(); }

}  // namespace msg
}  // namespace orvel
