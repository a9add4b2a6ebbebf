// properties.cc: the process-wide SLP property store and the options record
// read from it.
//
// Values are interned and never freed, so the pointer SLPGetProperty hands
// out stays valid while other threads set the same property again.  The
// pool only grows by distinct values, which a program sets a handful of.
// The options record is rebuilt on the first use after a change; setting a
// property to the value it has is no change.
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "orvel/slp_api.h"
#include "port/mutex.h"
#include "slp/ua_internal.h"

namespace orvel {
namespace slp {
namespace {

long ParseLong(const char* v, long fallback) {
  if (v == nullptr || *v == '\0') return fallback;
  char* end = nullptr;
  errno = 0;
  long n = std::strtol(v, &end, 10);
  if (errno != 0 || *end != '\0' || n < 0) return fallback;
  return n;
}

bool ParseBool(const char* v, bool fallback) {
  std::string text = v != nullptr ? v : "";
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (text == "true") return true;
  if (text == "false") return false;
  return fallback;
}

std::vector<int> ParseMillisList(const char* text) {
  std::vector<int> out;
  std::string v = text != nullptr ? text : "";
  size_t pos = 0;
  while (pos <= v.size() && !v.empty()) {
    size_t comma = v.find(',', pos);
    std::string item = v.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
    char* end = nullptr;
    long n = std::strtol(item.c_str(), &end, 10);
    if (item.empty() || *end != '\0' || n <= 0 || n > 3600000) return {};
    out.push_back(static_cast<int>(n));
    if (comma == std::string::npos) break;
    pos = comma + 1;
  }
  return out;
}

struct Store {
  port::Mutex mu;
  std::set<std::string> pool GUARDED_BY(mu);
  std::map<std::string, const char*> values GUARDED_BY(mu);
  std::shared_ptr<const UaOptions> options GUARDED_BY(mu);  // null: rebuild

  Store() {
    // Defaults: a dead agent costs at most unicastMaximumWait per address,
    // discovery at most multicastMaximumWait.
    static const char* const kDefaults[][2] = {
        {"net.slp.port", "427"},
        {"net.slp.DAAddresses", ""},
        {"net.slp.useScopes", "DEFAULT"},
        {"net.slp.locale", "en"},
        {"net.slp.activeDADetection", "true"},
        {"net.slp.passiveDADetection", "true"},
        {"net.slp.unicastMaximumWait", "15000"},
        {"net.slp.datagramTimeouts", "2000,4000,8000"},
        {"net.slp.multicastMaximumWait", "15000"},
        {"net.slp.DADiscoveryTimeouts", "2000,2000,2000,2000,3000,4000"},
        {"net.slp.DAActiveDiscoveryInterval", "900"},
        {"net.slp.multicastTTL", "255"},
        {"net.slp.MTU", "1400"},
        {"net.slp.interfaces", ""},
    };
    port::MutexLock lock(&mu);  // nobody else sees it yet; the analysis wants it
    for (const auto& kv : kDefaults) Set(kv[0], kv[1]);
    if (const char* path = std::getenv("ORVEL_SLP_CONF")) LoadFile(path);
  }

  // "name = value" lines; '#' and ';' start comments.  A missing or
  // unreadable file leaves the defaults, as an absent slp.conf would.
  void LoadFile(const char* path) REQUIRES(mu) {
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
      size_t hash = line.find_first_of("#;");
      if (hash != std::string::npos) line.resize(hash);
      size_t eq = line.find('=');
      if (eq == std::string::npos) continue;
      std::string name = Trim(line.substr(0, eq));
      std::string value = Trim(line.substr(eq + 1));
      if (!name.empty()) Set(name, value);
    }
  }

  static std::string Trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos) return "";
    size_t e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
  }

  void Set(const std::string& name, const std::string& value) REQUIRES(mu) {
    const char*& slot = values[name];
    if (slot != nullptr && value == slot) return;
    slot = pool.insert(value).first->c_str();
    options.reset();
  }

  const char* Get(const char* name) REQUIRES(mu) {
    auto it = values.find(name);
    return it == values.end() ? nullptr : it->second;
  }

  std::shared_ptr<const UaOptions> Options() REQUIRES(mu) {
    if (options) return options;
    auto o = std::make_shared<UaOptions>();
    long port = ParseLong(Get("net.slp.port"), o->port);
    if (port > 0 && port <= 65535) o->port = static_cast<uint16_t>(port);
    const char* text = Get("net.slp.DAAddresses");
    o->da_addresses = text != nullptr ? text : "";
    text = Get("net.slp.useScopes");
    o->use_scopes = text != nullptr ? text : "";
    text = Get("net.slp.locale");
    o->locale = text != nullptr ? text : "";
    o->active_da_detection = ParseBool(Get("net.slp.activeDADetection"), true);
    o->passive_da_detection = ParseBool(Get("net.slp.passiveDADetection"), true);
    o->unicast_max_wait_ms = ParseLong(Get("net.slp.unicastMaximumWait"), o->unicast_max_wait_ms);
    std::vector<int> list = ParseMillisList(Get("net.slp.datagramTimeouts"));
    if (!list.empty()) o->datagram_timeouts_ms = list;
    o->multicast_max_wait_ms =
        ParseLong(Get("net.slp.multicastMaximumWait"), o->multicast_max_wait_ms);
    list = ParseMillisList(Get("net.slp.DADiscoveryTimeouts"));
    if (!list.empty()) o->da_discovery_timeouts_ms = list;
    o->da_active_discovery_interval_s =
        ParseLong(Get("net.slp.DAActiveDiscoveryInterval"), o->da_active_discovery_interval_s);
    long ttl = ParseLong(Get("net.slp.multicastTTL"), o->multicast_ttl);
    if (ttl >= 1 && ttl <= 255) o->multicast_ttl = static_cast<int>(ttl);
    o->mtu = ParseLong(Get("net.slp.MTU"), o->mtu);
    text = Get("net.slp.interfaces");
    o->interfaces = text != nullptr ? text : "";
    options = std::move(o);
    return options;
  }
};

Store& TheStore() {
  static Store store;
  return store;
}

}  // namespace

std::string PropertyString(const char* name) {
  const char* v = SLPGetProperty(name);
  return v ? std::string(v) : std::string();
}

std::vector<int> PropertyMillisList(const char* name) {
  return ParseMillisList(SLPGetProperty(name));
}

std::shared_ptr<const UaOptions> Options() {
  Store& s = TheStore();
  port::MutexLock lock(&s.mu);
  return s.Options();
}

}  // namespace slp
}  // namespace orvel

extern "C" const char* SLPGetProperty(const char* pcName) {
  if (pcName == nullptr) return nullptr;
  orvel::slp::Store& s = orvel::slp::TheStore();
  orvel::port::MutexLock lock(&s.mu);
  return s.Get(pcName);
}

extern "C" void SLPSetProperty(const char* pcName, const char* pcValue) {
  if (pcName == nullptr || pcValue == nullptr) return;
  orvel::slp::Store& s = orvel::slp::TheStore();
  orvel::port::MutexLock lock(&s.mu);
  s.Set(pcName, pcValue);
}
