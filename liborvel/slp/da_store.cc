// da_store.cc: registrations, indexes, expiry and the state snapshot.
// The look-ups are in da_lookup.cc.
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

std::string ValueIndexKey(const std::string& tag_key, const AttrValue& v) {
  std::string k = tag_key;
  k.push_back('\0');
  k += IndexKey(v);
  return k;
}

}  // namespace

std::string EscapeField(std::string_view s) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(s.size());
  for (char c : s) {
    if (c == '%' || c == '\t' || c == '\n' || c == '\r') {
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
    int v = 0;
    for (size_t k = i + 1; k < i + 3; ++k) {
      const char c = s[k];
      int d = c >= '0' && c <= '9'   ? c - '0'
              : c >= 'A' && c <= 'F' ? c - 'A' + 10
              : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                     : -1;
      if (d < 0) return false;
      v = v * 16 + d;
    }
    out->push_back(static_cast<char>(v));
    i += 2;
  }
  return true;
}

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

bool LanguageMatches(std::string_view a, std::string_view b) {
  return PrimaryTag(a) == PrimaryTag(b);
}

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
  port::MutexLock lock(&mu_);
  PurgeLocked();
  return entries_.size();
}

std::vector<std::pair<std::string, size_t>> RegistrationStore::CountByType(size_t max_types) {
  std::map<std::string, size_t> counts;
  {
    port::MutexLock lock(&mu_);
    PurgeLocked();
    for (const auto& [id, e] : entries_) ++counts[e->type_key];
  }
  std::vector<std::pair<std::string, size_t>> out;
  size_t rest = 0;
  for (auto& [type, n] : counts) {
    if (out.size() < max_types) {
      out.emplace_back(type, n);
    } else {
      rest += n;
    }
  }
  if (rest > 0) out.emplace_back(std::string(), rest);
  return out;
}

uint64_t RegistrationStore::generation() {
  port::MutexLock lock(&mu_);
  PurgeLocked();
  return generation_;
}

void RegistrationStore::PurgeLocked() {
  Clock::time_point now = clock_->Now();
  while (!by_expiry_.empty() && by_expiry_.begin()->first <= now) {
    RemoveLocked(by_expiry_.begin()->second);
  }
}

void RegistrationStore::IndexLocked(const EntryPtr& ptr, bool add) {
  const Entry& e = *ptr;
  if (add) {
    by_bucket_[e.bucket][e.id] = ptr;
  } else if (auto it = by_bucket_.find(e.bucket); it != by_bucket_.end()) {
    it->second.erase(e.id);
    if (it->second.empty()) by_bucket_.erase(it);
  }
  if (e.coords) {
    CoordBucket& b = by_coords_[e.bucket];
    std::vector<CoordRec>& recs = b.recs;
    const uint32_t dims = static_cast<uint32_t>(e.coords->size());
    const bool odd = dims == 0 || dims > 4;
    if (add) {
      CoordRec r{&e, dims, {0, 0, 0, 0}, b.next++};
      for (size_t i = 0; i < 4 && i < e.coords->size(); ++i) r.c[i] = (*e.coords)[i];
      coord_pos_[e.id] = recs.size();
      recs.push_back(r);
      b.removed.push_back(false);
      if (b.built) b.added.push_back({{r.c[0], r.c[1], r.c[2], r.c[3]}, dims, e.id, r.stamp});
      b.odd += odd ? 1 : 0;
    } else if (auto pos = coord_pos_.find(e.id); pos != coord_pos_.end()) {
      // Swap with the last record: constant time, whatever the bucket's size.
      const size_t i = pos->second;
      coord_pos_.erase(pos);
      b.removed[recs[i].stamp - b.base] = true;
      ++b.removed_count;
      b.odd -= odd ? 1 : 0;
      if (i + 1 < recs.size()) {
        recs[i] = recs.back();
        coord_pos_[recs[i].entry->id] = i;
      }
      recs.pop_back();
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
  by_key_.erase({it->second->url, it->second->lang_key});
  entries_.erase(it);
  ++generation_;
}

// Stores e, replacing the entry of the same id.
void RegistrationStore::PutLocked(EntryPtr e) {
  auto it = entries_.find(e->id);
  if (it != entries_.end()) {
    IndexLocked(it->second, /*add=*/false);
    it->second = e;
  } else {
    entries_.emplace(e->id, e);
  }
  by_key_[{e->url, e->lang_key}] = e->id;
  IndexLocked(e, /*add=*/true);
  ++generation_;
}

bool RegistrationStore::RefreshLocked(const RegistrationInput& in) {
  auto found = by_key_.find({in.url, FoldKey(in.lang)});
  if (found == by_key_.end()) return false;
  auto it = entries_.find(found->second);
  const Entry& old = *it->second;
  if (old.attrs_text != in.attrs || old.service_type != in.service_type ||
      old.scope_text != in.scopes || old.lang != in.lang) {
    return false;
  }
  // Entries never change once stored: the refreshed one is a copy with
  // its new expiry, in the same place of every index.
  auto e = std::make_shared<Entry>(old);
  e->expiry = clock_->Now() + std::chrono::seconds(in.lifetime);
  by_expiry_.erase({old.expiry, old.id});
  by_expiry_.insert({e->expiry, e->id});
  by_bucket_[e->bucket][e->id] = e;
  if (auto pos = coord_pos_.find(e->id); pos != coord_pos_.end()) {
    by_coords_[e->bucket].recs[pos->second].entry = e.get();
  }
  it->second = std::move(e);
  ++generation_;
  return true;
}

bool RegistrationStore::Visible(const Entry& e, const std::vector<std::string>& scopes) {
  // Expired entries are purged before any look-up collects its candidates.
  return Intersects(e.scopes, scopes);
}

uint16_t RegistrationStore::RemainingLifetime(const Entry& e) const {
  return LifetimeLeft(e.expiry);
}

uint16_t RegistrationStore::LifetimeLeft(Clock::time_point expiry) const {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(expiry - clock_->Now()).count();
  long long secs = (left + 999) / 1000;
  return static_cast<uint16_t>(std::clamp<long long>(secs, 1, 65535));
}

uint16_t RegistrationStore::Register(const RegistrationInput& in) {
  if (in.url.size() > limits_.max_url_bytes || in.attrs.size() > limits_.max_attr_bytes) {
    return error::kInvalidRegistration;
  }
  // The usual SrvReg repeats what is stored (a service agent's refresh):
  // everything in it was checked when it was stored.
  if (in.fresh && in.lifetime > 0) {
    port::MutexLock lock(&mu_);
    PurgeLocked();
    if (RefreshLocked(in)) return error::kOk;
  }
  auto e = std::make_shared<Entry>();
  switch (AttrList::Parse(in.attrs, /*strict=*/true, &e->attrs)) {
    case AttrError::kOk:
      break;
    case AttrError::kParse:
      return error::kParseError;
    case AttrError::kTooLarge:
      return error::kInvalidRegistration;
  }
  e->type_key = NormalizeServiceType(in.service_type);
  if (FoldKey(in.lang).empty() || in.lifetime == 0 || in.url.empty() || e->type_key.empty()) {
    return error::kInvalidRegistration;
  }
  if (!ParseScopeList(in.scopes, &e->scopes)) return error::kParseError;
  if (!ServesAll(in.scopes)) return error::kScopeNotSupported;
  e->url = in.url;
  e->lang = in.lang;
  e->lang_key = FoldKey(in.lang);
  e->lang_primary = PrimaryTag(in.lang);
  e->service_type = in.service_type;
  e->bucket = e->type_key.substr(0, e->type_key.find(':'));
  e->scope_text = in.scopes;
  e->attrs_text = in.attrs;

  port::MutexLock lock(&mu_);
  PurgeLocked();
  auto found = by_key_.find({e->url, e->lang_key});
  if (in.fresh) {
    if (found == by_key_.end() && entries_.size() >= limits_.max_entries) {
      return error::kInternalError;
    }
  } else {
    if (found == by_key_.end()) return error::kInvalidUpdate;
    const Entry& old = *entries_.at(found->second);
    if (FoldKey(old.service_type) != FoldKey(in.service_type)) return error::kInvalidUpdate;
    if (old.scopes != e->scopes) return error::kScopeNotSupported;
    AttrList merged = old.attrs;
    merged.Merge(e->attrs);
    e->attrs = std::move(merged);
    e->attrs_text = e->attrs.Format();  // what a fresh SrvReg would have to repeat
  }
  // A refreshed URL keeps its place in the answer order.
  e->id = found != by_key_.end() ? found->second : next_id_++;
  if (const Attribute* c = e->attrs.Find(kCoordsTag); c && !c->raw_values.empty()) {
    std::string raw;
    if (Unescape(c->raw_values.front(), &raw)) e->coords = ParseCoordinates(raw);
  }
  e->expiry = clock_->Now() + std::chrono::seconds(in.lifetime);
  PutLocked(std::move(e));
  return error::kOk;
}

uint16_t RegistrationStore::Deregister(std::string_view scopes, std::string_view url,
                                       std::string_view lang, std::string_view tags) {
  std::vector<std::string> scope_list, patterns;
  if (!ParseScopeList(scopes, &scope_list) || !ParseTagList(tags, &patterns)) {
    return error::kParseError;
  }
  if (!ServesAll(scopes)) return error::kScopeNotSupported;
  port::MutexLock lock(&mu_);
  PurgeLocked();
  std::vector<uint64_t> ids;
  for (auto it = by_key_.lower_bound({std::string(url), std::string()});
       it != by_key_.end() && it->first.first == url; ++it) {
    ids.push_back(it->second);
  }
  for (uint64_t id : ids) {
    if (entries_.at(id)->scopes != scope_list) return error::kScopeNotSupported;
  }
  if (patterns.empty()) {
    for (uint64_t id : ids) RemoveLocked(id);
    return error::kOk;
  }
  std::string lang_key = FoldKey(lang);
  for (uint64_t id : ids) {
    const Entry& old = *entries_.at(id);
    if (old.lang_key != lang_key) continue;
    auto e = std::make_shared<Entry>(old);
    e->attrs.RemoveTags(patterns);
    e->attrs_text = e->attrs.Format();
    if (!e->attrs.Find(kCoordsTag)) e->coords.reset();
    PutLocked(std::move(e));
  }
  return error::kOk;
}

bool RegistrationStore::TypeMatches(const Entry& e, const std::string& req_key) {
  // Same bucket (abstract type) is implied; a request naming a concrete
  // type ("a:c") wants exactly that type.
  return req_key.find(':') == std::string::npos || e.type_key == req_key;
}

std::vector<RegistrationInput> RegistrationStore::Entries(std::string_view url) {
  std::vector<EntryPtr> found;
  {
    port::MutexLock lock(&mu_);
    PurgeLocked();
    if (url.empty()) {
      for (const auto& kv : entries_) found.push_back(kv.second);
    } else {
      for (auto it = by_key_.lower_bound({std::string(url), std::string()});
           it != by_key_.end() && it->first.first == url; ++it) {
        found.push_back(entries_.at(it->second));
      }
    }
  }
  std::sort(found.begin(), found.end(),
            [](const EntryPtr& a, const EntryPtr& b) { return a->id < b->id; });
  std::vector<RegistrationInput> out;
  out.reserve(found.size());
  for (const EntryPtr& e : found) {
    RegistrationInput in;
    in.url = e->url;
    in.lang = e->lang;
    in.service_type = e->service_type;
    in.scopes = e->scope_text;
    in.attrs = e->attrs.Format();
    in.lifetime = RemainingLifetime(*e);
    in.fresh = true;
    out.push_back(std::move(in));
  }
  return out;
}

bool RegistrationStore::Erase(std::string_view url, std::string_view lang) {
  port::MutexLock lock(&mu_);
  PurgeLocked();
  auto it = by_key_.find({std::string(url), FoldKey(lang)});
  if (it == by_key_.end()) return false;
  RemoveLocked(it->second);
  return true;
}

std::string RegistrationStore::Snapshot() {
  // Formatting every registration takes a while: copy the pointers under
  // the lock and format after releasing it.
  std::vector<EntryPtr> all;
  {
    port::MutexLock lock(&mu_);
    PurgeLocked();
    all.reserve(entries_.size());
    for (const auto& kv : entries_) all.push_back(kv.second);
  }
  int64_t now_wall = clock_->WallSeconds();
  std::string out = "orvel-slpd-state 1\n";
  for (const EntryPtr& e : all) {
    out += std::to_string(now_wall + RemainingLifetime(*e));
    for (const std::string* f : {&e->lang, &e->service_type, &e->scope_text, &e->url}) {
      out.push_back('\t');
      out += EscapeField(*f);
    }
    out.push_back('\t');
    out += EscapeField(e->attrs.Format());
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
