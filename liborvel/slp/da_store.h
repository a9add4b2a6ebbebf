// da_store.h: the directory agent's registration store.
//
// Registrations are keyed by (URL, language tag); the URL compares byte for
// byte, the tag without regard to case.  Each one carries its service type
// (kept as sent), scopes, attributes and an expiry on a monotonic clock; an
// entry whose expiry has come is never returned and is purged on the next
// operation.
//
// Service types compare without regard to case or to one leading
// "service:" on either side, with the abstract-type rule ("printer" finds
// "printer:lpr") and significant naming authorities.  Look-ups use an
// index by type and by (tag, value) for equality terms, and compute the
// nearest sets of nearest-node terms (see predicate.h) among the visible
// services of the requested type.
//
// Every public method returns an SLP protocol error code (wire.h,
// error::k...).  The store locks internally: all methods are thread-safe.
//
// Look-ups come from anyone who can send a datagram, so the lock is held
// only for work bounded by the store itself: entries are immutable and
// shared, a look-up copies the pointers of its candidates under the lock
// and matches, unions, sorts and formats them after releasing it.  The
// work of one look-up is bounded too: at most kMaxNearestTerms nearest
// terms are ranked, index planning stops at a budget (a scan of the type
// is then no dearer), and an attribute union looks at most
// kMaxUnionValues values.  Answers to repeated attribute and type
// requests are kept until the store changes.
#ifndef ORVEL_LIBORVEL_SLP_DA_STORE_H_
#define ORVEL_LIBORVEL_SLP_DA_STORE_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "port/mutex.h"
#include "slp/attr.h"

namespace orvel::slp {

class Predicate;

// Time source; tests substitute a fake.
class DaClock {
 public:
  virtual ~DaClock() = default;
  virtual std::chrono::steady_clock::time_point Now() const {
    return std::chrono::steady_clock::now();
  }
  // Seconds since 1970, for lifetimes that must survive a restart.
  virtual int64_t WallSeconds() const;
};

struct RegistrationInput {
  std::string url;
  std::string lang;
  std::string service_type;
  std::string scopes;  // comma-separated, as on the wire
  std::string attrs;   // attribute list, as on the wire
  uint16_t lifetime = 0;
  bool fresh = true;
};

struct ServiceMatch {
  std::string url;
  uint16_t lifetime = 0;  // remaining seconds, 1..65535
  std::chrono::steady_clock::time_point expiry;
};

struct StoreLimits {
  size_t max_entries = 65536;
  size_t max_url_bytes = 4096;
  size_t max_attr_bytes = 16384;
};

// Lower case, trimmed, one leading "service:" removed.
std::string NormalizeServiceType(std::string_view type);
// Folded keys of a comma-separated scope list; false on a bad escape.
bool ParseScopeList(std::string_view text, std::vector<std::string>* out);
// True when the primary subtags (before '-') agree, ignoring case.
bool LanguageMatches(std::string_view a, std::string_view b);
// The primary subtag of a language tag, folded.
std::string PrimaryTag(std::string_view lang);
// True when the two folded scope lists share a scope.
bool Intersects(const std::vector<std::string>& a, const std::vector<std::string>& b);

// One field of a line record (the state file, etcd keys and values): '%',
// tab, CR and LF become %XX, so a field never holds a separator.
std::string EscapeField(std::string_view s);
// The inverse; false on a '%' not followed by two hex digits.
bool UnescapeField(std::string_view s, std::string* out);

class RegistrationStore {
 public:
  // scopes: the agent's scope list (e.g. "default"); clock is borrowed and
  // must outlive the store.
  RegistrationStore(std::string_view scopes, const DaClock* clock, const StoreLimits& limits = {});

  RegistrationStore(const RegistrationStore&) = delete;
  RegistrationStore& operator=(const RegistrationStore&) = delete;

  // SrvReg (fresh or incremental).
  uint16_t Register(const RegistrationInput& in);
  // SrvDeReg: empty tags removes the URL in every language; otherwise the
  // matching attributes of the registration in lang.  An unknown URL is
  // not an error.
  uint16_t Deregister(std::string_view scopes, std::string_view url, std::string_view lang,
                      std::string_view tags);
  // SrvRqst.  *out gets the answers in order: nearest-term matches nearest
  // first, then the rest in registration order.
  uint16_t FindServices(std::string_view type, std::string_view scopes, std::string_view lang,
                        std::string_view predicate, std::vector<ServiceMatch>* out);
  // AttrRqst: url_or_type is a URL (contains "://") or a service type.
  // *truncated (when given) tells that the union of a type's attributes
  // hit the work or size bound and *out holds only part of it.
  uint16_t FindAttributes(std::string_view url_or_type, std::string_view scopes,
                          std::string_view lang, std::string_view tags, std::string* out,
                          bool* truncated = nullptr);
  // SrvTypeRqst.  all_authorities false with an empty authority lists only
  // types without a naming authority.
  uint16_t FindTypes(bool all_authorities, std::string_view naming_authority,
                     std::string_view scopes, std::string* out);

  // Seconds left until expiry, rounded up, 1..65535: a lifetime as replies
  // carry it.
  uint16_t LifetimeLeft(std::chrono::steady_clock::time_point expiry) const;

  // True when every scope of the list is served (and the list is not empty).
  bool ServesAll(std::string_view scopes) const;
  // True when the list names at least one served scope.
  bool ServesAny(std::string_view scopes) const;
  const std::string& scopes_text() const { return scopes_text_; }

  // Bounds on the work of one look-up (see the top of this file).
  static constexpr size_t kMaxNearestTerms = 16;
  static constexpr size_t kMaxUnionValues = size_t{1} << 18;
  // An attribute list travels in a 16-bit length field.
  static constexpr size_t kMaxAttrReplyBytes = 0xFFFF;

  size_t size();
  // Live registrations by service type (normalized, see
  // NormalizeServiceType), at most max_types of them in type order; the
  // rest are summed under "" .  For metrics: one pass over the store
  // under its lock.
  std::vector<std::pair<std::string, size_t>> CountByType(size_t max_types);
  // Incremented by every change; lets the caller save only when needed.
  uint64_t generation();

  // State snapshot: one line per registration with its absolute expiry in
  // wall-clock seconds.  Load registers every unexpired line of a snapshot
  // with its remaining lifetime and returns how many were taken; malformed
  // lines are skipped.
  std::string Snapshot();
  size_t Load(std::string_view snapshot);

  // For agents that share their registrations through another store: the
  // registrations of one URL (every language), or all when url is empty,
  // each as the fresh SrvReg that would make it again with its remaining
  // lifetime, in registration order.
  std::vector<RegistrationInput> Entries(std::string_view url = {});
  // Removes the registration of (url, lang); false when there was none.
  bool Erase(std::string_view url, std::string_view lang);

 private:
  struct Entry {
    uint64_t id = 0;
    std::string url;
    std::string lang;
    std::string lang_key;
    std::string lang_primary;  // primary subtag, folded
    std::string service_type;
    std::string type_key;  // NormalizeServiceType
    std::string bucket;    // type_key up to its first ':'
    std::string scope_text;
    std::vector<std::string> scopes;  // folded, sorted
    AttrList attrs;
    std::string attrs_text;                     // as registered (a refresh compares it)
    std::optional<std::vector<double>> coords;  // from x-PELM-coords
    std::chrono::steady_clock::time_point expiry;
  };
  // Entries never change once stored; an update stores a new one.  A
  // look-up keeps the ones it needs alive after dropping the lock.
  using EntryPtr = std::shared_ptr<const Entry>;
  using Key = std::pair<std::string, std::string>;  // URL, lang_key
  // Nearest sets of one request: per nearest term, id -> squared distance.
  using NearestSets = std::vector<std::unordered_map<uint64_t, double>>;
  struct CoordBucket;  // coordinate records of one bucket, below
  struct CachedAnswer {
    uint64_t generation = 0;
    uint16_t code = 0;
    std::string text;
    bool truncated = false;
  };

  // --- da_store.cc: registrations, indexes, expiry
  void PurgeLocked() REQUIRES(mu_);
  void RemoveLocked(uint64_t id) REQUIRES(mu_);
  void PutLocked(EntryPtr e) REQUIRES(mu_);
  // A fresh SrvReg that repeats the stored one but for its lifetime: only
  // the expiry moves (no parse, no index change).  False when it differs.
  bool RefreshLocked(const RegistrationInput& in) REQUIRES(mu_);
  void IndexLocked(const EntryPtr& e, bool add) REQUIRES(mu_);
  static bool Visible(const Entry& e, const std::vector<std::string>& scopes);
  uint16_t RemainingLifetime(const Entry& e) const;
  static bool TypeMatches(const Entry& e, const std::string& req_key);

  // --- da_lookup.cc: the steps of the look-ups
  // Registrations of the requested (normalized) type, in registration order.
  std::vector<EntryPtr> TypeMatchesLocked(const std::string& req_key) const REQUIRES(mu_);
  // The `window` records nearest to q by (distance, id), as indexes into
  // b.recs, nearest first; through the view when it can serve.
  std::vector<std::pair<double, size_t>> NearestWindowLocked(CoordBucket& b,
                                                             const std::vector<double>& q,
                                                             size_t window) const REQUIRES(mu_);
  void NearestLocked(const Predicate& pred, const std::string& bucket,
                     const std::function<bool(const Entry&)>& eligible, NearestSets* sets) const
      REQUIRES(mu_);
  std::vector<EntryPtr> CandidatesLocked(const Predicate& pred, const std::string& req_key,
                                         const NearestSets& nearest) const REQUIRES(mu_);
  void OrderAnswers(std::vector<std::pair<double, const Entry*>>* hits,
                    const std::string& req_primary, std::vector<ServiceMatch>* out) const;
  bool CachedLocked(const std::string& key, CachedAnswer* answer) const REQUIRES(mu_);
  void CacheLocked(const std::string& key, CachedAnswer answer) REQUIRES(mu_);

  const DaClock* clock_;
  StoreLimits limits_;
  std::string scopes_text_;
  std::vector<std::string> scopes_;

  mutable port::Mutex mu_;
  uint64_t next_id_ GUARDED_BY(mu_) = 1;
  uint64_t generation_ GUARDED_BY(mu_) = 0;
  std::map<uint64_t, EntryPtr> entries_ GUARDED_BY(mu_);  // by id = registration order
  std::map<Key, uint64_t> by_key_ GUARDED_BY(mu_);
  std::unordered_map<std::string, std::map<uint64_t, EntryPtr>> by_bucket_ GUARDED_BY(mu_);
  // Registrations with coordinates, per bucket, packed for the distance
  // scan of nearest terms (unordered).  The raw pointer stays valid while
  // the entry is in entries_: every removal goes through IndexLocked.
  struct CoordRec {
    const Entry* entry;
    uint32_t dims;
    double c[4];     // the first dimensions; entry->coords has them all
    uint64_t stamp;  // this record's number in its bucket (see CoordBucket)
  };
  // A copy of a record for the ordered view, by id (entries change).
  struct CoordItem {
    double c[4];
    uint32_t dims;
    uint64_t id;
    uint64_t stamp;
  };
  struct CoordBucket {
    std::vector<CoordRec> recs;  // every record, unordered
    // The view a nearest term searches: the records sorted by their first
    // coordinate when it was built, those added since (scanned whole), and
    // the removed ones marked by stamp.  A search starts at the query's
    // first coordinate and goes outwards on each side until that
    // coordinate alone puts a record farther than the current window: only
    // the records in a slab around the query are looked at.  Rebuilt at
    // the next look-up once the additions or removals pass a share of it.
    std::vector<CoordItem> sorted, added;
    std::vector<bool> removed;  // by stamp - base
    uint64_t base = 0, next = 0;
    size_t removed_count = 0;
    size_t odd = 0;  // records of 0 or more than 4 dimensions (scanned the plain way)
    bool built = false;
  };
  // Mutable: a look-up may rebuild a bucket's view (under the lock).
  mutable std::unordered_map<std::string, CoordBucket> by_coords_ GUARDED_BY(mu_);
  // Where each entry's record sits in its bucket's recs.
  std::unordered_map<uint64_t, size_t> coord_pos_ GUARDED_BY(mu_);
  // tag '\0' IndexKey -> sorted ids.
  std::unordered_map<std::string, std::vector<uint64_t>> by_value_ GUARDED_BY(mu_);
  std::set<std::pair<std::chrono::steady_clock::time_point, uint64_t>> by_expiry_ GUARDED_BY(mu_);
  // Attribute and type answers by request, valid for one generation.
  std::unordered_map<std::string, CachedAnswer> answers_ GUARDED_BY(mu_);
};

}  // namespace orvel::slp

#endif  // ORVEL_LIBORVEL_SLP_DA_STORE_H_
