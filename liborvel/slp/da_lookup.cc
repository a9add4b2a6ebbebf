// da_lookup.cc: the directory agent's look-ups (SrvRqst, AttrRqst,
// SrvTypeRqst), each in named steps.
//
// Every look-up takes the lock only to purge expired entries and to copy
// the pointers of its candidates (plus the nearest-term ranking, bounded by
// kMaxNearestTerms); matching, unions, sorting and formatting run after the
// lock is released, on entries that never change.
#include <algorithm>
#include <cmath>
#include <limits>

#include "slp/da_store.h"
#include "slp/predicate.h"
#include "slp/wire.h"

namespace orvel::slp {
namespace {

// Naming authority of a normalized type: text after the last '.' of the
// abstract (first) component; empty for IANA types.
std::string NamingAuthority(const std::string& type_key) {
  std::string first = type_key.substr(0, type_key.find(':'));
  size_t dot = first.rfind('.');
  return dot == std::string::npos ? std::string() : first.substr(dot + 1);
}

double Distance2(const std::vector<double>& a, const std::vector<double>& b) {
  size_t n = std::min(a.size(), b.size());
  double sum = 0;
  for (size_t i = 0; i < n; ++i) sum += (a[i] - b[i]) * (a[i] - b[i]);
  return sum;
}

std::string Joined(const std::vector<std::string>& parts) {
  std::string out;
  for (const std::string& p : parts) {
    out += p;
    out.push_back('\0');
  }
  return out;
}

// At most this many cached attribute and type answers.
constexpr size_t kMaxCachedAnswers = 64;

}  // namespace

std::vector<RegistrationStore::EntryPtr> RegistrationStore::TypeMatchesLocked(
    const std::string& req_key) const {
  std::vector<EntryPtr> out;
  auto it = by_bucket_.find(req_key.substr(0, req_key.find(':')));
  if (it == by_bucket_.end()) return out;
  out.reserve(it->second.size());
  for (const auto& [id, e] : it->second) {
    if (TypeMatches(*e, req_key)) out.push_back(e);
  }
  return out;
}

std::vector<std::pair<double, size_t>> RegistrationStore::NearestWindowLocked(
    CoordBucket& b, const std::vector<double>& q, size_t window) const {
  using Ranked = std::pair<double, size_t>;  // distance, index into recs
  const std::vector<CoordRec>& recs = b.recs;
  auto plain = [&](uint32_t dims, const double* c) {
    size_t n = std::min<size_t>(dims, q.size());
    double d = 0;
    for (size_t j = 0; j < n; ++j) d += (c[j] - q[j]) * (c[j] - q[j]);
    return d;
  };
  // Max-heap of the best `window` so far by (distance, id).
  using Best = std::pair<double, uint64_t>;
  std::vector<Best> best;
  best.reserve(window + 1);
  auto offer = [&](double d, uint64_t id) {
    Best r{d, id};
    if (best.size() < window) {
      best.push_back(r);
      std::push_heap(best.begin(), best.end());
    } else if (r < best.front()) {
      std::pop_heap(best.begin(), best.end());
      best.back() = r;
      std::push_heap(best.begin(), best.end());
    }
  };
  if (b.odd > 0 || q.empty() || window == 0) {
    for (const CoordRec& r : recs) {
      offer(r.dims > 4 ? Distance2(*r.entry->coords, q) : plain(r.dims, r.c), r.entry->id);
    }
  } else {
    const size_t n = recs.size();
    if (!b.built || b.added.size() > 64 + n / 8 || b.removed_count > 64 + n / 4) {
      b.base = b.next;
      b.sorted.clear();
      b.sorted.reserve(n);
      for (size_t i = 0; i < n; ++i) {
        CoordRec& r = b.recs[i];
        r.stamp = b.base + i;
        b.sorted.push_back({{r.c[0], r.c[1], r.c[2], r.c[3]}, r.dims, r.entry->id, r.stamp});
      }
      b.next = b.base + n;
      b.removed.assign(n, false);
      b.removed_count = 0;
      b.added.clear();
      b.built = true;
      std::sort(b.sorted.begin(), b.sorted.end(),
                [](const CoordItem& x, const CoordItem& y) { return x.c[0] < y.c[0]; });
    }
    auto live = [&](const CoordItem& it) { return !b.removed[it.stamp - b.base]; };
    for (const CoordItem& it : b.added) {
      if (live(it)) offer(plain(it.dims, it.c), it.id);
    }
    // Outwards from q[0] on both sides; a side ends where (x - q0)^2 alone
    // passes the window's worst distance (every dimension counts, so the
    // distance is at least that).
    const double q0 = q[0];
    auto mid = std::lower_bound(b.sorted.begin(), b.sorted.end(), q0,
                                [](const CoordItem& it, double x) { return it.c[0] < x; });
    ptrdiff_t hi = mid - b.sorted.begin(), lo = hi - 1;
    const ptrdiff_t end = static_cast<ptrdiff_t>(b.sorted.size());
    auto worst = [&] {
      return best.size() < window ? std::numeric_limits<double>::infinity() : best.front().first;
    };
    while (lo >= 0 || hi < end) {
      const double dlo = lo >= 0 ? q0 - b.sorted[lo].c[0] : std::numeric_limits<double>::infinity();
      const double dhi =
          hi < end ? b.sorted[hi].c[0] - q0 : std::numeric_limits<double>::infinity();
      const bool take_lo = dlo <= dhi;
      const double dx = take_lo ? dlo : dhi;
      if (dx * dx > worst()) break;  // the nearer side is past it: so is the other
      const CoordItem& it = b.sorted[take_lo ? lo-- : hi++];
      if (live(it)) offer(plain(it.dims, it.c), it.id);
    }
  }
  std::sort(best.begin(), best.end());
  std::vector<Ranked> out;
  out.reserve(best.size());
  for (const Best& x : best) out.emplace_back(x.first, coord_pos_.at(x.second));
  return out;
}

// Nearest sets: per nearest term, the K eligible services nearest to its
// coordinates.  Distances are computed over the packed coordinate records
// first; the (costlier) eligibility checks then run only on the closest
// ones, widening the window until K eligible services are found or none
// are left.  Terms past kMaxNearestTerms get empty sets.
void RegistrationStore::NearestLocked(const Predicate& pred, const std::string& bucket,
                                      const std::function<bool(const Entry&)>& eligible,
                                      NearestSets* sets) const {
  const std::vector<NearestTerm>& terms = pred.nearest_terms();
  sets->assign(terms.size(), {});
  auto coords_it = by_coords_.find(bucket);
  if (coords_it == by_coords_.end()) return;
  CoordBucket& b = coords_it->second;
  const std::vector<CoordRec>& recs = b.recs;
  for (size_t t = 0; t < terms.size() && t < kMaxNearestTerms; ++t) {
    const std::vector<double>& q = terms[t].coords;
    auto distance = [&](const CoordRec& r) {
      if (r.dims > 4) return Distance2(*r.entry->coords, q);
      size_t n = std::min<size_t>(r.dims, q.size());
      double d = 0;
      for (size_t j = 0; j < n; ++j) d += (r.c[j] - q[j]) * (r.c[j] - q[j]);
      return d;
    };
    // Ties go to the earlier registration, as in the answer order.
    using Ranked = std::pair<double, size_t>;  // distance, index into recs
    auto closer = [&](const Ranked& a, const Ranked& b) {
      return a.first < b.first ||
             (a.first == b.first && recs[a.second].entry->id < recs[b.second].entry->id);
    };
    const size_t k = terms[t].k;
    if (k == 0) continue;
    // First pass: only the closest `window` records, which usually hold K
    // eligible ones; otherwise rank everything.
    // The K nearest first (the view looks at fewer records the narrower the
    // window), a wider window when too few of them were eligible.
    size_t window = std::min(k, recs.size());
    std::vector<Ranked> ranked = NearestWindowLocked(b, q, window);
    auto take = [&]() {
      (*sets)[t].clear();
      for (const Ranked& r : ranked) {
        if ((*sets)[t].size() >= k) break;
        const Entry& e = *recs[r.second].entry;
        if (!eligible(e) || !pred.MatchesNearestRest(t, e.attrs)) continue;
        (*sets)[t][e.id] = r.first;
      }
    };
    take();
    if ((*sets)[t].size() < k && ranked.size() < recs.size()) {
      window = std::min(std::max<size_t>(16 * k, 64), recs.size());
      ranked = NearestWindowLocked(b, q, window);
      take();
    }
    if ((*sets)[t].size() < k && ranked.size() < recs.size()) {
      ranked.clear();
      for (size_t i = 0; i < recs.size(); ++i) ranked.emplace_back(distance(recs[i]), i);
      std::sort(ranked.begin(), ranked.end(), closer);
      take();
    }
  }
}

// Candidates of a SrvRqst: narrowed by the equality index and the nearest
// sets where the predicate allows it, otherwise every registration of the
// type.  Planning draws on a budget of index ids (twice the bucket): past
// it a scan of the type costs no more, so planning gives up.
std::vector<RegistrationStore::EntryPtr> RegistrationStore::CandidatesLocked(
    const Predicate& pred, const std::string& req_key, const NearestSets& nearest) const {
  auto bucket_it = by_bucket_.find(req_key.substr(0, req_key.find(':')));
  if (bucket_it == by_bucket_.end()) return {};
  std::vector<std::vector<uint64_t>> nearest_ids(nearest.size());
  for (size_t t = 0; t < nearest.size(); ++t) {
    for (const auto& kv : nearest[t]) nearest_ids[t].push_back(kv.first);
    std::sort(nearest_ids[t].begin(), nearest_ids[t].end());
  }
  size_t budget = 2 * bucket_it->second.size() + 64;
  static const std::vector<uint64_t> kNone;
  auto equal = [&](const std::string& tag, const std::string& key) -> const std::vector<uint64_t>* {
    mu_.AssertHeld();  // called by PlanCandidates below, under the lock
    auto it = by_value_.find(tag + '\0' + key);
    const std::vector<uint64_t>* ids = it == by_value_.end() ? &kNone : &it->second;
    if (ids->size() > budget) return nullptr;
    budget -= ids->size();
    return ids;
  };
  auto nearest_set = [&](size_t t) { return &nearest_ids[t]; };
  std::vector<uint64_t> planned;
  if (!pred.PlanCandidates(equal, nearest_set, &planned)) return TypeMatchesLocked(req_key);
  std::vector<EntryPtr> out;
  out.reserve(planned.size());
  for (uint64_t id : planned) {
    auto it = bucket_it->second.find(id);
    if (it != bucket_it->second.end()) out.push_back(it->second);
  }
  return out;
}

uint16_t RegistrationStore::FindServices(std::string_view type, std::string_view scopes,
                                         std::string_view lang, std::string_view predicate,
                                         std::vector<ServiceMatch>* out) {
  out->clear();
  std::vector<std::string> scope_list;
  if (!ParseScopeList(scopes, &scope_list)) return error::kParseError;
  if (!Intersects(scope_list, scopes_)) return error::kScopeNotSupported;
  const std::string req_key = NormalizeServiceType(type);
  if (req_key.empty()) return error::kParseError;
  std::optional<Predicate> pred = Predicate::Parse(predicate);
  if (!pred) return error::kParseError;
  const std::string bucket = req_key.substr(0, req_key.find(':'));
  const std::string req_primary = PrimaryTag(lang);
  // Of the type and visible in the scopes; for a non-empty predicate
  // (whose values may be language dependent) also in the language.
  auto of_type = [&](const Entry& e) {
    return e.bucket == bucket && TypeMatches(e, req_key) && Visible(e, scope_list);
  };
  auto eligible = [&](const Entry& e) {
    return of_type(e) && (pred->empty() || e.lang_primary == req_primary);
  };

  NearestSets nearest;
  std::vector<EntryPtr> candidates;
  {
    port::MutexLock lock(&mu_);
    PurgeLocked();
    NearestLocked(*pred, bucket, eligible, &nearest);
    candidates = CandidatesLocked(*pred, req_key, nearest);
  }

  std::vector<std::pair<double, const Entry*>> hits;
  bool other_language = false;
  for (const EntryPtr& e : candidates) {
    if (!of_type(*e)) continue;
    const uint64_t id = e->id;
    Predicate::NearestFn in_nearest = [&](size_t t) { return nearest[t].count(id) > 0; };
    if (!pred->Matches(e->attrs, &in_nearest)) continue;
    if (!eligible(*e)) {
      other_language = true;
      continue;
    }
    double rank = std::numeric_limits<double>::infinity();
    for (const auto& set : nearest) {
      auto it = set.find(id);
      if (it != set.end()) rank = std::min(rank, it->second);
    }
    hits.emplace_back(rank, e.get());
  }
  OrderAnswers(&hits, req_primary, out);
  if (out->empty() && other_language) return error::kLanguageNotSupported;
  return error::kOk;
}

// Nearest first, ties and the rest in registration order; one answer per
// URL (with an empty predicate the same URL may be held in several
// languages: the entry in the request's language gives the lifetime).
void RegistrationStore::OrderAnswers(std::vector<std::pair<double, const Entry*>>* hits,
                                     const std::string& req_primary,
                                     std::vector<ServiceMatch>* out) const {
  std::sort(hits->begin(), hits->end(), [](const auto& a, const auto& b) {
    return a.first < b.first || (a.first == b.first && a.second->id < b.second->id);
  });
  std::unordered_map<std::string_view, size_t> seen;
  seen.reserve(hits->size());
  out->reserve(hits->size());
  for (const auto& [rank, e] : *hits) {
    auto [it, inserted] = seen.emplace(e->url, out->size());
    if (inserted) {
      out->push_back({e->url, RemainingLifetime(*e), e->expiry});
    } else if (e->lang_primary == req_primary) {
      (*out)[it->second].lifetime = RemainingLifetime(*e);
      (*out)[it->second].expiry = e->expiry;
    }
  }
}

bool RegistrationStore::CachedLocked(const std::string& key, CachedAnswer* answer) const {
  auto it = answers_.find(key);
  if (it == answers_.end() || it->second.generation != generation_) return false;
  *answer = it->second;
  return true;
}

void RegistrationStore::CacheLocked(const std::string& key, CachedAnswer answer) {
  if (answers_.size() >= kMaxCachedAnswers) answers_.clear();
  answers_[key] = std::move(answer);
}

uint16_t RegistrationStore::FindAttributes(std::string_view url_or_type, std::string_view scopes,
                                           std::string_view lang, std::string_view tags,
                                           std::string* out, bool* truncated) {
  out->clear();
  if (truncated) *truncated = false;
  std::vector<std::string> scope_list, patterns;
  if (!ParseScopeList(scopes, &scope_list) || !ParseTagList(tags, &patterns)) {
    return error::kParseError;
  }
  if (!Intersects(scope_list, scopes_)) return error::kScopeNotSupported;
  const bool by_url = url_or_type.find("://") != std::string_view::npos;
  const std::string req_key = by_url ? std::string() : NormalizeServiceType(url_or_type);
  if (!by_url && req_key.empty()) return error::kParseError;
  const std::string req_primary = PrimaryTag(lang);
  const std::string cache_key = std::string("a\0", 2) + std::string(url_or_type) + '\0' +
                                Joined(scope_list) + req_primary + '\0' + Joined(patterns);
  std::vector<EntryPtr> candidates;
  uint64_t generation = 0;
  {
    port::MutexLock lock(&mu_);
    PurgeLocked();
    CachedAnswer cached;
    if (CachedLocked(cache_key, &cached)) {
      *out = std::move(cached.text);
      if (truncated) *truncated = cached.truncated;
      return cached.code;
    }
    generation = generation_;
    if (by_url) {
      for (auto it = by_key_.lower_bound({std::string(url_or_type), std::string()});
           it != by_key_.end() && it->first.first == url_or_type; ++it) {
        candidates.push_back(entries_.at(it->second));
      }
    } else {
      candidates = TypeMatchesLocked(req_key);
    }
  }

  AttrUnion all(kMaxUnionValues, kMaxAttrReplyBytes);
  bool any = false, other_language = false;
  for (const EntryPtr& e : candidates) {
    if (!Visible(*e, scope_list)) continue;
    if (e->lang_primary != req_primary) {
      other_language = true;
      continue;
    }
    // A URL answers with its one registration in the language.
    if (by_url && any) break;
    any = true;
    if (!all.Add(e->attrs, patterns)) break;
  }
  CachedAnswer answer;
  answer.generation = generation;
  answer.code = !any && other_language ? error::kLanguageNotSupported : error::kOk;
  if (answer.code == error::kOk) answer.text = all.Format();
  answer.truncated = all.truncated();
  *out = answer.text;
  if (truncated) *truncated = answer.truncated;
  port::MutexLock lock(&mu_);
  CacheLocked(cache_key, std::move(answer));
  return !any && other_language ? error::kLanguageNotSupported : error::kOk;
}

uint16_t RegistrationStore::FindTypes(bool all_authorities, std::string_view naming_authority,
                                      std::string_view scopes, std::string* out) {
  out->clear();
  std::vector<std::string> scope_list;
  if (!ParseScopeList(scopes, &scope_list)) return error::kParseError;
  if (!Intersects(scope_list, scopes_)) return error::kScopeNotSupported;
  const std::string na = FoldKey(naming_authority);
  const std::string cache_key =
      std::string("t\0", 2) + (all_authorities ? "*" : na) + '\0' + Joined(scope_list);
  std::vector<EntryPtr> all;
  uint64_t generation = 0;
  {
    port::MutexLock lock(&mu_);
    PurgeLocked();
    CachedAnswer cached;
    if (CachedLocked(cache_key, &cached)) {
      *out = std::move(cached.text);
      return cached.code;
    }
    generation = generation_;
    all.reserve(entries_.size());
    for (const auto& kv : entries_) all.push_back(kv.second);
  }
  std::unordered_set<std::string> seen;
  for (const EntryPtr& e : all) {
    if (!Visible(*e, scope_list)) continue;
    if (!all_authorities && NamingAuthority(e->type_key) != na) continue;
    if (!seen.insert(FoldKey(e->service_type)).second) continue;
    if (!out->empty()) out->push_back(',');
    *out += e->service_type;
  }
  CachedAnswer answer;
  answer.generation = generation;
  answer.text = *out;
  port::MutexLock lock(&mu_);
  CacheLocked(cache_key, std::move(answer));
  return error::kOk;
}

}  // namespace orvel::slp
