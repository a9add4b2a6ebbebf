// ua_client_reg.cc: registrations of the SLP C API and their refresh.
//
// A registration goes to every agent known: the configured ones and those
// discovered, so that the loss of one agent loses no registration.  One made
// with SLP_LIFETIME_MAXIMUM is kept by its handle and sent again before its
// lifetime ends, for as long as the handle is open; SLPDereg ends that.
// While registrations are kept, every agent's DAAdvert is watched: an agent
// whose boot timestamp moved forward restarted without its registrations
// and gets them all again at once, as SLPv2 service agents do.
#include <fnmatch.h>
#include <algorithm>
#include <atomic>
#include <cctype>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "orvel/slp_api.h"
#include "port/mutex.h"
#include "slp/ua_internal.h"

namespace orvel {
namespace slp {

namespace {

std::atomic<long long> g_refresh_override_ms{0};
std::atomic<long long> g_watch_override_ms{0};

// How often the agents' boot timestamps are checked while registrations
// are kept: one small unicast exchange per agent.
constexpr std::chrono::seconds kAgentWatchPeriod{30};

std::chrono::milliseconds AgentWatchPeriod() {
  long long forced = g_watch_override_ms.load();
  if (forced > 0) return std::chrono::milliseconds(forced);
  return kAgentWatchPeriod;
}

// Seconds since 1970, as boot timestamps count.
uint32_t WallSeconds() {
  return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::seconds>(
                                   std::chrono::system_clock::now().time_since_epoch())
                                   .count());
}

// Longest wait between two refreshes, whatever the lifetime.
constexpr std::chrono::seconds kMaxRefreshPeriod{900};

// Type of a URL: "service:a:b" for "service:a:b://host", else the scheme.
std::string TypeOfUrl(const std::string& url) {
  size_t sep = url.find("://");
  if (sep == std::string::npos) return "";
  return url.substr(0, sep);
}

// The value of min-refresh-interval in a DAAdvert's attribute list
// ("(min-refresh-interval=600),..."); 0 when absent.
unsigned long MinRefreshIn(const std::string& attrs) {
  static const char kTag[] = "(min-refresh-interval=";
  std::string lower = attrs;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  size_t at = lower.find(kTag);
  if (at == std::string::npos) return 0;
  const char* digits = attrs.c_str() + at + sizeof(kTag) - 1;
  char* end = nullptr;
  unsigned long v = std::strtoul(digits, &end, 10);
  return (end == digits || *end != ')') ? 0 : v;
}

// One agent's DAAdvert, asked for over unicast; false when none came (or
// it carried an error).
bool AgentAdvert(Channel& ch, const sockaddr_in& agent, DAAdvert* out) {
  Message req;
  SrvRqst rq;
  rq.service_type = "service:directory-agent";
  rq.scopes = ScopesOr(nullptr);
  req.body = rq;
  Message reply;
  if (Exchange(ch, agent, req, &reply) != Outcome::kReply) return false;
  const DAAdvert* ad = std::get_if<DAAdvert>(&reply.body);
  if (!ad || ad->error != error::kOk) return false;
  *out = *ad;
  return true;
}

// The min-refresh-interval one agent advertises.
unsigned long AgentMinRefresh(Channel& ch, const sockaddr_in& agent) {
  DAAdvert ad;
  return AgentAdvert(ch, agent, &ad) ? MinRefreshIn(ad.attrs) : 0;
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return Trim(s);
}

// Splits a comma-separated list at the commas outside parentheses.
std::vector<std::string> TopLevelItems(const std::string& list) {
  std::vector<std::string> items;
  std::string item;
  int depth = 0;
  for (char c : list) {
    if (c == ',' && depth == 0) {
      items.push_back(item);
      item.clear();
      continue;
    }
    depth += c == '(' ? 1 : (c == ')' && depth > 0 ? -1 : 0);
    item += c;
  }
  items.push_back(item);
  return items;
}

// The tag of "(tag=values)" or of a keyword "tag".
std::string TagOf(const std::string& item) {
  std::string t = Trim(item);
  if (!t.empty() && t[0] == '(')
    t = t.substr(1, t.find('=') == std::string::npos ? t.size() - 2 : t.find('=') - 1);
  return Lower(t);
}

}  // namespace

std::string WithoutTags(const std::string& attrs, const std::string& tags) {
  std::vector<std::string> patterns;
  for (const std::string& t : TopLevelItems(tags)) patterns.push_back(Lower(t));
  std::string out;
  for (const std::string& item : TopLevelItems(attrs)) {
    std::string tag = TagOf(item);
    bool drop = false;
    for (const std::string& p : patterns) drop = drop || fnmatch(p.c_str(), tag.c_str(), 0) == 0;
    if (drop || Trim(item).empty()) continue;
    out += (out.empty() ? "" : ",") + item;
  }
  return out;
}

// Registrations of one handle kept alive by a thread of their own, with its
// own socket, so refreshes never disturb the caller's calls on the handle.
class Refresher {
 public:
  explicit Refresher(const std::string& lang) {
    if (!OpenChannel(&chan_, lang)) return;
    thread_ = std::thread([this] { Run(); });
  }
  ~Refresher() {
    {
      port::MutexLock lock(&mu_);
      stop_ = true;
    }
    wake_.SignalAll();
    if (thread_.joinable()) thread_.join();
  }
  Refresher(const Refresher&) = delete;
  Refresher& operator=(const Refresher&) = delete;

  bool running() const { return thread_.joinable(); }

  // Keeps reg (a SrvReg just acknowledged), replacing one for the same URL.
  void Keep(const Message& reg) {
    const std::string& url = std::get<SrvReg>(reg.body).entry.url;
    port::MutexLock lock(&mu_);
    if (kept_.empty()) {
      // The agents' timestamps are learnt at once, so that a restart soon
      // after this registration is not taken for the agent's first boot.
      registered_at_ = WallSeconds();
      next_watch_ = Clock::now();
      wake_.SignalAll();
    }
    Kept k{reg, Clock::now() + RefreshPeriod(LifetimeOf(reg))};
    for (Kept& old : kept_) {
      if (std::get<SrvReg>(old.reg.body).entry.url == url) {
        old = std::move(k);
        return;
      }
    }
    kept_.push_back(std::move(k));
    wake_.SignalAll();
  }

  // Drops the attributes named in tags from the kept registration of url,
  // so a refresh does not bring back what SLPDelAttrs removed.
  void DropAttrs(const std::string& url, const std::string& tags) {
    port::MutexLock lock(&mu_);
    for (Kept& k : kept_) {
      SrvReg& reg = std::get<SrvReg>(k.reg.body);
      if (reg.entry.url == url) reg.attrs = WithoutTags(reg.attrs, tags);
    }
  }

  // Stops refreshing url.  Returns once no refresh of it is on the way,
  // so a deregistration sent next cannot be overtaken by one.
  void Forget(const std::string& url) {
    port::MutexLock sending(&send_mu_);
    port::MutexLock lock(&mu_);
    for (size_t i = 0; i < kept_.size(); ++i) {
      if (std::get<SrvReg>(kept_[i].reg.body).entry.url == url) {
        kept_.erase(kept_.begin() + static_cast<long>(i));
        return;
      }
    }
  }

 private:
  struct Kept {
    Message reg;
    Clock::time_point due;
  };

  static uint16_t LifetimeOf(const Message& reg) {
    return std::get<SrvReg>(reg.body).entry.lifetime;
  }

  void Run() {
    port::MutexLock lock(&mu_);
    while (!stop_) {
      Clock::time_point next = Clock::time_point::max();
      for (const Kept& k : kept_) next = std::min(next, k.due);
      if (!kept_.empty()) next = std::min(next, next_watch_);
      if (next == Clock::time_point::max()) {
        wake_.Wait(&lock);
      } else if (Clock::now() < next) {
        wake_.WaitUntil(&lock, next);
      } else {
        const bool watch = !kept_.empty() && Clock::now() >= next_watch_;
        if (watch) next_watch_ = Clock::now() + AgentWatchPeriod();
        lock.Unlock();
        if (watch) WatchAgents();
        RefreshDue();
        lock.Lock();
      }
    }
  }

  // Asks every agent for its DAAdvert and sends every kept registration
  // again to those that restarted without them: a boot timestamp larger
  // than the one seen before, or, for an agent not seen before, one later
  // than our first registration.  An agent that does not answer keeps its
  // last timestamp (its restart is noticed when it answers again).
  void WatchAgents() {
    port::MutexLock sending(&send_mu_);
    uint32_t registered_at = 0;
    {
      port::MutexLock lock(&mu_);
      registered_at = registered_at_;
    }
    for (const sockaddr_in& agent : AgentsToRegisterWith(chan_.lang)) {
      DAAdvert ad;
      if (!AgentAdvert(chan_, agent, &ad) || ad.boot_timestamp == 0) continue;
      const std::string key = AgentText(agent);
      auto seen = boot_seen_.find(key);
      const bool restarted = seen == boot_seen_.end() ? ad.boot_timestamp > registered_at
                                                      : ad.boot_timestamp > seen->second;
      boot_seen_[key] = ad.boot_timestamp;
      if (!restarted) continue;
      std::vector<Message> all;
      {
        port::MutexLock lock(&mu_);
        for (const Kept& k : kept_) all.push_back(k.reg);
      }
      for (Message& reg : all) {
        AskReport report;
        AskAgents(chan_, {agent}, reg, &report);
      }
    }
  }

  // Sends every registration that is due to every agent known now (an
  // agent found since the last round gets it too).
  void RefreshDue() {
    port::MutexLock sending(&send_mu_);
    // Refreshing sooner than an agent allows would only be rejected.
    std::chrono::seconds floor(g_refresh_override_ms.load() > 0 ? 0 : AgentsMinRefreshInterval());
    std::vector<Message> due;
    {
      port::MutexLock lock(&mu_);
      Clock::time_point now = Clock::now();
      for (Kept& k : kept_) {
        if (k.due > now) continue;
        due.push_back(k.reg);
        k.due = now + std::max<std::chrono::milliseconds>(RefreshPeriod(LifetimeOf(k.reg)), floor);
      }
    }
    for (Message& reg : due) {
      AskReport report;
      AskAgents(chan_, AgentsToRegisterWith(chan_.lang), reg, &report);
    }
  }

  Channel chan_;
  port::Mutex send_mu_;  // held while refreshes are on the way
  // Boot timestamp last seen per agent ("A:P").
  std::map<std::string, uint32_t> boot_seen_ GUARDED_BY(send_mu_);
  port::Mutex mu_;
  port::CondVar wake_;
  bool stop_ GUARDED_BY(mu_) = false;
  std::vector<Kept> kept_ GUARDED_BY(mu_);
  Clock::time_point next_watch_ GUARDED_BY(mu_) = Clock::time_point::max();
  uint32_t registered_at_ GUARDED_BY(mu_) = 0;  // wall seconds
  std::thread thread_;
};

Handle::Handle() = default;
Handle::~Handle() = default;

std::chrono::milliseconds RefreshPeriod(uint16_t lifetime_s) {
  long long forced = g_refresh_override_ms.load();
  if (forced > 0) return std::chrono::milliseconds(forced);
  std::chrono::seconds period(lifetime_s - lifetime_s / 4);
  if (period > kMaxRefreshPeriod) period = kMaxRefreshPeriod;
  if (period < std::chrono::seconds(1)) period = std::chrono::seconds(1);
  return period;
}

void SetRefreshPeriodForTesting(std::chrono::milliseconds period) {
  g_refresh_override_ms = period.count();
}

void SetAgentWatchPeriodForTesting(std::chrono::milliseconds period) {
  g_watch_override_ms = period.count();
}

unsigned short AgentsMinRefreshInterval() {
  Channel ch;
  std::string lang = PropertyString("net.slp.locale");
  if (!OpenChannel(&ch, lang.empty() ? "en" : lang)) return 0;
  unsigned long most = 0;
  for (const sockaddr_in& agent : AgentsToRegisterWith(ch.lang))
    most = std::max(most, AgentMinRefresh(ch, agent));
  return static_cast<unsigned short>(std::min(most, 65535ul));
}

}  // namespace slp
}  // namespace orvel

using orvel::slp::AsHandle;
using orvel::slp::BusyGuard;
using orvel::slp::Handle;
using orvel::slp::Message;

namespace {

// Sends req to every agent known; the caller holds the handle busy.
SLPError SendToAll(Handle* h, Message& req) {
  orvel::slp::AskReport report;
  SLPError err =
      orvel::slp::AskAgents(h->chan, orvel::slp::AgentsToRegisterWith(h->chan.lang), req, &report);
  h->last_agent = report.agent;
  return err;
}

void KeepAlive(Handle* h, const Message& req) {
  if (!h->refresher || !h->refresher->running())
    h->refresher = std::make_unique<orvel::slp::Refresher>(h->chan.lang);
  h->refresher->Keep(req);
}

// A service URL the agents could take: a scheme, "://" and, after the
// host, a port that is a number (SLPParseSrvURL's reading).
bool WellFormedUrl(const char* url) {
  SLPSrvURL* parsed = nullptr;
  if (SLPParseSrvURL(url, &parsed) != SLP_OK) return false;
  SLPFree(parsed);
  return true;
}

// The three registration calls report as RFC 2614 has it: a call that
// could not start returns its error and calls nobody; once started it
// returns SLP_OK, and the callback gets the outcome (the agents' answer).
SLPError Deregister(SLPHandle hSLP, const char* pcSrvURL, const char* tags, SLPRegReport callback,
                    void* pvCookie) {
  using namespace orvel::slp;
  Handle* h = AsHandle(hSLP);
  if (!h || !pcSrvURL || !*pcSrvURL || !callback) return SLP_PARAMETER_BAD;
  if (!WellFormedUrl(pcSrvURL)) return SLP_INVALID_REGISTRATION;
  BusyGuard busy(h);
  if (!busy.owned()) return SLP_HANDLE_IN_USE;
  // A whole deregistration ends the refresh first, so none can follow it.
  if (*tags == '\0' && h->refresher) h->refresher->Forget(pcSrvURL);
  Message req;
  SrvDeReg d;
  d.scopes = ScopesOr(nullptr);
  d.entry.url = pcSrvURL;
  d.tags = tags;
  req.body = d;
  SLPError err = SendToAll(h, req);
  if (*tags != '\0' && err == SLP_OK && h->refresher) h->refresher->DropAttrs(pcSrvURL, tags);
  callback(hSLP, err, pvCookie);
  return SLP_OK;
}

}  // namespace

extern "C" {

SLPError SLPReg(SLPHandle hSLP, const char* pcSrvURL, const unsigned short usLifetime,
                const char* pcSrvType, const char* pcAttrs, SLPBoolean fresh, SLPRegReport callback,
                void* pvCookie) {
  using namespace orvel::slp;
  Handle* h = AsHandle(hSLP);
  if (!h || !pcSrvURL || !*pcSrvURL || usLifetime == 0 || !callback) return SLP_PARAMETER_BAD;
  if (!WellFormedUrl(pcSrvURL)) return SLP_INVALID_REGISTRATION;
  std::string type = (pcSrvType && *pcSrvType) ? pcSrvType : TypeOfUrl(pcSrvURL);
  BusyGuard busy(h);
  if (!busy.owned()) return SLP_HANDLE_IN_USE;
  Message req;
  req.header.flags = fresh == SLP_TRUE ? kFlagFresh : 0;
  SrvReg reg;
  reg.entry.lifetime = usLifetime;
  reg.entry.url = pcSrvURL;
  reg.service_type = type;
  reg.scopes = ScopesOr(nullptr);
  reg.attrs = pcAttrs ? pcAttrs : "";
  req.body = reg;
  SLPError err = SendToAll(h, req);
  if (usLifetime == SLP_LIFETIME_MAXIMUM && err == SLP_OK) {
    KeepAlive(h, req);
  } else if (h->refresher) {
    h->refresher->Forget(pcSrvURL);  // a finite lifetime ends the keeping
  }
  callback(hSLP, err, pvCookie);
  return SLP_OK;
}

SLPError SLPDereg(SLPHandle hSLP, const char* pcSrvURL, SLPRegReport callback, void* pvCookie) {
  return Deregister(hSLP, pcSrvURL, "", callback, pvCookie);
}

SLPError SLPDelAttrs(SLPHandle hSLP, const char* pcSrvURL, const char* pcAttrs,
                     SLPRegReport callback, void* pvCookie) {
  if (!pcAttrs || !*pcAttrs) return SLP_PARAMETER_BAD;
  return Deregister(hSLP, pcSrvURL, pcAttrs, callback, pvCookie);
}

unsigned short SLPGetRefreshInterval(void) { return orvel::slp::AgentsMinRefreshInterval(); }

}  // extern "C"
