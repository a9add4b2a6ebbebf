// da_handler.h: the directory agent's request handling, from the bytes of
// one received message to the bytes of its reply.
//
// No sockets here: the daemon (tools/orvel-slpd) passes each datagram or
// TCP frame with its source address, so the whole protocol logic can be
// tested and fuzzed directly.  Every length field is checked by the wire
// codec; a malformed unicast request gets the standard error reply, a
// malformed multicast request or a malformed header gets nothing.
//
// Thread-safe: Handle may run on several threads at once (the store locks).
#ifndef ORVEL_LIBORVEL_SLP_DA_HANDLER_H_
#define ORVEL_LIBORVEL_SLP_DA_HANDLER_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "port/mutex.h"
#include "slp/da_answers.h"
#include "slp/da_rrl.h"
#include "slp/da_sink.h"
#include "slp/da_stats.h"
#include "slp/da_store.h"
#include "slp/wire.h"

namespace orvel::slp {

// An IPv4 network, host byte order.
struct Ipv4Net {
  uint32_t addr = 0;
  uint32_t mask = 0;
  bool Contains(uint32_t a) const { return (a & mask) == (addr & mask); }
};
// Parses "A.B.C.D/LEN" (or a bare address, /32).  Empty on error.
std::optional<Ipv4Net> ParseIpv4Net(std::string_view text);

struct DaConfig {
  // The agent's own address for its DAAdvert URL and PRList checks (host
  // byte order); 0 when it listens on every interface.
  uint32_t self_addr = 0;
  std::string advert_host = "127.0.0.1";  // host text of the DAAdvert URL
  uint32_t boot_timestamp = 0;
  // Largest IP datagram for a UDP reply, IP and UDP headers included, so
  // the SLP message stays within mtu - 28 bytes.
  size_t mtu = 1400;
  // Sources allowed to register and deregister.
  std::vector<Ipv4Net> allow_register = {{0x7f000000u, 0xff000000u}};
  // When set, SrvReg and SrvDeReg go through the sink (borrowed; it must
  // outlive the handler) instead of changing the store directly.
  RegistrationSink* sink = nullptr;
  // UDP reply bytes per source network (see da_rrl.h).
  ReplyBudgetConfig reply_budget;
  // Where a line about refused registrations goes, at most once a second
  // (none when empty).
  std::function<void(const std::string&)> refusal_log;
};

// What the transport should know about one handled message.
struct HandleInfo {
  // The request asked for directory agents.  Standard clients ask over TCP
  // and read until the connection closes, so the transport closes it once
  // the peer has nothing more in flight.
  bool agent_discovery = false;
  // The UDP reply went out without its payload (reply budget spent).
  bool rate_limited = false;
  // The reply comes later, through the LaterReply given to Handle.
  bool deferred = false;
};

// How a transport sends a reply that was not ready when Handle returned
// (a registration the sink records asynchronously).  Called once, from any
// thread, with the reply bytes ("" for none).
using LaterReply = std::function<void(std::string reply)>;

class DaHandler {
 public:
  // store is borrowed and must outlive the handler.
  DaHandler(RegistrationStore* store, DaConfig config);

  // Handles one message from source (IPv4, host byte order).  over_tcp
  // lifts the datagram size limit.  Returns the reply, or "" for none.
  // When log is given it receives one line describing the request; info
  // (when given) what the transport should know.
  std::string Handle(const uint8_t* data, size_t size, uint32_t source, bool over_tcp,
                     std::string* log = nullptr, HandleInfo* info = nullptr);
  // The same; with a sink, a SrvReg or SrvDeReg is answered through later
  // (info->deferred) and this returns "".
  std::string Handle(const uint8_t* data, size_t size, uint32_t source, bool over_tcp,
                     std::string* log, HandleInfo* info, LaterReply later);
  std::string Handle(const std::string& bytes, uint32_t source, bool over_tcp,
                     std::string* log = nullptr, HandleInfo* info = nullptr) {
    return Handle(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), source, over_tcp,
                  log, info);
  }

  // An unsolicited DAAdvert (XID 0); boot timestamp 0 announces shutdown.
  std::string UnsolicitedAdvert(bool going_down) const;

  size_t max_udp_reply() const { return config_.mtu > 28 + 18 ? config_.mtu - 28 : 18; }
  ReplyBudget& reply_budget() { return budget_; }
  // Counts of every message handled so far (see da_stats.h).
  const DaStats& stats() const { return stats_; }

 private:
  struct Request;  // one decoded message and what is known about it

  std::string Dispatch(Request& rq, const uint8_t* data, size_t size);
  std::string OnSrvRqst(Request& rq, const SrvRqst& body);
  std::string OnAgentDiscovery(Request& rq, const SrvRqst& body);
  std::string OnSrvReg(Request& rq, const SrvReg& body);
  std::string OnSrvDeReg(Request& rq, const SrvDeReg& body);
  std::string OnAttrRqst(Request& rq, const AttrRqst& body);
  std::string OnSrvTypeRqst(Request& rq, const SrvTypeRqst& body);
  std::string Fail(Request& rq, uint16_t code) const;
  // Hands a registration to the sink's asynchronous side (start); answer
  // makes the reply from the sink's code, which goes to rq.later.
  void Defer(Request& rq, const std::function<void(RegistrationSink::Done)>& start,
             std::function<std::string(Request&, uint16_t)> answer);

  std::string Reply(Request& rq, Body body, bool truncated = false);
  std::string ErrorReply(const Header& request, uint16_t code) const;
  DAAdvert Advert(uint16_t code) const;
  bool MayRegister(uint32_t source) const;
  // Counts a (de)registration refused for its source and logs at most
  // once a second.
  void NoteRefusal(const Request& rq);
  void Count(const Request& rq, const std::string& reply);

  RegistrationStore* store_;
  DaConfig config_;
  ReplyBudget budget_;
  DaStats stats_;
  AnswerCache answers_;  // large SrvRply answers over TCP
  port::Mutex refusal_mu_;
  uint64_t refused_unlogged_ GUARDED_BY(refusal_mu_) = 0;
  std::chrono::steady_clock::time_point refusal_logged_ GUARDED_BY(refusal_mu_){};
};

}  // namespace orvel::slp

#endif  // ORVEL_LIBORVEL_SLP_DA_HANDLER_H_
