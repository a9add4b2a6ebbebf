// attr.h: SLPv2 attribute lists, "(a=1,2),(b=x),kw", with \HH escapes.
//
// An AttrList keeps each attribute twice: the text as registered (so that
// attribute replies return the original case, spacing and escapes) and a
// typed comparison form (integer, boolean, opaque or folded string) used by
// predicates and by the agent's equality index.  Values are immutable
// after parsing; an AttrList is a plain value type and, like std::vector,
// safe for concurrent const use only.
#ifndef ORVEL_LIBORVEL_SLP_ATTR_H_
#define ORVEL_LIBORVEL_SLP_ATTR_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace orvel::slp {

enum class AttrType { kString, kInteger, kBoolean, kOpaque };

struct AttrValue {
  AttrType type = AttrType::kString;
  // Comparison form: strings folded (whitespace runs to one space, ends
  // trimmed, ASCII lower case); integers in canonical decimal; booleans
  // "true"/"false"; opaques the decoded bytes after the \FF marker.
  std::string key;
  int32_t integer = 0;  // kInteger only
};

struct Attribute {
  std::string tag;                      // as registered (escaped form)
  std::string tag_key;                  // unescaped, folded, lower case
  std::vector<std::string> raw_values;  // as registered; empty: keyword
  std::vector<AttrValue> values;        // parallel to raw_values
  bool keyword() const { return values.empty(); }
};

enum class AttrError {
  kOk,
  kParse,     // syntax or escape error: PARSE_ERROR
  kTooLarge,  // more attributes or values than kMaxValues
};

class AttrList {
 public:
  // Bounds the memory one registration can pin.
  static constexpr size_t kMaxValues = 4096;

  // Parses text into *out (replaced).  strict (used for registrations)
  // also refuses escapes of characters that need none, except in opaque
  // values.  Repeated tags are merged into one attribute.  On error *out
  // is left empty.
  static AttrError Parse(std::string_view text, bool strict, AttrList* out);

  // The list as registered, "(a=1,2),b"; with patterns (tag keys that may
  // hold '*', see ParseTagList) only the attributes whose tag matches.
  std::string Format() const;
  std::string Format(const std::vector<std::string>& patterns) const;

  // Attribute whose tag_key equals the given folded key, or null.  The
  // pointer is valid until the list changes.
  const Attribute* Find(std::string_view tag_key) const;

  // Incremental update: every attribute of update replaces the attribute
  // of the same tag; the others stay.
  void Merge(const AttrList& update);
  // Union for attribute replies over several services: attributes of
  // other merge in, values already present (same comparison form) are not
  // repeated.
  void Union(const AttrList& other);
  // Removes the attributes whose tags match any of the patterns.
  void RemoveTags(const std::vector<std::string>& patterns);

  bool empty() const { return attrs_.empty(); }
  const std::vector<Attribute>& attributes() const { return attrs_; }

 private:
  std::vector<Attribute> attrs_;
};

// The union of the attributes of many services, for an attribute reply to
// a request naming a service type.  Each attribute keeps a hash set of its
// values' index keys, so the work is linear in the values looked at.  Both
// the work and the result are bounded: once max_values values have been
// looked at, or the formatted list would pass max_bytes, Add takes nothing
// more and truncated() turns true.
class AttrUnion {
 public:
  AttrUnion(size_t max_values, size_t max_bytes) : max_values_(max_values), max_bytes_(max_bytes) {}

  // Takes the attributes of list whose tags match patterns (all when
  // patterns is empty, see ParseTagList); values already present under the
  // same comparison form are not repeated.  False once truncated.
  bool Add(const AttrList& list, const std::vector<std::string>& patterns);
  bool truncated() const { return truncated_; }
  // The union as registered, attributes and values in first-seen order.
  std::string Format() const;
  const std::vector<Attribute>& attributes() const { return attrs_; }
  std::vector<Attribute> TakeAttributes() { return std::move(attrs_); }

 private:
  bool Spend(size_t bytes);

  size_t max_values_;
  size_t max_bytes_;
  size_t values_seen_ = 0;
  size_t bytes_ = 0;  // of Format(), give or take the separators
  bool truncated_ = false;
  std::vector<Attribute> attrs_;
  std::unordered_map<std::string, size_t> by_tag_;     // tag_key -> index in attrs_
  std::vector<std::unordered_set<std::string>> keys_;  // parallel to attrs_
};

// Whitespace folding: runs of SPACE, CR, LF, TAB become one space, leading
// and trailing whitespace goes.  FoldKey also lower-cases ASCII letters.
std::string FoldWhitespace(std::string_view text);
std::string FoldKey(std::string_view text);

// Decodes \HH escapes into *out.  False on a '\' not followed by two hex
// digits; *out then holds garbage.
bool Unescape(std::string_view text, std::string* out);

// Escapes the reserved characters ( ) , \ ! < = > ~ and control bytes.
std::string EscapeValue(std::string_view raw);

// Typed form of one value from its unescaped text: integer when it is an
// optional '-' and digits within 32-bit signed range, boolean for
// true/false in any case, string otherwise.  Opaques are recognised only
// from the escaped form (see ClassifyEscaped).
AttrValue ClassifyValue(std::string_view unescaped);
// Same from the escaped text; recognises "\FF..." opaques.  Empty when the
// escapes are malformed.
std::optional<AttrValue> ClassifyEscaped(std::string_view escaped);

// Index key combining type and comparison form; two values compare equal
// under '=' exactly when their index keys are equal.
std::string IndexKey(const AttrValue& value);

// Splits a tag list "a,b*,c" into folded, unescaped patterns.  Empty
// elements are skipped.  False on a malformed escape.
bool ParseTagList(std::string_view text, std::vector<std::string>* out);
// Glob match where '*' in pattern matches any run of bytes.  Both sides
// are expected in folded form.
bool WildcardMatch(std::string_view pattern, std::string_view text);

}  // namespace orvel::slp

#endif  // ORVEL_LIBORVEL_SLP_ATTR_H_
