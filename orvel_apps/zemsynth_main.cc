// zemsynth_main.cc: entry of the synthesis service.
//
//   zemsynth PORT DA
//
// Listens on TCP PORT and serves SynthZemReq messages, locating proxies
// through the SLP directory agents in DA.  Runs until SIGTERM or SIGINT,
// then answers the requests in flight before it exits.
#include <arpa/inet.h>
#include <malloc.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Zem.h"
#include "cli.h"
#include "http/server_options.h"
#include "http/server_stop.h"
#include "log.h"
#include "orvel/http.h"
#include "service_config.h"
#include "slp/agent_list.h"
#include "slp/wire.h"
#include "zem_stats.h"

namespace {

void PrintHelp() {
  printf(
      "Usage: zemsynth PORT DA\n"
      "Orvel synthesis service for overlay multicast.\n"
      "\n"
      "  PORT  TCP port to listen on\n"
      "  DA    SLP directory agents for every proxy lookup: HOST or\n"
      "        HOST:PORT (a dotted quad or a host name), or several such,\n"
      "        comma-separated (the first that answers serves; one that\n"
      "        refuses is passed at once, a silent one after 14 s:\n"
      "        net.slp.datagramTimeouts and net.slp.unicastMaximumWait in\n"
      "        the ORVEL_SLP_CONF file);\n"
      "        empty to discover agents by multicast\n"
      "\n"
      "Answers SynthZemReq documents posted over HTTP with SynthZemOk.\n"
      "Environment: ORVEL_PATH (ABone client and pelm.coords),\n"
      "ORVEL_ABONEVIEWERARGS, ORVEL_ABONE_LOAD_WAIT, ORVEL_PELMMONITOR,\n"
      "ORVEL_PROXY_CODE_URL, ORVEL_VIEWER_CODE_URL, ORVEL_HTTP_READ_TIMEOUT,\n"
      "ORVEL_HTTP_MAX_BODY, ORVEL_HTTP_CLIENT_TIMEOUT,\n"
      "ORVEL_HTTP_IDLE_THREAD_KEEP, ORVEL_HTTP_EVENT_THREADS, ORVEL_SLP_CONF.\n"
      "ORVEL_HTTP_PARSER=standard reads requests as RFC 9112 does (curl, any\n"
      "HTTP library, nginx in front) and answers a refusal with its reason as\n"
      "text/plain; strict, the default, takes only the framing of the message\n"
      "protocol and answers a bare 400.\n"
      "ORVEL_HTTP_LISTEN=ADDR listens on ADDR only, such as 127.0.0.1 behind a\n"
      "local TLS proxy (default: every address).\n"
      "ORVEL_SYNTH_CONCURRENCY=N (1 to 256, default 1) serves up to N members\n"
      "of a request at once: look-ups N at once, then every ZemInit, then\n"
      "every ZemCommit only when every member has a proxy and every ZemInit\n"
      "was answered (a failure before that commits no proxy); ABone members\n"
      "load at once and share one load wait.  Each line then names its\n"
      "member.  1 serves the members one after another.\n"
      "Each request ends with one line on standard error: its id, version,\n"
      "peer, member counts, outcome, duration and, on failure, the member\n"
      "and the reason.\n"
      "ORVEL_METRICS_LISTEN=ADDR:PORT serves Prometheus metrics at /metrics,\n"
      "a health check at /healthz (200 while serving, else 503) and a\n"
      "readiness check at /readyz (503 while none of the agents in DA has\n"
      "answered within the last 3 s; they are asked once a second) on a\n"
      "listener of their own; unset, there is none.\n"
      "ORVEL_STOP_TIMEOUT: see below.\n"
      "With a controlling terminal, the fallback search for an end host\n"
      "pauses for a key press at each step; without one it does not wait.\n"
      "\n"
      "On SIGTERM or SIGINT the service stops accepting, lets the requests in\n"
      "flight finish for up to ORVEL_STOP_TIMEOUT seconds (default 30), prints\n"
      "\"zemsynth: stopped on SIG...: N finished, M cut\" on standard error and\n"
      "exits with status 0; a second signal ends it at once.\n"
      "\n"
      "Options:\n"
      "  -h, --help  print this help and exit\n"
      "  --version   print the program's name and version and exit\n"
      "\n"
      "Exit status:\n"
      "  255  wrong number of arguments: prints \"arg: port DA\"\n"
      "  0    stopped by SIGTERM or SIGINT\n"
      "  1    the service could not start (its port or the metrics port taken)\n"
      "  64   ORVEL_METRICS_LISTEN is no ADDR:PORT, or ORVEL_HTTP_PARSER or\n"
      "       ORVEL_HTTP_LISTEN cannot be used\n");
}

// Serves until a stop signal, then lets the requests in flight finish.
[[noreturn]] void ServeUntilStopped(const sigset_t& stop, std::chrono::milliseconds timeout) {
  const orvel::http::StopOutcome o = orvel::http::WaitForStopAndDrain(stop, timeout);
  fflush(stdout);
  restoreConsole();
  if (o.forced) {
    fprintf(stderr, "zemsynth: stopped at once on a second signal: %zu finished, %zu cut\n",
            o.finished, o.cut);
    // Ends as the signal would have without the orderly stop.
    signal(o.signal, SIG_DFL);
    pthread_sigmask(SIG_UNBLOCK, &stop, nullptr);
    raise(o.signal);
    _exit(128 + o.signal);
  }
  fprintf(stderr, "zemsynth: stopped on %s: %zu finished, %zu cut\n",
          orvel::http::StopSignalName(o.signal), o.finished, o.cut);
  // Handler threads cut off may still run: no exit handlers under them.
  _exit(0);
}

// One agent as the look-ups take it: a dotted quad or a name that
// resolves, optionally ":PORT" (1 to 65535).
bool IsAgentAddress(const std::string& item) {
  sockaddr_in unused{};
  return orvel::slp::ResolveAgent(item, orvel::slp::kDefaultPort, &unused);
}

// The agent argument as the lookups take it: empty (discovery), or agents
// separated by commas.
bool IsAgentList(const std::string& da) {
  if (da.empty()) return true;
  size_t start = 0;
  for (;;) {
    const size_t comma = da.find(',', start);
    if (!IsAgentAddress(da.substr(start, comma - start))) return false;
    if (comma == std::string::npos) return true;
    start = comma + 1;
  }
}

}  // namespace

int main(int argc, char** argv) {
  // Only the exact word: every other single argument keeps the usage line.
  if (argc == 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
    PrintHelp();
    return 0;
  }
  if (argc == 2 && strcmp(argv[1], "--version") == 0) {
    orvel::cli::PrintVersion("zemsynth");
    return 0;
  }
  // The service's lines are its log: keep them in order and timely even
  // when standard output is a file or a pipe.
  setvbuf(stdout, nullptr, _IOLBF, 0);
  initConsole();
  if (argc != 3) {
    printf("arg: port DA\n");
    exit(-1);
  }
  DAstr = argv[2];
  orvel::cli::InitLog("zemsynth", orvel::cli::LogFormat::kAuto);
  const orvel::zem::ServiceConfig config = orvel::zem::ServiceConfig::FromEnvironment(DAstr);
  for (const std::string& w : config.warnings)
    fprintf(stderr, "zemsynth: warning: %s\n", w.c_str());
  orvel::zem::InstallServiceConfig(config);
  // A mistyped agent shows only as lookups finding nothing, request after
  // request; say it once now.  The argument still goes on as typed.
  if (!IsAgentList(DAstr)) {
    fprintf(stderr,
            "zemsynth: warning: DA \"%s\" is not an agent address "
            "(A.B.C.D or a host name that resolves, either optionally with :PORT, "
            "several separated by commas)\n",
            DAstr);
  }
  // Digits up to the first other character; the low 16 bits are the port.
  unsigned short port = static_cast<unsigned short>(strtol(argv[1], nullptr, 10));
  // Each connection thread would otherwise get a malloc arena of its own
  // (up to eight per core), and freed memory stays spread over them after a
  // burst.  Two keep the heap compact; MALLOC_ARENA_MAX still overrides.
  if (getenv("MALLOC_ARENA_MAX") == nullptr) mallopt(M_ARENA_MAX, 2);
  // A wrong setting is not mended by a restart.
  orvel::http::ServerOptions http_options;
  const orvel::Status http_settings = orvel::http::ReadServerOptions(&http_options);
  if (!http_settings.ok()) {
    fprintf(stderr, "zemsynth: %s\n", http_settings.ToString().c_str());
    exit(orvel::cli::kExitUsage);
  }
  // Before the server's threads start: only the stop below takes them.
  const sigset_t stop = orvel::cli::BlockSignals({SIGTERM, SIGINT});
  startServerLoop(port, RecvCallback);
  int metrics_port = 0;
  const orvel::Status metrics = orvel::zem::StartMetricsFromEnvironment(DAstr, &metrics_port);
  if (!metrics.ok()) {
    fprintf(stderr, "zemsynth: %s\n", metrics.ToString().c_str());
    // A wrong setting is not mended by a restart; a port taken may be.
    exit(metrics.code() == orvel::Status::Code::kInvalidArgument ? orvel::cli::kExitUsage : 1);
  }
  // Only when asked for, and on standard error: standard output keeps the
  // service's own lines.
  if (metrics_port != 0) fprintf(stderr, "zemsynth: metrics on port %d\n", metrics_port);
  printf("waiting for request\n");
  ServeUntilStopped(stop, http_options.stop_timeout);
}
