// da_store.cc: registrations, indexes, expiry and look-ups.
#include "slp/da_store.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <limits>

#include "slp/predicate.h"
#include "slp/wire.h"

namespace orvel::slp {
namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kCoordsTag = "x-pelm-coords";

std::string PrimaryTag(std::string_view lang) {
  std::string key = FoldKey(lang);
  size_t dash = key.find('-');
  return dash == std::string::npos ? key : key.substr(0, dash);
}

bool Intersects(const std::vector<std::string>& a, const std::vector<std::string>& b) {
  for (const std::string& x : a) {
    if (std::find(b.begin(), b.end(), x) != b.end()) return true;
  }
  return false;
}

std::string ValueIndexKey(const std::string& tag_key, const AttrValue& v) {
  std::string k = tag_key;
  k.push_back('\0');
  k += IndexKey(v);
  return k;
}

// Naming authority of a normalized type: text after the last '.' of the
// abstract (first) component; empty for IANA types.
std::string NamingAuthority(const std::string& type_key) {
  std::string first = type_key.substr(0, type_key.find(':'));
  size_t dot = first.rfind('.');
  return dot == std::string::npos ? std::string() : first.substr(dot + 1);
}

// Snapshot field escaping: keeps every field on one line without a tab.
std::string EscapeField(std::string_view s) {
  std::string out;
  for (char c : s) {
    if (c == '%' || c == '\t' || c == '\n' || c == '\r') {
      static const char kHex[] = "0123456789ABCDEF";
      out.push_back('%');
      out.push_back(kHex[static_cast<unsigned char>(c) >> 4]);
      out.push_back(kHex[static_cast<unsigned char>(c) & 15]);
    } else {
      out.push_back(c);
    }
  }
  return out;
}

bool UnescapeField(std::string_view s, std::string* out) {
  out->clear();
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '%') {
      out->push_back(s[i]);
      continue;
    }
    if (s.size() - i < 3) return false;
    std::string hex(s.substr(i + 1, 2));
    char* end = nullptr;
    long v = std::strtol(hex.c_str(), &end, 16);
    if (end != hex.c_str() + 2) return false;
    out->push_back(static_cast<char>(v));
    i += 2;
  }
  return true;
}

double Distance2(const std::vector<double>& a, const std::vector<double>& b) {
  size_t n = std::min(a.size(), b.size());
  double sum = 0;
  for (size_t i = 0; i < n; ++i) sum += (a[i] - b[i]) * (a[i] - b[i]);
  return sum;
}

}  // namespace

int64_t DaClock::WallSeconds() const { return static_cast<int64_t>(std::time(nullptr)); }

std::string NormalizeServiceType(std::string_view type) {
  std::string key = FoldKey(type);
  if (key.compare(0, 8, "service:") == 0) key.erase(0, 8);
  return key;
}

bool ParseScopeList(std::string_view text, std::vector<std::string>* out) {
  if (!ParseTagList(text, out)) return false;
  std::sort(out->begin(), out->end());
  out->erase(std::unique(out->begin(), out->end()), out->end());
  return true;
}

bool LanguageMatches(std::string_view a, std::string_view b) { return PrimaryTag(a) == PrimaryTag(b); }

RegistrationStore::RegistrationStore(std::string_view scopes, const DaClock* clock,
                                     const StoreLimits& limits)
    : clock_(clock), limits_(limits), scopes_text_(scopes) {
  ParseScopeList(scopes, &scopes_);
  if (scopes_.empty()) {
    scopes_text_ = "DEFAULT";
    scopes_ = {"default"};
  }
}

bool RegistrationStore::ServesAll(std::string_view scopes) const {
  std::vector<std::string> list;
  if (!ParseScopeList(scopes, &list) || list.empty()) return false;
  for (const std::string& s : list) {
    if (std::find(scopes_.begin(), scopes_.end(), s) == scopes_.end()) return false;
  }
  return true;
}

bool RegistrationStore::ServesAny(std::string_view scopes) const {
  std::vector<std::string> list;
  return ParseScopeList(scopes, &list) && Intersects(list, scopes_);
}

size_t RegistrationStore::size() {
  std::lock_guard<std::mutex> lock(mu_);
  PurgeLocked();
  return entries_.size();
}

uint64_t RegistrationStore::generation() {
  std::lock_guard<std::mutex> lock(mu_);
  PurgeLocked();
  return generation_;
}

void RegistrationStore::PurgeLocked() {
  Clock::time_point now = clock_->Now();
  while (!by_expiry_.empty() && by_expiry_.begin()->first <= now) {
    RemoveLocked(by_expiry_.begin()->second);
  }
}

void RegistrationStore::IndexLocked(const Entry& e, bool add) {
  if (add) {
    by_bucket_[e.bucket][e.id] = &e;
  } else if (auto it = by_bucket_.find(e.bucket); it != by_bucket_.end()) {
    it->second.erase(e.id);
    if (it->second.empty()) by_bucket_.erase(it);
  }
  if (e.coords) {
    std::vector<CoordRec>& recs = by_coords_[e.bucket];
    if (add) {
      CoordRec r{&e, static_cast<uint32_t>(e.coords->size()), {0, 0, 0, 0}};
      for (size_t i = 0; i < 4 && i < e.coords->size(); ++i) r.c[i] = (*e.coords)[i];
      recs.push_back(r);
    } else {
      for (size_t i = 0; i < recs.size(); ++i) {
        if (recs[i].entry != &e) continue;
        recs[i] = recs.back();
        recs.pop_back();
        break;
      }
      if (recs.empty()) by_coords_.erase(e.bucket);
    }
  }
  for (const Attribute& a : e.attrs.attributes()) {
    for (const AttrValue& v : a.values) {
      std::vector<uint64_t>& ids = by_value_[ValueIndexKey(a.tag_key, v)];
      auto pos = std::lower_bound(ids.begin(), ids.end(), e.id);
      bool present = pos != ids.end() && *pos == e.id;
      if (add && !present) ids.insert(pos, e.id);
      if (!add && present) ids.erase(pos);
      if (ids.empty()) by_value_.erase(ValueIndexKey(a.tag_key, v));
    }
  }
  if (add) {
    by_expiry_.insert({e.expiry, e.id});
  } else {
    by_expiry_.erase({e.expiry, e.id});
  }
}

void RegistrationStore::RemoveLocked(uint64_t id) {
  auto it = entries_.find(id);
  if (it == entries_.end()) return;
  IndexLocked(it->second, /*add=*/false);
  by_key_.erase({it->second.url, it->second.lang_key});
  entries_.erase(it);
  ++generation_;
}

bool RegistrationStore::VisibleLocked(const Entry& e, const std::vector<std::string>& scopes) const {
  // Expired entries are purged before any look-up, under the same lock.
  return Intersects(e.scopes, scopes);
}

uint16_t RegistrationStore::RemainingLifetime(const Entry& e) const {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(e.expiry - clock_->Now()).count();
  long long secs = (left + 999) / 1000;
  return static_cast<uint16_t>(std::clamp<long long>(secs, 1, 65535));
}

uint16_t RegistrationStore::Register(const RegistrationInput& in) {
  if (in.url.size() > limits_.max_url_bytes || in.attrs.size() > limits_.max_attr_bytes) {
    return error::kInvalidRegistration;
  }
  AttrList attrs;
  switch (AttrList::Parse(in.attrs, /*strict=*/true, &attrs)) {
    case AttrError::kOk: break;
    case AttrError::kParse: return error::kParseError;
    case AttrError::kMixedTypes:
    case AttrError::kTooLarge: return error::kInvalidRegistration;
  }
  std::string type_key = NormalizeServiceType(in.service_type);
  if (FoldKey(in.lang).empty() || in.lifetime == 0 || in.url.empty() || type_key.empty()) {
    return error::kInvalidRegistration;
  }
  std::vector<std::string> scopes;
  if (!ParseScopeList(in.scopes, &scopes)) return error::kParseError;
  if (!ServesAll(in.scopes)) return error::kScopeNotSupported;

  std::lock_guard<std::mutex> lock(mu_);
  PurgeLocked();
  Key key{in.url, FoldKey(in.lang)};
  auto found = by_key_.find(key);
  Entry e;
  if (in.fresh) {
    if (found == by_key_.end() && entries_.size() >= limits_.max_entries) {
      return error::kInternalError;
    }
    e.attrs = std::move(attrs);
  } else {
    if (found == by_key_.end()) return error::kInvalidUpdate;
    const Entry& old = entries_.at(found->second);
    if (FoldKey(old.service_type) != FoldKey(in.service_type)) return error::kInvalidUpdate;
    if (old.scopes != scopes) return error::kScopeNotSupported;
    e.attrs = old.attrs;
    e.attrs.Merge(attrs);
  }
  // A refreshed URL keeps its place in the answer order.
  if (found != by_key_.end()) {
    e.id = found->second;
    Entry& old = entries_.at(found->second);
    IndexLocked(old, /*add=*/false);
    entries_.erase(found->second);
    by_key_.erase(found);
  } else {
    e.id = next_id_++;
  }
  e.url = in.url;
  e.lang = in.lang;
  e.lang_key = key.second;
  e.lang_primary = PrimaryTag(in.lang);
  e.service_type = in.service_type;
  e.type_key = type_key;
  e.bucket = type_key.substr(0, type_key.find(':'));
  e.scope_text = in.scopes;
  e.scopes = std::move(scopes);
  if (const Attribute* c = e.attrs.Find(kCoordsTag); c && !c->raw_values.empty()) {
    std::string raw;
    if (Unescape(c->raw_values.front(), &raw)) e.coords = ParseCoordinates(raw);
  }
  e.expiry = clock_->Now() + std::chrono::seconds(in.lifetime);
  by_key_[key] = e.id;
  uint64_t id = e.id;
  auto placed = entries_.emplace(id, std::move(e)).first;
  IndexLocked(placed->second, /*add=*/true);
  ++generation_;
  return error::kOk;
}

uint16_t RegistrationStore::Deregister(std::string_view scopes, std::string_view url,
                                       std::string_view lang, std::string_view tags) {
  std::vector<std::string> scope_list, patterns;
  if (!ParseScopeList(scopes, &scope_list) || !ParseTagList(tags, &patterns)) {
    return error::kParseError;
  }
  if (!ServesAll(scopes)) return error::kScopeNotSupported;
  std::lock_guard<std::mutex> lock(mu_);
  PurgeLocked();
  std::vector<uint64_t> ids;
  for (auto it = by_key_.lower_bound({std::string(url), std::string()});
       it != by_key_.end() && it->first.first == url; ++it) {
    ids.push_back(it->second);
  }
  for (uint64_t id : ids) {
    if (entries_.at(id).scopes != scope_list) return error::kScopeNotSupported;
  }
  if (patterns.empty()) {
    for (uint64_t id : ids) RemoveLocked(id);
    return error::kOk;
  }
  std::string lang_key = FoldKey(lang);
  for (uint64_t id : ids) {
    Entry& e = entries_.at(id);
    if (e.lang_key != lang_key) continue;
    IndexLocked(e, /*add=*/false);
    e.attrs.RemoveTags(patterns);
    if (!e.attrs.Find(kCoordsTag)) e.coords.reset();
    IndexLocked(e, /*add=*/true);
    ++generation_;
  }
  return error::kOk;
}

bool RegistrationStore::TypeMatches(const Entry& e, const std::string& req_key) {
  // Same bucket (abstract type) is implied; a request naming a concrete
  // type ("a:c") wants exactly that type.
  return req_key.find(':') == std::string::npos || e.type_key == req_key;
}

std::vector<const RegistrationStore::Entry*> RegistrationStore::TypeMatchesLocked(
    const std::string& req_key) const {
  std::vector<const Entry*> out;
  auto it = by_bucket_.find(req_key.substr(0, req_key.find(':')));
  if (it == by_bucket_.end()) return out;
  for (const auto& [id, e] : it->second) {
    if (TypeMatches(*e, req_key)) out.push_back(e);
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
  std::string req_key = NormalizeServiceType(type);
  if (req_key.empty()) return error::kParseError;
  std::optional<Predicate> pred = Predicate::Parse(predicate);
  if (!pred) return error::kParseError;
  const std::string bucket = req_key.substr(0, req_key.find(':'));

  std::lock_guard<std::mutex> lock(mu_);
  PurgeLocked();
  // Eligible: of the type, visible in the scopes, and (for a non-empty
  // predicate, whose values may be language dependent) in the language.
  enum { kNo, kOtherLanguage, kYes };
  const std::string req_primary = PrimaryTag(lang);
  auto eligible = [&](const Entry& e) {
    if (e.bucket != bucket || !TypeMatches(e, req_key) || !VisibleLocked(e, scope_list)) return kNo;
    if (!pred->empty() && e.lang_primary != req_primary) return kOtherLanguage;
    return kYes;
  };
  std::vector<const Entry*> all;

  // Nearest sets: id -> squared distance, per nearest term.  Distances are
  // computed over the packed coordinate records first; the (costlier)
  // eligibility checks then run only on the closest ones, widening the
  // window until K eligible services are found or none are left.
  const std::vector<NearestTerm>& terms = pred->nearest_terms();
  std::vector<std::unordered_map<uint64_t, double>> nearest(terms.size());
  std::vector<std::vector<uint64_t>> nearest_ids(terms.size());
  auto coords_it = by_coords_.find(bucket);
  for (size_t t = 0; t < terms.size() && coords_it != by_coords_.end(); ++t) {
    const std::vector<CoordRec>& recs = coords_it->second;
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
    // First pass: keep only the closest `window` records in a max-heap,
    // which usually holds K eligible ones; otherwise rank everything.
    size_t window = std::max<size_t>(4 * k, 16);
    std::vector<Ranked> ranked;
    ranked.reserve(std::min(window, recs.size()) + 1);
    for (size_t i = 0; i < recs.size() && k > 0; ++i) {
      Ranked r{distance(recs[i]), i};
      if (ranked.size() < window) {
        ranked.push_back(r);
        std::push_heap(ranked.begin(), ranked.end(), closer);
      } else if (closer(r, ranked.front())) {
        std::pop_heap(ranked.begin(), ranked.end(), closer);
        ranked.back() = r;
        std::push_heap(ranked.begin(), ranked.end(), closer);
      }
    }
    std::sort_heap(ranked.begin(), ranked.end(), closer);
    auto take = [&](const std::vector<Ranked>& order) {
      for (const Ranked& r : order) {
        if (nearest_ids[t].size() >= k) break;
        const Entry& e = *recs[r.second].entry;
        if (eligible(e) != kYes || !pred->MatchesNearestRest(t, e.attrs)) continue;
        nearest[t][e.id] = r.first;
        nearest_ids[t].push_back(e.id);
      }
    };
    take(ranked);
    if (nearest_ids[t].size() < k && ranked.size() < recs.size()) {
      nearest[t].clear();
      nearest_ids[t].clear();
      ranked.clear();
      for (size_t i = 0; i < recs.size(); ++i) ranked.emplace_back(distance(recs[i]), i);
      std::sort(ranked.begin(), ranked.end(), closer);
      take(ranked);
    }
    std::sort(nearest_ids[t].begin(), nearest_ids[t].end());
  }

  // Narrow by the equality index and the nearest sets where the predicate
  // allows it; otherwise every registration of the type is a candidate.
  std::vector<uint64_t> planned;
  static const std::vector<uint64_t> kNone;
  auto equal = [&](const std::string& tag, const std::string& key) {
    auto it = by_value_.find(tag + '\0' + key);
    return it == by_value_.end() ? &kNone : &it->second;
  };
  auto nearest_set = [&](size_t t) { return &nearest_ids[t]; };
  if (pred->PlanCandidates(equal, nearest_set, &planned)) {
    all.clear();
    for (uint64_t id : planned) all.push_back(&entries_.at(id));
  } else {
    all = TypeMatchesLocked(req_key);
  }

  std::vector<std::pair<double, const Entry*>> hits;
  bool other_language = false;
  for (const Entry* e : all) {
    int verdict = eligible(*e);
    if (verdict == kNo) continue;
    uint64_t id = e->id;
    Predicate::NearestFn in_nearest = [&](size_t t) { return nearest[t].count(id) > 0; };
    if (!pred->Matches(e->attrs, &in_nearest)) continue;
    if (verdict == kOtherLanguage) {
      other_language = true;
      continue;
    }
    double rank = std::numeric_limits<double>::infinity();
    for (const auto& set : nearest) {
      auto it = set.find(id);
      if (it != set.end()) rank = std::min(rank, it->second);
    }
    hits.emplace_back(rank, e);
  }
  // Nearest first; ties and the rest in registration order.
  std::stable_sort(hits.begin(), hits.end(), [](const auto& a, const auto& b) {
    return a.first < b.first || (a.first == b.first && a.second->id < b.second->id);
  });

  // One answer per URL: with an empty predicate the same URL may be held in
  // several languages; the entry in the request's language wins.
  std::map<std::string, size_t> seen;
  for (const auto& [rank, e] : hits) {
    auto [it, inserted] = seen.emplace(e->url, out->size());
    if (inserted) {
      out->push_back({e->url, RemainingLifetime(*e)});
    } else if (LanguageMatches(e->lang, lang)) {
      (*out)[it->second].lifetime = RemainingLifetime(*e);
    }
  }
  if (out->empty() && other_language) return error::kLanguageNotSupported;
  return error::kOk;
}

uint16_t RegistrationStore::FindAttributes(std::string_view url_or_type, std::string_view scopes,
                                           std::string_view lang, std::string_view tags,
                                           std::string* out) {
  out->clear();
  std::vector<std::string> scope_list, patterns;
  if (!ParseScopeList(scopes, &scope_list) || !ParseTagList(tags, &patterns)) {
    return error::kParseError;
  }
  if (!Intersects(scope_list, scopes_)) return error::kScopeNotSupported;
  std::lock_guard<std::mutex> lock(mu_);
  PurgeLocked();
  AttrList all;
  bool any = false, other_language = false;
  auto take = [&](const Entry& e) {
    if (!VisibleLocked(e, scope_list)) return;
    if (!LanguageMatches(e.lang, lang)) {
      other_language = true;
      return;
    }
    all.Union(e.attrs);
    any = true;
  };
  if (url_or_type.find("://") != std::string_view::npos) {
    for (auto it = by_key_.lower_bound({std::string(url_or_type), std::string()});
         it != by_key_.end() && it->first.first == url_or_type; ++it) {
      if (!any) take(entries_.at(it->second));
    }
  } else {
    std::string req_key = NormalizeServiceType(url_or_type);
    if (req_key.empty()) return error::kParseError;
    for (const Entry* e : TypeMatchesLocked(req_key)) take(*e);
  }
  if (!any && other_language) return error::kLanguageNotSupported;
  *out = all.Format(patterns);
  return error::kOk;
}

uint16_t RegistrationStore::FindTypes(bool all_authorities, std::string_view naming_authority,
                                      std::string_view scopes, std::string* out) {
  out->clear();
  std::vector<std::string> scope_list;
  if (!ParseScopeList(scopes, &scope_list)) return error::kParseError;
  if (!Intersects(scope_list, scopes_)) return error::kScopeNotSupported;
  std::string na = FoldKey(naming_authority);
  std::lock_guard<std::mutex> lock(mu_);
  PurgeLocked();
  std::set<std::string> seen;
  for (const auto& [id, e] : entries_) {
    if (!VisibleLocked(e, scope_list)) continue;
    if (!all_authorities && NamingAuthority(e.type_key) != na) continue;
    if (!seen.insert(FoldKey(e.service_type)).second) continue;
    if (!out->empty()) out->push_back(',');
    *out += e.service_type;
  }
  return error::kOk;
}

std::vector<RegistrationInput> RegistrationStore::Entries(std::string_view url) {
  std::lock_guard<std::mutex> lock(mu_);
  PurgeLocked();
  std::vector<RegistrationInput> out;
  auto add = [&](const Entry& e) {
    RegistrationInput in;
    in.url = e.url;
    in.lang = e.lang;
    in.service_type = e.service_type;
    in.scopes = e.scope_text;
    in.attrs = e.attrs.Format();
    in.lifetime = RemainingLifetime(e);
    in.fresh = true;
    out.push_back(std::move(in));
  };
  if (url.empty()) {
    for (const auto& [id, e] : entries_) add(e);
    return out;
  }
  std::vector<uint64_t> ids;
  for (auto it = by_key_.lower_bound({std::string(url), std::string()});
       it != by_key_.end() && it->first.first == url; ++it) {
    ids.push_back(it->second);
  }
  std::sort(ids.begin(), ids.end());
  for (uint64_t id : ids) add(entries_.at(id));
  return out;
}

bool RegistrationStore::Erase(std::string_view url, std::string_view lang) {
  std::lock_guard<std::mutex> lock(mu_);
  PurgeLocked();
  auto it = by_key_.find({std::string(url), FoldKey(lang)});
  if (it == by_key_.end()) return false;
  RemoveLocked(it->second);
  return true;
}

std::string RegistrationStore::Snapshot() {
  std::lock_guard<std::mutex> lock(mu_);
  PurgeLocked();
  int64_t now_wall = clock_->WallSeconds();
  std::string out = "orvel-slpd-state 1\n";
  for (const auto& [id, e] : entries_) {
    out += std::to_string(now_wall + RemainingLifetime(e));
    for (const std::string* f : {&e.lang, &e.service_type, &e.scope_text, &e.url}) {
      out.push_back('\t');
      out += EscapeField(*f);
    }
    out.push_back('\t');
    out += EscapeField(e.attrs.Format());
    out.push_back('\n');
  }
  return out;
}

size_t RegistrationStore::Load(std::string_view snapshot) {
  size_t taken = 0;
  size_t pos = snapshot.find('\n');
  if (pos == std::string_view::npos || snapshot.substr(0, pos) != "orvel-slpd-state 1") return 0;
  int64_t now_wall = clock_->WallSeconds();
  while (++pos < snapshot.size()) {
    size_t end = snapshot.find('\n', pos);
    if (end == std::string_view::npos) break;  // a torn last line is dropped
    std::string_view line = snapshot.substr(pos, end - pos);
    pos = end;
    std::vector<std::string> fields;
    size_t start = 0;
    bool ok = true;
    while (ok) {
      size_t tab = line.find('\t', start);
      std::string f;
      ok = UnescapeField(line.substr(start, tab == std::string_view::npos ? tab : tab - start), &f);
      fields.push_back(std::move(f));
      if (tab == std::string_view::npos) break;
      start = tab + 1;
    }
    if (!ok || fields.size() != 6) continue;
    char* num_end = nullptr;
    long long expiry = std::strtoll(fields[0].c_str(), &num_end, 10);
    if (num_end == fields[0].c_str() || *num_end != '\0') continue;
    long long left = expiry - now_wall;
    if (left <= 0) continue;
    RegistrationInput in;
    in.lang = fields[1];
    in.service_type = fields[2];
    in.scopes = fields[3];
    in.url = fields[4];
    in.attrs = fields[5];
    in.lifetime = static_cast<uint16_t>(std::min<long long>(left, 65535));
    in.fresh = true;
    if (Register(in) == error::kOk) ++taken;
  }
  return taken;
}

}  // namespace orvel::slp
