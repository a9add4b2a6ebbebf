// etcd_replica.h: an agent's registrations shared through etcd.
//
// Every registration is one etcd key under a prefix,
//   PREFIX + URL (with '%', tab, CR and LF as %XX) + '\t' + folded language,
// whose value holds the whole registration with its absolute expiry, and
// which lives under a lease granted for the registration's lifetime.  So
// any agent on the same etcd and prefix answers with the same
// registrations and the same lifetimes, and an agent that dies loses
// nothing that it acknowledged.
//
// The replica is the agent's RegistrationSink: a SrvReg or SrvDeReg is
// checked against the local copy, written to etcd, and acknowledged only
// once etcd acknowledged it and the local copy shows it.  The local copy
// (the agent's RegistrationStore) is filled at start and kept current by a
// watch, so look-ups never wait for etcd.
//
// Writes are queued and one writer thread sends what has gathered while
// the previous transaction was in flight as one transaction (at most 128
// operations, etcd's default bound), so many registrations share one
// round trip and one disk sync.  Keys live under leases shared by the
// registrations of one lifetime granted within a second; a lease lives
// two seconds longer than the lifetime it was granted for, and the expiry
// in each value, not the lease, decides when a registration ends.
//
// A write that fails on one endpoint is tried on the others, again and
// again, until its budget (write_budget_ms after it arrived) runs out: a
// member lost, or a leader election, delays registrations but refuses none.
// When etcd cannot be reached (the watch breaks, or the periodic probe
// fails, e.g. on a member without a leader) the replica is unavailable;
// once that has lasted a whole budget, registrations get DA_BUSY_NOW at
// once until it is back.  Look-ups go on from the local copy.  The loss and
// the return are logged once each.  The watch resumes after the last
// revision applied, so no change is missed or applied twice; when that
// revision has been compacted away, the whole prefix is read again.
#ifndef ORVEL_TOOLS_ORVEL_SLPD_ETCD_REPLICA_H_
#define ORVEL_TOOLS_ORVEL_SLPD_ETCD_REPLICA_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "etcd_client.h"
#include "port/mutex.h"
#include "slp/da_sink.h"
#include "slp/da_store.h"

namespace orvel::etcd {

// Key of the registration of (url, lang) under prefix.
std::string RegistrationKey(std::string_view prefix, std::string_view url, std::string_view lang);
// Start of the keys of url in every language.
std::string UrlKeyPrefix(std::string_view prefix, std::string_view url);
// The registration as an etcd value, with its expiry in milliseconds since
// 1970, and back.  Decode is false on anything but a complete record.
std::string EncodeRecord(const slp::RegistrationInput& in, int64_t expiry_ms);
bool DecodeRecord(std::string_view value, slp::RegistrationInput* in, int64_t* expiry_ms);

struct ReplicaOptions {
  std::vector<std::string> endpoints;
  std::string prefix = "/orvel/slp/";
  slp::StoreLimits limits;
  long timeout_ms = 3000;        // one etcd call, per endpoint
  long write_timeout_ms = 1500;  // one write, per endpoint
  int write_budget_ms = 4000;    // a write is retried this long after it arrived
  int probe_every_ms = 500;      // reachability probe
  int ack_wait_ms = 2000;        // a write waits this long to show in the local copy
  int start_wait_ms = 30000;     // at start, how long to wait for a leader
  size_t max_queued = 8192;      // writes waiting; past it DA_BUSY_NOW
};

class Replica : public slp::RegistrationSink {
 public:
  using Log = std::function<void(const std::string&)>;

  // store and clock are borrowed and must outlive the replica; log gets one
  // line per event worth an operator's attention.
  Replica(slp::RegistrationStore* store, const slp::DaClock* clock, ReplicaOptions options,
          Log log);
  ~Replica() override;
  Replica(const Replica&) = delete;
  Replica& operator=(const Replica&) = delete;

  // Reads every registration under the prefix into the store and starts
  // the watch, the probe and the writer.  Returns "" or why etcd cannot be
  // used.  A cluster that answers but has no leader is waited for, up to
  // start_wait_ms; waiting says so once through the log.
  std::string Start();
  // Ends the watch and the probe; waits for their threads.
  void Stop();

  uint16_t Register(const slp::RegistrationInput& in) override;
  uint16_t Deregister(std::string_view scopes, std::string_view url, std::string_view lang,
                      std::string_view tags) override;
  void RegisterAsync(const slp::RegistrationInput& in, Done done) override;
  void DeregisterAsync(std::string_view scopes, std::string_view url, std::string_view lang,
                       std::string_view tags, Done done) override;

  bool available() const;
  // Highest etcd revision the local copy reflects.
  int64_t revision() const;
  // Live registrations taken by the last full read.
  size_t loaded() const { return loaded_.load(); }

 private:
  struct Known {
    int64_t lease = 0;
    int64_t expiry_ms = 0;
  };
  // One queued SrvReg or SrvDeReg.
  struct Op {
    bool deregister = false;
    slp::RegistrationInput in;            // SrvReg
    std::string scopes, url, lang, tags;  // SrvDeReg
    std::chrono::steady_clock::time_point deadline;
    Done done;
  };
  struct Lease {
    int64_t id = 0;
    std::chrono::steady_clock::time_point granted;
  };

  void Enqueue(Op op);
  void WriteLoop(Client* writer);
  // Takes the next batch off the queue: ops of URLs not in flight, one per
  // URL, at most `limit`; a partial deregistration alone.
  void TakeBatch(size_t limit, std::vector<Op>* batch) REQUIRES(queue_mu_);
  void WriteBatch(Client* writer, std::vector<Op>* batch);
  // The change of one op as a transaction operation, checked against the
  // local copy; false with *code when it is refused.
  bool Plan(Client* writer, const Op& op, std::chrono::steady_clock::time_point deadline,
            TxnOp* txn, slp::RegistrationInput* result, uint16_t* code);
  uint16_t DeregisterTags(Client* writer, const Op& op);
  // Brings the local copy up to a transaction etcd acknowledged at revision.
  void ApplyWritten(const std::vector<Op*>& planned, const std::vector<TxnOp>& txn,
                    int64_t revision);
  // A lease for registrations of this lifetime, reused for a second.
  Result LeaseFor(Client* writer, uint16_t lifetime, std::chrono::steady_clock::time_point deadline,
                  int64_t* lease);
  // Runs call until it succeeds, etcd refuses for good, or deadline.
  Result Retrying(std::chrono::steady_clock::time_point deadline,
                  const std::function<Result()>& call);
  // Unavailable for longer than a write budget.
  bool GivenUp() const;
  std::string Reload(bool* reached = nullptr);
  // False when the registration is not (or no longer) in the local copy.
  bool ApplyPut(const KeyValue& kv);
  void ApplyDelete(const std::string& key);
  void Applied(int64_t revision);
  bool WaitApplied(int64_t revision);
  // Marks a failed write; returns the SrvAck code for it.
  uint16_t Failed(const Result& r);
  void SetHealth(bool watch_up, bool probe_ok, const std::string& why);
  void WatchLoop();
  void ProbeLoop();
  void Pause(int ms);

  slp::RegistrationStore* store_;
  const slp::DaClock* clock_;
  ReplicaOptions opt_;
  Log log_;
  std::string range_end_;

  std::vector<std::unique_ptr<Client>> writers_;  // one per writer thread
  Client watcher_;                                // the watch stream and full reads
  Client prober_;                                 // reachability probe
  port::Mutex lease_mu_;
  std::map<uint16_t, Lease> leases_ GUARDED_BY(lease_mu_);  // by lifetime

  port::Mutex queue_mu_;
  port::CondVar queue_cv_;
  std::deque<Op> queue_ GUARDED_BY(queue_mu_);
  std::set<std::string> in_flight_ GUARDED_BY(queue_mu_);  // URLs being written
  size_t idle_writers_ GUARDED_BY(queue_mu_) = 0;
  bool writer_stopping_ GUARDED_BY(queue_mu_) = false;

  // Held while changes are applied to the local copy (watch, full read,
  // written transactions), so they apply in revision order.
  port::Mutex apply_mu_;
  mutable port::Mutex mu_;
  port::CondVar applied_cv_;
  std::map<std::string, Known> known_ GUARDED_BY(mu_);  // by key
  int64_t revision_ GUARDED_BY(mu_) = 0;
  bool watch_up_ GUARDED_BY(mu_) = true;
  bool probe_ok_ GUARDED_BY(mu_) = true;
  bool available_ GUARDED_BY(mu_) = true;
  std::chrono::steady_clock::time_point unavailable_since_ GUARDED_BY(mu_);
  std::atomic<size_t> loaded_{0};

  port::Mutex stop_mu_;
  port::CondVar stop_cv_;
  bool stopping_ GUARDED_BY(stop_mu_) = false;
  std::atomic<bool> interrupt_watch_{false};
  std::thread watch_thread_;
  std::thread probe_thread_;
  std::vector<std::thread> write_threads_;
};

}  // namespace orvel::etcd

#endif  // ORVEL_TOOLS_ORVEL_SLPD_ETCD_REPLICA_H_
