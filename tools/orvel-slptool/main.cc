// orvel-slptool: SLP searches and registrations from the command line,
// through Orvel's SLP client library.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "orvel/SLP.h"
#include "cli.h"
#include "orvel/slp_api.h"

namespace {

const char* ErrorName(SLPError e) { return SLPErrorText(e); }

SLPBoolean PrintUrl(SLPHandle, const char* url, unsigned short lifetime,
                    SLPError err, void*) {
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

void IgnoreReport(SLPHandle, SLPError, void*) {}

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

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  std::string scope, type, lang = "en";
  long lifetime = 10800;
  bool incremental = false;
  orvel::cli::CommandLine cli(
      "orvel-slptool",
      "Usage: orvel-slptool [OPTIONS] COMMAND [ARGS]",
      "SLP searches and registrations from the command line.\n"
      "\n"
      "Commands:\n"
      "  findsrvs TYPE [FILTER]   print \"URL,LIFETIME\" per service found\n"
      "  findattrs URL [TAGS]     print the attribute list of a URL or type\n"
      "  findsrvtypes [AUTHORITY] print the service types (\"*\" = all, default)\n"
      "  register URL [ATTRS]     register URL (type from --type or the URL)\n"
      "  deregister URL           remove the registration of URL\n"
      "  getproperty NAME         print NAME = VALUE");
  cli.Value("da", 'a', "ADDR[,ADDR...]",
            "directory agents (host or host:port), tried in\n"
            "order; default: net.slp.DAAddresses, else\n"
            "multicast discovery",
            [](const std::string& v) {
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
             [&scope](const std::string& v) -> std::string {
               if (v.empty()) return "--scope needs a scope list";
               scope = v;
               return "";
             })
      .Number("lifetime", 'l', "SECONDS", "registration lifetime, 1..65535 (default 10800)", 1,
              65535, &lifetime)
      .Text("type", 't', "TYPE", "service type for register", &type)
      .Flag("incremental", 'i', "register as an update of an existing entry", &incremental)
      .Value("lang", 'L', "TAG", "language tag (default en)",
             [&lang](const std::string& v) -> std::string {
               if (v.empty()) return "--lang needs a language tag";
               lang = v;
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
      .Environment(
          "  ORVEL_SLP_CONF  configuration file with net.slp.* properties\n")
      .ExitStatus(
          "  0   success (also when nothing was found)\n"
          "  1   an SLP error (the reason is printed)\n"
          "  2   no directory agent answered or could be reached\n"
          "  64  wrong command line\n");
  std::vector<std::string> args = cli.Parse(argc, argv);
  const bool fresh = !incremental;
  if (args.empty()) cli.Fail("no command given");
  if (!scope.empty()) SLPSetProperty("net.slp.useScopes", scope.c_str());
  const std::string& cmd = args[0];
  auto arg = [&args](size_t i) { return i < args.size() ? args[i].c_str() : ""; };
  auto want = [&](size_t lo, size_t hi) { return args.size() - 1 >= lo && args.size() - 1 <= hi; };

  if (cmd == "getproperty") {
    if (!want(1, 1)) cli.Fail("getproperty takes one NAME");
    const char* v = SLPGetProperty(arg(1));
    if (!v) {
      std::fprintf(stderr, "orvel-slptool: no property %s\n", arg(1));
      return orvel::cli::kExitFailed;
    }
    std::printf("%s = %s\n", arg(1), v);
    return 0;
  }
  bool known = cmd == "findsrvs" || cmd == "findattrs" || cmd == "findsrvtypes" ||
               cmd == "register" || cmd == "deregister";
  if (!known) cli.Fail("unknown command " + cmd);

  SLPHandle h = nullptr;
  SLPError err = SLPOpen(lang.c_str(), SLP_FALSE, &h);
  if (err != SLP_OK) {
    std::fprintf(stderr, "orvel-slptool: cannot open SLP: %s (%d)\n", ErrorName(err), err);
    return orvel::cli::kExitFailed;
  }
  const char* scopes = scope.empty() ? "" : scope.c_str();
  if (cmd == "findsrvs") {
    if (!want(1, 2)) err = SLP_PARAMETER_BAD;
    else err = SLPFindSrvs(h, arg(1), scopes, arg(2), PrintUrl, nullptr);
  } else if (cmd == "findattrs") {
    if (!want(1, 2)) err = SLP_PARAMETER_BAD;
    else err = SLPFindAttrs(h, arg(1), scopes, arg(2), PrintText, nullptr);
  } else if (cmd == "findsrvtypes") {
    if (!want(0, 1)) err = SLP_PARAMETER_BAD;
    else err = SLPFindSrvTypes(h, args.size() > 1 ? arg(1) : "*", scopes, PrintTypes, nullptr);
  } else if (cmd == "register") {
    if (!want(1, 2)) err = SLP_PARAMETER_BAD;
    else err = SLPReg(h, arg(1), static_cast<unsigned short>(lifetime), type.c_str(), arg(2),
                      fresh ? SLP_TRUE : SLP_FALSE, IgnoreReport, nullptr);
  } else if (cmd == "deregister") {
    if (!want(1, 1)) err = SLP_PARAMETER_BAD;
    else err = SLPDereg(h, arg(1), IgnoreReport, nullptr);
  }
  SLPClose(h);
  if (err == SLP_PARAMETER_BAD) cli.Fail("wrong arguments for " + cmd);
  if (err != SLP_OK) {
    std::fprintf(stderr, "orvel-slptool: %s: %s (%d)\n", cmd.c_str(), ErrorName(err), err);
    return ExitStatusOf(err);
  }
  return 0;
}
