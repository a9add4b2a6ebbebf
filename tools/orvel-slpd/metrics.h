// metrics.h: orvel-slpd's Prometheus families and their listener.
//
// Families: orvel_slpd_registrations{type}, orvel_slpd_requests_total
// {function,result}, replies and reply bytes by transport, overflow and
// rate-limited replies, refused registrations by reason, state-file saves
// by result.
#ifndef ORVEL_TOOLS_ORVEL_SLPD_METRICS_H_
#define ORVEL_TOOLS_ORVEL_SLPD_METRICS_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "metrics_http.h"
#include "slp/da_handler.h"
#include "slp/da_store.h"

namespace orvel::slpd {

// Every family, from the handler's counters, the store and the state
// file's save counts.  Thread-safe as the store and the counters are.
std::vector<prometheus::MetricFamily> CollectMetrics(const slp::DaStats& stats,
                                                     slp::RegistrationStore* store, uint64_t saves,
                                                     uint64_t save_failures);

// Serves collect() at /metrics and serving() at /healthz (200 or 503) on
// listen ("ADDR:PORT").  Null, with the reason logged, when it cannot
// listen.
std::unique_ptr<metrics::MetricsServer> StartMetrics(
    const std::string& listen, std::function<std::vector<prometheus::MetricFamily>()> collect,
    std::function<bool()> serving);

}  // namespace orvel::slpd

#endif  // ORVEL_TOOLS_ORVEL_SLPD_METRICS_H_
