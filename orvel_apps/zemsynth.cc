// zemsynth.cc: the service's synthesis request handler.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "Zem.h"
#include "orvel/Msg.h"
#include "zem_stats.h"

const char* DAstr = "";

// ---- Request handler --------------------------------------------------------

Msg* RecvCallback(Msg* request) {
  auto* req = dynamic_cast<SynthZemReq*>(request);
  if (request == nullptr || request->getType() != Msg::SynthZemReq || req == nullptr) {
    printf("Not getting the right request!\n");
    return nullptr;
  }
  printf("Got SynthZemReq from %s:%d\n", req->getSrcAddrStr().c_str(),
         static_cast<int>(req->getSrcPort()));

  std::vector<EndPoint> end_hosts = req->getEPVec();
  std::vector<EndZone> zones = req->getZoneVec();
  std::vector<TransportEndPoint> ep_proxies;
  std::vector<TransportEndPoint> zone_proxies;
  const std::string da_addr(DAstr != nullptr ? DAstr : "");
  const std::string scope("default");
  using Clock = std::chrono::steady_clock;
  const Clock::time_point start = Clock::now();
  auto seconds_since = [](Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
  };

  for (EndPoint& ep : end_hosts) {
    ZemProxyLocator locator(ep, da_addr, scope);
    TransportEndPoint proxy = locator.getZemProxy();
    printf("got proxy %s\n", proxy.getStr().c_str());
    orvel::zem::CountMember(/*zone=*/false, proxy);
    ep_proxies.push_back(proxy);
  }
  for (EndZone& zone : zones) {
    // The representative host's address is shown as the signed 32-bit
    // number it is on the wire.
    printf("locating proxy for zone %s (ep %d)\n", zone.getAddrStr().c_str(),
           static_cast<int>(static_cast<uint32_t>(zone.getEP())));
    ZemProxyLocator locator(zone, da_addr, scope);
    TransportEndPoint proxy = locator.getZemProxy();
    printf("got proxy %s\n", proxy.getStr().c_str());
    orvel::zem::CountMember(/*zone=*/true, proxy);
    zone_proxies.push_back(proxy);
  }
  orvel::zem::ObserveStage(orvel::zem::Stage::kLocate, seconds_since(start));
  const Clock::time_point init_start = Clock::now();

  ZemProxyInitor initor(ep_proxies, zone_proxies);
  orvel::zem::ObserveStage(orvel::zem::Stage::kInit, seconds_since(init_start));
  orvel::zem::ObserveStage(orvel::zem::Stage::kWhole, seconds_since(start));
  if (!initor.initOk()) {
    printf("Zem init failed!?\n");
    return nullptr;
  }
  const std::vector<MulticastEndPoint>& ep_transports = initor.getEPTransports();
  const std::vector<MulticastEndPoint>& zone_transports = initor.getZoneTransports();
  // Ownership passes to the server, which deletes the reply after sending.
  return new SynthZemOk(req->getId(), req->getVersion(), ep_transports, zone_transports);
}
