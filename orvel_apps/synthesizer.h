// synthesizer.h: one synthesis, from a SynthZemReq to its SynthZemOk or the
// reason it failed, over three narrow interfaces: the proxy directory (the
// look-ups), proxy control (the exchanges with running proxies and the
// ABone commands) and the observer (lines, console, monitor, metrics, the
// log line).  RecvCallback, ZemProxyLocator and ZemProxyInitor are thin
// layers over it with the real parts (service_parts.h); tests drive it with
// fakes.
//
// With concurrency 1 the members are served one after another and every
// line comes out as it always has.  With concurrency N > 1 look-ups run N
// at once; every ZemInit goes out at once, and only when every member has a
// proxy and every ZemInit was answered ZemInitOk (and every ABone load ran)
// does any ZemCommit or ABone start command go out; each line is then one
// whole line that names its member.
//
// Thread safety: a Synthesizer serves one request at a time; several may
// run at once on the same parts when those are thread-safe (the real ones
// are).  With concurrency N the parts are called from up to N threads at
// once.
#ifndef ORVEL_APPS_SYNTHESIZER_H_
#define ORVEL_APPS_SYNTHESIZER_H_

#include <memory>
#include <string>
#include <vector>

#include "net/status.h"
#include "orvel/EndPoint.h"
#include "orvel/Msg.h"
#include "orvel/SLP.h"
#include "service_config.h"
#include "zem_stats.h"

namespace orvel::zem {

// The SLP look-ups of one request.  One object per request.  Thread-safe.
class ProxyDirectory {
 public:
  virtual ~ProxyDirectory() = default;
  // The first "ZemProxy" registered with predicate (&(addr=ADDR)(mask=MASK)).
  // NotFound when none; another error when the look-up itself failed, its
  // message the line to show ("SLP lookup of ZemProxy failed at agent ...").
  virtual Status FindRegistered(const std::string& addr, const std::string& mask,
                                ServiceInstance* found) = 0;
  // The first "CompResource" near the coordinates text; as above.
  virtual Status FindNearest(const std::string& coords, ServiceInstance* found) = 0;
  // The host's coordinates text (network-order address), "" when unknown.
  virtual std::string Coordinates(unsigned long addr) = 0;
};

// Talking to proxies.  Thread-safe.
class ProxyControl {
 public:
  virtual ~ProxyControl() = default;
  // One request and reply with the proxy at host:port; on failure *reply
  // is null and the Status says why (the transport prints its own lines).
  virtual Status Exchange(const std::string& host, unsigned short port, Msg& request,
                          std::unique_ptr<Msg>* reply) = 0;
  // Runs one ABone command line.  Fails only when it could not run
  // (kIOError: message "system: ..."), or ran but the shell could not
  // start it or a signal ended it (kRefused: "command ... "); any exit
  // status of the client itself is success.
  virtual Status RunCommand(const std::string& command) = 0;
  // The wait after ABone load commands, for the proxy program to arrive.
  virtual void WaitForLoad(double seconds) = 0;
};

enum class Stream { kOut, kErr };

// How one request ended, for the log line and the failure metric.
struct SynthesisReport {
  std::string type;  // the request's type name
  unsigned long id = 0;
  unsigned long version = 0;
  std::string peer;  // "A.B.C.D:PORT"
  size_t hosts = 0;
  size_t zones = 0;
  bool ok = false;
  double seconds = 0;
  // On failure: where ("request", "locate", "init", "launch", "commit"), a
  // bounded word for why (a metric label) and the whole reason text.
  std::string stage;
  std::string reason_label;
  Status status;
};

// What the synthesis shows and counts.  Thread-safe.
class SynthesisObserver {
 public:
  virtual ~SynthesisObserver() = default;
  // One piece of output, exactly as it is to appear on stream.
  virtual void Print(Stream stream, const std::string& text) = 0;
  // The console pause between the steps of an end host's fallback search.
  virtual void Pause() = 0;
  // True when pauses wait for an operator (a terminal is the console):
  // then concurrent fallback searches take their turns in request order.
  virtual bool PausesWait() = 0;
  // A colour line for the coordinate monitor.
  virtual void Colour(const std::string& node, int colour) = 0;
  // One located member and how its proxy was found.
  virtual void MemberLocated(bool zone, const TransportEndPoint& proxy) = 0;
  virtual void StageDone(Stage stage, double seconds) = 0;
  // The end of one request (every request, answered or not).
  virtual void Finished(const SynthesisReport& report) = 0;
};

// The outcome of launching and initialising a member list.
struct InitResult {
  bool ok = false;
  Status status;             // on failure: "member I (...): reason"
  std::string stage;         // on failure: "init", "launch" or "commit"
  std::string reason_label;  // on failure: bounded word
  size_t member = 0;         // on failure: the failing member
  unsigned long id = 0;      // of the control messages sent
  unsigned long version = 0;
  // One per member served, in member order (with concurrency 1 those served
  // before a failure stay; with more, they are empty on failure).
  std::vector<MulticastEndPoint> ep_transports;
  std::vector<MulticastEndPoint> zone_transports;
};

class Synthesizer {
 public:
  // The parts must outlive the Synthesizer; directory may be null when only
  // Initialise() is used.
  Synthesizer(const ServiceConfig& config, ProxyDirectory* directory, ProxyControl* control,
              SynthesisObserver* observer);
  Synthesizer(const Synthesizer&) = delete;
  Synthesizer& operator=(const Synthesizer&) = delete;

  // Serves request: the reply (owned by the caller) with the request's id
  // and version, or null with *report saying why.  Accepts SynthZemReq
  // only.  Reports to the observer's Finished() either way.  Blocks for the
  // whole synthesis (look-ups, pauses, launches).
  std::unique_ptr<Msg> Synthesize(Msg& request, SynthesisReport* report);

  // The proxy of one end host or zone; address 0 when none.  *why (may be
  // null) gets the reason when none was found.
  TransportEndPoint LocateHost(const EndPoint& host, std::string* why);
  TransportEndPoint LocateZone(const EndZone& zone, std::string* why);

  // Launches and initialises the members (end-host proxies, then zones).
  InitResult Initialise(const std::vector<TransportEndPoint>& ep_proxies,
                        const std::vector<TransportEndPoint>& zone_proxies);

  // How one member failed (internal).
  struct Failure;

 private:
  struct Located;
  struct Members;
  class MemberOut;
  class Turns;

  void LocateAll(const std::vector<EndPoint>& hosts, const std::vector<EndZone>& zones,
                 std::vector<Located>* located);
  Located Locate(size_t index, const EndPoint* host, const EndZone* zone, MemberOut& out,
                 Turns* turns);
  InitResult InitInOrder(const Members& m, unsigned long id, unsigned long version);
  InitResult InitConcurrently(const Members& m, unsigned long id, unsigned long version);
  Failure Load(size_t i, const Members& m, MemberOut& out);
  Failure Start(size_t i, const Members& m, MemberOut& out);
  Failure SendInit(size_t i, const Members& m, unsigned long id, unsigned long version,
                   MemberOut& out);
  Failure SendCommit(size_t i, const Members& m, unsigned long id, unsigned long version,
                     MemberOut& out);
  Failure RunCommand(const std::string& command, MemberOut& out);

  const ServiceConfig config_;
  ProxyDirectory* directory_;
  ProxyControl* control_;
  SynthesisObserver* observer_;
};

// "member I (end host A)", "member I (zone A/M)", "member I (proxy A:P)",
// "member I (ABone node A)".
std::string MemberName(size_t index, const EndPoint& host);
std::string MemberName(size_t index, const EndZone& zone);
std::string MemberName(size_t index, const TransportEndPoint& proxy);

}  // namespace orvel::zem

#endif  // ORVEL_APPS_SYNTHESIZER_H_
