// server_options.cc: the server's settings from the environment.
#include "http/server_options.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "http/http_impl.h"
#include "http/server_stop.h"
#include "net/address.h"

namespace orvel::http {

Status ReadServerOptions(ServerOptions* options) {
  *options = ServerOptions();
  options->read_timeout_s = ReadTimeoutSeconds();
  options->max_body_bytes = MaxBodyBytes();
  options->idle_thread_keep = IdleThreadKeep();
  options->stop_timeout = StopTimeout();
  long threads = static_cast<long>(net::EnvInteger("ORVEL_HTTP_EVENT_THREADS", 0));
  if (threads <= 0) threads = sysconf(_SC_NPROCESSORS_ONLN);
  options->event_threads = std::clamp(threads, 1L, kMaxEventThreads);

  const char* parser = std::getenv("ORVEL_HTTP_PARSER");
  if (parser != nullptr && *parser != '\0' && std::strcmp(parser, "strict") != 0) {
    if (std::strcmp(parser, "standard") != 0) {
      return Status::InvalidArgument(std::string("ORVEL_HTTP_PARSER=") + parser +
                                     ": expected strict or standard");
    }
    options->parser = ParserMode::kStandard;
  }
  const char* listen = std::getenv("ORVEL_HTTP_LISTEN");
  if (listen != nullptr && *listen != '\0') {
    uint32_t addr = 0;
    std::string why;
    if (!net::ResolveIpv4(listen, &addr, &why)) {
      return Status::InvalidArgument(std::string("ORVEL_HTTP_LISTEN=") + listen + ": " + why);
    }
    options->listen_addr = addr;
  }
  return Status::OK();
}

}  // namespace orvel::http
