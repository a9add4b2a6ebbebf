// orvel-slpd's command line: what the agent serves, whether it shares
// registrations through etcd, and how it is observed.
#ifndef ORVEL_TOOLS_ORVEL_SLPD_OPTIONS_H_
#define ORVEL_TOOLS_ORVEL_SLPD_OPTIONS_H_

#include <cstddef>
#include <string>
#include <vector>

#include "cli.h"
#include "log.h"
#include "slp/da_handler.h"
#include "slp/wire.h"

namespace orvel::slpd {

struct Options {
  std::string listen = "0.0.0.0";
  int port = orvel::slp::kDefaultPort;
  std::string scopes = "default";
  std::string state;
  std::vector<orvel::slp::Ipv4Net> allow;
  size_t mtu = 1400;
  size_t reply_factor = 2;
  size_t reply_allowance =
      16384;  // bytes a second a quiet network draws besides (a quarter starts it)
  bool verbose = false;
  std::vector<std::string> etcd;
  std::string etcd_text;
  std::string etcd_prefix = "/orvel/slp/";
  bool etcd_optional = false;
  std::string metrics;  // ADDR:PORT of the metrics listener; empty: none
};

// Parses the command line; a wrong one ends the process with status 64,
// --help and --version with 0.
Options ParseArgs(int argc, char** argv, orvel::cli::LogFormat* log_format);

}  // namespace orvel::slpd

#endif  // ORVEL_TOOLS_ORVEL_SLPD_OPTIONS_H_
