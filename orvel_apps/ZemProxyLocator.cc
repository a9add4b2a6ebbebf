// ZemProxyLocator.cc: choosing the proxy of one end host or zone, as the
// Synthesizer does it for one member.
#include <string>

#include "Zem.h"
#include "service_config.h"
#include "service_parts.h"
#include "synthesizer.h"

namespace {

using orvel::zem::ServiceConfig;

ServiceConfig LocatorConfig(const std::string& da_addr, const std::string& scope) {
  ServiceConfig config = orvel::zem::CurrentServiceConfig();
  config.da_addr = da_addr;
  config.scope = scope;
  return config;
}

}  // namespace

ZemProxyLocator::ZemProxyLocator(EndPoint& ep, const std::string& da_addr,
                                 const std::string& scope) {
  orvel::zem::SlpProxyDirectory directory(da_addr, scope);
  orvel::zem::ServiceProxyControl control;
  orvel::zem::ServiceObserver observer(/*log_requests=*/false);
  orvel::zem::Synthesizer synth(LocatorConfig(da_addr, scope), &directory, &control, &observer);
  mZemProxy = synth.LocateHost(ep, nullptr);
}

ZemProxyLocator::ZemProxyLocator(EndZone& zone, const std::string& da_addr,
                                 const std::string& scope) {
  orvel::zem::SlpProxyDirectory directory(da_addr, scope);
  orvel::zem::ServiceProxyControl control;
  orvel::zem::ServiceObserver observer(/*log_requests=*/false);
  orvel::zem::Synthesizer synth(LocatorConfig(da_addr, scope), &directory, &control, &observer);
  mZemProxy = synth.LocateZone(zone, nullptr);
}

const ServiceInstance& ZemProxyLocator::selectProxy(
    const std::vector<ServiceInstance>& sivec) const {
  return sivec[0];
}
