// zem_stats.h: what the synthesis handler reports to the metrics, when they
// are on (ORVEL_METRICS_LISTEN).  Off, each call costs one atomic load.
#ifndef ORVEL_APPS_ZEM_STATS_H_
#define ORVEL_APPS_ZEM_STATS_H_

#include <string>

#include "net/status.h"

class TransportEndPoint;

namespace orvel::zem {

enum class Stage { kWhole, kLocate, kInit };

// Seconds one stage of one synthesis took.
void ObserveStage(Stage stage, double seconds);
// One located member: how its proxy was found (registered proxy, ABone
// node, or none).
void CountMember(bool zone, const TransportEndPoint& proxy);

// One failed request: the stage it failed at and a bounded reason word.
void CountFailure(const std::string& stage, const std::string& reason);

// Starts the metrics listener when ORVEL_METRICS_LISTEN=ADDR:PORT is set,
// with /readyz probing the directory agents of agents (the DA argument).
// OK when started or not asked for; InvalidArgument when the setting is no
// ADDR:PORT, Unavailable when it cannot be listened on.  *port receives the
// bound port (0 when off).
Status StartMetricsFromEnvironment(const std::string& agents, int* port);

// The text a scrape returns (for tests), "" when metrics are off.
std::string ScrapeForTesting();

}  // namespace orvel::zem

#endif  // ORVEL_APPS_ZEM_STATS_H_
