// zemproxy: a proxy for tests and demonstrations.
//
// Serves the synthesis service's control messages on its own port: ZemInit
// is answered with ZemInitOk and ZemCommit with ZemCommitOk, each echoing
// the request's id and version.  Every message received is logged on
// standard output in one line.  Optionally registers itself with an SLP
// directory agent as service:ZemProxy://HOST:PORT for one end host or zone,
// once its port is bound (a second proxy started on a busy port must not
// take over the first one's entry), and deregisters on SIGTERM, SIGINT or
// SIGHUP.
#include <arpa/inet.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "agent_probe.h"
#include "cli.h"
#include "http/server_options.h"
#include "http/server_stats.h"
#include "http/server_stop.h"
#include "log.h"
#include "metrics_http.h"
#include "orvel/Msg.h"
#include "orvel/SLP.h"
#include "orvel/http.h"
#include "orvel/slp_api.h"

namespace {

enum class Misbehaviour { kNone, kWrongType, kClose, kDelay };

struct Options {
  unsigned short port = 0;
  std::string host = "127.0.0.1";
  std::string da;
  std::string addr;
  std::string mask = "255.255.255.255";
  unsigned short lifetime = 65535;
  Misbehaviour misbehaviour = Misbehaviour::kNone;
  unsigned delay_ms = 0;
  std::string metrics;                        // ADDR:PORT of the metrics listener; empty: none
  std::chrono::milliseconds stop_timeout{0};  // ORVEL_STOP_TIMEOUT, as read
};

// Set once in main before the server starts.
Options options;

// "wrong-type", "close" or "delay=MS"; an error message otherwise.
std::string ParseMisbehaviour(const std::string& mode, Options* o) {
  long long n = 0;
  if (mode == "wrong-type") {
    o->misbehaviour = Misbehaviour::kWrongType;
  } else if (mode == "close") {
    o->misbehaviour = Misbehaviour::kClose;
  } else if (mode.rfind("delay=", 0) == 0 &&
             orvel::cli::ParseNumber(mode.substr(6), 0, 3600000, &n)) {
    o->misbehaviour = Misbehaviour::kDelay;
    o->delay_ms = static_cast<unsigned>(n);
  } else {
    return "--misbehave needs wrong-type, close or delay=MS (0..3600000), not \"" + mode + "\"";
  }
  return "";
}

// What goes into the directory must be what a lookup will ask for.
void CheckAddresses(const orvel::cli::CommandLine& cli, const Options& o) {
  const struct {
    const char* option;
    const std::string& value;
  } quads[] = {{"--host", o.host}, {"--addr", o.addr}, {"--mask", o.mask}};
  for (const auto& q : quads) {
    in_addr unused{};
    if (inet_pton(AF_INET, q.value.c_str(), &unused) != 1) {
      cli.Fail(std::string(q.option) + " must be a dotted quad (A.B.C.D), not \"" + q.value + "\"");
    }
  }
}

// Parses the command line; a wrong one ends the process (status 64).
void ParseArgs(int argc, char** argv, Options* o, orvel::cli::LogFormat* log_format) {
  orvel::cli::CommandLine cli(
      "zemproxy", "Usage: zemproxy --port PORT [options]",
      "Answers ZemInit with ZemInitOk and ZemCommit with ZemCommitOk on TCP\n"
      "PORT, logging each message received in one line on standard output.");
  cli.Number("port", 0, "PORT", "port to listen on (required)", 1, 65535, &o->port)
      .Text("host", 0, "A",
            "this proxy's address in its service URL and the\n"
            "data address of its ZemInitOk (default 127.0.0.1)",
            &o->host)
      .Value("da", 0, "DA[,DA...]",
             "register with the SLP directory agents (HOST\n"
             "or HOST:PORT, each one) as\n"
             "service:ZemProxy://A:PORT once PORT is bound;\n"
             "deregister on SIGTERM, SIGINT or SIGHUP",
             [o](const std::string& v) {
               std::string error = orvel::cli::AgentListError("--da", v);
               if (error.empty()) o->da = v;
               return error;
             })
      .Text("addr", 0, "X",
            "attribute addr, a dotted quad: the end host or zone\n"
            "served (default: the --host address)",
            &o->addr)
      .Text("mask", 0, "M", "attribute mask, a dotted quad (default\n255.255.255.255)", &o->mask)
      .Number("lifetime", 0, "S",
              "registration lifetime in seconds (default 65535:\n"
              "renewed before it ends for as long as we run)",
              1, 65535, &o->lifetime)
      .Value("misbehave", 0, "MODE",
             "wrong-type: answer ZemInit with ZemCommitOk and\n"
             "ZemCommit with ZemInitOk; close: close the\n"
             "connection without answering; delay=MS: answer\n"
             "after MS milliseconds",
             [o](const std::string& mode) { return ParseMisbehaviour(mode, o); });
  cli.Value("metrics", 0, "ADDR:PORT",
            "serve Prometheus metrics (exchanges by message\n"
            "type and result) at /metrics, a health check at\n"
            "/healthz and a readiness check at /readyz (503\n"
            "while no agent of --da answered in the last 3 s)\n"
            "on a listener of their own",
            [o](const std::string& v) {
              std::string error = orvel::metrics::ListenAddressError("--metrics", v);
              if (error.empty()) o->metrics = v;
              return error;
            });
  orvel::cli::AddLogFormatOption(&cli, log_format);
  cli.Notes(
      "On SIGTERM, SIGINT or SIGHUP the proxy stops accepting, lets the exchanges\n"
      "in flight finish for up to ORVEL_STOP_TIMEOUT seconds (default 30),\n"
      "deregisters, logs how many finished and how many were cut, and exits with\n"
      "status 0; a second signal ends it at once.  Diagnostics go to standard\n"
      "error, the message lines to standard output.\n"
      "\n"
      "Environment: ORVEL_HTTP_PARSER=standard reads requests as RFC 9112 does\n"
      "(curl, any HTTP library, a proxy in front) and says why it refuses one;\n"
      "strict, the default, takes only the framing of the message protocol.\n"
      "ORVEL_HTTP_LISTEN=ADDR listens on ADDR only (default: every address).\n"
      "ORVEL_HTTP_READ_TIMEOUT, ORVEL_HTTP_MAX_BODY, ORVEL_HTTP_EVENT_THREADS,\n"
      "ORVEL_HTTP_IDLE_THREAD_KEEP: see the README.");
  cli.ExitStatus(
      "  0   stopped by SIGTERM, SIGINT or SIGHUP\n"
      "  1   the listener or the registration failed\n"
      "  64  wrong command line, or ORVEL_HTTP_PARSER or ORVEL_HTTP_LISTEN\n"
      "      cannot be used\n");
  cli.Parse(argc, argv);
  if (o->port == 0) cli.Fail("--port PORT is required");
  if (o->addr.empty()) o->addr = o->host;
  CheckAddresses(cli, *o);
  if (inet_ADDR(o->host.c_str()) == 0) cli.Fail("--host 0.0.0.0 is no address to be reached at");
  orvel::http::ServerOptions http_options;
  const orvel::Status http_settings = orvel::http::ReadServerOptions(&http_options);
  if (!http_settings.ok()) cli.Fail(http_settings.ToString());
  o->stop_timeout = http_options.stop_timeout;
}

std::string MemberList(const std::vector<TransportEndPoint>& members) {
  std::string text = std::to_string(members.size()) + "[";
  for (size_t i = 0; i < members.size(); ++i) {
    if (i > 0) text += ",";
    text += members[i].getStr();
  }
  return text + "]";
}

// One line per message, so that tests can check what arrived.
void LogMessage(Msg* msg) {
  std::string line = "zemproxy: " + msg->getType() + " id=" + ultostr(msg->getId()) +
                     " version=" + ultostr(msg->getVersion());
  if (auto* init = dynamic_cast<ZemInit*>(msg)) {
    line += " data_port=" + init->getPortStr();
  } else if (auto* commit = dynamic_cast<ZemCommit*>(msg)) {
    line += " data_addr=" + commit->getAddrStr() + " data_port=" + commit->getPortStr() +
            " ttl=" + commit->getTTLStr() + " members=" + MemberList(commit->getMemberVec());
  }
  line += " from=" + msg->getSrcAddrStr() + "\n";
  fputs(line.c_str(), stdout);
  fflush(stdout);
}

Msg* ProxyHandler(Msg* request) {
  LogMessage(request);
  const std::string type = request->getType();
  const bool init = type == Msg::ZemInit;
  if (!init && type != Msg::ZemCommit) return nullptr;
  switch (options.misbehaviour) {
    case Misbehaviour::kClose:
      // The server's 400 then finds the connection gone.
      shutdown(request->sock, SHUT_RDWR);
      return nullptr;
    case Misbehaviour::kDelay:
      usleep(static_cast<useconds_t>(options.delay_ms) * 1000);
      break;
    case Misbehaviour::kWrongType:
    case Misbehaviour::kNone:
      break;
  }
  const bool answer_init = init != (options.misbehaviour == Misbehaviour::kWrongType);
  if (answer_init) {
    return new ZemInitOk(request->getId(), request->getVersion(), inet_ADDR(options.host.c_str()),
                         /*ttl=*/0);
  }
  return new ZemCommitOk(request->getId(), request->getVersion());
}

void SLPReport(SLPHandle, SLPError err, void* cookie) { *static_cast<SLPError*>(cookie) = err; }

std::string ServiceURL() {
  return "service:ZemProxy://" + options.host + ":" + std::to_string(options.port);
}

// Registers (or deregisters) the service URL with the agents.  False on
// failure, with a line on stderr.  The handle stays open from the
// registration to the deregistration: it renews a registration made with
// the maximum lifetime.
bool Register(bool reg) {
  static SLPHandle h = nullptr;
  if (!h && SLPOpen("en", SLP_FALSE, &h) != SLP_OK) {
    orvel::cli::Log(orvel::cli::LogLevel::kError, "SLPOpen failed");
    return false;
  }
  SLPSetProperty("net.slp.DAAddresses", options.da.c_str());
  SLPSetProperty("net.slp.activeDADetection", "false");
  SLPSetProperty("net.slp.passiveDADetection", "false");
  const std::string url = ServiceURL();
  const std::string attrs = "(addr=" + options.addr + "),(mask=" + options.mask + ")";
  // The call's result says whether it started; the agents' answer comes
  // through the callback.
  SLPError cb_err = SLP_OK;
  SLPError err = reg ? SLPReg(h, url.c_str(), options.lifetime, "", attrs.c_str(), SLP_TRUE,
                              SLPReport, &cb_err)
                     : SLPDereg(h, url.c_str(), SLPReport, &cb_err);
  if (!reg || err != SLP_OK || cb_err != SLP_OK) {
    SLPClose(h);
    h = nullptr;
  }
  if (err != SLP_OK || cb_err != SLP_OK) {
    // The call's own result, else what the agent answered.
    const SLPError why = err != SLP_OK ? err : cb_err;
    orvel::cli::Log(orvel::cli::LogLevel::kError, "%s of %s with %s failed: %s (%d)",
                    reg ? "registration" : "deregistration", url.c_str(), options.da.c_str(),
                    SLPErrorText(why), static_cast<int>(why));
    return false;
  }
  printf("zemproxy: %s %s (%s)\n", reg ? "registered" : "deregistered", url.c_str(), attrs.c_str());
  fflush(stdout);
  return true;
}

// Exchanges by message type and result, bumped by the server as each
// connection ends.
orvel::metrics::RequestCounts* g_exchanges = nullptr;

void CountExchange(const char* type, orvel::http::RequestResult result) {
  g_exchanges->Add(type, static_cast<size_t>(result));
}

// Starts the metrics listener of --metrics; false (after a line) on failure.
bool StartMetrics() {
  if (options.metrics.empty()) return true;
  g_exchanges = new orvel::metrics::RequestCounts({Msg::ZemInit, Msg::ZemCommit},
                                                  orvel::http::RequestResultNames());
  auto families = std::make_shared<orvel::metrics::CallbackCollectable>([] {
    return std::vector<prometheus::MetricFamily>{g_exchanges->Family(
        "zemproxy_exchanges_total", "Messages received, by type and result (ok: answered)")};
  });
  // Live as long as the process.  A proxy that cannot renew its
  // registration will drop out of look-ups: not ready while no agent of
  // --da answers.
  static auto* probe = new orvel::metrics::AgentProbe(options.da);
  static auto* server = new orvel::metrics::MetricsServer(
      {families}, [] { return orvel::http::ServerAccepting(); },
      [] { return orvel::http::ServerAccepting() ? probe->NotReady() : "not accepting requests"; });
  std::string why = server->Start(options.metrics);
  if (!why.empty()) {
    orvel::cli::Log(orvel::cli::LogLevel::kError, "--metrics %s", why.c_str());
    return false;
  }
  probe->Start();
  orvel::http::SetRequestObserver(CountExchange);
  orvel::cli::Log(orvel::cli::LogLevel::kNotice, "metrics on %s (port %d)", options.metrics.c_str(),
                  server->port());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  orvel::cli::LogFormat log_format = orvel::cli::LogFormat::kAuto;
  ParseArgs(argc, argv, &options, &log_format);
  orvel::cli::InitLog("zemproxy", log_format);
  // Block the stop signals in every thread; main waits for them below.
  const sigset_t stop = orvel::cli::BlockSignals({SIGTERM, SIGINT, SIGHUP});
  signal(SIGPIPE, SIG_IGN);

  // Returns only with the port bound (it exits 1 otherwise), so nothing is
  // registered for a port another process holds.
  startServerLoop(options.port, ProxyHandler);
  if (!StartMetrics()) return 1;
  if (!options.da.empty() && !Register(/*reg=*/true)) return 1;
  printf("zemproxy: serving on port %u\n", static_cast<unsigned>(options.port));
  fflush(stdout);

  const orvel::http::StopOutcome o = orvel::http::WaitForStopAndDrain(stop, options.stop_timeout);
  if (o.forced) {
    orvel::cli::Log(orvel::cli::LogLevel::kNotice,
                    "stopped at once on a second signal: %zu finished, %zu cut", o.finished, o.cut);
    fflush(stdout);
    // Ends as the signal would have without the orderly stop.
    signal(o.signal, SIG_DFL);
    pthread_sigmask(SIG_UNBLOCK, &stop, nullptr);
    raise(o.signal);
    _exit(128 + o.signal);
  }
  if (!options.da.empty()) Register(/*reg=*/false);
  orvel::cli::Log(orvel::cli::LogLevel::kNotice, "stopped on %s: %zu finished, %zu cut",
                  orvel::http::StopSignalName(o.signal), o.finished, o.cut);
  fflush(stdout);
  // Handler threads cut off may still run: no exit handlers under them.
  _exit(0);
}
