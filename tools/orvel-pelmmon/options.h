// options.h: the monitor's command line.
#ifndef ORVEL_TOOLS_PELMMON_OPTIONS_H_
#define ORVEL_TOOLS_PELMMON_OPTIONS_H_

#include <string>
#include <vector>

namespace pelmmon {

struct Options {
  std::string listen_addr = "127.0.0.1";
  int port = 5646;
  std::string coords_path;  // default $ORVEL_PATH/pelm.coords
  std::string http_addr;    // empty: no page
  int http_port = 0;
  int search_idle_s = 5;  // a search with no line this long ends; 0: only RESET ends it
  bool tty_view = true;
  bool help = false;
};

// A TCP port: decimal digits only, 0 (any free port) to 65535.
bool ParsePort(const std::string& text, int* port);

// "ADDR:PORT" with a non-empty ADDR and a port as ParsePort takes it.
bool ParseHostPort(const std::string& text, std::string* host, int* port);

// Parses the arguments after the program name.  On a usage error returns
// false with *error set to the line to print.
bool ParseOptions(const std::vector<std::string>& args, const char* orvel_path, Options* opt,
                  std::string* error);

}  // namespace pelmmon

#endif  // ORVEL_TOOLS_PELMMON_OPTIONS_H_
