// orvel-slptool: SLP searches and registrations from the command line,
// through Orvel's SLP client library.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cli.h"
#include "orvel/SLP.h"
#include "orvel/slp_api.h"

namespace {

const char* ErrorName(SLPError e) { return SLPErrorText(e); }

SLPBoolean PrintUrl(SLPHandle, const char* url, unsigned short lifetime, SLPError err, void*) {
  if (err == SLP_OK && url) std::printf("%s,%u\n", url, lifetime);
  return SLP_TRUE;
}

SLPBoolean PrintText(SLPHandle, const char* text, SLPError err, void*) {
  if (err == SLP_OK && text) std::printf("%s\n", text);
  return SLP_TRUE;
}

SLPBoolean PrintTypes(SLPHandle, const char* types, SLPError err, void*) {
  if (err != SLP_OK || !types) return SLP_TRUE;
  std::string list = types;
  size_t pos = 0;
  while (pos <= list.size()) {
    size_t comma = list.find(',', pos);
    if (comma == std::string::npos) comma = list.size();
    if (comma > pos) std::printf("%s\n", list.substr(pos, comma - pos).c_str());
    pos = comma + 1;
  }
  return SLP_TRUE;
}

// Registrations report the agents' answer here; the call's own result
// only says whether it started.
void KeepReport(SLPHandle, SLPError err, void* cookie) { *static_cast<SLPError*>(cookie) = err; }

// No answer from any agent is an unreachable peer; the rest are errors
// an agent or the library reported.
int ExitStatusOf(SLPError e) {
  switch (e) {
    case SLP_NETWORK_TIMED_OUT:
    case SLP_NETWORK_INIT_FAILED:
    case SLP_NETWORK_ERROR:
      return orvel::cli::kExitUnreachable;
    default:
      return orvel::cli::kExitFailed;
  }
}

struct Options {
  std::string scope;
  std::string type;
  std::string lang = "en";
  long lifetime = 10800;
  bool incremental = false;
};

// Options that set SLP properties set them as they are parsed.
void DefineOptions(orvel::cli::CommandLine* cli, Options* o) {
  cli->Value("da", 'a', "ADDR[,ADDR...]",
             "directory agents (host or host:port), tried in\n"
             "order; default: net.slp.DAAddresses, else\n"
             "multicast discovery",
             [](const std::string& v) {
               std::string error = orvel::cli::AgentListError("--da", v);
               if (!error.empty()) return error;
               SLPSetProperty("net.slp.DAAddresses", v.c_str());
               SLPSetProperty("net.slp.activeDADetection", "false");
               SLPSetProperty("net.slp.passiveDADetection", "false");
               return std::string();
             })
      .Value("port", 'p', "N", "SLP port (default 427)",
             [](const std::string& v) -> std::string {
               long long n = 0;
               if (!orvel::cli::ParseNumber(v, 1, 65535, &n))
                 return orvel::cli::CommandLine::NumberError("--port", v, 1, 65535);
               SLPSetProperty("net.slp.port", v.c_str());
               return "";
             })
      .Value("scope", 's', "LIST", "scope list (default DEFAULT)",
             [o](const std::string& v) -> std::string {
               if (v.empty()) return "--scope needs a scope list";
               o->scope = v;
               return "";
             })
      .Number("lifetime", 'l', "SECONDS", "registration lifetime, 1..65535 (default 10800)", 1,
              65535, &o->lifetime)
      .Text("type", 't', "TYPE", "service type for register", &o->type)
      .Flag("incremental", 'i', "register as an update of an existing entry", &o->incremental)
      .Value("lang", 'L', "TAG", "language tag (default en)",
             [o](const std::string& v) -> std::string {
               if (v.empty()) return "--lang needs a language tag";
               o->lang = v;
               return "";
             })
      .Value("wait", 'w', "MS", "give up on one agent after MS milliseconds",
             [](const std::string& v) -> std::string {
               long long n = 0;
               if (!orvel::cli::ParseNumber(v, 1, 3600000, &n))
                 return orvel::cli::CommandLine::NumberError("--wait", v, 1, 3600000);
               SLPSetProperty("net.slp.unicastMaximumWait", v.c_str());
               return "";
             })
      .Operands(-1)
      .Environment("  ORVEL_SLP_CONF  configuration file with net.slp.* properties\n")
      .ExitStatus(
          "  0   success (also when nothing was found)\n"
          "  1   an SLP error (the reason is printed)\n"
          "  2   no directory agent answered or could be reached\n"
          "  64  wrong command line\n");
}

// Runs one of the commands that talk to agents; SLP_PARAMETER_BAD for a
// wrong number of arguments.
SLPError RunAgentCommand(SLPHandle h, const Options& o, const std::vector<std::string>& args) {
  const std::string& cmd = args[0];
  auto arg = [&args](size_t i) { return i < args.size() ? args[i].c_str() : ""; };
  auto want = [&args](size_t lo, size_t hi) {
    return args.size() - 1 >= lo && args.size() - 1 <= hi;
  };
  const char* scopes = o.scope.c_str();
  if (cmd == "findsrvs") {
    if (!want(1, 2)) return SLP_PARAMETER_BAD;
    return SLPFindSrvs(h, arg(1), scopes, arg(2), PrintUrl, nullptr);
  }
  if (cmd == "findattrs") {
    if (!want(1, 2)) return SLP_PARAMETER_BAD;
    return SLPFindAttrs(h, arg(1), scopes, arg(2), PrintText, nullptr);
  }
  if (cmd == "findsrvtypes") {
    if (!want(0, 1)) return SLP_PARAMETER_BAD;
    return SLPFindSrvTypes(h, args.size() > 1 ? arg(1) : "*", scopes, PrintTypes, nullptr);
  }
  SLPError reported = SLP_OK;
  SLPError err = SLP_OK;
  if (cmd == "register") {
    if (!want(1, 2)) return SLP_PARAMETER_BAD;
    err = SLPReg(h, arg(1), static_cast<unsigned short>(o.lifetime), o.type.c_str(), arg(2),
                 o.incremental ? SLP_FALSE : SLP_TRUE, KeepReport, &reported);
  } else {  // deregister
    if (!want(1, 1)) return SLP_PARAMETER_BAD;
    err = SLPDereg(h, arg(1), KeepReport, &reported);
  }
  return err != SLP_OK ? err : reported;
}

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  Options o;
  orvel::cli::CommandLine cli(
      "orvel-slptool", "Usage: orvel-slptool [OPTIONS] COMMAND [ARGS]",
      "SLP searches and registrations from the command line.\n"
      "\n"
      "Commands:\n"
      "  findsrvs TYPE [FILTER]    print \"URL,LIFETIME\" per service found\n"
      "  findattrs URL [TAGS]      print the attribute list of a URL or type\n"
      "  findsrvtypes [AUTHORITY]  print the service types (\"*\" = all, default)\n"
      "  register URL [ATTRS]      register URL (type from --type or the URL)\n"
      "  deregister URL            remove the registration of URL\n"
      "  getproperty NAME          print NAME = VALUE");
  DefineOptions(&cli, &o);
  std::vector<std::string> args = cli.Parse(argc, argv);
  if (args.empty()) cli.Fail("no command given");
  if (!o.scope.empty()) SLPSetProperty("net.slp.useScopes", o.scope.c_str());
  const std::string& cmd = args[0];
  if (cmd == "getproperty") {
    if (args.size() != 2) cli.Fail("getproperty takes one NAME");
    const char* v = SLPGetProperty(args[1].c_str());
    if (!v) {
      std::fprintf(stderr, "orvel-slptool: no property %s\n", args[1].c_str());
      return orvel::cli::kExitFailed;
    }
    std::printf("%s = %s\n", args[1].c_str(), v);
    return 0;
  }
  bool known = cmd == "findsrvs" || cmd == "findattrs" || cmd == "findsrvtypes" ||
               cmd == "register" || cmd == "deregister";
  if (!known) cli.Fail("unknown command " + cmd);

  SLPHandle h = nullptr;
  SLPError err = SLPOpen(o.lang.c_str(), SLP_FALSE, &h);
  if (err != SLP_OK) {
    std::fprintf(stderr, "orvel-slptool: cannot open SLP: %s (%d)\n", ErrorName(err), err);
    return orvel::cli::kExitFailed;
  }
  err = RunAgentCommand(h, o, args);
  SLPClose(h);
  if (err == SLP_PARAMETER_BAD) cli.Fail("wrong arguments for " + cmd);
  if (err != SLP_OK) {
    std::fprintf(stderr, "orvel-slptool: %s: %s (%d)\n", cmd.c_str(), ErrorName(err), err);
    // What an agent answers a source outside its --allow-register.
    if (err == SLP_AUTHENTICATION_FAILED && (cmd == "register" || cmd == "deregister"))
      std::fprintf(stderr,
                   "orvel-slptool: the agent refused it: this host may not register "
                   "there (its --allow-register)\n");
    return ExitStatusOf(err);
  }
  return 0;
}
