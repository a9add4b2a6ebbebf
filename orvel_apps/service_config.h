// service_config.h: zemsynth's settings, read once at start from the
// command line and the environment.
//
// main() reads the record (FromEnvironment) and installs it before the
// server starts; every later reader takes the installed record.  Programs
// and tests that never install one get the environment as it is at the
// time of the call.
//
// Thread safety: InstallServiceConfig() before any thread reads;
// CurrentServiceConfig() from any thread afterwards.
#ifndef ORVEL_APPS_SERVICE_CONFIG_H_
#define ORVEL_APPS_SERVICE_CONFIG_H_

#include <string>
#include <vector>

namespace orvel::zem {

struct ServiceConfig {
  // The directory agents of every look-up (the DA argument as typed).
  // Default: "" (agent discovery).
  std::string da_addr;
  // SLP scope of every look-up.  Default: "default".
  std::string scope = "default";
  // $ORVEL_PATH: installation path of the ABone client.  Default: unset.
  bool has_orvel_path = false;
  std::string orvel_path;
  // $ORVEL_ABONEVIEWERARGS: extra arguments of the proxy start command.
  // Default: unset (an ABone launch fails).
  bool has_viewer_args = false;
  std::string viewer_args;
  // $ORVEL_ABONE_LOAD_WAIT: seconds between an ABone load command and the
  // start command (0 to 3600).  Default: 10.
  double load_wait_seconds = 10;
  // $ORVEL_PROXY_CODE_URL, $ORVEL_VIEWER_CODE_URL.  Default: the build's.
  std::string proxy_code_url;
  std::string viewer_code_url;
  // $ORVEL_SYNTH_CONCURRENCY: members served at once (1 to
  // kMaxConcurrency); 1 serves them one after another.  Default: 1.
  int concurrency = 1;

  // Why a value was not taken (the default stands), one text each.
  std::vector<std::string> warnings;

  static constexpr int kMaxConcurrency = 256;
  static constexpr double kMaxLoadWaitSeconds = 3600;

  // The record for da_addr and the current environment.
  static ServiceConfig FromEnvironment(const std::string& da_addr);
};

// Makes config the one every later CurrentServiceConfig() returns.
// REQUIRES: called before the threads that read it start.
void InstallServiceConfig(const ServiceConfig& config);

// The installed record, or when none was installed, one read now from the
// environment with the agents of the global DAstr.
ServiceConfig CurrentServiceConfig();

}  // namespace orvel::zem

#endif  // ORVEL_APPS_SERVICE_CONFIG_H_
