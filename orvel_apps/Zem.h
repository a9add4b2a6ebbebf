// Zem.h: the synthesis service zemsynth: request handler, proxy locator and
// proxy initiator.
//
// One SynthZemReq is served on its connection thread by RecvCallback: a
// ZemProxyLocator per end host and per zone chooses a proxy, then one
// ZemProxyInitor brings all proxies up, strictly in order.  Locators and
// initiators do all their work in their constructors and live for one
// request.  Several requests may be served at once; what they share (the
// console, the coordinates cache, DAstr) is safe for that.  The console is
// in console.h.
#ifndef ORVEL_APPS_ZEM_H_
#define ORVEL_APPS_ZEM_H_

#include <string>
#include <vector>

#include "console.h"
#include "orvel/EndPoint.h"
#include "orvel/Msg.h"
#include "orvel/SLP.h"

// The directory agent address: the command-line argument itself.  Set by
// main before the server starts and never changed.  The handler reads the
// agents from the configuration record; this is what a record read without
// main's (CurrentServiceConfig) takes.
extern const char* DAstr;

// ---- Request handler --------------------------------------------------------

// The server's handler: serves SynthZemReq only.  Returns a new SynthZemOk
// (owned by the caller) with the request's id and version, or null when the
// request has another type or a proxy could not be brought up.  The request
// stays the caller's.  Blocks for the whole synthesis (lookups, pauses,
// launches).
Msg* RecvCallback(Msg* request);

// ---- Proxy location ---------------------------------------------------------

// Chooses the proxy of one end host or zone through the directory agent:
// a registered "ZemProxy" service for exactly that host or zone, else a
// "CompResource" node near the host's coordinates (an ABone node, port 0).
// Nothing found leaves address 0, port 0, no ABone flag.  The end-host
// fallback colours the monitor and pauses three times on the console.
class ZemProxyLocator {
 public:
  ZemProxyLocator(EndPoint& ep, const std::string& da_addr, const std::string& scope);
  ZemProxyLocator(EndZone& zone, const std::string& da_addr, const std::string& scope);
  ~ZemProxyLocator() = default;

  TransportEndPoint getZemProxy() const { return mZemProxy; }

 private:
  // REQUIRES: sivec not empty.  The first answer as delivered.
  const ServiceInstance& selectProxy(const std::vector<ServiceInstance>& sivec) const;

  TransportEndPoint mZemProxy;
};

// ---- Proxy launch and initialisation ----------------------------------------

// The proxy code URLs of the configuration record: $ORVEL_PROXY_CODE_URL /
// $ORVEL_VIEWER_CODE_URL when set, else the build-time defaults.
std::string proxyCodeURL();
std::string viewerCodeURL();

// Brings up the members (end-host proxies, then zone proxies) one after the
// other: an ABone node by two runs of $ORVEL_PATH/abone/sc.linux, a running
// proxy by ZemInit/ZemCommit exchanges.  The first failure stops it; the
// transports of the members served so far stay.  When any member has
// address 0 (no proxy found), no member is contacted or launched at all.
// A launch command that could not run (system() failed, the shell reported
// 126 or 127) or that a signal killed fails its member; other exit
// statuses are ignored.  Blocks for every exchange (each bounded by the
// HTTP client time-out) and at least 10 seconds per ABone member.
class ZemProxyInitor {
 public:
  ZemProxyInitor(std::vector<TransportEndPoint>& ep_proxies,
                 std::vector<TransportEndPoint>& zone_proxies);
  ~ZemProxyInitor() = default;
  ZemProxyInitor(const ZemProxyInitor&) = delete;
  ZemProxyInitor& operator=(const ZemProxyInitor&) = delete;

  bool initOk() const { return mInitOk; }
  const std::vector<MulticastEndPoint>& getEPTransports() const { return mEPTVec; }
  const std::vector<MulticastEndPoint>& getZoneTransports() const { return mZoneTVec; }

  // The wait after an ABone load command is 50 steps of step_usec
  // microseconds (unless changed: ORVEL_ABONE_LOAD_WAIT seconds in all, 10
  // when unset).  For tests, which have no proxy program to wait for;
  // affects initiators started afterwards.
  static void setLoadWaitForTesting(unsigned int step_usec);

 private:
  unsigned long mId;
  unsigned long mVersion;
  bool mInitOk;
  std::vector<TransportEndPoint> mEPProxyVec;
  std::vector<TransportEndPoint> mZoneProxyVec;
  std::vector<MulticastEndPoint> mEPTVec;
  std::vector<MulticastEndPoint> mZoneTVec;
};

#endif  // ORVEL_APPS_ZEM_H_
