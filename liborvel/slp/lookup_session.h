// lookup_session.h: several SLP look-ups over one handle, for a caller that
// makes many in a row, such as the service's look-ups for one synthesis
// request.  Internal to liborvel and the service; never installed.
//
// SLPService opens a handle (a socket and its buffer) for each look-up and
// points the process at its agent; a session opens one handle for all its
// look-ups, asks only its own agents and sets no process-wide property.
//
//   orvel::slp::LookupSession session("127.0.0.1:427");
//   std::vector<ServiceInstance> found;
//   Status s = session.Find("ZemProxy", "(addr=10.0.0.7)", "default", &found);
//   if (!s.ok()) log(s.ToString());  // "127.0.0.1:427: no reply to 3 ..."
//
// Thread safety: one thread at a time per session (a second call while one
// runs fails with SLP_HANDLE_IN_USE); sessions are independent.
#ifndef ORVEL_LIBORVEL_SLP_LOOKUP_SESSION_H_
#define ORVEL_LIBORVEL_SLP_LOOKUP_SESSION_H_

#include <string>
#include <vector>

#include "net/status.h"
#include "orvel/SLP.h"

namespace orvel::slp {

class LookupSession {
 public:
  // agents as SLPService takes them: "A[:PORT][,B[:PORT]...]" asked in
  // order, the first that answers serving; "" for agent discovery.
  explicit LookupSession(const std::string& agents);
  ~LookupSession();
  LookupSession(const LookupSession&) = delete;
  LookupSession& operator=(const LookupSession&) = delete;

  // Services of srvtype in scope matching predicate, as SLPService's
  // FindServices finds them (in the agent's order, lifetime-0 answers left
  // out); *found is replaced.  Finding none is OK.  A failure says what
  // happened at which agent: kTimedOut only when an agent stayed silent
  // (SLP_NETWORK_TIMED_OUT), kRefused for an agent's error reply,
  // kUnavailable when every agent failed otherwise (SLP_NETWORK_ERROR) or
  // none is known.  *api_error (if not null) gets the SLP API's code.
  Status Find(const std::string& srvtype, const std::string& predicate, const std::string& scope,
              std::vector<ServiceInstance>* found, SLPError* api_error = nullptr);
  // The agent that answered the last Find, else the agents asked; "" before
  // any.
  const std::string& agent() const { return agent_; }

 private:
  SLPHandle handle_ = nullptr;
  Status open_status_;
  std::string agent_;
};

}  // namespace orvel::slp

#endif  // ORVEL_LIBORVEL_SLP_LOOKUP_SESSION_H_
