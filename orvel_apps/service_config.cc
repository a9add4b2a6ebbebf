// service_config.cc: reading zemsynth's settings.
#include "service_config.h"

#include <cstdlib>
#include <memory>
#include <string>

#include "Zem.h"

#ifndef ORVEL_DEFAULT_PROXY_CODE_URL
#error "ORVEL_DEFAULT_PROXY_CODE_URL must be defined by the build"
#endif
#ifndef ORVEL_DEFAULT_VIEWER_CODE_URL
#error "ORVEL_DEFAULT_VIEWER_CODE_URL must be defined by the build"
#endif

namespace orvel::zem {
namespace {

// Set once by main before any reader thread starts; never freed.
const ServiceConfig* installed = nullptr;

bool Env(const char* name, std::string* value) {
  const char* text = std::getenv(name);
  if (text == nullptr) return false;
  *value = text;
  return true;
}

}  // namespace

ServiceConfig ServiceConfig::FromEnvironment(const std::string& da_addr) {
  ServiceConfig c;
  c.da_addr = da_addr;
  c.has_orvel_path = Env("ORVEL_PATH", &c.orvel_path);
  c.has_viewer_args = Env("ORVEL_ABONEVIEWERARGS", &c.viewer_args);
  if (!Env("ORVEL_PROXY_CODE_URL", &c.proxy_code_url))
    c.proxy_code_url = ORVEL_DEFAULT_PROXY_CODE_URL;
  if (!Env("ORVEL_VIEWER_CODE_URL", &c.viewer_code_url))
    c.viewer_code_url = ORVEL_DEFAULT_VIEWER_CODE_URL;

  std::string text;
  if (Env("ORVEL_ABONE_LOAD_WAIT", &text) && !text.empty()) {
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (*end == '\0' && v >= 0 && v <= kMaxLoadWaitSeconds) {
      c.load_wait_seconds = v;
    } else {
      c.warnings.push_back("ORVEL_ABONE_LOAD_WAIT \"" + text +
                           "\" is not a number of seconds from 0 to 3600; waiting 10");
    }
  }
  if (Env("ORVEL_SYNTH_CONCURRENCY", &text) && !text.empty()) {
    char* end = nullptr;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (*end == '\0' && v >= 1 && v <= kMaxConcurrency) {
      c.concurrency = static_cast<int>(v);
    } else {
      c.warnings.push_back("ORVEL_SYNTH_CONCURRENCY \"" + text +
                           "\" is not a number from 1 to 256; serving members one after another");
    }
  }
  return c;
}

void InstallServiceConfig(const ServiceConfig& config) {
  static std::unique_ptr<ServiceConfig> kept;  // lives as long as the process
  kept = std::make_unique<ServiceConfig>(config);
  installed = kept.get();
}

ServiceConfig CurrentServiceConfig() {
  if (installed != nullptr) return *installed;
  return ServiceConfig::FromEnvironment(DAstr != nullptr ? DAstr : "");
}

}  // namespace orvel::zem
