#include "options.h"

#include <arpa/inet.h>

#include "etcd_client.h"
#include "metrics_http.h"

namespace orvel::slpd {
namespace {

namespace slp = orvel::slp;

// Where and what the agent serves.
void DefineServiceOptions(orvel::cli::CommandLine* cli, Options* o) {
  cli->Value("listen", 0, "ADDR", "IPv4 address to listen on (default 0.0.0.0)",
             [o](const std::string& v) -> std::string {
               in_addr tmp;
               if (inet_pton(AF_INET, v.c_str(), &tmp) != 1)
                 return "--listen needs an IPv4 address";
               o->listen = v;
               return "";
             })
      .Number("port", 0, "N", "UDP and TCP port (default 427; 0 picks a free one)", 0, 65535,
              &o->port)
      .Text("scopes", 0, "LIST", "comma-separated scopes served (default \"default\")", &o->scopes)
      .Text("state", 0, "FILE",
            "keep registrations in FILE (atomic replace) and\n"
            "reload them at start with their remaining lifetimes;\n"
            "a FILE that cannot be read or written is an error",
            &o->state)
      .Value("allow-register", 0, "NET",
             "network allowed to register and deregister, as\n"
             "A.B.C.D/LEN; repeatable; the networks given replace\n"
             "the default 127.0.0.0/8 (name it too to keep\n"
             "loopback); other sources are refused over TCP with\n"
             "AUTHENTICATION_FAILED, not answered over UDP, and\n"
             "logged at most once a second",
             [o](const std::string& v) -> std::string {
               auto net = slp::ParseIpv4Net(v);
               if (!net) return "--allow-register needs A.B.C.D/LEN";
               o->allow.push_back(*net);
               return "";
             })
      // Below 576 (the IPv4 minimum) even one URL entry may not fit.
      .Number("mtu", 0, "N",
              "largest UDP reply datagram including IP and UDP\n"
              "headers (default 1400); longer replies are cut to\n"
              "whole entries and carry the overflow flag, and the\n"
              "full answer is available over TCP",
              576, 65535, &o->mtu);
}

// Registrations shared through etcd.
void DefineSharingOptions(orvel::cli::CommandLine* cli, Options* o) {
  cli->Value("etcd", 0, "URL[,URL...]",
             "share registrations with every agent on the same\n"
             "etcd cluster (its client URLs, http://HOST:2379):\n"
             "each registration is written to etcd (tried on every\n"
             "endpoint for up to 4 s) before it is acknowledged, and\n"
             "look-ups are answered from a local copy kept by a\n"
             "watch; once etcd has been unreachable for 4 s\n"
             "registrations get DA_BUSY_NOW; at start a cluster\n"
             "without a leader is waited for up to 30 s (excludes\n"
             "--state)",
             [o](const std::string& v) -> std::string {
               o->etcd_text = v;
               o->etcd = orvel::etcd::ParseEndpoints(o->etcd_text);
               if (o->etcd.empty()) return "--etcd needs http://HOST:PORT[,http://HOST:PORT...]";
               return "";
             })
      .Value("etcd-prefix", 0, "P",
             "key prefix in etcd (default \"/orvel/slp/\"); agents\n"
             "that share registrations use the same prefix",
             [o](const std::string& v) -> std::string {
               if (v.empty()) return "--etcd-prefix must not be empty";
               o->etcd_prefix = v;
               return "";
             })
      .Flag("etcd-optional", 0,
            "start even when etcd is unreachable, then serving\n"
            "from memory only (default: exit with status 1)",
            &o->etcd_optional);
}

// Reply budget, metrics and logging.
void DefineObservingOptions(orvel::cli::CommandLine* cli, Options* o) {
  cli->Number("udp-reply-factor", 0, "N",
              "UDP reply bytes each source network (/24) earns,\n"
              "as a multiple of the bytes it sends (default 2; 0\n"
              "lifts the bound); past its budget an answer that\n"
              "fits a datagram goes to one request in 4 (clients\n"
              "retransmit), a longer one as the overflow flag alone\n"
              "(clients fetch it over TCP)",
              0, 1000, &o->reply_factor)
      .Number("udp-reply-allowance", 0, "BYTES",
              "UDP reply bytes a second each quiet source network\n"
              "(at most 100 requests a second) may draw beyond what\n"
              "it earns (default 16384; a quarter of that is its\n"
              "start); 0: strictly --udp-reply-factor times what\n"
              "it sends",
              0, 16777216, &o->reply_allowance)
      .Value("metrics", 0, "ADDR:PORT",
             "serve Prometheus metrics (requests by function and\n"
             "result, registrations by type, reply bytes, ...) at\n"
             "/metrics and a health check at /healthz (200 while\n"
             "the sockets are open and the state is loaded, else\n"
             "503) on a listener of their own",
             [o](const std::string& v) {
               std::string error = orvel::metrics::ListenAddressError("--metrics", v);
               if (error.empty()) o->metrics = v;
               return error;
             })
      .Flag("verbose", 'v', "one log line per request on standard error", &o->verbose);
}

}  // namespace

Options ParseArgs(int argc, char** argv, orvel::cli::LogFormat* log_format) {
  Options o;
  orvel::cli::CommandLine cli(
      "orvel-slpd", "Usage: orvel-slpd [options]",
      "SLPv2 directory agent: registrations over UDP and TCP, service, attribute\n"
      "and type requests, DAAdverts.");
  DefineServiceOptions(&cli, &o);
  DefineSharingOptions(&cli, &o);
  DefineObservingOptions(&cli, &o);
  orvel::cli::AddLogFormatOption(&cli, log_format);
  cli.Notes(
      "Service types compare without regard to case or to one leading\n"
      "\"service:\": a request for ZemProxy finds service:ZemProxy registrations.\n"
      "\n"
      "Nearest-node answers: computing nodes register the attribute x-PELM-coords\n"
      "with their coordinates (numbers separated by spaces).  In a predicate, an\n"
      "and-term holding both (x-PELM-num=K) and (x-PELM-clients=C) is true for the\n"
      "K services of the requested type whose x-PELM-coords lie nearest to C\n"
      "(Euclidean distance over the dimensions both have); answers come nearest\n"
      "first.  Example, the node nearest to (1,2,3):\n"
      "  (|(foo=bar)(&(x-PELM-num=1)(x-PELM-clients=1 2 3)))\n"
      "\n"
      "SIGTERM or SIGINT: the state is saved and the agent exits with status 0.");
  cli.ExitStatus(
      "  0   stopped by SIGTERM or SIGINT\n"
      "  1   a socket could not be opened, the state file cannot be read or\n"
      "      written, or etcd not reached at start\n"
      "  64  wrong command line");
  cli.Parse(argc, argv);
  if (o.allow.empty()) o.allow.push_back(*slp::ParseIpv4Net("127.0.0.0/8"));
  // etcd is the durable copy; a state file beside it would be a second,
  // diverging one.
  if (!o.etcd.empty() && !o.state.empty()) cli.Fail("--state and --etcd exclude each other");
  if (o.etcd.empty() && o.etcd_optional) cli.Fail("--etcd-optional needs --etcd");
  return o;
}

}  // namespace orvel::slpd
