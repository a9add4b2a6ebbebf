// options.cc: the monitor's command line.  Numbers are checked whole (the
// tools' common parser): atoi took "abc" as 0 (any port) and 99999 wrapped
// to another port.
#include "options.h"

#include "cli.h"
#include "net/address.h"

namespace pelmmon {

bool ParsePort(const std::string& text, int* port) {
  long long value = 0;
  if (!orvel::cli::ParseNumber(text, 0, 65535, &value)) return false;
  *port = static_cast<int>(value);
  return true;
}

bool ParseHostPort(const std::string& text, std::string* host, int* port) {
  orvel::net::HostPort hp;
  if (!orvel::net::ParseHostPort(text, &hp) || !hp.has_port || hp.host.empty()) return false;
  *host = hp.host;
  *port = hp.port;
  return true;
}

bool ParseOptions(const std::vector<std::string>& args, const char* orvel_path, Options* opt,
                  std::string* error) {
  if (orvel_path != nullptr) opt->coords_path = std::string(orvel_path) + "/pelm.coords";
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    const bool has_value = i + 1 < args.size();
    auto needs_value = [&]() {
      *error = a + " needs a value";
      return false;
    };
    if (a == "--help" || a == "-h") {
      opt->help = true;
    } else if (a == "--no-view") {
      opt->tty_view = false;
    } else if (a == "--listen") {
      if (!has_value) return needs_value();
      opt->listen_addr = args[++i];
    } else if (a == "--port") {
      if (!has_value) return needs_value();
      const std::string& v = args[++i];
      if (!ParsePort(v, &opt->port)) {
        *error = "--port wants a number from 0 to 65535, not \"" + v + "\"";
        return false;
      }
    } else if (a == "--search-idle") {
      if (!has_value) return needs_value();
      const std::string& v = args[++i];
      long long seconds = 0;
      if (!orvel::cli::ParseNumber(v, 0, 3600, &seconds)) {
        *error = "--search-idle wants seconds from 0 to 3600, not \"" + v + "\"";
        return false;
      }
      opt->search_idle_s = static_cast<int>(seconds);
    } else if (a == "--coords") {
      if (!has_value) return needs_value();
      opt->coords_path = args[++i];
    } else if (a == "--http") {
      if (!has_value) return needs_value();
      const std::string& v = args[++i];
      if (!ParseHostPort(v, &opt->http_addr, &opt->http_port)) {
        *error = "--http wants ADDR:PORT with a port from 0 to 65535, not \"" + v + "\"";
        return false;
      }
    } else {
      *error = "unknown option " + a + " (try --help)";
      return false;
    }
  }
  return true;
}

}  // namespace pelmmon
