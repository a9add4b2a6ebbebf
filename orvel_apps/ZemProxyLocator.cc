// ZemProxyLocator.cc: choosing the proxy of one end host or zone.
#include <cstdio>
#include <string>
#include <vector>

#include "Zem.h"
#include "orvel/SLP.h"

namespace {

// Monitor colours.
constexpr int kClientColour = 1;
constexpr int kSelectedColour = 5;
constexpr int kResetColour = 0;

// One lookup on its own SLP handle.  Found only when the search succeeded,
// counted answers and handed them over.
bool LookUp(const std::string& srvtype, const std::string& predicate, const std::string& da_addr,
            const std::string& scope, std::vector<ServiceInstance>& sivec) {
  SLPService service(srvtype, predicate, da_addr, scope);
  if (service.FindServices() < 0) {
    // The reason and the agent, so that a failure is not mistaken for
    // "no proxy registered".
    const std::string& agent = service.agentAddress();
    printf("SLP lookup of %s failed at agent %s: %s (%d)\n", srvtype.c_str(),
           agent.empty() ? "(none)" : agent.c_str(), SLPErrorText(service.lastError()),
           static_cast<int>(service.lastError()));
    return false;
  }
  if (service.numFound() <= 0) return false;
  return service.getSIvec(sivec) > 0;
}

std::string HostPredicate(const std::string& addr, const std::string& mask) {
  return "(&(addr=" + addr + ")(mask=" + mask + "))";
}

// Asks for the computing node nearest the coordinates.
std::string NearestNodePredicate(const std::string& coords) {
  return "(|(foo=bar)(&(x-PELM-num=1)(x-PELM-clients=" + coords + ")))";
}

// The computing nodes nearest to the host at addr (network byte order),
// nearest first.  False when its coordinates are unknown or none is found.
bool LookUpNearestNodes(unsigned long addr, const std::string& da_addr, const std::string& scope,
                        std::vector<ServiceInstance>& sivec) {
  std::string coords = getCoordinates(addr);
  if (coords.empty()) {
    printf("coordinates not found, returning now...\n");
    return false;
  }
  printf("coordinates: [%s]\n", coords.c_str());
  return LookUp("CompResource", NearestNodePredicate(coords), da_addr, scope, sivec);
}

}  // namespace

ZemProxyLocator::ZemProxyLocator(EndPoint& ep, const std::string& da_addr,
                                 const std::string& scope) {
  std::vector<ServiceInstance> sivec;
  const std::string host = ep.getAddrStr();
  if (LookUp("ZemProxy", HostPredicate(host, "255.255.255.255"), da_addr, scope, sivec)) {
    const ServiceInstance& si = selectProxy(sivec);
    mZemProxy.setAddr(si.getAddr());
    mZemProxy.setPort(si.getPort());
    return;
  }

  pelmmon_color(host, kClientColour);
  printf("CLIENT node highlighted on PELM monitor (press any key)\n");
  fflush(stdout);
  pressAnyKey();

  if (!LookUpNearestNodes(ep.getAddr(), da_addr, scope, sivec)) return;
  const ServiceInstance& node = selectProxy(sivec);
  printf("CANDIDATE nodes highlighted on PELM monitor (press any key)\n");
  fflush(stdout);
  pressAnyKey();
  pelmmon_color(node.getAddrStr(), kSelectedColour);
  mZemProxy.setAddr(node.getAddr());
  mZemProxy.setPort(static_cast<unsigned short>(0));
  mZemProxy.setAboneNode();
  printf("SELECTED node highlighted on PELM monitor (press any key)\n");
  fflush(stdout);
  pressAnyKey();
  pelmmon_color("RESET", kResetColour);
}

ZemProxyLocator::ZemProxyLocator(EndZone& zone, const std::string& da_addr,
                                 const std::string& scope) {
  std::vector<ServiceInstance> sivec;
  if (LookUp("ZemProxy", HostPredicate(zone.getAddrStr(), zone.getMaskStr()), da_addr, scope,
             sivec)) {
    const ServiceInstance& si = selectProxy(sivec);
    mZemProxy.setAddr(si.getAddr());
    mZemProxy.setPort(si.getPort());
    return;
  }

  // Zones fall back silently: no monitor, no pauses.
  if (!LookUpNearestNodes(zone.getEP(), da_addr, scope, sivec)) return;
  mZemProxy.setAddr(selectProxy(sivec).getAddr());
  mZemProxy.setPort(static_cast<unsigned short>(0));
  mZemProxy.setAboneNode();
}

const ServiceInstance& ZemProxyLocator::selectProxy(
    const std::vector<ServiceInstance>& sivec) const {
  return sivec[0];
}
