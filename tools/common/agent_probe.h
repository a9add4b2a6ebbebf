// agent_probe.h: whether a program's directory agents answer, for the
// readiness check (/readyz) of the metrics listener.
//
// A thread of its own asks every agent once a period with a unicast SLP
// request for service:directory-agent and notes when each one last
// answered (any well-formed reply with the request's XID counts, an error
// reply included: the agent is there).  Ready() is true while some agent
// answered within the freshness window, or when no agent is configured.
//
//   AgentProbe probe("127.0.0.1:14270,10.0.0.9");
//   probe.Start();
//   ... probe.Ready() ...
//
// Thread safety: Ready() and Why() may be called from any thread.
#ifndef ORVEL_TOOLS_COMMON_AGENT_PROBE_H_
#define ORVEL_TOOLS_COMMON_AGENT_PROBE_H_

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "port/mutex.h"

namespace orvel::metrics {

class AgentProbe {
 public:
  using Clock = std::chrono::steady_clock;

  // agents: "HOST[:PORT],..." as the programs' agent arguments take it
  // (port 427 by default); names are resolved at each round.
  explicit AgentProbe(const std::string& agents,
                      std::chrono::milliseconds period = std::chrono::seconds(1),
                      std::chrono::milliseconds fresh = std::chrono::seconds(3));
  ~AgentProbe();
  AgentProbe(const AgentProbe&) = delete;
  AgentProbe& operator=(const AgentProbe&) = delete;

  // Starts the probing thread (nothing to probe: no thread).
  void Start();
  bool Ready() const;
  // "" when Ready(), else which agents are silent (for the body of a 503).
  std::string NotReady() const;

 private:
  void Run();
  void Round();

  std::vector<std::string> agents_;  // as given, trimmed
  const std::chrono::milliseconds period_;
  const std::chrono::milliseconds fresh_;
  mutable port::Mutex mu_;
  port::CondVar wake_;
  bool stopping_ GUARDED_BY(mu_) = false;
  // When each agent last answered; the epoch while it never has.
  std::vector<Clock::time_point> answered_ GUARDED_BY(mu_);
  std::thread thread_;
};

}  // namespace orvel::metrics

#endif  // ORVEL_TOOLS_COMMON_AGENT_PROBE_H_
