// doc_reader.h: the one positional reader behind every document constructor.
//
// A message body is read by position: the n-th significant child of an
// element is the n-th field, whatever its name.  Significant children are
// elements and text that is not only white space; comments, processing
// instructions and whitespace-only text are stepped over, so a pretty-printed
// document reads like a compact one.
//
// The reader never follows a missing node.  The first read that finds no
// child, no "num", or a count outside the limits fails the reader; later
// reads return defaults and the document constructor marks its message
// invalid.
#ifndef ORVEL_LIBORVEL_MSG_DOC_READER_H_
#define ORVEL_LIBORVEL_MSG_DOC_READER_H_

#include <libxml/tree.h>

#include <cstdint>
#include <string>
#include <vector>

namespace orvel {
namespace msg {

// Unsigned decimal as every peer reads it (a 32-bit strtoul): leading white
// space, optional sign, digits up to the first other character.  No digits
// gives 0; a minus sign negates modulo 2^32; a magnitude beyond 32 bits
// gives 4294967295.
uint32_t ParseUnsigned(const char* text);
// The same with a signed result; beyond the int32 range the nearest limit.
int32_t ParseSigned(const char* text);
// Decimal floating point (strtod); text that is no number gives 0.0.
double ParseDouble(const char* text);

// First / next significant child (see above), or null.
xmlNodePtr FirstPositional(const xmlNode* parent);
xmlNodePtr NextPositional(const xmlNode* node);

class DocReader;

// The text content of a node: its text and CDATA, with those of its
// descendant elements.  Borrows the text of an element that holds a single
// text node (the usual case) and copies otherwise.  A null node gives "".
// An entity reference (only a document's own DTD can declare one) fails the
// reader instead of being expanded, so a small document cannot make the
// reader build texts of unbounded size.  Valid while the document lives.
class NodeText {
 public:
  NodeText(const xmlNode* node, DocReader* reader);
  NodeText(const NodeText&) = delete;
  NodeText& operator=(const NodeText&) = delete;

  const char* c_str() const { return text_; }

 private:
  std::string owned_;
  const char* text_;
};

// Position within one element's children.
struct Cursor {
  xmlNodePtr next;
};

class DocReader {
 public:
  // Reads below the root of doc; a null doc or one without root fails at
  // once.
  explicit DocReader(xmlDocPtr doc);

  bool ok() const { return ok_; }
  void Fail() { ok_ = false; }
  Cursor Root() const { return Cursor{root_ ? FirstPositional(root_) : nullptr}; }
  static Cursor Children(const xmlNode* parent) {
    return Cursor{parent ? FirstPositional(parent) : nullptr};
  }

  // The node at the cursor, advancing it; null (and failed) when there is
  // none or the reader has already failed.
  xmlNodePtr Take(Cursor* c);

  // Reads the envelope, the root's first two children, into *id and
  // *version and returns the cursor at the first body field.
  Cursor Envelope(unsigned long* id, unsigned long* version) {
    Cursor c = Root();
    *id = Unsigned(&c);
    *version = Unsigned(&c);
    return c;
  }

  // Scalars read from the next child.
  uint32_t Unsigned(Cursor* c) { return ParseUnsigned(NodeText(Take(c), this).c_str()); }
  int32_t Signed(Cursor* c) { return ParseSigned(NodeText(Take(c), this).c_str()); }
  double Double(Cursor* c) { return ParseDouble(NodeText(Take(c), this).c_str()); }
  unsigned long Address(Cursor* c);
  std::string Text(Cursor* c) { return NodeText(Take(c), this).c_str(); }

  // The count in the "num" attribute of node, checked against the limits
  // and charged to the document's total; -1 (and failed) when the node or
  // its "num" is missing or the count is out of bounds.
  long Count(const xmlNode* node);

  // Takes the next child as a list: out gets "num" default entries, and
  // read_entry(entry_node, &entry) fills them in order while entry children
  // remain.  Surplus entries are ignored.
  template <typename T, typename ReadEntry>
  void List(Cursor* c, std::vector<T>* out, ReadEntry read_entry) {
    xmlNodePtr list = Take(c);
    long n = Count(list);
    if (n < 0) return;
    out->assign(static_cast<size_t>(n), T());
    Cursor items = Children(list);
    for (long i = 0; i < n && ok_ && items.next != nullptr; ++i) {
      read_entry(Take(&items), &(*out)[static_cast<size_t>(i)]);
    }
  }

 private:
  xmlNodePtr root_;
  long entries_;  // sum of the counts read so far
  bool ok_;
};

}  // namespace msg
}  // namespace orvel

#endif  // ORVEL_LIBORVEL_MSG_DOC_READER_H_
