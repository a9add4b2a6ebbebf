// metrics_http.h: Prometheus metrics and a health check on a listener of
// their own, never on a service's port (whose framing is fixed).
//
//   GET /metrics  the text exposition format of every collectable
//   GET /healthz  200 "ok" while the health callback says so, else 503
//   GET /readyz   200 "ready" while the readiness callback returns "",
//                 else 503 with the text it returned (only when given one)
//
// The listener is cpp-httplib's server with two worker threads: scrapes are
// rare and small, and the service's own threads are never used for them.
#ifndef ORVEL_TOOLS_COMMON_METRICS_HTTP_H_
#define ORVEL_TOOLS_COMMON_METRICS_HTTP_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <prometheus/collectable.h>
#include <prometheus/metric_family.h>

namespace orvel::metrics {

// ADDR:PORT with ADDR an IPv4 dotted quad and PORT 0..65535 (0: the kernel
// picks one).  False, with *why set, for anything else.
bool ParseListenAddress(const std::string& text, std::string* host, int* port, std::string* why);

// For a command-line option that names a metrics listener: "" when text is
// a usable ADDR:PORT, else the message "OPTION why".
std::string ListenAddressError(const std::string& option, const std::string& text);

// A collectable whose families are computed at each scrape, for numbers kept
// elsewhere (atomics, counters guarded by their owner's lock).
class CallbackCollectable : public prometheus::Collectable {
 public:
  explicit CallbackCollectable(std::function<std::vector<prometheus::MetricFamily>()> fn)
      : fn_(std::move(fn)) {}
  std::vector<prometheus::MetricFamily> Collect() const override { return fn_(); }

 private:
  std::function<std::vector<prometheus::MetricFamily>()> fn_;
};

// One family with one unlabelled sample, or with one sample per label value.
prometheus::MetricFamily GaugeFamily(const std::string& name, const std::string& help,
                                     double value);
prometheus::MetricFamily CounterFamily(const std::string& name, const std::string& help,
                                       const std::string& label,
                                       const std::vector<std::pair<std::string, double>>& values);

// Counts of requests by message type and result, cheap to bump from any
// thread (one relaxed atomic add).  Types outside the list count as
// "other", so a peer cannot grow the label set; "" (nothing read) as "none".
class RequestCounts {
 public:
  RequestCounts(std::vector<std::string> types, std::vector<std::string> results);
  void Add(const char* type, size_t result);
  uint64_t Get(const std::string& type, size_t result) const;
  // A counter family with labels type and result, one sample per pair seen.
  prometheus::MetricFamily Family(const std::string& name, const std::string& help) const;

 private:
  size_t TypeIndex(const char* type) const;
  std::vector<std::string> types_;  // then "other", "none"
  std::vector<std::string> results_;
  std::unique_ptr<std::atomic<uint64_t>[]> counts_;
};

// Every sample of collectables in the text exposition format.
std::string Serialize(const std::vector<std::shared_ptr<prometheus::Collectable>>& collectables);

class MetricsServer {
 public:
  // not_ready: "" while the program can do its work, else why not.
  MetricsServer(std::vector<std::shared_ptr<prometheus::Collectable>> collectables,
                std::function<bool()> healthy, std::function<std::string()> not_ready = nullptr);
  ~MetricsServer();
  MetricsServer(const MetricsServer&) = delete;
  MetricsServer& operator=(const MetricsServer&) = delete;

  // Binds ADDR:PORT and serves on threads of its own.  The empty string on
  // success, else why not.
  std::string Start(const std::string& listen);
  // The bound port (after Start).
  int port() const { return port_; }
  void Stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  std::thread thread_;
  int port_ = 0;
};

}  // namespace orvel::metrics

#endif  // ORVEL_TOOLS_COMMON_METRICS_HTTP_H_
