// properties.cc: the process-wide SLP property store.
//
// Values are interned and never freed, so the pointer SLPGetProperty hands
// out stays valid while other threads set the same property again.  The
// pool only grows by distinct values, which a program sets a handful of.
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <string>

#include "orvel/slp_api.h"
#include "port/mutex.h"
#include "slp/ua_internal.h"

namespace orvel {
namespace slp {
namespace {

struct Store {
  port::Mutex mu;
  std::set<std::string> pool GUARDED_BY(mu);
  std::map<std::string, const char*> values GUARDED_BY(mu);

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
    values[name] = pool.insert(value).first->c_str();
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

long PropertyLong(const char* name, long fallback) {
  std::string v = PropertyString(name);
  if (v.empty()) return fallback;
  char* end = nullptr;
  errno = 0;
  long n = std::strtol(v.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || n < 0) return fallback;
  return n;
}

bool PropertyBool(const char* name, bool fallback) {
  std::string v = PropertyString(name);
  for (char& c : v) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (v == "true") return true;
  if (v == "false") return false;
  return fallback;
}

std::vector<int> PropertyMillisList(const char* name) {
  std::vector<int> out;
  std::string v = PropertyString(name);
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

}  // namespace slp
}  // namespace orvel

extern "C" const char* SLPGetProperty(const char* pcName) {
  if (pcName == nullptr) return nullptr;
  orvel::slp::Store& s = orvel::slp::TheStore();
  orvel::port::MutexLock lock(&s.mu);
  auto it = s.values.find(pcName);
  return it == s.values.end() ? nullptr : it->second;
}

extern "C" void SLPSetProperty(const char* pcName, const char* pcValue) {
  if (pcName == nullptr || pcValue == nullptr) return;
  orvel::slp::Store& s = orvel::slp::TheStore();
  orvel::port::MutexLock lock(&s.mu);
  s.Set(pcName, pcValue);
}
