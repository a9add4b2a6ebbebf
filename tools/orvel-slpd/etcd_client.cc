// etcd_client.cc: etcd's v3 JSON gateway over libcurl.
#include "etcd_client.h"

#include <curl/curl.h>

#include <cstdlib>
#include <nlohmann/json.hpp>

namespace orvel::etcd {
namespace {

using json = nlohmann::json;

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr long kConnectMs = 1000;
// gRPC status codes that mean "this member cannot serve now": another
// endpoint may.
constexpr int kGrpcDeadlineExceeded = 4;
constexpr int kGrpcUnavailable = 14;

void GlobalInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// int64 fields come as JSON strings from the gateway; accept numbers too.
int64_t Int64(const json& obj, const char* name) {
  auto it = obj.find(name);
  if (it == obj.end()) return 0;
  if (it->is_number_integer()) return it->get<int64_t>();
  if (it->is_string()) return std::strtoll(it->get_ref<const std::string&>().c_str(), nullptr, 10);
  return 0;
}

std::string String(const json& obj, const char* name) {
  auto it = obj.find(name);
  return it != obj.end() && it->is_string() ? it->get<std::string>() : std::string();
}

bool Bool(const json& obj, const char* name) {
  auto it = obj.find(name);
  return it != obj.end() && it->is_boolean() && it->get<bool>();
}

bool DecodeKv(const json& j, KeyValue* kv) {
  if (!j.is_object()) return false;
  if (!Base64Decode(String(j, "key"), &kv->key)) return false;
  if (!Base64Decode(String(j, "value"), &kv->value)) return false;
  kv->mod_revision = Int64(j, "mod_revision");
  kv->lease = Int64(j, "lease");
  return true;
}

size_t AppendBody(char* data, size_t size, size_t n, void* user) {
  static_cast<std::string*>(user)->append(data, size * n);
  return size * n;
}

// State of one watch stream, fed by libcurl's write callback.
struct WatchStream {
  std::string buffer;
  const std::function<void()>* on_created = nullptr;
  const std::function<void(const std::vector<Event>&)>* on_events = nullptr;
  const std::atomic<bool>* stop = nullptr;
  bool created = false;
  bool ended = false;
  WatchEnd end;

  // False to end the transfer.
  bool Line(const std::string& line) {
    json doc = json::parse(line, nullptr, /*allow_exceptions=*/false);
    if (doc.is_discarded() || !doc.is_object()) return true;  // not ours to judge: skip
    if (doc.contains("error")) {
      end.kind = WatchEnd::kBroken;
      end.message =
          doc["error"].is_object() ? String(doc["error"], "message") : String(doc, "error");
      ended = true;
      return false;
    }
    auto result = doc.find("result");
    if (result == doc.end() || !result->is_object()) return true;
    const json& r = *result;
    if (Bool(r, "created")) {
      created = true;
      (*on_created)();
    }
    auto events = r.find("events");
    if (events != r.end() && events->is_array()) {
      std::vector<Event> batch;
      for (const json& e : *events) {
        Event ev;
        ev.deleted = String(e, "type") == "DELETE";
        auto kv = e.find("kv");
        if (kv == e.end() || !DecodeKv(*kv, &ev.kv)) continue;
        batch.push_back(std::move(ev));
      }
      if (!batch.empty()) (*on_events)(batch);
    }
    if (Bool(r, "canceled")) {
      end.compact_revision = Int64(r, "compact_revision");
      end.kind = end.compact_revision > 0 ? WatchEnd::kCompacted : WatchEnd::kCanceled;
      end.message = String(r, "cancel_reason");
      if (end.message.empty() && end.kind == WatchEnd::kCompacted) end.message = "compacted";
      ended = true;
      return false;
    }
    return true;
  }

  static size_t Write(char* data, size_t size, size_t n, void* user) {
    auto* self = static_cast<WatchStream*>(user);
    self->buffer.append(data, size * n);
    size_t start = 0;
    for (size_t nl; (nl = self->buffer.find('\n', start)) != std::string::npos; start = nl + 1) {
      if (!self->Line(self->buffer.substr(start, nl - start))) return 0;
    }
    self->buffer.erase(0, start);
    return size * n;
  }

  static int Progress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<WatchStream*>(user)->stop->load() ? 1 : 0;
  }
};

}  // namespace

std::string Base64Encode(std::string_view bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    uint32_t v = (static_cast<uint8_t>(bytes[i]) << 16) |
                 (static_cast<uint8_t>(bytes[i + 1]) << 8) | static_cast<uint8_t>(bytes[i + 2]);
    for (int s = 18; s >= 0; s -= 6) out.push_back(kAlphabet[(v >> s) & 63]);
  }
  size_t rest = bytes.size() - i;
  if (rest > 0) {
    uint32_t v = static_cast<uint32_t>(static_cast<uint8_t>(bytes[i])) << 16;
    if (rest == 2) v |= static_cast<uint32_t>(static_cast<uint8_t>(bytes[i + 1])) << 8;
    out.push_back(kAlphabet[(v >> 18) & 63]);
    out.push_back(kAlphabet[(v >> 12) & 63]);
    out.push_back(rest == 2 ? kAlphabet[(v >> 6) & 63] : '=');
    out.push_back('=');
  }
  return out;
}

bool Base64Decode(std::string_view text, std::string* out) {
  out->clear();
  if (text.size() % 4 != 0) return false;
  uint32_t acc = 0;
  int bits = 0;
  size_t pad = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    int v;
    if (c >= 'A' && c <= 'Z')
      v = c - 'A';
    else if (c >= 'a' && c <= 'z')
      v = c - 'a' + 26;
    else if (c >= '0' && c <= '9')
      v = c - '0' + 52;
    else if (c == '+')
      v = 62;
    else if (c == '/')
      v = 63;
    else if (c == '=' && i + 2 >= text.size()) {
      ++pad;
      continue;
    } else {
      return false;
    }
    if (pad) return false;  // data after padding
    acc = (acc << 6) | static_cast<uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out->push_back(static_cast<char>((acc >> bits) & 0xff));
    }
  }
  return pad <= 2;
}

std::string PrefixEnd(std::string_view prefix) {
  std::string end(prefix);
  while (!end.empty()) {
    if (static_cast<uint8_t>(end.back()) < 0xff) {
      end.back() = static_cast<char>(static_cast<uint8_t>(end.back()) + 1);
      return end;
    }
    end.pop_back();
  }
  return std::string(1, '\0');
}

std::vector<std::string> ParseEndpoints(std::string_view list) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start <= list.size()) {
    size_t comma = list.find(',', start);
    if (comma == std::string_view::npos) comma = list.size();
    std::string item(list.substr(start, comma - start));
    while (!item.empty() && item.back() == '/') item.pop_back();
    if (item.rfind("http://", 0) != 0 && item.rfind("https://", 0) != 0) return {};
    if (item.size() <= 8) return {};
    out.push_back(std::move(item));
    start = comma + 1;
  }
  return out;
}

struct Client::Curl {
  CURL* handle = nullptr;
  curl_slist* headers = nullptr;
  ~Curl() {
    if (handle) curl_easy_cleanup(handle);
    if (headers) curl_slist_free_all(headers);
  }
};

Client::Client(std::vector<std::string> endpoints, long timeout_ms)
    : endpoints_(std::move(endpoints)), timeout_ms_(timeout_ms), curl_(std::make_unique<Curl>()) {
  GlobalInit();
  curl_->handle = curl_easy_init();
  curl_->headers = curl_slist_append(nullptr, "Content-Type: application/json");
  // A watch on a member that lost its leader is cancelled instead of
  // staying silent.
  curl_->headers = curl_slist_append(curl_->headers, "Grpc-Metadata-hasleader: true");
}

Client::~Client() = default;

std::string Client::endpoint() const {
  return endpoints_.empty() ? std::string() : endpoints_[current_ % endpoints_.size()];
}

Result Client::Post(const std::string& path, const std::string& body, std::string* reply) {
  port::MutexLock lock(&mu_);
  Result res;
  res.status = Status::kUnreachable;
  res.message = "no endpoint";
  if (!curl_->handle) return res;
  for (size_t attempt = 0; attempt < endpoints_.size(); ++attempt) {
    const std::string& base = endpoints_[current_ % endpoints_.size()];
    std::string url = base + path;
    CURL* h = curl_->handle;
    curl_easy_reset(h);
    reply->clear();
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, curl_->headers);
    curl_easy_setopt(h, CURLOPT_POSTFIELDS, body.c_str());
    curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, AppendBody);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, reply);
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, std::min(kConnectMs, timeout_ms_));
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, timeout_ms_);
    curl_easy_setopt(h, CURLOPT_TCP_KEEPALIVE, 1L);
    CURLcode rc = curl_easy_perform(h);
    if (rc != CURLE_COULDNT_CONNECT) res.reached = true;
    if (rc != CURLE_OK) {
      res.message = base + ": " + curl_easy_strerror(rc);
      ++current_;
      continue;
    }
    json doc = json::parse(*reply, nullptr, /*allow_exceptions=*/false);
    if (doc.is_discarded() || !doc.is_object()) {
      res.status = Status::kFailed;
      res.message = base + ": unreadable answer";
      return res;
    }
    if (doc.contains("error")) {
      res.message = base + ": " + String(doc, "error");
      int code = static_cast<int>(Int64(doc, "code"));
      res.grpc_code = code;
      if (code == kGrpcUnavailable || code == kGrpcDeadlineExceeded) {
        res.status = Status::kUnreachable;
        ++current_;
        continue;
      }
      res.status = Status::kFailed;
      return res;
    }
    res.status = Status::kOk;
    res.message.clear();
    auto header = doc.find("header");
    if (header != doc.end() && header->is_object()) res.revision = Int64(*header, "revision");
    return res;
  }
  return res;
}

Result Client::Grant(int64_t ttl_seconds, int64_t* lease_id) {
  std::string reply;
  Result r = Post("/v3/lease/grant", json{{"TTL", ttl_seconds}}.dump(), &reply);
  if (!r.ok()) return r;
  json doc = json::parse(reply, nullptr, false);
  *lease_id = Int64(doc, "ID");
  if (*lease_id == 0) {
    r.status = Status::kFailed;
    r.message = "lease grant without an ID: " + String(doc, "error");
  }
  return r;
}

Result Client::Revoke(int64_t lease_id) {
  std::string reply;
  return Post("/v3/lease/revoke", json{{"ID", std::to_string(lease_id)}}.dump(), &reply);
}

Result Client::Put(const std::string& key, const std::string& value, int64_t lease) {
  json body{{"key", Base64Encode(key)}, {"value", Base64Encode(value)}};
  if (lease != 0) body["lease"] = std::to_string(lease);
  std::string reply;
  return Post("/v3/kv/put", body.dump(), &reply);
}

Result Client::PutKeepLease(const std::string& key, const std::string& value) {
  json body{{"key", Base64Encode(key)}, {"value", Base64Encode(value)}, {"ignore_lease", true}};
  std::string reply;
  return Post("/v3/kv/put", body.dump(), &reply);
}

Result Client::DeleteRange(const std::string& key, const std::string& range_end, int64_t* deleted) {
  json body{{"key", Base64Encode(key)}, {"range_end", Base64Encode(range_end)}};
  std::string reply;
  Result r = Post("/v3/kv/deleterange", body.dump(), &reply);
  if (r.ok() && deleted) *deleted = Int64(json::parse(reply, nullptr, false), "deleted");
  return r;
}

Result Client::Txn(const std::vector<TxnOp>& ops) {
  json success = json::array();
  for (const TxnOp& op : ops) {
    if (op.kind == TxnOp::kPut) {
      json put{{"key", Base64Encode(op.key)}, {"value", Base64Encode(op.value)}};
      if (op.lease != 0) put["lease"] = std::to_string(op.lease);
      success.push_back(json{{"request_put", std::move(put)}});
    } else {
      success.push_back(
          json{{"request_delete_range",
                {{"key", Base64Encode(op.key)}, {"range_end", Base64Encode(op.range_end)}}}});
    }
  }
  std::string reply;
  return Post("/v3/kv/txn", json{{"success", std::move(success)}}.dump(), &reply);
}

Result Client::Range(const std::string& key, const std::string& range_end,
                     std::vector<KeyValue>* out, bool count_only) {
  constexpr int64_t kPage = 1000;
  if (out) out->clear();
  std::string from = key;
  int64_t at_revision = 0;
  for (;;) {
    json body{{"key", Base64Encode(from)}, {"range_end", Base64Encode(range_end)}};
    if (count_only) {
      body["count_only"] = true;
    } else {
      body["limit"] = kPage;
    }
    if (at_revision) body["revision"] = std::to_string(at_revision);
    std::string reply;
    Result r = Post("/v3/kv/range", body.dump(), &reply);
    if (!r.ok() || count_only) return r;
    if (at_revision == 0) at_revision = r.revision;
    json doc = json::parse(reply, nullptr, false);
    auto kvs = doc.find("kvs");
    size_t got = 0;
    if (kvs != doc.end() && kvs->is_array()) {
      for (const json& j : *kvs) {
        KeyValue kv;
        if (!DecodeKv(j, &kv)) continue;
        ++got;
        if (out) out->push_back(std::move(kv));
      }
    }
    if (!Bool(doc, "more") || got == 0 || !out || out->empty()) {
      r.revision = at_revision;
      return r;
    }
    from = out->back().key;
    from.push_back('\0');  // the next key after the last one listed
  }
}

WatchEnd Client::Watch(const std::string& key, const std::string& range_end, int64_t start_revision,
                       const std::function<void()>& on_created,
                       const std::function<void(const std::vector<Event>&)>& on_events,
                       const std::atomic<bool>& stop) {
  port::MutexLock lock(&mu_);
  WatchStream ws;
  ws.on_created = &on_created;
  ws.on_events = &on_events;
  ws.stop = &stop;
  if (!curl_->handle || endpoints_.empty()) {
    ws.end.message = "no endpoint";
    return ws.end;
  }
  const std::string base = endpoints_[current_ % endpoints_.size()];
  std::string url = base + "/v3/watch";
  json req{{"key", Base64Encode(key)}, {"range_end", Base64Encode(range_end)}};
  if (start_revision > 0) req["start_revision"] = std::to_string(start_revision);
  std::string body = json{{"create_request", req}}.dump();
  CURL* h = curl_->handle;
  curl_easy_reset(h);
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, curl_->headers);
  curl_easy_setopt(h, CURLOPT_POSTFIELDS, body.c_str());
  curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, WatchStream::Write);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &ws);
  curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, WatchStream::Progress);
  curl_easy_setopt(h, CURLOPT_XFERINFODATA, &ws);
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, kConnectMs);
  curl_easy_setopt(h, CURLOPT_TCP_KEEPALIVE, 1L);
  curl_easy_setopt(h, CURLOPT_TCP_KEEPIDLE, 5L);
  curl_easy_setopt(h, CURLOPT_TCP_KEEPINTVL, 2L);
  CURLcode rc = curl_easy_perform(h);
  if (ws.ended) return ws.end;
  if (stop.load()) {
    ws.end.kind = WatchEnd::kStopped;
    return ws.end;
  }
  ws.end.kind = WatchEnd::kBroken;
  ws.end.message = base + ": " + (ws.created ? "watch stream ended" : "watch not established") +
                   " (" + (rc == CURLE_OK ? "closed by etcd" : curl_easy_strerror(rc)) + ")";
  // The member may be gone: the next attempt tries the next endpoint.
  ++current_;
  return ws.end;
}

}  // namespace orvel::etcd
