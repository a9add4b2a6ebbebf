// etcd_replica.cc: registrations written through etcd, a local copy kept by
// a watch.
#include "etcd_replica.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <set>
#include <utility>

#include "slp/attr.h"
#include "slp/wire.h"

namespace orvel::etcd {
namespace {

constexpr const char* kRecordVersion = "1";
constexpr int kRetryMs = 250;

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

uint16_t LifetimeFrom(int64_t expiry_ms, int64_t now_ms) {
  int64_t secs = (expiry_ms - now_ms + 999) / 1000;
  return static_cast<uint16_t>(std::clamp<int64_t>(secs, 0, 65535));
}

bool SameLanguage(std::string_view a, std::string_view b) {
  return slp::FoldKey(a) == slp::FoldKey(b);
}

}  // namespace

std::string UrlKeyPrefix(std::string_view prefix, std::string_view url) {
  std::string key(prefix);
  key += slp::EscapeField(url);
  key.push_back('\t');
  return key;
}

std::string RegistrationKey(std::string_view prefix, std::string_view url, std::string_view lang) {
  return UrlKeyPrefix(prefix, url) + slp::FoldKey(lang);
}

std::string EncodeRecord(const slp::RegistrationInput& in, int64_t expiry_ms) {
  std::string out = kRecordVersion;
  out.push_back('\t');
  out += std::to_string(expiry_ms);
  for (const std::string* f : {&in.lang, &in.service_type, &in.scopes, &in.url, &in.attrs}) {
    out.push_back('\t');
    out += slp::EscapeField(*f);
  }
  return out;
}

bool DecodeRecord(std::string_view value, slp::RegistrationInput* in, int64_t* expiry_ms) {
  std::vector<std::string_view> fields;
  size_t start = 0;
  for (;;) {
    size_t tab = value.find('\t', start);
    fields.push_back(value.substr(start, tab == std::string_view::npos ? tab : tab - start));
    if (tab == std::string_view::npos) break;
    start = tab + 1;
  }
  if (fields.size() != 7 || fields[0] != kRecordVersion) return false;
  std::string num(fields[1]);
  char* end = nullptr;
  long long exp = std::strtoll(num.c_str(), &end, 10);
  if (num.empty() || *end != '\0') return false;
  *expiry_ms = exp;
  std::string* out[] = {&in->lang, &in->service_type, &in->scopes, &in->url, &in->attrs};
  for (size_t i = 0; i < 5; ++i) {
    if (!slp::UnescapeField(fields[i + 2], out[i])) return false;
  }
  in->fresh = true;
  return !in->url.empty();
}

Replica::Replica(slp::RegistrationStore* store, const slp::DaClock* clock, ReplicaOptions options,
                 Log log)
    : store_(store),
      clock_(clock),
      opt_(std::move(options)),
      log_(std::move(log)),
      range_end_(PrefixEnd(opt_.prefix)),
      writer_(opt_.endpoints, opt_.timeout_ms),
      watcher_(opt_.endpoints, opt_.timeout_ms),
      prober_(opt_.endpoints, opt_.timeout_ms) {}

Replica::~Replica() { Stop(); }

std::string Replica::Start() {
  std::string err = Reload();
  if (!err.empty()) return err;
  watch_thread_ = std::thread(&Replica::WatchLoop, this);
  probe_thread_ = std::thread(&Replica::ProbeLoop, this);
  return std::string();
}

void Replica::Stop() {
  {
    port::MutexLock lock(&stop_mu_);
    stopping_ = true;
  }
  interrupt_watch_.store(true);
  stop_cv_.SignalAll();
  if (watch_thread_.joinable()) watch_thread_.join();
  if (probe_thread_.joinable()) probe_thread_.join();
}

void Replica::Pause(int ms) {
  port::MutexLock lock(&stop_mu_);
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!stopping_) {
    if (!stop_cv_.WaitUntil(&lock, give_up)) break;
  }
}

bool Replica::available() const {
  port::MutexLock lock(&mu_);
  return available_;
}

int64_t Replica::revision() const {
  port::MutexLock lock(&mu_);
  return revision_;
}

std::string Replica::Reload() {
  std::vector<KeyValue> kvs;
  Result r = watcher_.Range(opt_.prefix, range_end_, &kvs);
  if (!r.ok()) return r.message;
  std::set<std::pair<std::string, std::string>> present;  // URL, folded language
  {
    port::MutexLock lock(&mu_);
    known_.clear();
  }
  size_t taken = 0;
  for (const KeyValue& kv : kvs) {
    slp::RegistrationInput in;
    int64_t expiry = 0;
    if (!DecodeRecord(kv.value, &in, &expiry)) continue;
    present.insert({in.url, slp::FoldKey(in.lang)});
    // etcd may still hold a key whose registration has run out: its lease
    // ends on etcd's schedule, not ours.
    if (ApplyPut(kv)) ++taken;
  }
  for (const slp::RegistrationInput& e : store_->Entries()) {
    if (!present.count({e.url, slp::FoldKey(e.lang)})) store_->Erase(e.url, e.lang);
  }
  loaded_.store(taken);
  {
    port::MutexLock lock(&mu_);
    revision_ = r.revision;
  }
  applied_cv_.SignalAll();
  return std::string();
}

bool Replica::ApplyPut(const KeyValue& kv) {
  slp::RegistrationInput in;
  int64_t expiry = 0;
  if (!DecodeRecord(kv.value, &in, &expiry)) return false;  // not a registration of ours
  {
    port::MutexLock lock(&mu_);
    known_[kv.key] = Known{kv.lease, expiry};
  }
  // The record's expiry, not the lease, sets the lifetime: etcd extends
  // leases when its leader changes, and every agent must agree.
  in.lifetime = LifetimeFrom(expiry, NowMs());
  if (in.lifetime == 0 || store_->Register(in) != slp::error::kOk) {
    // Expired, or not servable here (scopes): never answer a stale copy.
    store_->Erase(in.url, in.lang);
    return false;
  }
  return true;
}

void Replica::ApplyDelete(const std::string& key) {
  {
    port::MutexLock lock(&mu_);
    known_.erase(key);
  }
  if (key.compare(0, opt_.prefix.size(), opt_.prefix) != 0) return;
  size_t tab = key.rfind('\t');
  if (tab == std::string::npos || tab < opt_.prefix.size()) return;
  std::string url;
  if (!slp::UnescapeField(
          std::string_view(key).substr(opt_.prefix.size(), tab - opt_.prefix.size()), &url)) {
    return;
  }
  store_->Erase(url, key.substr(tab + 1));
}

void Replica::Applied(int64_t revision) {
  {
    port::MutexLock lock(&mu_);
    revision_ = std::max(revision_, revision);
  }
  applied_cv_.SignalAll();
}

bool Replica::WaitApplied(int64_t revision) {
  port::MutexLock lock(&mu_);
  const auto give_up =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(opt_.ack_wait_ms);
  while (revision_ < revision) {
    if (!applied_cv_.WaitUntil(&lock, give_up)) return revision_ >= revision;
  }
  return true;
}

void Replica::SetHealth(bool watch_up, bool probe_ok, const std::string& why) {
  std::string line;
  {
    port::MutexLock lock(&mu_);
    watch_up_ = watch_up;
    probe_ok_ = probe_ok;
    bool up = watch_up_ && probe_ok_;
    if (up == available_) return;
    available_ = up;
    if (up) {
      line = "etcd back at " + watcher_.endpoint() + " (revision " + std::to_string(revision_) +
             "): registrations accepted again";
    } else {
      line = "etcd lost (" + why +
             "): look-ups answered from the local copy, registrations refused until it is back";
    }
  }
  log_(line);
}

uint16_t Replica::Failed(const Result& r) {
  if (r.status == Status::kUnreachable) {
    bool watch_up;
    {
      port::MutexLock lock(&mu_);
      watch_up = watch_up_;
    }
    SetHealth(watch_up, false, r.message);
    interrupt_watch_.store(true);
  } else {
    log_("etcd refused a write: " + r.message);
  }
  return slp::error::kDaBusyNow;
}

uint16_t Replica::Register(const slp::RegistrationInput& in) {
  if (!available()) return slp::error::kDaBusyNow;
  port::MutexLock write_lock(&write_mu_);
  // Validate and merge on a scratch store holding this URL's registrations,
  // so nothing reaches the local copy before etcd has it.
  slp::RegistrationStore scratch(store_->scopes_text(), clock_, opt_.limits);
  std::vector<slp::RegistrationInput> before = store_->Entries(in.url);
  bool exists = false;
  for (const slp::RegistrationInput& e : before) {
    scratch.Register(e);
    exists = exists || SameLanguage(e.lang, in.lang);
  }
  uint16_t code = scratch.Register(in);
  if (code != slp::error::kOk) return code;
  if (!exists && store_->size() >= opt_.limits.max_entries) return slp::error::kInternalError;
  slp::RegistrationInput result;
  for (slp::RegistrationInput& e : scratch.Entries(in.url)) {
    if (SameLanguage(e.lang, in.lang)) result = std::move(e);
  }
  result.lifetime = in.lifetime;
  const std::string key = RegistrationKey(opt_.prefix, in.url, in.lang);
  const int64_t expiry = NowMs() + int64_t{in.lifetime} * 1000;

  int64_t lease = 0;
  Result r = writer_.Grant(in.lifetime, &lease);
  if (!r.ok()) return Failed(r);
  int64_t old_lease = 0;
  {
    port::MutexLock lock(&mu_);
    if (auto it = known_.find(key); it != known_.end()) old_lease = it->second.lease;
  }
  r = writer_.Put(key, EncodeRecord(result, expiry), lease);
  if (!r.ok()) {
    writer_.Revoke(lease);  // best effort; it runs out by itself otherwise
    return Failed(r);
  }
  // The key left its old lease; end it rather than let it linger.
  if (old_lease != 0 && old_lease != lease) writer_.Revoke(old_lease);
  if (!WaitApplied(r.revision)) store_->Register(result);
  return slp::error::kOk;
}

uint16_t Replica::Deregister(std::string_view scopes, std::string_view url, std::string_view lang,
                             std::string_view tags) {
  if (!available()) return slp::error::kDaBusyNow;
  std::vector<std::string> patterns;
  if (!slp::ParseTagList(tags, &patterns)) return slp::error::kParseError;
  port::MutexLock write_lock(&write_mu_);
  slp::RegistrationStore scratch(store_->scopes_text(), clock_, opt_.limits);
  std::vector<slp::RegistrationInput> before = store_->Entries(url);
  for (const slp::RegistrationInput& e : before) scratch.Register(e);
  uint16_t code = scratch.Deregister(scopes, url, lang, tags);
  if (code != slp::error::kOk) return code;

  int64_t wait_for = 0;
  if (patterns.empty()) {
    // Every language, also those this copy has not seen yet.
    const std::string from = UrlKeyPrefix(opt_.prefix, url);
    int64_t deleted = 0;
    Result r = writer_.DeleteRange(from, PrefixEnd(from), &deleted);
    if (!r.ok()) return Failed(r);
    if (deleted > 0) wait_for = r.revision;
  } else {
    for (const slp::RegistrationInput& after : scratch.Entries(url)) {
      auto old = std::find_if(before.begin(), before.end(), [&](const slp::RegistrationInput& b) {
        return SameLanguage(b.lang, after.lang);
      });
      if (old == before.end() || old->attrs == after.attrs) continue;
      const std::string key = RegistrationKey(opt_.prefix, after.url, after.lang);
      int64_t expiry = NowMs() + int64_t{after.lifetime} * 1000;
      {
        port::MutexLock lock(&mu_);
        if (auto it = known_.find(key); it != known_.end()) expiry = it->second.expiry_ms;
      }
      Result r = writer_.PutKeepLease(key, EncodeRecord(after, expiry));
      if (r.status == Status::kFailed) continue;  // ran out meanwhile: nothing left to change
      if (!r.ok()) return Failed(r);
      wait_for = r.revision;
    }
  }
  if (wait_for > 0 && !WaitApplied(wait_for)) store_->Deregister(scopes, url, lang, tags);
  return slp::error::kOk;
}

void Replica::WatchLoop() {
  auto on_created = [this] {
    bool probe_ok;
    {
      port::MutexLock lock(&mu_);
      probe_ok = probe_ok_;
    }
    SetHealth(true, probe_ok, std::string());
  };
  auto on_events = [this](const std::vector<Event>& events) {
    int64_t last = 0;
    for (const Event& e : events) {
      if (e.deleted) {
        ApplyDelete(e.kv.key);
      } else {
        ApplyPut(e.kv);
      }
      last = std::max(last, e.kv.mod_revision);
    }
    Applied(last);
  };
  for (;;) {
    {
      port::MutexLock lock(&stop_mu_);
      if (stopping_) return;
    }
    WatchEnd end = watcher_.Watch(opt_.prefix, range_end_, revision() + 1, on_created, on_events,
                                  interrupt_watch_);
    {
      port::MutexLock lock(&stop_mu_);
      if (stopping_) return;
    }
    interrupt_watch_.store(false);
    bool probe_ok;
    {
      port::MutexLock lock(&mu_);
      probe_ok = probe_ok_;
    }
    if (end.kind == WatchEnd::kCompacted) {
      // The changes since our revision are gone: read everything again.
      log_("etcd history compacted past revision " + std::to_string(revision()) + " (oldest kept " +
           std::to_string(end.compact_revision) + "): reading every registration again");
      std::string err = Reload();
      if (err.empty()) continue;
      SetHealth(false, probe_ok, err);
    } else if (end.kind != WatchEnd::kStopped) {
      SetHealth(false, probe_ok, end.message.empty() ? "watch cancelled" : end.message);
    }
    Pause(kRetryMs);
  }
}

void Replica::ProbeLoop() {
  for (;;) {
    Pause(opt_.probe_every_ms);
    {
      port::MutexLock lock(&stop_mu_);
      if (stopping_) return;
    }
    // A linearizable read needs a leader: it fails on a member cut off
    // from its quorum even when the connection stays up.
    Result r = prober_.Range(opt_.prefix, range_end_, nullptr, /*count_only=*/true);
    bool watch_up;
    {
      port::MutexLock lock(&mu_);
      watch_up = watch_up_;
    }
    if (!r.ok() && watch_up) interrupt_watch_.store(true);  // make the watch reconnect
    SetHealth(watch_up, r.ok(), r.message);
  }
}

}  // namespace orvel::etcd
