// agent_list.h: directory agents as text, and the XIDs of requests to them.
// Internal; never installed.  Besides the user agent, programs that check
// an agent argument as the look-ups will read it, or ask an agent directly
// (with wire.h), see this header alone (orvel_slp_agents).
//
// Thread safety: free functions; NewXid may be called from any thread.
#ifndef ORVEL_LIBORVEL_SLP_AGENT_LIST_H_
#define ORVEL_LIBORVEL_SLP_AGENT_LIST_H_

#include <netinet/in.h>

#include <cstdint>
#include <string>
#include <vector>

namespace orvel {
namespace slp {

// s without leading and trailing blanks and tabs.
std::string Trim(const std::string& s);
// "host" or "host:port" (net::ParseHostPort; port 1 to 65535); names are
// resolved (IPv4 only).  False when it does not read or resolve.
bool ResolveAgent(const std::string& text, uint16_t default_port, sockaddr_in* out);
// The agents of a list "A[:P],B[:P],..." in list order, without
// duplicates; items that do not resolve are left out.
std::vector<sockaddr_in> ParseAgentList(const std::string& list, uint16_t default_port);
bool SameAddr(const sockaddr_in& a, const sockaddr_in& b);
// "A.B.C.D:PORT".
std::string AgentText(const sockaddr_in& a);
// A fresh XID (never 0, which unsolicited DAAdverts use).
uint16_t NewXid();

}  // namespace slp
}  // namespace orvel

#endif  // ORVEL_LIBORVEL_SLP_AGENT_LIST_H_
