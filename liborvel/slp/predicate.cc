// predicate.cc: filter parser (bounded recursion) and typed evaluation.
#include "slp/predicate.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace orvel::slp {
namespace {

bool IsSpace(char c) { return c == ' ' || c == '\r' || c == '\n' || c == '\t'; }

// Lower-cases and collapses whitespace runs; trims only the requested ends,
// because inside a substring pattern "foo *" the space before '*' matters.
std::string FoldPiece(std::string_view s, bool trim_front, bool trim_back) {
  std::string out;
  bool in_space = false;
  for (char c : s) {
    if (IsSpace(c)) {
      in_space = true;
      continue;
    }
    if (in_space && (!out.empty() || !trim_front)) out.push_back(' ');
    in_space = false;
    out.push_back((c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c);
  }
  if (in_space && !trim_back && (!out.empty() || !trim_front)) out.push_back(' ');
  return out;
}

bool SubstringMatch(const std::vector<std::string>& pieces, std::string_view v) {
  const std::string& first = pieces.front();
  const std::string& last = pieces.back();
  if (v.size() < first.size() + last.size()) return false;
  if (v.compare(0, first.size(), first) != 0) return false;
  if (v.compare(v.size() - last.size(), last.size(), last) != 0) return false;
  size_t pos = first.size();
  size_t end = v.size() - last.size();
  for (size_t i = 1; i + 1 < pieces.size(); ++i) {
    if (pieces[i].empty()) continue;
    size_t found = v.substr(0, end).find(pieces[i], pos);
    if (found == std::string_view::npos) return false;
    pos = found + pieces[i].size();
  }
  return true;
}

}  // namespace

class Predicate::Parser {
 public:
  Parser(std::string_view text, Predicate* p) : s_(text), p_(p) {}

  bool Run(std::string* error) {
    SkipSpace();
    if (ParseFilter(0) < 0) {
      if (error) *error = error_;
      return false;
    }
    SkipSpace();
    if (pos_ != s_.size()) {
      if (error) *error = "text after the filter";
      return false;
    }
    return true;
  }

 private:
  int Fail(const char* why) {
    if (error_.empty()) error_ = why;
    return -1;
  }
  void SkipSpace() {
    while (pos_ < s_.size() && IsSpace(s_[pos_])) ++pos_;
  }
  int NewNode(Kind kind) {
    if (p_->nodes_.size() >= kMaxNodes) return -1;
    p_->nodes_.emplace_back();
    p_->nodes_.back().kind = kind;
    return static_cast<int>(p_->nodes_.size() - 1);
  }

  int ParseFilter(int depth) {
    if (depth > kMaxDepth) return Fail("filter nested too deeply");
    if (pos_ >= s_.size() || s_[pos_] != '(') return Fail("expected '('");
    ++pos_;
    SkipSpace();
    if (pos_ >= s_.size()) return Fail("unterminated filter");
    char c = s_[pos_];
    if (c == '&' || c == '|' || c == '!') {
      ++pos_;
      int self = NewNode(c == '&' ? Kind::kAnd : c == '|' ? Kind::kOr : Kind::kNot);
      if (self < 0) return Fail("too many terms");
      std::vector<int> children;
      while (true) {
        SkipSpace();
        if (pos_ >= s_.size()) return Fail("unterminated filter");
        if (s_[pos_] == ')') break;
        int child = ParseFilter(depth + 1);
        if (child < 0) return -1;
        children.push_back(child);
      }
      ++pos_;  // ')'
      if (children.empty()) return Fail("operator without operands");
      if (c == '!' && children.size() != 1) return Fail("'!' takes one filter");
      p_->nodes_[self].children = std::move(children);
      if (c == '&') DetectNearest(self);
      return self;
    }
    return ParseItem();
  }

  // The comparison an operator character before '=' makes ("~=", "<=",
  // ">="); any other character belongs to the tag and the comparison is "=".
  static Kind OperatorBefore(char c) {
    switch (c) {
      case '~':
        return Kind::kApprox;
      case '<':
        return Kind::kLessEq;
      case '>':
        return Kind::kGreaterEq;
      default:
        return Kind::kEqual;
    }
  }

  // The folded pieces between the '*'s of a substring value; false on a bad
  // escape.
  static bool SubstringPieces(std::string_view value, std::vector<std::string>* pieces) {
    std::vector<std::string_view> raw_pieces;
    size_t start = 0;
    while (true) {
      size_t star = value.find('*', start);
      raw_pieces.push_back(
          value.substr(start, star == std::string_view::npos ? star : star - start));
      if (star == std::string_view::npos) break;
      start = star + 1;
    }
    for (size_t i = 0; i < raw_pieces.size(); ++i) {
      std::string raw;
      if (!Unescape(raw_pieces[i], &raw)) return false;
      pieces->push_back(FoldPiece(raw, i == 0, i + 1 == raw_pieces.size()));
    }
    return true;
  }

  int ParseItem() {
    size_t close = s_.find(')', pos_);
    if (close == std::string_view::npos) return Fail("missing ')'");
    std::string_view item = s_.substr(pos_, close - pos_);
    pos_ = close + 1;
    if (item.find('(') != std::string_view::npos) return Fail("'(' inside a comparison");
    if (item.find('\0') != std::string_view::npos) return Fail("NUL in a comparison");
    size_t eq = item.find('=');
    if (eq == std::string_view::npos || eq == 0) return Fail("comparison without operator");
    Kind kind = OperatorBefore(item[eq - 1]);
    std::string_view tag_text = item.substr(0, kind == Kind::kEqual ? eq : eq - 1);
    std::string_view value = item.substr(eq + 1);
    std::string tag_raw;
    if (!Unescape(tag_text, &tag_raw)) return Fail("bad escape in tag");
    std::string tag_key = FoldKey(tag_raw);
    if (tag_key.empty()) return Fail("empty tag");
    if (tag_key.back() == ':') return Fail("extensible match is not supported");
    if (tag_key.find_first_of("*<>~=()") != std::string::npos) return Fail("bad character in tag");
    if (value.empty()) return Fail("empty value");

    bool wildcard = value.find('*') != std::string_view::npos;
    if (wildcard && kind != Kind::kEqual) return Fail("'*' with an ordering operator");
    int self = NewNode(kind);
    if (self < 0) return Fail("too many terms");
    Node& n = p_->nodes_[self];
    n.tag_key = std::move(tag_key);
    if (FoldPiece(value, true, true) == "*") {
      n.kind = Kind::kPresent;
      return self;
    }
    if (wildcard) {
      n.kind = Kind::kSubstring;
      if (!SubstringPieces(value, &n.pieces)) return Fail("bad escape in value");
      return self;
    }
    std::optional<AttrValue> term = ClassifyEscaped(value);
    if (!term) return Fail("bad escape in value");
    n.term = std::move(*term);
    return self;
  }

  void DetectNearest(int self) {
    Node& n = p_->nodes_[self];
    std::optional<std::vector<double>> coords;
    for (int c : n.children) {
      const Node& ch = p_->nodes_[c];
      if (ch.kind != Kind::kEqual) continue;
      if (n.num_child < 0 && ch.tag_key == "x-pelm-num" && ch.term.type == AttrType::kInteger &&
          ch.term.integer >= 0) {
        n.num_child = c;
      } else if (n.clients_child < 0 && ch.tag_key == "x-pelm-clients" &&
                 ch.term.type != AttrType::kOpaque) {
        coords = ParseCoordinates(ch.term.key);
        if (coords) n.clients_child = c;
      }
    }
    if (n.num_child < 0 || n.clients_child < 0) {
      n.num_child = n.clients_child = -1;
      return;
    }
    NearestTerm t;
    t.k = static_cast<size_t>(p_->nodes_[n.num_child].term.integer);
    t.coords = std::move(*coords);
    n.nearest = static_cast<int>(p_->nearest_.size());
    p_->nearest_.push_back(std::move(t));
    p_->nearest_node_.push_back(self);
  }

  std::string_view s_;
  Predicate* p_;
  size_t pos_ = 0;
  std::string error_;
};

std::optional<Predicate> Predicate::Parse(std::string_view text, std::string* error) {
  Predicate p;
  if (text.size() > kMaxLength) {
    if (error) *error = "filter too long";
    return std::nullopt;
  }
  bool blank = std::all_of(text.begin(), text.end(), IsSpace);
  if (blank) return p;
  Parser parser(text, &p);
  if (!parser.Run(error)) return std::nullopt;
  return p;
}

bool Predicate::Matches(const AttrList& attrs, const NearestFn* nearest) const {
  if (nodes_.empty()) return true;
  if (attrs.empty()) return false;
  return Eval(0, attrs, nearest);
}

bool Predicate::MatchesNearestRest(size_t term, const AttrList& attrs) const {
  if (term >= nearest_node_.size()) return false;
  const Node& n = nodes_[nearest_node_[term]];
  for (int c : n.children) {
    if (c == n.num_child || c == n.clients_child) continue;
    if (!Eval(c, attrs, nullptr)) return false;
  }
  return true;
}

bool Predicate::EvalItem(const Node& n, const Attribute& a, bool negate) const {
  for (const AttrValue& v : a.values) {
    bool hit = false;
    if (n.kind == Kind::kSubstring) {
      hit = v.type == AttrType::kString && SubstringMatch(n.pieces, v.key);
    } else if (v.type == n.term.type) {
      switch (n.kind) {
        case Kind::kEqual:
        case Kind::kApprox:
          hit = v.type == AttrType::kInteger ? v.integer == n.term.integer : v.key == n.term.key;
          break;
        case Kind::kLessEq:
        case Kind::kGreaterEq: {
          if (v.type == AttrType::kBoolean) break;
          int cmp = v.type == AttrType::kInteger ? (v.integer < n.term.integer   ? -1
                                                    : v.integer > n.term.integer ? 1
                                                                                 : 0)
                                                 : v.key.compare(n.term.key);
          hit = n.kind == Kind::kLessEq ? cmp <= 0 : cmp >= 0;
          break;
        }
        default:
          break;
      }
    }
    if (hit != negate) return true;
  }
  return false;
}

bool Predicate::Eval(int index, const AttrList& attrs, const NearestFn* nearest) const {
  const Node& n = nodes_[index];
  switch (n.kind) {
    case Kind::kAnd:
      if (n.nearest >= 0 && nearest) return (*nearest)(static_cast<size_t>(n.nearest));
      for (int c : n.children) {
        if (!Eval(c, attrs, nearest)) return false;
      }
      return true;
    case Kind::kOr:
      for (int c : n.children) {
        if (Eval(c, attrs, nearest)) return true;
      }
      return false;
    case Kind::kNot: {
      const Node& child = nodes_[n.children[0]];
      switch (child.kind) {
        case Kind::kAnd:
        case Kind::kOr:
        case Kind::kNot:
        case Kind::kPresent:
          return !Eval(n.children[0], attrs, nearest);
        default: {
          const Attribute* a = attrs.Find(child.tag_key);
          return a != nullptr && EvalItem(child, *a, /*negate=*/true);
        }
      }
    }
    case Kind::kPresent:
      return attrs.Find(n.tag_key) != nullptr;
    default: {
      const Attribute* a = attrs.Find(n.tag_key);
      return a != nullptr && EvalItem(n, *a, /*negate=*/false);
    }
  }
}

bool Predicate::PlanCandidates(const EqualFn& equal, const NearestSetFn& nearest,
                               std::vector<uint64_t>* out) const {
  out->clear();
  if (nodes_.empty()) return false;
  const std::vector<uint64_t>* borrowed = nullptr;
  if (!Plan(0, equal, nearest, &borrowed, out)) return false;
  if (borrowed) *out = *borrowed;
  return true;
}

bool Predicate::Plan(int index, const EqualFn& equal, const NearestSetFn& nearest,
                     const std::vector<uint64_t>** borrowed, std::vector<uint64_t>* out) const {
  const Node& n = nodes_[index];
  *borrowed = nullptr;
  switch (n.kind) {
    case Kind::kEqual:
    case Kind::kApprox:
      // Null: the caller's budget is spent, the term cannot narrow.
      *borrowed = equal(n.tag_key, IndexKey(n.term));
      return *borrowed != nullptr;
    case Kind::kAnd: {
      if (n.nearest >= 0) {
        *borrowed = nearest(static_cast<size_t>(n.nearest));
        return true;
      }
      // Start from the smallest planned operand and keep the ids that the
      // others hold too: cheap when one term is selective (addr=A) and
      // another is not (mask=255.255.255.255).
      std::vector<std::vector<uint64_t>> owned;
      owned.reserve(n.children.size());
      std::vector<const std::vector<uint64_t>*> sets;
      for (int c : n.children) {
        const std::vector<uint64_t>* b = nullptr;
        owned.emplace_back();
        if (!Plan(c, equal, nearest, &b, &owned.back())) continue;
        sets.push_back(b ? b : &owned.back());
      }
      if (sets.empty()) return false;
      auto smallest = std::min_element(sets.begin(), sets.end(),
                                       [](auto* a, auto* b) { return a->size() < b->size(); });
      std::swap(*smallest, sets.front());
      out->clear();
      for (uint64_t id : *sets.front()) {
        bool everywhere = std::all_of(sets.begin() + 1, sets.end(), [&](auto* s) {
          return std::binary_search(s->begin(), s->end(), id);
        });
        if (everywhere) out->push_back(id);
      }
      return true;
    }
    case Kind::kOr: {
      std::vector<uint64_t> all;
      for (int c : n.children) {
        const std::vector<uint64_t>* b = nullptr;
        std::vector<uint64_t> ids;
        if (!Plan(c, equal, nearest, &b, &ids)) return false;
        const std::vector<uint64_t>& use = b ? *b : ids;
        all.insert(all.end(), use.begin(), use.end());
      }
      std::sort(all.begin(), all.end());
      all.erase(std::unique(all.begin(), all.end()), all.end());
      *out = std::move(all);
      return true;
    }
    default:
      return false;
  }
}

}  // namespace orvel::slp
