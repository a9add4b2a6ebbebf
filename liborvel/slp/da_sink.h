// da_sink.h: where an agent records registrations before acknowledging
// them, when it shares them with other agents.
//
// A directory agent that keeps its registrations only in memory changes its
// RegistrationStore directly.  An agent that shares them (through etcd, in
// orvel-slpd) hands every SrvReg and SrvDeReg to a sink instead: the sink
// validates the change against the store, records it durably, brings the
// store up to date and only then returns, so the SrvAck means "recorded".
#ifndef ORVEL_LIBORVEL_SLP_DA_SINK_H_
#define ORVEL_LIBORVEL_SLP_DA_SINK_H_

#include <cstdint>
#include <functional>
#include <string_view>

#include "slp/da_store.h"

namespace orvel::slp {

class RegistrationSink {
 public:
  virtual ~RegistrationSink() = default;
  // Same contract and error codes as RegistrationStore::Register and
  // Deregister, plus error::kDaBusyNow when the change cannot be recorded
  // now (the service agent retries later).  Thread-safe.
  virtual uint16_t Register(const RegistrationInput& in) = 0;
  virtual uint16_t Deregister(std::string_view scopes, std::string_view url, std::string_view lang,
                              std::string_view tags) = 0;

  // The same, answered later: done gets the code exactly once, on any
  // thread (possibly before the call returns).  A sink that records
  // several changes at once overrides these, so that the transport's
  // thread never waits for the record.
  using Done = std::function<void(uint16_t code)>;
  virtual void RegisterAsync(const RegistrationInput& in, Done done) { done(Register(in)); }
  virtual void DeregisterAsync(std::string_view scopes, std::string_view url, std::string_view lang,
                               std::string_view tags, Done done) {
    done(Deregister(scopes, url, lang, tags));
  }
};

}  // namespace orvel::slp

#endif  // ORVEL_LIBORVEL_SLP_DA_SINK_H_
