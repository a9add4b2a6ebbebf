// predicate.h: SLPv2 search filters (LDAPv3 string filters as SLP uses
// them) parsed once and evaluated against attribute lists.
//
// Supported: (&...) (|...) (!...), tag=value, ~=, <=, >=, presence (tag=*)
// and substrings with '*'.  Comparison follows the typed rules of the
// attribute module: integers numerically, strings case-insensitively with
// whitespace folded, booleans only by '=', opaques byte-wise.  A '!'
// directly around a comparison means "the attribute is registered and some
// value fails the comparison" (so it is false for a missing attribute);
// around anything else it is plain negation.  A non-empty predicate never
// matches a service without attributes.
//
// Nearest-node terms: an '&' whose direct children include both
// (x-PELM-num=K) and (x-PELM-clients=C), with K a non-negative integer and
// C one or more numbers separated by spaces, is a nearest term.  The agent
// decides which services it holds for (the K services nearest to C); the
// predicate exposes the terms and asks the agent through NearestFn.
//
// A parsed Predicate is immutable; const methods are safe from several
// threads at once.
#ifndef ORVEL_LIBORVEL_SLP_PREDICATE_H_
#define ORVEL_LIBORVEL_SLP_PREDICATE_H_

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "pelm/coordinates_reader.h"
#include "slp/attr.h"

namespace orvel::slp {

// Coordinates in predicates and registrations read as in the coordinates
// file.
using pelm::ParseCoordinates;

struct NearestTerm {
  size_t k = 0;
  std::vector<double> coords;
};

class Predicate {
 public:
  static constexpr size_t kMaxLength = 8192;
  static constexpr int kMaxDepth = 32;
  static constexpr size_t kMaxNodes = 2048;

  // Tells whether the service under evaluation is one of the nearest set
  // of nearest term `term` (an index into nearest_terms()).
  using NearestFn = std::function<bool(size_t term)>;
  // Sorted ids of the services whose attribute tag_key has a value with
  // this index key (see IndexKey), borrowed for the duration of
  // PlanCandidates; null when the caller will not spend more on planning
  // (the term then narrows nothing).
  using EqualFn = std::function<const std::vector<uint64_t>*(const std::string& tag_key,
                                                             const std::string& index_key)>;
  // Sorted ids of the nearest set of a nearest term; same rules.
  using NearestSetFn = std::function<const std::vector<uint64_t>*(size_t term)>;

  Predicate() = default;  // the empty predicate: matches everything

  // Parses text; the empty text gives the empty predicate.  On failure
  // returns nullopt and, when error is given, a short reason.
  static std::optional<Predicate> Parse(std::string_view text, std::string* error = nullptr);

  bool empty() const { return nodes_.empty(); }

  // True when attrs satisfy the predicate.  nearest answers nearest terms;
  // without it they are evaluated as ordinary comparisons.
  bool Matches(const AttrList& attrs, const NearestFn* nearest = nullptr) const;

  const std::vector<NearestTerm>& nearest_terms() const { return nearest_; }
  // The conjuncts of a nearest term other than its x-PELM-num and
  // x-PELM-clients items; a service must satisfy them to be a candidate.
  bool MatchesNearestRest(size_t term, const AttrList& attrs) const;

  // Index planning: computes into *out a sorted superset of the ids of the
  // matching services from equality look-ups and nearest sets.  Returns
  // false when the predicate cannot be narrowed (a full scan is needed).
  bool PlanCandidates(const EqualFn& equal, const NearestSetFn& nearest,
                      std::vector<uint64_t>* out) const;

 private:
  enum class Kind { kAnd, kOr, kNot, kPresent, kEqual, kApprox, kLessEq, kGreaterEq, kSubstring };
  struct Node {
    Kind kind = Kind::kAnd;
    std::vector<int> children;
    std::string tag_key;
    AttrValue term;                   // comparisons
    std::vector<std::string> pieces;  // substring: initial, middle..., final (folded)
    int nearest = -1;                 // kAnd: index into nearest_, or -1
    int num_child = -1, clients_child = -1;
  };
  class Parser;

  bool Eval(int node, const AttrList& attrs, const NearestFn* nearest) const;
  bool EvalItem(const Node& n, const Attribute& a, bool negate) const;
  // Plans one node: *borrowed is set to an index list when the node is a
  // leaf look-up (no copy), otherwise *out is filled.
  bool Plan(int node, const EqualFn& equal, const NearestSetFn& nearest,
            const std::vector<uint64_t>** borrowed, std::vector<uint64_t>* out) const;

  std::vector<Node> nodes_;  // nodes_[0] is the root
  std::vector<NearestTerm> nearest_;
  std::vector<int> nearest_node_;  // nearest_[i] belongs to nodes_[nearest_node_[i]]
};

}  // namespace orvel::slp

#endif  // ORVEL_LIBORVEL_SLP_PREDICATE_H_
