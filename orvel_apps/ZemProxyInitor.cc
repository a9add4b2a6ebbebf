// ZemProxyInitor.cc: launching and initialising the proxies of one request.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "Zem.h"
#include "orvel/Msg.h"
#include "orvel/http.h"

#ifndef ORVEL_DEFAULT_PROXY_CODE_URL
#error "ORVEL_DEFAULT_PROXY_CODE_URL must be defined by the build"
#endif
#ifndef ORVEL_DEFAULT_VIEWER_CODE_URL
#error "ORVEL_DEFAULT_VIEWER_CODE_URL must be defined by the build"
#endif

namespace {

constexpr unsigned short kDataPort = 7560;
constexpr const char* kEPGroup = "224.5.6.7";
constexpr unsigned char kEPGroupTTL = 0;
constexpr const char* kZoneGroup = "225.5.6.7";
constexpr unsigned char kZoneGroupTTL = 1;
constexpr unsigned char kAboneTTL = 255;
constexpr const char* kAboneClient = "/abone/sc.linux -f anee2";
// The proxy program needs time to arrive on the node before it is started:
// ORVEL_ABONE_LOAD_WAIT seconds (default 10), waited in kLoadWaits steps.
// Tests set the step itself (load_wait_step_usec >= 0).
constexpr int kLoadWaits = 50;
constexpr double kDefaultLoadWaitSeconds = 10;
constexpr double kMaxLoadWaitSeconds = 3600;
std::atomic<long long> load_wait_step_usec{-1};
const std::string kRule(53, '=');

std::string EnvOr(const char* name, const char* fallback) {
  const char* value = getenv(name);
  return value != nullptr ? value : fallback;
}

// One step of the wait after the load command, in microseconds.  A value of
// ORVEL_ABONE_LOAD_WAIT that is not a number from 0 to kMaxLoadWaitSeconds
// keeps the default.
useconds_t LoadWaitStepUsec() {
  const long long forced = load_wait_step_usec.load();
  if (forced >= 0) return static_cast<useconds_t>(forced);
  double seconds = kDefaultLoadWaitSeconds;
  if (const char* text = getenv("ORVEL_ABONE_LOAD_WAIT"); text != nullptr && *text != '\0') {
    char* end = nullptr;
    const double v = strtod(text, &end);
    if (*end == '\0' && v >= 0 && v <= kMaxLoadWaitSeconds) seconds = v;
  }
  return static_cast<useconds_t>(seconds * 1e6 / kLoadWaits);
}

// Runs command; false when it could not run at all (system() failed, or
// the shell reported 127 "not found" or 126 "not executable") or a signal
// killed it.  Any other exit status is the ABone client's own business, 129
// to 192 included: a client may well exit with such a number itself.
//
// A line that is one simple command is run with "exec" in front, so the
// shell becomes the client and a signal that kills the client reaches us as
// such; a shell that waited for it would report exit status 128 + N, which
// a client may also return on its own.  A line with control operators (they
// can only come from the environment) runs as it stands.
bool RunCommand(const std::string& command) {
  const bool simple = command.find_first_of(";&|()\n") == std::string::npos;
  const std::string line = simple ? "exec " + command : command;
  int status = system(line.c_str());
  if (status == -1) {
    perror("system");
    return false;
  }
  if (WIFSIGNALED(status)) {
    printf("command ended by signal %d, returning now...\n", WTERMSIG(status));
    return false;
  }
  if (WIFEXITED(status) && (WEXITSTATUS(status) == 126 || WEXITSTATUS(status) == 127)) {
    printf("command could not be run (status %d), returning now...\n", WEXITSTATUS(status));
    return false;
  }
  return true;
}

}  // namespace

std::string proxyCodeURL() { return EnvOr("ORVEL_PROXY_CODE_URL", ORVEL_DEFAULT_PROXY_CODE_URL); }

std::string viewerCodeURL() {
  return EnvOr("ORVEL_VIEWER_CODE_URL", ORVEL_DEFAULT_VIEWER_CODE_URL);
}

void ZemProxyInitor::setLoadWaitForTesting(unsigned int step_usec) {
  load_wait_step_usec = step_usec;
}

ZemProxyInitor::ZemProxyInitor(std::vector<TransportEndPoint>& ep_proxies,
                               std::vector<TransportEndPoint>& zone_proxies)
    : mId(0), mVersion(0), mInitOk(false), mEPProxyVec(ep_proxies), mZoneProxyVec(zone_proxies) {
  std::vector<TransportEndPoint> membervec(mEPProxyVec);
  membervec.insert(membervec.end(), mZoneProxyVec.begin(), mZoneProxyVec.end());
  mId = Msg::generateId();
  mVersion = Msg::generateVersion();

  // A member with address 0 has no proxy (the locator found none; address
  // 0 would reach this host itself or hand 0.0.0.0 to the ABone client).
  // The synthesis cannot succeed, so no proxy is contacted at all: one
  // initialised now would serve a session nobody uses.
  for (size_t i = 0; i < membervec.size(); ++i) {
    if (membervec[i].getAddr() == 0) {
      fprintf(stderr, "member %zu has no proxy address, returning now...\n", i);
      return;
    }
  }

  for (size_t i = 0; i < membervec.size(); ++i) {
    const TransportEndPoint& member = membervec[i];
    const bool is_ep = i < mEPProxyVec.size();
    std::vector<TransportEndPoint> peers;
    if (i > 0) {
      peers = membervec;
      peers.erase(peers.begin() + static_cast<std::ptrdiff_t>(i));
    }
    bool served = member.isAboneNode() ? launchOnAbone(member, is_ep, peers)
                                       : initByMessage(member, is_ep, peers);
    if (!served) return;
  }
  mInitOk = true;
}

bool ZemProxyInitor::launchOnAbone(const TransportEndPoint& member, bool is_ep,
                                   const std::vector<TransportEndPoint>& peers) {
  const char* orvel_path = getenv("ORVEL_PATH");
  if (orvel_path == nullptr) {
    printf("ORVEL_PATH not set, returning now...\n");
    return false;
  }
  const std::string absc = std::string(orvel_path) + kAboneClient;
  const std::string addr = member.getAddrStr();
  const std::string load = absc + " " + addr + " LOAD X=" + proxyCodeURL() + " S=-C";
  printf("loading proxy to %s...\n", addr.c_str());
  fflush(stdout);
  if (!RunCommand(load)) return false;
  const useconds_t step = LoadWaitStepUsec();
  for (int i = 0; i < kLoadWaits && step > 0; ++i) usleep(step);

  const char* viewer_args = getenv("ORVEL_ABONEVIEWERARGS");
  if (viewer_args == nullptr) {
    printf("ORVEL_ABONEVIEWERARGS not set, returning now...\n");
    return false;
  }
  std::string abcmd = absc + " " + addr + " LOAD X=" + viewerCodeURL() +
                      " O=out.txt R=err.txt C=VanoruProxy " + viewer_args + " ";
  // Every member but the first joins the first one.
  if (!peers.empty()) abcmd += "S=-m" + peers[0].getAddrStr() + " ";
  printf("invoking proxy using command line:\n");
  printf("%s\n", kRule.c_str());
  printf("%s\n", abcmd.c_str());
  printf("%s\n", kRule.c_str());
  fflush(stdout);
  if (!RunCommand(abcmd)) return false;

  MulticastEndPoint transport(member.getAddr(), kDataPort, kAboneTTL);
  (is_ep ? mEPTVec : mZoneTVec).push_back(transport);
  return true;
}

bool ZemProxyInitor::initByMessage(const TransportEndPoint& member, bool is_ep,
                                   const std::vector<TransportEndPoint>& peers) {
  const std::string addr = member.getAddrStr();
  int sock;
  {
    ZemInit init(mId, mVersion, kDataPort);
    fprintf(stderr, "sending ZemInit to %s:%d...", addr.c_str(),
            static_cast<int>(member.getPort()));
    fflush(stderr);
    sock = sendRequestMsg(addr.c_str(), member.getPort(), &init);
  }
  if (sock == -1) return false;
  std::unique_ptr<Msg> reply(getResponseMsg(sock));
  if (!reply || reply->getType() != Msg::ZemInitOk) return false;
  printf("got ZemInitOk\n");

  MulticastEndPoint transport =
      is_ep ? MulticastEndPoint(inet_ADDR(kEPGroup), kDataPort, kEPGroupTTL)
            : MulticastEndPoint(inet_ADDR(kZoneGroup), kDataPort, kZoneGroupTTL);
  (is_ep ? mEPTVec : mZoneTVec).push_back(transport);
  reply.reset();

  {
    ZemCommit commit(mId, mVersion, transport.getAddr(), kDataPort, transport.getTTL(), peers);
    printf("sending ZemCommit...");
    fflush(stdout);
    sock = sendRequestMsg(addr.c_str(), member.getPort(), &commit);
  }
  if (sock == -1) return false;
  reply.reset(getResponseMsg(sock));
  if (!reply || reply->getType() != Msg::ZemCommitOk) return false;
  printf("got ZemCommitOk\n");
  return true;
}
