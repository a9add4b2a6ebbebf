// attr.cc: attribute-list parsing, typing, folding and formatting.
#include "slp/attr.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>

namespace orvel::slp {
namespace {

bool IsFoldSpace(char c) { return c == ' ' || c == '\r' || c == '\n' || c == '\t'; }

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool IsControl(unsigned char c) { return c < 0x20 || c == 0x7f; }

// Characters that must appear escaped inside attribute values.
bool IsValueReserved(unsigned char c) {
  switch (c) {
    case '(':
    case ')':
    case ',':
    case '\\':
    case '!':
    case '<':
    case '=':
    case '>':
    case '~':
      return true;
    default:
      return IsControl(c);
  }
}

// Tags additionally reserve '*' (wildcards in tag lists) and '_'.
bool IsTagReserved(unsigned char c) { return IsValueReserved(c) || c == '*' || c == '_'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsFoldSpace(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsFoldSpace(s.back())) s.remove_suffix(1);
  return s;
}

// Checks raw characters and escapes of one tag or value.  Unescaped
// reserved characters are always refused; in strict mode so are escapes
// of characters that need none.
bool CheckEscaped(std::string_view text, bool tag, bool strict) {
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '\\') {
      if (text.size() - i < 3) return false;
      int hi = HexDigit(text[i + 1]), lo = HexDigit(text[i + 2]);
      if (hi < 0 || lo < 0) return false;
      unsigned char decoded = static_cast<unsigned char>(hi * 16 + lo);
      if (strict && !(tag ? IsTagReserved(decoded) : IsValueReserved(decoded))) return false;
      i += 2;
      continue;
    }
    // Folding whitespace other than the space is a control byte and would
    // have to be escaped; tolerate it outside strict mode.
    if (IsFoldSpace(static_cast<char>(c)) && c != ' ') {
      if (strict) return false;
      continue;
    }
    if (tag ? IsTagReserved(c) : IsValueReserved(c)) return false;
  }
  return true;
}

bool IsOpaqueText(std::string_view escaped) {
  return escaped.size() >= 3 && escaped[0] == '\\' && (escaped[1] == 'f' || escaped[1] == 'F') &&
         (escaped[2] == 'f' || escaped[2] == 'F');
}

}  // namespace

std::string FoldWhitespace(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  bool pending_space = false;
  for (char c : text) {
    if (IsFoldSpace(c)) {
      pending_space = !out.empty();
      continue;
    }
    if (pending_space) out.push_back(' ');
    pending_space = false;
    out.push_back(c);
  }
  return out;
}

std::string FoldKey(std::string_view text) {
  std::string out = FoldWhitespace(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

bool Unescape(std::string_view text, std::string* out) {
  out->clear();
  out->reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      out->push_back(text[i]);
      continue;
    }
    if (text.size() - i < 3) return false;
    int hi = HexDigit(text[i + 1]), lo = HexDigit(text[i + 2]);
    if (hi < 0 || lo < 0) return false;
    out->push_back(static_cast<char>(hi * 16 + lo));
    i += 2;
  }
  return true;
}

std::string EscapeValue(std::string_view raw) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(raw.size());
  for (char ch : raw) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (IsValueReserved(c)) {
      out.push_back('\\');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 15]);
    } else {
      out.push_back(ch);
    }
  }
  return out;
}

AttrValue ClassifyValue(std::string_view unescaped) {
  AttrValue v;
  std::string folded = FoldKey(unescaped);
  std::string_view s = folded;
  if (s == "true" || s == "false") {
    v.type = AttrType::kBoolean;
    v.key = folded;
    return v;
  }
  size_t digits_from = (!s.empty() && s[0] == '-') ? 1 : 0;
  bool all_digits =
      s.size() > digits_from &&
      std::all_of(s.begin() + digits_from, s.end(), [](char c) { return c >= '0' && c <= '9'; });
  if (all_digits && s.size() <= 40) {
    errno = 0;
    long long n = std::strtoll(folded.c_str(), nullptr, 10);
    if (errno == 0 && n >= INT32_MIN && n <= INT32_MAX) {
      v.type = AttrType::kInteger;
      v.integer = static_cast<int32_t>(n);
      v.key = std::to_string(v.integer);
      return v;
    }
  }
  v.type = AttrType::kString;
  v.key = std::move(folded);
  return v;
}

std::optional<AttrValue> ClassifyEscaped(std::string_view escaped) {
  std::string_view trimmed = Trim(escaped);
  std::string raw;
  if (IsOpaqueText(trimmed)) {
    // An opaque is nothing but \HH escapes; the first (\FF) is the marker.
    if (trimmed.size() % 3 != 0) return std::nullopt;
    for (size_t i = 0; i < trimmed.size(); i += 3) {
      if (trimmed[i] != '\\') return std::nullopt;
    }
    if (!Unescape(trimmed.substr(3), &raw)) return std::nullopt;
    AttrValue v;
    v.type = AttrType::kOpaque;
    v.key = std::move(raw);
    return v;
  }
  if (!Unescape(escaped, &raw)) return std::nullopt;
  return ClassifyValue(raw);
}

std::string IndexKey(const AttrValue& value) {
  static const char kPrefix[] = {'s', 'i', 'b', 'o'};
  std::string key(1, kPrefix[static_cast<int>(value.type)]);
  key.push_back(':');
  key += value.key;
  return key;
}

bool ParseTagList(std::string_view text, std::vector<std::string>* out) {
  out->clear();
  size_t start = 0;
  while (start <= text.size()) {
    size_t comma = text.find(',', start);
    if (comma == std::string_view::npos) comma = text.size();
    std::string raw;
    if (!Unescape(text.substr(start, comma - start), &raw)) return false;
    std::string key = FoldKey(raw);
    if (!key.empty()) out->push_back(std::move(key));
    start = comma + 1;
  }
  return true;
}

bool WildcardMatch(std::string_view pattern, std::string_view text) {
  // Iterative glob with single back-tracking point: linear in practice and
  // never recursive, so hostile patterns cannot exhaust the stack.
  size_t p = 0, t = 0, star = std::string_view::npos, mark = 0;
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      mark = t;
    } else if (p < pattern.size() && pattern[p] == text[t]) {
      ++p;
      ++t;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      t = ++mark;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

namespace {

// Adds one parsed attribute (tag and raw values as written) to *attrs; a
// repeated tag adds its values to the first occurrence.  *value_count
// counts tags and values against kMaxValues.
AttrError AddParsed(std::string_view tag_text, const std::vector<std::string_view>& raw_values,
                    bool strict, size_t* value_count, std::vector<Attribute>* attrs) {
  if (!CheckEscaped(tag_text, /*tag=*/true, strict)) return AttrError::kParse;
  std::string tag_raw;
  if (!Unescape(tag_text, &tag_raw)) return AttrError::kParse;
  Attribute attr;
  attr.tag = std::string(Trim(tag_text));
  attr.tag_key = FoldKey(tag_raw);
  if (attr.tag_key.empty()) return AttrError::kParse;
  for (std::string_view rv : raw_values) {
    bool opaque = IsOpaqueText(Trim(rv));
    if (!opaque && !CheckEscaped(rv, /*tag=*/false, strict)) return AttrError::kParse;
    std::optional<AttrValue> v = ClassifyEscaped(rv);
    if (!v) return AttrError::kParse;
    if (Trim(rv).empty()) return AttrError::kParse;
    attr.raw_values.emplace_back(rv);
    attr.values.push_back(std::move(*v));
  }
  *value_count += 1 + raw_values.size();
  if (*value_count > AttrList::kMaxValues) return AttrError::kTooLarge;
  auto same = std::find_if(attrs->begin(), attrs->end(),
                           [&](const Attribute& a) { return a.tag_key == attr.tag_key; });
  // Values of one attribute may mix types, "(mix=5,this,true)", as the
  // widely deployed agents take them: each value keeps its own type, and a
  // predicate term is tried against the values of its type.
  if (same != attrs->end()) {
    same->raw_values.insert(same->raw_values.end(), attr.raw_values.begin(), attr.raw_values.end());
    same->values.insert(same->values.end(), attr.values.begin(), attr.values.end());
  } else {
    attrs->push_back(std::move(attr));
  }
  return AttrError::kOk;
}

// The values of "(tag=v1,v2)" after the '=', as written.
bool SplitValues(std::string_view rest, std::vector<std::string_view>* values) {
  size_t start = 0;
  while (true) {
    size_t comma = rest.find(',', start);
    values->push_back(rest.substr(
        start, comma == std::string_view::npos ? std::string_view::npos : comma - start));
    if (comma == std::string_view::npos) return true;
    start = comma + 1;
    if (values->size() > AttrList::kMaxValues) return false;
  }
}

}  // namespace

AttrError AttrList::Parse(std::string_view text, bool strict, AttrList* out) {
  out->attrs_.clear();
  AttrList result;
  size_t value_count = 0;
  size_t pos = 0;
  while (pos < text.size()) {
    while (pos < text.size() && IsFoldSpace(text[pos])) ++pos;
    if (pos == text.size()) break;
    AttrError err;
    if (text[pos] == '(') {
      size_t close = text.find(')', pos);
      if (close == std::string_view::npos) return AttrError::kParse;
      std::string_view inner = text.substr(pos + 1, close - pos - 1);
      size_t eq = inner.find('=');
      if (eq == std::string_view::npos) return AttrError::kParse;
      std::vector<std::string_view> values;
      if (!SplitValues(inner.substr(eq + 1), &values)) return AttrError::kTooLarge;
      err = AddParsed(inner.substr(0, eq), values, strict, &value_count, &result.attrs_);
      pos = close + 1;
    } else {
      size_t comma = text.find(',', pos);
      if (comma == std::string_view::npos) comma = text.size();
      err = AddParsed(text.substr(pos, comma - pos), {}, strict, &value_count, &result.attrs_);
      pos = comma;
    }
    if (err != AttrError::kOk) return err;
    while (pos < text.size() && IsFoldSpace(text[pos])) ++pos;
    if (pos == text.size()) break;
    if (text[pos] != ',') return AttrError::kParse;
    ++pos;
    // A trailing comma leaves an empty element, which is malformed.
    if (Trim(text.substr(pos)).empty()) return AttrError::kParse;
  }
  *out = std::move(result);
  return AttrError::kOk;
}

namespace {

void FormatOne(const Attribute& a, std::string* out) {
  if (!out->empty()) out->push_back(',');
  if (a.keyword()) {
    *out += a.tag;
    return;
  }
  out->push_back('(');
  *out += a.tag;
  out->push_back('=');
  for (size_t i = 0; i < a.raw_values.size(); ++i) {
    if (i) out->push_back(',');
    *out += a.raw_values[i];
  }
  out->push_back(')');
}

bool AnyMatch(const std::vector<std::string>& patterns, const std::string& tag_key) {
  for (const std::string& p : patterns) {
    if (WildcardMatch(p, tag_key)) return true;
  }
  return false;
}

}  // namespace

std::string AttrList::Format() const {
  std::string out;
  for (const Attribute& a : attrs_) FormatOne(a, &out);
  return out;
}

std::string AttrList::Format(const std::vector<std::string>& patterns) const {
  if (patterns.empty()) return Format();
  std::string out;
  for (const Attribute& a : attrs_) {
    if (AnyMatch(patterns, a.tag_key)) FormatOne(a, &out);
  }
  return out;
}

const Attribute* AttrList::Find(std::string_view tag_key) const {
  for (const Attribute& a : attrs_) {
    if (a.tag_key == tag_key) return &a;
  }
  return nullptr;
}

void AttrList::Merge(const AttrList& update) {
  for (const Attribute& u : update.attrs_) {
    auto it = std::find_if(attrs_.begin(), attrs_.end(),
                           [&](const Attribute& a) { return a.tag_key == u.tag_key; });
    if (it != attrs_.end()) {
      *it = u;
    } else {
      attrs_.push_back(u);
    }
  }
}

void AttrList::Union(const AttrList& other) {
  AttrUnion u(SIZE_MAX, SIZE_MAX);
  u.Add(*this, {});
  u.Add(other, {});
  attrs_ = u.TakeAttributes();
}

bool AttrUnion::Spend(size_t bytes) {
  if (bytes > max_bytes_ - std::min(bytes_, max_bytes_)) {
    truncated_ = true;
    return false;
  }
  bytes_ += bytes;
  return true;
}

bool AttrUnion::Add(const AttrList& list, const std::vector<std::string>& patterns) {
  for (const Attribute& a : list.attributes()) {
    if (truncated_) return false;
    if (!patterns.empty() && !AnyMatch(patterns, a.tag_key)) continue;
    auto [it, inserted] = by_tag_.emplace(a.tag_key, attrs_.size());
    if (inserted) {
      if (!Spend(a.tag.size() + 3)) {
        by_tag_.erase(it);
        return false;
      }
      attrs_.push_back(Attribute{a.tag, a.tag_key, {}, {}});
      keys_.emplace_back();
    }
    Attribute& into = attrs_[it->second];
    std::unordered_set<std::string>& keys = keys_[it->second];
    for (size_t i = 0; i < a.values.size(); ++i) {
      if (++values_seen_ > max_values_) {
        truncated_ = true;
        return false;
      }
      if (keys.count(IndexKey(a.values[i])) != 0) continue;
      if (!Spend(a.raw_values[i].size() + 1)) return false;
      keys.insert(IndexKey(a.values[i]));
      into.values.push_back(a.values[i]);
      into.raw_values.push_back(a.raw_values[i]);
    }
  }
  return !truncated_;
}

std::string AttrUnion::Format() const {
  std::string out;
  for (const Attribute& a : attrs_) FormatOne(a, &out);
  return out;
}

void AttrList::RemoveTags(const std::vector<std::string>& patterns) {
  attrs_.erase(std::remove_if(attrs_.begin(), attrs_.end(),
                              [&](const Attribute& a) { return AnyMatch(patterns, a.tag_key); }),
               attrs_.end());
}

}  // namespace orvel::slp
