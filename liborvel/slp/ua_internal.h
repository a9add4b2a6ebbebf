// ua_internal.h: pieces of the SLP user agent shared by its .cc files and
// tests.  Internal; never installed.
//
// The user agent is split by job:
//   properties.cc            the process-wide property store
//   ua_client_agents.cc      which agents to ask, in which order
//   ua_client_discovery.cc   multicast discovery and the passive listener
//   ua_client_exchange.cc    one request/reply over UDP or TCP, fail-over
//   ua_client.cc             handles and the search calls of the C API
//   ua_client_reg.cc         registrations and their refresh
//   ua_client_url.cc         URL parsing and escaping
#ifndef ORVEL_LIBORVEL_SLP_UA_INTERNAL_H_
#define ORVEL_LIBORVEL_SLP_UA_INTERNAL_H_

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "net/socket_io.h"
#include "net/status.h"
#include "orvel/slp_api.h"
#include "slp/agent_list.h"
#include "slp/wire.h"

namespace orvel {
namespace slp {

using Clock = std::chrono::steady_clock;

// Sockets are owned by the project's one descriptor type.
using Socket = orvel::net::UniqueFd;

// ---- Properties (properties.cc) --------------------------------------------

// Reads of the process-wide property store (the user agent itself reads
// the options record below).  Thread-safe.
std::string PropertyString(const char* name);
// A comma-separated list of positive milliseconds; empty when unset or
// when an element is not a positive number.
std::vector<int> PropertyMillisList(const char* name);

// The properties the user agent works with, read from the store once after
// each change instead of at every use.  A malformed value gives the
// fallback named beside the field (the store's own default in brackets
// where it differs).
struct UaOptions {
  uint16_t port = 427;               // net.slp.port (1..65535)
  std::string da_addresses;          // net.slp.DAAddresses: "A[:P],B[:P]", "" none
  std::string use_scopes;            // net.slp.useScopes ["DEFAULT"]
  std::string locale;                // net.slp.locale ["en"]
  bool active_da_detection = true;   // net.slp.activeDADetection
  bool passive_da_detection = true;  // net.slp.passiveDADetection
  long unicast_max_wait_ms = 15000;  // net.slp.unicastMaximumWait
  std::vector<int> datagram_timeouts_ms{2000, 4000, 8000};  // net.slp.datagramTimeouts
  long multicast_max_wait_ms = 15000;                       // net.slp.multicastMaximumWait
  // net.slp.DADiscoveryTimeouts [2000,2000,2000,2000,3000,4000]
  std::vector<int> da_discovery_timeouts_ms{2000, 2000, 2000};
  long da_active_discovery_interval_s = 900;  // net.slp.DAActiveDiscoveryInterval
  int multicast_ttl = 255;                    // net.slp.multicastTTL (1..255)
  long mtu = 1400;                            // net.slp.MTU
  std::string interfaces;                     // net.slp.interfaces, "" none
};
// The current options; a snapshot that later changes do not touch.
// Thread-safe.
std::shared_ptr<const UaOptions> Options();

// ---- Agents (ua_client_agents.cc) ------------------------------------------

// Trim, ResolveAgent, ParseAgentList, SameAddr, AgentText: agent_list.h.

// net.slp.port, or 427 when unset or out of range.
uint16_t ConfiguredPort();
// The agents of net.slp.DAAddresses.
std::vector<sockaddr_in> ConfiguredAgents();

struct Channel;
// Agents for a look-up on ch: its own (see OwnAgents) when it has them; else the configured ones,
// else the discovered ones (discovering when needed).  Agents that failed
// lately come last, so one dead agent costs its wait once, not on every
// look-up.
std::vector<sockaddr_in> AgentsToAsk(const Channel& ch);
// Agents a registration goes to: the configured ones and every one
// discovered (when detection is on), without duplicates.
std::vector<sockaddr_in> AgentsToRegisterWith(const std::string& lang);
// How an exchange with an agent went, for the ordering above.
void NoteAgentAnswered(const sockaddr_in& agent);
void NoteAgentFailed(const sockaddr_in& agent);
// Forgets every failure noted (tests).
void ForgetAgentFailures();
// How long an agent that failed stays behind the others.
constexpr std::chrono::seconds kFailedAgentDemotion{60};

// ---- Discovery (ua_client_discovery.cc) --------------------------------------

// Multicast SrvRqst for service:directory-agent with previous-responder
// convergence.  Blocks for at most net.slp.multicastMaximumWait.
std::vector<sockaddr_in> DiscoverAgents(const std::string& lang);
// Starts (once per process) the listener for unsolicited DAAdverts.
void StartPassiveListener();
// Agents found by discovery or heard passively, and when.
std::vector<sockaddr_in> DiscoveredAgentsSnapshot(Clock::time_point* found_at);
void SetDiscoveredAgents(const std::vector<sockaddr_in>& agents);
// Forgets the directory agents found by discovery (also for tests).
void ForgetDiscoveredAgents();
// The address an advert names in its "service:directory-agent://A" URL,
// else from (with port).
sockaddr_in AgentFromAdvert(const DAAdvert& ad, const sockaddr_in& from, uint16_t port);

// ---- Exchange (ua_client_exchange.cc) ----------------------------------------

// Agents of a handle's own: the listed ones alone, or when discover is set
// (an empty list was given) the discovered ones, active and passive.
struct OwnAgents {
  std::vector<sockaddr_in> agents;
  bool discover = false;
};

// What one thread needs to talk to agents: the language and its own UDP
// socket (connected per agent) with a receive buffer, and the agents its
// searches ask when they are its own rather than the process's.
struct Channel {
  std::string lang;
  Socket udp;
  std::vector<uint8_t> recv_buf;
  // Unset: net.slp.DAAddresses, else discovery as the detection properties
  // say.
  std::optional<OwnAgents> own_agents;
  // The agent udp is connected to, set while the last exchange on it ended
  // with that agent's reply, so no error (port unreachable) can be pending:
  // the next exchange with the same agent skips connect(), and the socket
  // may serve the next handle opened on this thread (ReleaseChannel).
  std::optional<sockaddr_in> clean_peer;
};
// Opens ch's socket (one the thread released, when there is one); false
// when the system refuses one.
bool OpenChannel(Channel* ch, const std::string& lang);
// Keeps ch's socket and buffer for the next OpenChannel on this thread when
// they are clean (see clean_peer); a few are kept, the rest closed.  A
// look-up per handle then costs no socket of its own.
void ReleaseChannel(Channel* ch);

enum class Outcome { kReply, kTimedOut, kRefused, kError };

// Sends req to agent and waits for the matching reply: UDP with the
// net.slp.datagramTimeouts schedule, all within net.slp.unicastMaximumWait;
// TCP when the request does not fit a datagram or the reply was cut short
// (overflow flag, or a header length beyond what arrived).  A failure
// names the agent and keeps errno: "127.0.0.1:427: no reply within
// 15000 ms" (kTimedOut), "127.0.0.1:427: Connection refused" (nobody on
// the port), "connect 127.0.0.1:427: Network is unreachable", ...  With
// tcp_after the first datagram waits at most that long and is followed by
// the request over TCP (then the remaining datagrams if TCP fails).
Status AskAgent(Channel& ch, const sockaddr_in& agent, Message& req, Message* reply,
                std::chrono::milliseconds tcp_after = std::chrono::milliseconds(0));
// Registrations try TCP after one unanswered datagram: an agent drops a
// registration from a source it does not take without a word over UDP
// (the source may be forged) and refuses it over TCP, so the refusal is
// known in about a second instead of at the end of the schedule.
constexpr std::chrono::milliseconds kRegistrationTcpAfter{1000};
// AskAgent's result as an Outcome.
Outcome OutcomeOf(const Status& s);
inline Outcome Exchange(Channel& ch, const sockaddr_in& agent, Message& req, Message* reply) {
  return OutcomeOf(AskAgent(ch, agent, req, reply));
}
// The request over TCP with its XID; replies up to the 24-bit length limit
// are read whole.
Status TcpExchange(const sockaddr_in& agent, const Message& req, const std::string& bytes,
                   net::Deadline deadline, Message* reply);
// Error code of any reply body (SrvAck, SrvRply, ...).
uint16_t ReplyError(const Message& reply);

// Who answered, for the caller's log: the agent whose reply decided the
// result, else the agents asked ("A:P,B:P"); and, for a failure, why (the
// agent's error, or each agent's failure, "; "-separated).
struct AskReport {
  std::string agent;
  Status status;
};
// Asks the agents in order until one gives an answer worth keeping.  An
// agent that does not answer, does not serve the scope or is busy makes way
// for the next.
SLPError AskFirstAgent(Channel& ch, Message& req, Message* reply, AskReport* report);
// Asks every agent in agents (registrations go to all, with
// kRegistrationTcpAfter); SLP_OK when one accepted, else the most telling
// error.
SLPError AskAgents(Channel& ch, const std::vector<sockaddr_in>& agents, Message& req,
                   AskReport* report);

// The protocol error code carried in a reply as an API error.
SLPError ApiErrorFromWire(uint16_t code);

// ---- Handles (ua_client.cc, ua_client_reg.cc) ------------------------------

class Refresher;  // ua_client_reg.cc

// What an SLPHandle points to.
struct Handle {
  Handle();
  ~Handle();  // stops the refresher
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;

  Channel chan;  // language and socket for calls on the caller's thread
  std::atomic<bool> busy{false};
  std::string last_agent;                // see AskReport; written by the call holding busy
  Status last_status;                    // likewise
  std::unique_ptr<Refresher> refresher;  // created by the first SLPReg kept alive
};

inline Handle* AsHandle(SLPHandle h) { return static_cast<Handle*>(h); }

// Marks a handle busy for the length of one call (callbacks included).
class BusyGuard {
 public:
  explicit BusyGuard(Handle* h) : h_(h) {
    bool expected = false;
    owned_ = h_->busy.compare_exchange_strong(expected, true);
  }
  ~BusyGuard() {
    if (owned_) h_->busy = false;
  }
  BusyGuard(const BusyGuard&) = delete;
  BusyGuard& operator=(const BusyGuard&) = delete;
  bool owned() const { return owned_; }

 private:
  Handle* h_;
  bool owned_;
};

// The answering agent of the last call on h ("" when none), for SLPService.
std::string LastAgentOf(SLPHandle h);
// Why the last search on h failed (OK after one that did not).
Status LastStatusOf(SLPHandle h);
// Gives h agents of its own ("A[:P],B[:P]"; "" for discovery, active and
// passive) in place of the process's.  Not while a call runs on h.
void SetOwnAgents(SLPHandle h, const std::string& list);

// The scopes given, else net.slp.useScopes, else "DEFAULT".
std::string ScopesOr(const char* given);
// Copies s into memory released with SLPFree; null when out of memory.
char* CopyToMalloc(const std::string& s);

// ---- Service URLs (ua_client_url.cc) ---------------------------------------

// The parts of a service URL "TYPE://HOST[:PORT][/PART]".
struct ServiceUrlParts {
  std::string type;  // before "://"
  std::string host;
  int port = 0;      // 0 when the URL has none
  std::string part;  // from the first '/' or ';' after the host, or ""
};
// How ParseServiceUrl reads a URL.
enum class UrlReading {
  // SLPParseSrvURL's: false without a "://" after a non-empty type, or with
  // a port that is not decimal up to 65535 (net::ParseHostPort).
  kStandard,
  // ServiceInstance's, quirks kept: the host starts after the first "//"
  // and ends before a following "/?x-PELM", else before the URL's last ':'
  // when that lies at least two characters after the "//", else at the
  // end; the port is the leading digits after the URL's last ':' (the whole
  // URL without one), 0 above 65535.  Never false: no "//" gives an empty
  // host; type and part stay empty.
  kLookup,
};
bool ParseServiceUrl(const std::string& url, UrlReading reading, ServiceUrlParts* out);

// How often registrations kept alive are sent again: a quarter of the
// lifetime before it ends, at most every 15 minutes (so an agent that lost
// its state gets them back soon), never more often than the agents'
// min-refresh-interval.  Tests shorten it with the override below.
std::chrono::milliseconds RefreshPeriod(uint16_t lifetime_s);
// Zero: no override.
void SetRefreshPeriodForTesting(std::chrono::milliseconds period);
// How often the agents' DAAdverts are checked for a restart while
// registrations are kept (30 s); zero: no override.
void SetAgentWatchPeriodForTesting(std::chrono::milliseconds period);

// attrs without the attributes whose tags match an entry of tags (a
// comma-separated list; '*' wildcards; case-insensitive).
std::string WithoutTags(const std::string& attrs, const std::string& tags);

// The largest min-refresh-interval (seconds) the known agents advertise in
// their DAAdverts, asked over unicast; 0 when none does.
unsigned short AgentsMinRefreshInterval();

}  // namespace slp
}  // namespace orvel

#endif  // ORVEL_LIBORVEL_SLP_UA_INTERNAL_H_
