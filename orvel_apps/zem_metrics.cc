// zem_metrics.cc: zemsynth's Prometheus metrics and health check.
#include <atomic>
#include <cstdlib>
#include <memory>

#include <prometheus/counter.h>
#include <prometheus/family.h>
#include <prometheus/histogram.h>
#include <prometheus/registry.h>

#include "agent_probe.h"
#include "http/server_stats.h"
#include "metrics_http.h"
#include "orvel/EndPoint.h"
#include "orvel/Msg.h"
#include "orvel/http.h"
#include "zem_stats.h"

namespace orvel::zem {
namespace {

using orvel::http::RequestResult;

struct ZemMetrics {
  ZemMetrics()
      : registry(std::make_shared<prometheus::Registry>()),
        requests({Msg::SynthZemReq, Msg::ZemInit, Msg::ZemCommit, Msg::SynthInit, Msg::SynthVGWReq,
                  Msg::SynthIPMZReq, Msg::DynamicInit, Msg::PELMQueryReq},
                 http::RequestResultNames()) {
    auto& durations = prometheus::BuildHistogram()
                          .Name("zemsynth_synthesis_duration_seconds")
                          .Help("Time one synthesis took: whole, and its locate and init stages")
                          .Register(*registry);
    // From a registered proxy's few milliseconds to ABone launches of tens
    // of seconds.
    const prometheus::Histogram::BucketBoundaries buckets = {
        0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10, 30, 60, 120};
    stages[0] = &durations.Add({{"stage", "whole"}}, buckets);
    stages[1] = &durations.Add({{"stage", "locate"}}, buckets);
    stages[2] = &durations.Add({{"stage", "init"}}, buckets);
    failures = &prometheus::BuildCounter()
                    .Name("zemsynth_failures_total")
                    .Help("Requests refused, by the stage that failed and a short reason")
                    .Register(*registry);
    for (auto& row : members) {
      for (auto& c : row) c.store(0);
    }
  }

  std::vector<prometheus::MetricFamily> Collect() const {
    std::vector<prometheus::MetricFamily> out;
    out.push_back(requests.Family("zemsynth_requests_total",
                                  "Requests served, by message type and result (ok: a 200)"));
    prometheus::MetricFamily m;
    m.name = "zemsynth_members_total";
    m.help = "Members located, by kind and how their proxy was found";
    m.type = prometheus::MetricType::Counter;
    const char* kinds[] = {"host", "zone"};
    const char* paths[] = {"registered", "abone", "failed"};
    for (int k = 0; k < 2; ++k) {
      for (int p = 0; p < 3; ++p) {
        prometheus::ClientMetric c;
        c.label = {{"kind", kinds[k]}, {"path", paths[p]}};
        c.counter.value = static_cast<double>(members[k][p].load(std::memory_order_relaxed));
        m.metric.push_back(c);
      }
    }
    out.push_back(m);
    const http::ServerGauges g = http::CurrentServerGauges();
    out.push_back(metrics::GaugeFamily("zemsynth_connections_open",
                                       "Connections accepted and not yet closed",
                                       static_cast<double>(g.connections_open)));
    out.push_back(metrics::GaugeFamily("zemsynth_handler_threads",
                                       "Connection threads alive, busy or idle",
                                       static_cast<double>(g.handler_threads)));
    long conn_user = 0, conn_sys = 0;
    pthread_mutex_lock(&global_time_mut);
    conn_user = global_utime;
    conn_sys = global_stime;
    pthread_mutex_unlock(&global_time_mut);
    out.push_back(metrics::CounterFamily("zemsynth_connection_cpu_seconds_total",
                                         "CPU time spent by finished connection threads, by mode",
                                         "mode",
                                         {{"user", conn_user / 1e6}, {"system", conn_sys / 1e6}}));
    long user = 0, sys = 0;
    get_rusage_times(&user, &sys);
    out.push_back(metrics::CounterFamily("process_cpu_seconds_total",
                                         "CPU time of the whole process (user and system)", "",
                                         {{"", (user + sys) / 1e6}}));
    return out;
  }

  std::shared_ptr<prometheus::Registry> registry;
  metrics::RequestCounts requests;
  prometheus::Histogram* stages[3] = {};
  // Labels come from fixed sets of words (stage, reason), never from input.
  prometheus::Family<prometheus::Counter>* failures = nullptr;
  std::atomic<uint64_t> members[2][3];
};

// Set once when the metrics start; never freed (connection threads may
// still report at exit).
std::atomic<ZemMetrics*> g_metrics{nullptr};

void ObserveRequest(const char* type, RequestResult result) {
  ZemMetrics* m = g_metrics.load(std::memory_order_acquire);
  if (m == nullptr) return;
  // The handler refuses every type but SynthZemReq.
  if (result == RequestResult::kRefused && Msg::SynthZemReq != type) {
    result = RequestResult::kUnknownType;
  }
  m->requests.Add(type, static_cast<size_t>(result));
}

}  // namespace

void ObserveStage(Stage stage, double seconds) {
  ZemMetrics* m = g_metrics.load(std::memory_order_acquire);
  if (m != nullptr) m->stages[static_cast<int>(stage)]->Observe(seconds);
}

void CountFailure(const std::string& stage, const std::string& reason) {
  ZemMetrics* m = g_metrics.load(std::memory_order_acquire);
  if (m != nullptr) m->failures->Add({{"stage", stage}, {"reason", reason}}).Increment();
}

void CountMember(bool zone, const TransportEndPoint& proxy) {
  ZemMetrics* m = g_metrics.load(std::memory_order_acquire);
  if (m == nullptr) return;
  const int path = proxy.getAddr() == 0 ? 2 : proxy.isAboneNode() ? 1 : 0;
  m->members[zone ? 1 : 0][path].fetch_add(1, std::memory_order_relaxed);
}

Status StartMetricsFromEnvironment(const std::string& agents, int* port) {
  *port = 0;
  const char* listen = std::getenv("ORVEL_METRICS_LISTEN");
  if (listen == nullptr || *listen == '\0') return Status::OK();
  const std::string malformed = metrics::ListenAddressError("ORVEL_METRICS_LISTEN", listen);
  if (!malformed.empty()) return Status::InvalidArgument(malformed);
  auto* m = new ZemMetrics();  // lives as long as the process
  auto families = std::make_shared<metrics::CallbackCollectable>([m] { return m->Collect(); });
  // Every synthesis needs an agent: not ready while none answers.
  static auto* probe = new metrics::AgentProbe(agents);
  static auto* server = new metrics::MetricsServer(
      {families, m->registry}, [] { return http::ServerAccepting(); },
      [] { return http::ServerAccepting() ? probe->NotReady() : "not accepting requests"; });
  std::string why = server->Start(listen);
  if (!why.empty()) return Status::Unavailable("ORVEL_METRICS_LISTEN " + why);
  probe->Start();
  g_metrics.store(m, std::memory_order_release);
  http::SetRequestObserver(ObserveRequest);
  *port = server->port();
  return Status::OK();
}

std::string ScrapeForTesting() {
  ZemMetrics* m = g_metrics.load();
  if (m == nullptr) return "";
  auto families = std::make_shared<metrics::CallbackCollectable>([m] { return m->Collect(); });
  return metrics::Serialize({families, m->registry});
}

}  // namespace orvel::zem
