// ua_client_agents.cc: which directory agents the user agent asks, and in
// which order.
//
// A handle's own agents (SLPService's) are asked alone; otherwise configured
// agents (net.slp.DAAddresses) come first and, for look-ups, alone; otherwise
// the discovered ones.  An agent that just failed (timed
// out or refused) is moved behind the others for kFailedAgentDemotion, so a
// dead first agent costs its wait once rather than on every look-up.
#include <arpa/inet.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "net/address.h"
#include "port/mutex.h"
#include "slp/ua_internal.h"

namespace orvel {
namespace slp {
namespace {

struct Failure {
  sockaddr_in agent;
  Clock::time_point at;
};

struct Health {
  port::Mutex mu;
  std::vector<Failure> failures GUARDED_BY(mu);
};

Health& TheHealth() {
  static Health h;
  return h;
}

bool FailedLately(const std::vector<Failure>& failures, const sockaddr_in& a,
                  Clock::time_point now) {
  for (const Failure& f : failures)
    if (SameAddr(f.agent, a) && now - f.at < kFailedAgentDemotion) return true;
  return false;
}

// Stable: healthy agents keep their order, failed ones follow in theirs.
std::vector<sockaddr_in> HealthyFirst(const std::vector<sockaddr_in>& agents) {
  Health& h = TheHealth();
  port::MutexLock lock(&h.mu);
  if (h.failures.empty()) return agents;
  Clock::time_point now = Clock::now();
  std::vector<sockaddr_in> out;
  std::vector<sockaddr_in> failed;
  for (const sockaddr_in& a : agents)
    (FailedLately(h.failures, a, now) ? failed : out).push_back(a);
  out.insert(out.end(), failed.begin(), failed.end());
  return out;
}

void AddUnique(std::vector<sockaddr_in>* to, const std::vector<sockaddr_in>& from) {
  for (const sockaddr_in& a : from) {
    bool known = false;
    for (const sockaddr_in& k : *to) known = known || SameAddr(k, a);
    if (!known) to->push_back(a);
  }
}

// Discovered agents; with may_search, discovering actively when the cache
// is empty or older than net.slp.DAActiveDiscoveryInterval.
std::vector<sockaddr_in> DiscoveredAgents(const std::string& lang, bool may_search, bool active,
                                          bool passive) {
  if (!active && !passive) return {};
  if (passive) StartPassiveListener();
  long interval_s = Options()->da_active_discovery_interval_s;
  Clock::time_point found_at;
  std::vector<sockaddr_in> agents = DiscoveredAgentsSnapshot(&found_at);
  // Agents heard passively count until an exchange with them fails.
  if (!agents.empty() && (!active || Clock::now() - found_at < std::chrono::seconds(interval_s)))
    return agents;
  if (!active || !may_search) return agents;
  agents = DiscoverAgents(lang);
  if (!agents.empty()) SetDiscoveredAgents(agents);
  return agents;
}

}  // namespace

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return "";
  size_t e = s.find_last_not_of(" \t");
  return s.substr(b, e - b + 1);
}

uint16_t ConfiguredPort() { return Options()->port; }

bool ResolveAgent(const std::string& text, uint16_t default_port, sockaddr_in* out) {
  net::HostPort hp;
  if (!net::ParseHostPort(text, &hp) || (hp.has_port && hp.port == 0)) return false;
  uint32_t addr = 0;
  if (!net::ResolveIpv4(hp.host.c_str(), &addr)) return false;
  *out = net::Ipv4(addr, hp.has_port ? hp.port : default_port);
  return true;
}

std::vector<sockaddr_in> ConfiguredAgents() {
  std::shared_ptr<const UaOptions> o = Options();
  return ParseAgentList(o->da_addresses, o->port);
}

std::vector<sockaddr_in> ParseAgentList(const std::string& list, uint16_t port) {
  std::vector<sockaddr_in> out;
  size_t pos = 0;
  while (pos < list.size()) {
    size_t comma = list.find(',', pos);
    if (comma == std::string::npos) comma = list.size();
    std::string item = Trim(list.substr(pos, comma - pos));
    sockaddr_in a;
    if (!item.empty() && ResolveAgent(item, port, &a)) AddUnique(&out, {a});
    pos = comma + 1;
  }
  return out;
}

bool SameAddr(const sockaddr_in& a, const sockaddr_in& b) {
  return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

std::string AgentText(const sockaddr_in& a) { return net::Ipv4Text(a); }

std::vector<sockaddr_in> AgentsToAsk(const Channel& ch) {
  std::vector<sockaddr_in> agents;
  if (ch.own_agents) {
    agents = ch.own_agents->discover ? DiscoveredAgents(ch.lang, /*may_search=*/true,
                                                        /*active=*/true, /*passive=*/true)
                                     : ch.own_agents->agents;
  } else {
    agents = ConfiguredAgents();
    if (agents.empty()) {
      std::shared_ptr<const UaOptions> o = Options();
      agents = DiscoveredAgents(ch.lang, /*may_search=*/true, o->active_da_detection,
                                o->passive_da_detection);
    }
  }
  return HealthyFirst(agents);
}

std::vector<sockaddr_in> AgentsToRegisterWith(const std::string& lang) {
  // With agents configured, those heard of so far join them; a multicast
  // search (seconds long) only runs when nothing is configured.
  std::vector<sockaddr_in> agents = ConfiguredAgents();
  std::shared_ptr<const UaOptions> o = Options();
  AddUnique(&agents, DiscoveredAgents(lang, /*may_search=*/agents.empty(), o->active_da_detection,
                                      o->passive_da_detection));
  return agents;
}

void NoteAgentAnswered(const sockaddr_in& agent) {
  Health& h = TheHealth();
  port::MutexLock lock(&h.mu);
  h.failures.erase(std::remove_if(h.failures.begin(), h.failures.end(),
                                  [&agent](const Failure& f) { return SameAddr(f.agent, agent); }),
                   h.failures.end());
}

void NoteAgentFailed(const sockaddr_in& agent) {
  Health& h = TheHealth();
  port::MutexLock lock(&h.mu);
  Clock::time_point now = Clock::now();
  for (Failure& f : h.failures) {
    if (SameAddr(f.agent, agent)) {
      f.at = now;
      return;
    }
  }
  // Bounded by the agents a process knows; drop the stale ones first.
  h.failures.erase(
      std::remove_if(h.failures.begin(), h.failures.end(),
                     [now](const Failure& f) { return now - f.at >= kFailedAgentDemotion; }),
      h.failures.end());
  h.failures.push_back({agent, now});
}

void ForgetAgentFailures() {
  Health& h = TheHealth();
  port::MutexLock lock(&h.mu);
  h.failures.clear();
}

}  // namespace slp
}  // namespace orvel
