#include "metrics_http.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <chrono>
#include <thread>

#include <httplib.h>
#include <prometheus/text_serializer.h>

#include "net/address.h"

namespace orvel::metrics {

bool ParseListenAddress(const std::string& text, std::string* host, int* port, std::string* why) {
  orvel::net::HostPort hp;
  const bool port_ok = orvel::net::ParseHostPort(text, &hp);
  uint32_t addr = 0;
  if (!hp.has_port || !orvel::net::ParseDottedQuad(hp.host.c_str(), &addr)) {
    *why = "needs ADDR:PORT with an IPv4 address, not \"" + text + "\"";
    return false;
  }
  if (!port_ok) {
    *why = "needs a port 0..65535 after the colon, not \"" + text + "\"";
    return false;
  }
  *host = hp.host;
  *port = hp.port;
  return true;
}

std::string ListenAddressError(const std::string& option, const std::string& text) {
  std::string host, why;
  int port = 0;
  return ParseListenAddress(text, &host, &port, &why) ? std::string() : option + " " + why;
}

prometheus::MetricFamily GaugeFamily(const std::string& name, const std::string& help,
                                     double value) {
  prometheus::MetricFamily f;
  f.name = name;
  f.help = help;
  f.type = prometheus::MetricType::Gauge;
  prometheus::ClientMetric m;
  m.gauge.value = value;
  f.metric.push_back(m);
  return f;
}

prometheus::MetricFamily CounterFamily(const std::string& name, const std::string& help,
                                       const std::string& label,
                                       const std::vector<std::pair<std::string, double>>& values) {
  prometheus::MetricFamily f;
  f.name = name;
  f.help = help;
  f.type = prometheus::MetricType::Counter;
  for (const auto& [value_label, value] : values) {
    prometheus::ClientMetric m;
    if (!label.empty()) m.label.push_back({label, value_label});
    m.counter.value = value;
    f.metric.push_back(m);
  }
  return f;
}

RequestCounts::RequestCounts(std::vector<std::string> types, std::vector<std::string> results)
    : types_(std::move(types)), results_(std::move(results)) {
  types_.push_back("other");
  types_.push_back("none");
  const size_t n = types_.size() * results_.size();
  counts_ = std::make_unique<std::atomic<uint64_t>[]>(n);
  for (size_t i = 0; i < n; ++i) counts_[i].store(0);
}

size_t RequestCounts::TypeIndex(const char* type) const {
  if (type == nullptr || *type == '\0') return types_.size() - 1;
  for (size_t i = 0; i + 2 < types_.size(); ++i) {
    if (types_[i] == type) return i;
  }
  return types_.size() - 2;
}

void RequestCounts::Add(const char* type, size_t result) {
  if (result >= results_.size()) return;
  counts_[TypeIndex(type) * results_.size() + result].fetch_add(1, std::memory_order_relaxed);
}

uint64_t RequestCounts::Get(const std::string& type, size_t result) const {
  return counts_[TypeIndex(type.c_str()) * results_.size() + result].load();
}

prometheus::MetricFamily RequestCounts::Family(const std::string& name,
                                               const std::string& help) const {
  prometheus::MetricFamily f;
  f.name = name;
  f.help = help;
  f.type = prometheus::MetricType::Counter;
  for (size_t t = 0; t < types_.size(); ++t) {
    for (size_t r = 0; r < results_.size(); ++r) {
      uint64_t v = counts_[t * results_.size() + r].load(std::memory_order_relaxed);
      if (v == 0) continue;
      prometheus::ClientMetric m;
      m.label = {{"result", results_[r]}, {"type", types_[t]}};
      m.counter.value = static_cast<double>(v);
      f.metric.push_back(m);
    }
  }
  return f;
}

std::string Serialize(const std::vector<std::shared_ptr<prometheus::Collectable>>& collectables) {
  std::vector<prometheus::MetricFamily> families;
  for (const auto& c : collectables) {
    auto more = c->Collect();
    families.insert(families.end(), std::make_move_iterator(more.begin()),
                    std::make_move_iterator(more.end()));
  }
  return prometheus::TextSerializer().Serialize(families);
}

struct MetricsServer::Impl {
  httplib::Server server;
  std::vector<std::shared_ptr<prometheus::Collectable>> collectables;
  std::function<bool()> healthy;
  std::function<std::string()> not_ready;
};

MetricsServer::MetricsServer(std::vector<std::shared_ptr<prometheus::Collectable>> collectables,
                             std::function<bool()> healthy, std::function<std::string()> not_ready)
    : impl_(std::make_unique<Impl>()) {
  impl_->collectables = std::move(collectables);
  impl_->healthy = std::move(healthy);
  impl_->not_ready = std::move(not_ready);
  Impl* impl = impl_.get();
  // Scrapes are rare: two threads, not httplib's default of one per core.
  impl->server.new_task_queue = [] { return new httplib::ThreadPool(2); };
  // SO_REUSEADDR only: httplib's default also sets SO_REUSEPORT, which
  // would let a second process share a taken port unnoticed.
  impl->server.set_socket_options([](socket_t sock) {
    int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  impl->server.set_read_timeout(5, 0);
  impl->server.set_write_timeout(5, 0);
  impl->server.set_keep_alive_max_count(16);
  impl->server.Get("/metrics", [impl](const httplib::Request&, httplib::Response& res) {
    res.set_content(Serialize(impl->collectables), "text/plain; version=0.0.4; charset=utf-8");
  });
  impl->server.Get("/healthz", [impl](const httplib::Request&, httplib::Response& res) {
    const bool ok = !impl->healthy || impl->healthy();
    res.status = ok ? 200 : 503;
    res.set_content(ok ? "ok\n" : "unavailable\n", "text/plain");
  });
  if (impl->not_ready) {
    impl->server.Get("/readyz", [impl](const httplib::Request&, httplib::Response& res) {
      const std::string why = impl->not_ready();
      res.status = why.empty() ? 200 : 503;
      res.set_content(why.empty() ? "ready\n" : why + "\n", "text/plain");
    });
  }
}

MetricsServer::~MetricsServer() { Stop(); }

std::string MetricsServer::Start(const std::string& listen) {
  std::string host, why;
  int port = 0;
  if (!ParseListenAddress(listen, &host, &port, &why)) return why;
  if (port == 0) {
    port_ = impl_->server.bind_to_any_port(host.c_str());
    if (port_ < 0) return "cannot listen on " + listen;
  } else {
    if (!impl_->server.bind_to_port(host.c_str(), port)) return "cannot listen on " + listen;
    port_ = port;
  }
  thread_ = std::thread([this] { impl_->server.listen_after_bind(); });
  // stop() before the loop runs would be lost and the join would hang.
  for (int i = 0; i < 5000 && !impl_->server.is_running(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return "";
}

void MetricsServer::Stop() {
  if (!thread_.joinable()) return;
  impl_->server.stop();
  thread_.join();
}

}  // namespace orvel::metrics
