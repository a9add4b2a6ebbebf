// service_parts.h: the real parts behind the Synthesizer: the directory
// agents, the proxies and ABone client, and the service's console, monitor,
// metrics and log.
//
// Thread safety: every method may run on several threads at once.
#ifndef ORVEL_APPS_SERVICE_PARTS_H_
#define ORVEL_APPS_SERVICE_PARTS_H_

#include <string>

#include "synthesizer.h"

namespace orvel::zem {

// Look-ups through the agents da_addr ("" discovers them) in scope, each
// on an SLP handle of its own; coordinates from $ORVEL_PATH/pelm.coords.
class SlpProxyDirectory : public ProxyDirectory {
 public:
  SlpProxyDirectory(std::string da_addr, std::string scope)
      : da_addr_(std::move(da_addr)), scope_(std::move(scope)) {}
  Status FindRegistered(const std::string& addr, const std::string& mask,
                        ServiceInstance* found) override;
  Status FindNearest(const std::string& coords, ServiceInstance* found) override;
  std::string Coordinates(unsigned long addr) override;

 private:
  Status Find(const std::string& srvtype, const std::string& predicate, ServiceInstance* found);
  const std::string da_addr_;
  const std::string scope_;
};

// Exchanges through the HTTP client (bounded by ORVEL_HTTP_CLIENT_TIMEOUT),
// ABone commands through the shell, the load wait by sleeping.
class ServiceProxyControl : public ProxyControl {
 public:
  Status Exchange(const std::string& host, unsigned short port, Msg& request,
                  std::unique_ptr<Msg>* reply) override;
  Status RunCommand(const std::string& command) override;
  void WaitForLoad(double seconds) override;

  // The load wait becomes 50 steps of step_usec microseconds, whatever the
  // setting, for every later wait.  For tests, which have no proxy program
  // to wait for.
  static void SetLoadWaitStepForTesting(unsigned int step_usec);
};

// Lines on standard output and error, pauses on the console (console.h),
// colour lines to the monitor, the metrics (zem_stats.h) and, when
// log_requests, the log line that ends each request.
class ServiceObserver : public SynthesisObserver {
 public:
  explicit ServiceObserver(bool log_requests) : log_requests_(log_requests) {}
  void Print(Stream stream, const std::string& text) override;
  void Pause() override;
  bool PausesWait() override;
  void Colour(const std::string& node, int colour) override;
  void MemberLocated(bool zone, const TransportEndPoint& proxy) override;
  void StageDone(Stage stage, double seconds) override;
  void Finished(const SynthesisReport& report) override;

 private:
  const bool log_requests_;
};

// The log line of one request, without the log prefix.
std::string RequestLogLine(const SynthesisReport& report);

}  // namespace orvel::zem

#endif  // ORVEL_APPS_SERVICE_PARTS_H_
