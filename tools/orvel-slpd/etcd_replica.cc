// etcd_replica.cc: registrations written through etcd, a local copy kept by
// a watch.
#include "etcd_replica.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <future>
#include <set>
#include <utility>

#include "slp/attr.h"
#include "slp/wire.h"

namespace orvel::etcd {
namespace {

constexpr const char* kRecordVersion = "1";
constexpr int kRetryMs = 250;
constexpr size_t kMaxTxnOps = 128;  // etcd's default --max-txn-ops
constexpr size_t kMinBatch = 8;
constexpr int kWriters = 4;
constexpr int kLeaseReuseMs = 1000;
constexpr size_t kMaxLeases = 64;
constexpr int kGrpcNotFound = 5;
constexpr int kGrpcResourceExhausted = 8;

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
      watcher_(opt_.endpoints, opt_.timeout_ms),
      prober_(opt_.endpoints, opt_.timeout_ms) {
  for (int i = 0; i < kWriters; ++i) {
    writers_.push_back(
        std::make_unique<Client>(opt_.endpoints, std::min(opt_.write_timeout_ms, opt_.timeout_ms)));
  }
}

Replica::~Replica() { Stop(); }

std::string Replica::Start() {
  const auto give_up =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(opt_.start_wait_ms);
  bool reached = false;
  std::string err = Reload(&reached);
  // A member that takes the connection but cannot answer has no leader
  // yet (a cluster starting, or an election): wait for one.  Nobody
  // listening at all is a fault to report at once.
  if (!err.empty() && reached && opt_.start_wait_ms > 0) {
    log_("etcd has no leader yet (" + err + "): waiting up to " +
         std::to_string(opt_.start_wait_ms / 1000) + " s for one");
    while (!err.empty() && std::chrono::steady_clock::now() < give_up) {
      Pause(kRetryMs);
      {
        port::MutexLock lock(&stop_mu_);
        if (stopping_) break;
      }
      err = Reload(&reached);
    }
  }
  if (!err.empty()) return err;
  watch_thread_ = std::thread(&Replica::WatchLoop, this);
  probe_thread_ = std::thread(&Replica::ProbeLoop, this);
  for (auto& w : writers_) write_threads_.emplace_back(&Replica::WriteLoop, this, w.get());
  return std::string();
}

void Replica::Stop() {
  {
    port::MutexLock lock(&stop_mu_);
    stopping_ = true;
  }
  interrupt_watch_.store(true);
  stop_cv_.SignalAll();
  {
    port::MutexLock lock(&queue_mu_);
    writer_stopping_ = true;
  }
  queue_cv_.SignalAll();
  for (std::thread& t : write_threads_) t.join();
  write_threads_.clear();
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

std::string Replica::Reload(bool* reached) {
  std::vector<KeyValue> kvs;
  Result r = watcher_.Range(opt_.prefix, range_end_, &kvs);
  if (reached) *reached = r.reached;
  if (!r.ok()) return r.message;
  port::MutexLock apply(&apply_mu_);
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
    if (!up) unavailable_since_ = std::chrono::steady_clock::now();
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
  std::promise<uint16_t> code;
  RegisterAsync(in, [&code](uint16_t c) { code.set_value(c); });
  return code.get_future().get();
}

uint16_t Replica::Deregister(std::string_view scopes, std::string_view url, std::string_view lang,
                             std::string_view tags) {
  std::promise<uint16_t> code;
  DeregisterAsync(scopes, url, lang, tags, [&code](uint16_t c) { code.set_value(c); });
  return code.get_future().get();
}

void Replica::RegisterAsync(const slp::RegistrationInput& in, Done done) {
  Op op;
  op.in = in;
  op.done = std::move(done);
  Enqueue(std::move(op));
}

void Replica::DeregisterAsync(std::string_view scopes, std::string_view url, std::string_view lang,
                              std::string_view tags, Done done) {
  std::vector<std::string> patterns;
  if (!slp::ParseTagList(tags, &patterns)) return done(slp::error::kParseError);
  Op op;
  op.deregister = true;
  op.scopes = scopes;
  op.url = url;
  op.lang = lang;
  op.tags = tags;
  op.done = std::move(done);
  Enqueue(std::move(op));
}

bool Replica::GivenUp() const {
  port::MutexLock lock(&mu_);
  return !available_ && std::chrono::steady_clock::now() - unavailable_since_ >
                            std::chrono::milliseconds(opt_.write_budget_ms);
}

void Replica::Enqueue(Op op) {
  if (GivenUp()) return op.done(slp::error::kDaBusyNow);
  op.deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(opt_.write_budget_ms);
  {
    port::MutexLock lock(&queue_mu_);
    if (!writer_stopping_ && queue_.size() < opt_.max_queued) {
      queue_.push_back(std::move(op));
      queue_cv_.Signal();
      return;
    }
  }
  op.done(slp::error::kDaBusyNow);
}

void Replica::TakeBatch(size_t limit, std::vector<Op>* batch) {
  // An op whose URL is in flight, or behind one that had to stay, stays
  // too: the ops of one URL are written in the order they came.
  std::set<std::string> blocked = in_flight_;
  std::deque<Op> rest;
  while (!queue_.empty()) {
    Op& next = queue_.front();
    const std::string& url = next.deregister ? next.url : next.in.url;
    const bool alone = next.deregister && !next.tags.empty();
    const bool full = batch->size() >= limit || (alone && !batch->empty());
    if (full || blocked.count(url)) {
      blocked.insert(url);
      rest.push_back(std::move(next));
    } else {
      blocked.insert(url);
      in_flight_.insert(url);
      batch->push_back(std::move(next));
      if (alone) limit = 0;
    }
    queue_.pop_front();
    if (batch->size() >= limit) break;
  }
  while (!queue_.empty()) {
    rest.push_back(std::move(queue_.front()));
    queue_.pop_front();
  }
  queue_.swap(rest);
}

void Replica::WriteLoop(Client* writer) {
  for (;;) {
    std::vector<Op> batch;
    {
      port::MutexLock lock(&queue_mu_);
      ++idle_writers_;
      for (;;) {
        if (writer_stopping_) break;
        // Spread what waits over the idle writers: several transactions in
        // flight share etcd's disk syncs.
        const size_t share =
            (queue_.size() + idle_writers_ - 1) / std::max<size_t>(idle_writers_, 1);
        TakeBatch(std::clamp<size_t>(share, kMinBatch, kMaxTxnOps), &batch);
        if (!batch.empty()) break;
        queue_cv_.Wait(&lock);
      }
      --idle_writers_;
      if (writer_stopping_ && batch.empty()) break;
    }
    WriteBatch(writer, &batch);
    {
      port::MutexLock lock(&queue_mu_);
      for (const Op& op : batch) in_flight_.erase(op.deregister ? op.url : op.in.url);
    }
    queue_cv_.SignalAll();
  }
  // Stopping: what is still queued is not recorded.
  std::deque<Op> left;
  {
    port::MutexLock lock(&queue_mu_);
    left.swap(queue_);
  }
  for (Op& op : left) op.done(slp::error::kDaBusyNow);
}

Result Replica::Retrying(std::chrono::steady_clock::time_point deadline,
                         const std::function<Result()>& call) {
  int pause_ms = 20;
  for (;;) {
    Result r = call();
    // kFailed is etcd's answer (lease gone, request too large...), except
    // when it asks to slow down.
    if (r.ok() || (r.status == Status::kFailed && r.grpc_code != kGrpcResourceExhausted)) {
      return r;
    }
    {
      port::MutexLock lock(&stop_mu_);
      if (stopping_) return r;
    }
    if (std::chrono::steady_clock::now() + std::chrono::milliseconds(pause_ms) >= deadline) {
      return r;
    }
    Pause(pause_ms);
    pause_ms = std::min(pause_ms * 2, 400);
  }
}

Result Replica::LeaseFor(Client* writer, uint16_t lifetime,
                         std::chrono::steady_clock::time_point deadline, int64_t* lease) {
  port::MutexLock lock(&lease_mu_);
  const auto now = std::chrono::steady_clock::now();
  auto it = leases_.find(lifetime);
  if (it != leases_.end() && now - it->second.granted < std::chrono::milliseconds(kLeaseReuseMs)) {
    *lease = it->second.id;
    return Result();
  }
  if (leases_.size() >= kMaxLeases) leases_.clear();
  // Two seconds past the lifetime: a key put up to a second after the
  // grant still outlives its registration.
  Result r = Retrying(deadline, [&] { return writer->Grant(int64_t{lifetime} + 2, lease); });
  if (r.ok()) leases_[lifetime] = Lease{*lease, now};
  return r;
}

bool Replica::Plan(Client* writer, const Op& op, std::chrono::steady_clock::time_point deadline,
                   TxnOp* txn, slp::RegistrationInput* result, uint16_t* code) {
  // Validate and merge on a scratch store holding this URL's registrations,
  // so nothing reaches the local copy before etcd has it.
  slp::RegistrationStore scratch(store_->scopes_text(), clock_, opt_.limits);
  const std::string& url = op.deregister ? op.url : op.in.url;
  bool exists = false;
  for (const slp::RegistrationInput& e : store_->Entries(url)) {
    scratch.Register(e);
    exists = exists || (!op.deregister && SameLanguage(e.lang, op.in.lang));
  }
  if (op.deregister) {
    *code = scratch.Deregister(op.scopes, op.url, op.lang, op.tags);
    if (*code != slp::error::kOk) return false;
    // Every language, also those this copy has not seen yet.
    txn->kind = TxnOp::kDeleteRange;
    txn->key = UrlKeyPrefix(opt_.prefix, op.url);
    txn->range_end = PrefixEnd(txn->key);
    return true;
  }
  *code = scratch.Register(op.in);
  if (*code != slp::error::kOk) return false;
  if (!exists && store_->size() >= opt_.limits.max_entries) {
    *code = slp::error::kInternalError;
    return false;
  }
  for (slp::RegistrationInput& e : scratch.Entries(op.in.url)) {
    if (SameLanguage(e.lang, op.in.lang)) *result = std::move(e);
  }
  result->lifetime = op.in.lifetime;
  Result r = LeaseFor(writer, op.in.lifetime, deadline, &txn->lease);
  if (!r.ok()) {
    *code = Failed(r);
    return false;
  }
  txn->kind = TxnOp::kPut;
  txn->key = RegistrationKey(opt_.prefix, op.in.url, op.in.lang);
  txn->value = EncodeRecord(*result, NowMs() + int64_t{op.in.lifetime} * 1000);
  return true;
}

void Replica::WriteBatch(Client* writer, std::vector<Op>* batch) {
  if (batch->size() == 1 && batch->front().deregister && !batch->front().tags.empty()) {
    Op& op = batch->front();
    op.done(DeregisterTags(writer, op));
    return;
  }
  auto deadline = std::chrono::steady_clock::time_point::max();
  for (const Op& op : *batch) deadline = std::min(deadline, op.deadline);
  std::vector<TxnOp> txn;
  std::vector<slp::RegistrationInput> results;
  std::vector<Op*> planned;
  for (Op& op : *batch) {
    TxnOp t;
    slp::RegistrationInput result;
    uint16_t code = slp::error::kOk;
    if (!Plan(writer, op, deadline, &t, &result, &code)) {
      op.done(code);
      continue;
    }
    txn.push_back(std::move(t));
    results.push_back(std::move(result));
    planned.push_back(&op);
  }
  if (txn.empty()) return;
  Result r = Retrying(deadline, [&] { return writer->Txn(txn); });
  if (!r.ok() && r.grpc_code == kGrpcNotFound) {
    // A lease ran out or was lost with etcd's data: grant new ones.
    {
      port::MutexLock lock(&lease_mu_);
      leases_.clear();
    }
    for (size_t i = 0; i < txn.size(); ++i) {
      if (txn[i].kind != TxnOp::kPut) continue;
      r = LeaseFor(writer, results[i].lifetime, deadline, &txn[i].lease);
      if (!r.ok()) break;
    }
    if (r.ok()) r = Retrying(deadline, [&] { return writer->Txn(txn); });
  }
  if (!r.ok()) {
    uint16_t code = Failed(r);
    for (Op* op : planned) op->done(code);
    return;
  }
  ApplyWritten(planned, txn, r.revision);
  for (Op* op : planned) op->done(slp::error::kOk);
}

void Replica::ApplyWritten(const std::vector<Op*>& planned, const std::vector<TxnOp>& txn,
                           int64_t revision) {
  // etcd has the change: the local copy shows it now rather than when the
  // watch brings it (a member that is not the leader learns of a commit
  // only with the leader's next message).  Unless the watch is already
  // past this revision, in which case the copy has it and maybe newer.
  port::MutexLock apply(&apply_mu_);
  if (this->revision() >= revision) return;
  for (size_t i = 0; i < planned.size(); ++i) {
    const Op& op = *planned[i];
    if (op.deregister) {
      store_->Deregister(op.scopes, op.url, op.lang, op.tags);
      port::MutexLock lock(&mu_);
      for (auto it = known_.lower_bound(txn[i].key);
           it != known_.end() && it->first < txn[i].range_end;) {
        it = known_.erase(it);
      }
    } else {
      ApplyPut(KeyValue{txn[i].key, txn[i].value, revision, txn[i].lease});
    }
  }
}

uint16_t Replica::DeregisterTags(Client* writer, const Op& op) {
  slp::RegistrationStore scratch(store_->scopes_text(), clock_, opt_.limits);
  std::vector<slp::RegistrationInput> before = store_->Entries(op.url);
  for (const slp::RegistrationInput& e : before) scratch.Register(e);
  uint16_t code = scratch.Deregister(op.scopes, op.url, op.lang, op.tags);
  if (code != slp::error::kOk) return code;
  int64_t wait_for = 0;
  for (const slp::RegistrationInput& after : scratch.Entries(op.url)) {
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
    const std::string value = EncodeRecord(after, expiry);
    Result r = Retrying(op.deadline, [&] { return writer->PutKeepLease(key, value); });
    if (r.status == Status::kFailed) continue;  // ran out meanwhile: nothing left to change
    if (!r.ok()) return Failed(r);
    wait_for = r.revision;
  }
  if (wait_for > 0 && !WaitApplied(wait_for)) {
    store_->Deregister(op.scopes, op.url, op.lang, op.tags);
  }
  return slp::error::kOk;
}

void Replica::WatchLoop() {
  bool established = false;
  auto on_created = [this, &established] {
    established = true;
    bool probe_ok;
    {
      port::MutexLock lock(&mu_);
      probe_ok = probe_ok_;
    }
    SetHealth(true, probe_ok, std::string());
  };
  auto on_events = [this](const std::vector<Event>& events) {
    port::MutexLock apply(&apply_mu_);
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
    established = false;
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
    // A stream that was up goes to the next endpoint at once: its member
    // may be gone while the others serve.
    if (end.kind == WatchEnd::kStopped || !established) Pause(kRetryMs);
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
