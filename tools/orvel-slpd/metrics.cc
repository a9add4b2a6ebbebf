// metrics.cc: what orvel-slpd shows at /metrics, read at each scrape.
#include "metrics.h"

#include <utility>

#include "log.h"

namespace orvel::slpd {
namespace {

// Registrations held, by type; past 500 types the rest share one series.
prometheus::MetricFamily RegistrationsFamily(slp::RegistrationStore* store) {
  prometheus::MetricFamily regs;
  regs.name = "orvel_slpd_registrations";
  // Parentheses are reserved in SLP strings, so a well-formed type never
  // reads "(other types)"; one that does joins that series rather than
  // repeat it.
  regs.help = "Registrations held, by service type";
  regs.type = prometheus::MetricType::Gauge;
  static const char kOtherTypes[] = "(other types)";
  double other = 0;
  for (const auto& [type, n] : store->CountByType(/*max_types=*/500)) {
    if (type.empty() || type == kOtherTypes) {
      other += static_cast<double>(n);
      continue;
    }
    prometheus::ClientMetric m;
    m.label = {{"type", type}};
    m.gauge.value = static_cast<double>(n);
    regs.metric.push_back(m);
  }
  if (other > 0) {
    prometheus::ClientMetric m;
    m.label = {{"type", kOtherTypes}};
    m.gauge.value = other;
    regs.metric.push_back(m);
  }
  return regs;
}

prometheus::MetricFamily RequestsFamily(const slp::DaStats& st) {
  prometheus::MetricFamily req;
  req.name = "orvel_slpd_requests_total";
  req.help = "Messages received, by SLP function and how they ended";
  req.type = prometheus::MetricType::Counter;
  for (size_t f = 0; f < slp::kDaFunctions; ++f) {
    for (size_t r = 0; r < slp::kDaResults; ++r) {
      uint64_t v = slp::DaStats::Read(st.requests[f][r]);
      if (v == 0) continue;
      prometheus::ClientMetric m;
      m.label = {{"function", slp::DaFunctionLabel(f)},
                 {"result", slp::DaResultName(static_cast<slp::DaResult>(r))}};
      m.counter.value = static_cast<double>(v);
      req.metric.push_back(m);
    }
  }
  return req;
}

}  // namespace

std::vector<prometheus::MetricFamily> CollectMetrics(const slp::DaStats& st,
                                                     slp::RegistrationStore* store, uint64_t saves,
                                                     uint64_t save_failures) {
  using orvel::metrics::CounterFamily;
  using slp::DaStats;
  std::vector<prometheus::MetricFamily> out;
  out.push_back(RegistrationsFamily(store));
  out.push_back(RequestsFamily(st));
  auto by_transport = [](const std::atomic<uint64_t>* a) {
    return std::vector<std::pair<std::string, double>>{
        {"udp", static_cast<double>(DaStats::Read(a[0]))},
        {"tcp", static_cast<double>(DaStats::Read(a[1]))}};
  };
  out.push_back(CounterFamily("orvel_slpd_replies_total", "Replies sent, by transport", "transport",
                              by_transport(st.replies)));
  out.push_back(CounterFamily("orvel_slpd_reply_bytes_total", "Reply bytes sent, by transport",
                              "transport", by_transport(st.reply_bytes)));
  out.push_back(CounterFamily(
      "orvel_slpd_overflow_replies_total",
      "Answers sent cut to whole entries with the overflow flag (datagram size or a store bound)",
      "", {{"", static_cast<double>(DaStats::Read(st.overflow_replies))}}));
  out.push_back(CounterFamily(
      "orvel_slpd_rate_limited_replies_total",
      "UDP answers past the source network's reply budget (overflow flag only, or none)", "",
      {{"", static_cast<double>(DaStats::Read(st.rate_limited_replies))}}));
  out.push_back(CounterFamily(
      "orvel_slpd_refused_registrations_total",
      "Registrations not taken: source network may not register, or invalid or busy", "reason",
      {{"source", static_cast<double>(DaStats::Read(st.refused_registrations_source))},
       {"invalid", static_cast<double>(DaStats::Read(st.refused_registrations_invalid))}}));
  out.push_back(CounterFamily(
      "orvel_slpd_state_saves_total", "State file saves (--state), by result", "result",
      {{"ok", static_cast<double>(saves)}, {"failed", static_cast<double>(save_failures)}}));
  return out;
}

std::unique_ptr<metrics::MetricsServer> StartMetrics(
    const std::string& listen, std::function<std::vector<prometheus::MetricFamily>()> collect,
    std::function<bool()> serving) {
  auto families = std::make_shared<metrics::CallbackCollectable>(std::move(collect));
  auto server = std::make_unique<metrics::MetricsServer>(
      std::vector<std::shared_ptr<prometheus::Collectable>>{families}, std::move(serving));
  if (std::string why = server->Start(listen); !why.empty()) {
    cli::Log(cli::LogLevel::kError, "--metrics %s", why.c_str());
    return nullptr;
  }
  cli::Log(cli::LogLevel::kNotice, "metrics on %s (port %d)", listen.c_str(), server->port());
  return server;
}

}  // namespace orvel::slpd
