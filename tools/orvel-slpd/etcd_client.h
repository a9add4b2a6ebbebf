// etcd_client.h: a small client of etcd's v3 API through its JSON gateway.
//
// The gateway maps the v3 gRPC services onto HTTP POSTs of JSON documents
// (/v3/kv/range, /v3/kv/put, /v3/kv/deleterange, /v3/lease/grant,
// /v3/lease/revoke, and /v3/watch as a stream of newline-separated
// documents); keys and values travel in base64.  libcurl carries the HTTP
// and nlohmann-json reads and writes the documents, which keeps the agent
// free of gRPC and generated protocol code.
//
// Several endpoints may be given: a call that cannot reach one (refused,
// timed out) moves on to the next, at most once round the list.
//
// One client is one connection: its calls are serialised by an internal
// lock.  Use one client per thread that must not wait for the others (the
// watch blocks for as long as it streams).
#ifndef ORVEL_TOOLS_ORVEL_SLPD_ETCD_CLIENT_H_
#define ORVEL_TOOLS_ORVEL_SLPD_ETCD_CLIENT_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "port/mutex.h"

namespace orvel::etcd {

std::string Base64Encode(std::string_view bytes);
// False on a character outside the alphabet or a bad length.
bool Base64Decode(std::string_view text, std::string* out);
// The smallest key above every key that starts with prefix (etcd's
// range_end for a prefix); "\0" for the empty prefix (every key).
std::string PrefixEnd(std::string_view prefix);
// Splits "http://a:2379,http://b:2379"; empty when an item is empty or
// does not start with http:// or https://.
std::vector<std::string> ParseEndpoints(std::string_view list);

enum class Status {
  kOk,
  kUnreachable,  // no endpoint answered (connection refused, time-out)
  kFailed,       // etcd answered with an error (no leader, key not found...)
};

struct Result {
  Status status = Status::kOk;
  std::string message;   // what went wrong, for logs
  int64_t revision = 0;  // header revision of the answer
  // Some endpoint took the connection (it may still have had no leader).
  bool reached = false;
  int grpc_code = 0;  // etcd's error code (gRPC status), when it answered one
  bool ok() const { return status == Status::kOk; }
};

// One operation of a transaction.
struct TxnOp {
  enum Kind { kPut, kDeleteRange } kind = kPut;
  std::string key;
  std::string value;      // kPut
  std::string range_end;  // kDeleteRange
  int64_t lease = 0;      // kPut; 0: no lease
};

struct KeyValue {
  std::string key;
  std::string value;
  int64_t mod_revision = 0;
  int64_t lease = 0;
};

struct Event {
  bool deleted = false;  // DELETE (also a lease running out); else PUT
  KeyValue kv;
};

// Why a watch ended.
struct WatchEnd {
  enum Kind { kStopped, kCompacted, kCanceled, kBroken } kind = kBroken;
  int64_t compact_revision = 0;  // kCompacted: the oldest revision kept
  std::string message;
};

class Client {
 public:
  // timeout_ms bounds each unary call per endpoint (connecting included).
  explicit Client(std::vector<std::string> endpoints, long timeout_ms = 3000);
  ~Client();
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  Result Grant(int64_t ttl_seconds, int64_t* lease_id);
  Result Revoke(int64_t lease_id);
  // lease 0: no lease.
  Result Put(const std::string& key, const std::string& value, int64_t lease);
  // Replaces the value and keeps the key's lease; kFailed when the key is
  // gone.
  Result PutKeepLease(const std::string& key, const std::string& value);
  // Deletes [key, range_end); *deleted gets the count when given.
  Result DeleteRange(const std::string& key, const std::string& range_end,
                     int64_t* deleted = nullptr);
  // Applies every op at one revision (all or none); result.revision is
  // that revision.  etcd takes at most 128 ops per transaction by default.
  Result Txn(const std::vector<TxnOp>& ops);
  // Every key in [key, range_end), read in pages at one revision so the
  // listing is consistent; result.revision is that revision.  With
  // count_only, out may be null and nothing is listed (a cheap,
  // linearizable probe that needs a leader).
  Result Range(const std::string& key, const std::string& range_end, std::vector<KeyValue>* out,
               bool count_only = false);

  // Streams the changes of [key, range_end) from start_revision.  on_created
  // runs once the watch is established; on_events for each batch, in
  // revision order.  Ends when stop turns true (checked at least every
  // second), when etcd cancels it, or when the stream breaks.
  WatchEnd Watch(const std::string& key, const std::string& range_end, int64_t start_revision,
                 const std::function<void()>& on_created,
                 const std::function<void(const std::vector<Event>&)>& on_events,
                 const std::atomic<bool>& stop);

  // The endpoint the next call tries first.
  std::string endpoint() const;

 private:
  struct Curl;
  // POSTs body to path; *reply gets the answer body.  Moves to the next
  // endpoint on a transport failure.
  Result Post(const std::string& path, const std::string& body, std::string* reply);

  std::vector<std::string> endpoints_;
  long timeout_ms_;
  port::Mutex mu_;                  // one call at a time on the handle
  std::atomic<size_t> current_{0};  // index of the endpoint tried first
  std::unique_ptr<Curl> curl_ PT_GUARDED_BY(mu_);
};

}  // namespace orvel::etcd

#endif  // ORVEL_TOOLS_ORVEL_SLPD_ETCD_CLIENT_H_
