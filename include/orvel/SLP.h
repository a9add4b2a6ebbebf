// SLP.h: service lookup through an SLP directory agent, the coordinates
// file and the coordinate monitor.
//
// SLPService wraps one lookup: it opens an SLP handle (slp_api.h), points
// the library at the given directory agents ("A[:PORT][,B[:PORT]...]", the
// first that answers is used; or agent discovery when the text is empty),
// runs one search and keeps the answers as ServiceInstance records.  Its
// searches ask only the agents it was given (or discovery), whatever other
// SLPService objects were given; it still sets the process-wide properties
// (net.slp.DAAddresses and the detection switches) for the rest of the
// program.  Each SLPService is used by one thread; several may run at once.
#ifndef ORVEL_INCLUDE_SLP_H_
#define ORVEL_INCLUDE_SLP_H_

#include <string>
#include <vector>

#include "orvel/export.h"
#include "orvel/slp_api.h"

// One SLP answer: a service URL and its lifetime.
class ORVEL_EXPORT ServiceInstance {
 public:
  ServiceInstance();
  ServiceInstance(const std::string& url, unsigned short lifetime);

  std::string getServiceURL() const { return serviceURL; }
  unsigned short getLifetime() const { return lifetime; }
  // Host address (network order) read from the URL, or 0.  The host text
  // starts after the first "//" and ends before a following "/?x-PELM",
  // else before the URL's last ':' when that lies at least two characters
  // after the "//", else at the end; it must be an IPv4 address.  So
  // "t://A:5000" and "t://A/?x-PELM..." give A; "t://A:5000/?x-PELM..." and
  // URLs without "//" give 0.
  unsigned long getAddr() const;
  // Leading decimal digits after the URL's last ':' (the whole URL when it
  // has none); 0 when there are none or the value exceeds 65535.
  unsigned short getPort() const;
  // Dotted quad of getAddr() ("0.0.0.0" for 0).
  std::string getAddrStr() const;

 private:
  std::string serviceURL;
  unsigned short lifetime;
};

// The result callback handed to SLPFindSrvs; cookie is the
// std::vector<ServiceInstance>* being filled.  Appends one record per call
// with SLP_OK or SLP_LAST_CALL, a non-null URL and a non-zero lifetime;
// ignores every other call.  Always returns SLP_TRUE.
ORVEL_EXPORT SLPBoolean SLPFindSrvCallback(SLPHandle h, const char* srvurl, unsigned short lifetime,
                                           SLPError errcode, void* cookie);

// A short English text for an SLP error code ("scope not supported", ...).
ORVEL_EXPORT const char* SLPErrorText(SLPError err);

class ORVEL_EXPORT SLPService {
 public:
  SLPService(const std::string& srvtype, const std::string& predicate, const std::string& da_addr,
             const std::string& scope);
  ~SLPService();
  SLPService(const SLPService&) = delete;
  SLPService& operator=(const SLPService&) = delete;

  // Number of services found (0 or more), or -1 on failure.  Blocks at most
  // for the SLP wait properties.
  int FindServices();
  int numFound() const { return mNumFound; }
  // Why the last search (or the handle's opening) failed: SLP_OK after a
  // successful one.
  SLPError lastError() const { return mLastError; }
  // The agent that answered the last search ("A.B.C.D:PORT"), or when none
  // did, the agents asked, comma-separated; "" before any search.
  const std::string& agentAddress() const { return mAgent; }
  // Why the last search failed, naming the agent and what happened
  // ("127.0.0.1:427: nobody on the port: Connection refused", ...); "" after
  // a successful one.
  const std::string& lastReason() const { return mReason; }
  // Result at index, or null.  Valid until the next search or destruction.
  const ServiceInstance* serviceAt(int index) const;
  // Copies the results into sivec and returns their number; 0 (sivec
  // untouched) when there are none.
  int getSIvec(std::vector<ServiceInstance>& sivec) const;

 private:
  SLPHandle mHandle;
  std::string mDAaddr;
  std::string mSrvType;
  std::string mPredicate;
  std::string mScope;
  int mNumFound;
  std::vector<ServiceInstance>* mSIvec;
  SLPError mLastError = SLP_OK;
  std::string mAgent;
  std::string mReason;
};

// ---- Coordinates file and monitor -------------------------------------------

// Coordinates text of the host (network-order address) from
// $ORVEL_PATH/pelm.coords, read once per process into a cache; the empty
// string when there are none.  Thread-safe.
ORVEL_EXPORT std::string getCoordinates(unsigned long addr);
// Sends "NODE COLOUR\n" to the monitor at $ORVEL_PELMMONITOR: "ADDR" (TCP
// port 5646) or "ADDR:PORT".
// Blocks at most for the connect time-out (ORVEL_PELMMONITOR_TIMEOUT_MS,
// default 2000).  Never raises SIGPIPE.
ORVEL_EXPORT void pelmmon_color(const std::string& node, int colour);
// Removes one trailing line feed from text, in place.  Accepts "".
ORVEL_EXPORT void chomp(char* text);

#endif  // ORVEL_INCLUDE_SLP_H_
