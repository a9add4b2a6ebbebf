// ZemProxyInitor.cc: launching and initialising the proxies of one request,
// as the Synthesizer does it.
#include <string>
#include <vector>

#include "Zem.h"
#include "service_config.h"
#include "service_parts.h"
#include "synthesizer.h"

std::string proxyCodeURL() { return orvel::zem::CurrentServiceConfig().proxy_code_url; }

std::string viewerCodeURL() { return orvel::zem::CurrentServiceConfig().viewer_code_url; }

void ZemProxyInitor::setLoadWaitForTesting(unsigned int step_usec) {
  orvel::zem::ServiceProxyControl::SetLoadWaitStepForTesting(step_usec);
}

ZemProxyInitor::ZemProxyInitor(std::vector<TransportEndPoint>& ep_proxies,
                               std::vector<TransportEndPoint>& zone_proxies)
    : mId(0), mVersion(0), mInitOk(false), mEPProxyVec(ep_proxies), mZoneProxyVec(zone_proxies) {
  orvel::zem::ServiceProxyControl control;
  orvel::zem::ServiceObserver observer(/*log_requests=*/false);
  orvel::zem::Synthesizer synth(orvel::zem::CurrentServiceConfig(), /*directory=*/nullptr, &control,
                                &observer);
  orvel::zem::InitResult r = synth.Initialise(mEPProxyVec, mZoneProxyVec);
  mId = r.id;
  mVersion = r.version;
  mInitOk = r.ok;
  mEPTVec = std::move(r.ep_transports);
  mZoneTVec = std::move(r.zone_transports);
}
