// orvel-slptool: SLP searches and registrations from the command line,
// through Orvel's SLP client library.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "slp_api.h"

namespace {

const char kUsage[] =
    "usage: orvel-slptool [OPTIONS] COMMAND [ARGS]\n"
    "\n"
    "Commands:\n"
    "  findsrvs TYPE [FILTER]   print \"URL,LIFETIME\" per service found\n"
    "  findattrs URL [TAGS]     print the attribute list of a URL or type\n"
    "  findsrvtypes [AUTHORITY] print the service types (\"*\" = all, default)\n"
    "  register URL [ATTRS]     register URL (type from --type or the URL)\n"
    "  deregister URL           remove the registration of URL\n"
    "  getproperty NAME         print NAME = VALUE\n"
    "\n"
    "Options:\n"
    "  -a, --da ADDR[,ADDR...]  directory agents (host or host:port), tried in\n"
    "                           order; default: net.slp.DAAddresses, else\n"
    "                           multicast discovery\n"
    "  -p, --port N             SLP port (default 427)\n"
    "  -s, --scope LIST         scope list (default DEFAULT)\n"
    "  -l, --lifetime SECONDS   registration lifetime, 1..65535 (default 10800)\n"
    "  -t, --type TYPE          service type for register\n"
    "  -i, --incremental        register as an update of an existing entry\n"
    "  -L, --lang TAG           language tag (default en)\n"
    "  -w, --wait MS            give up on one agent after MS milliseconds\n"
    "  -h, --help               show this text\n"
    "\n"
    "Exit status: 0 success (also when nothing was found), 1 SLP error,\n"
    "2 wrong command line.\n";

const char* ErrorName(SLPError e) {
  switch (e) {
    case SLP_OK: return "ok";
    case SLP_LAST_CALL: return "last call";
    case SLP_LANGUAGE_NOT_SUPPORTED: return "language not supported";
    case SLP_PARSE_ERROR: return "parse error";
    case SLP_INVALID_REGISTRATION: return "invalid registration";
    case SLP_SCOPE_NOT_SUPPORTED: return "scope not supported";
    case SLP_AUTHENTICATION_UNKNOWN: return "authentication unknown";
    case SLP_AUTHENTICATION_ABSENT: return "authentication absent";
    case SLP_AUTHENTICATION_FAILED: return "authentication failed";
    case SLP_INVALID_UPDATE: return "invalid update";
    case SLP_REFRESH_REJECTED: return "refresh rejected";
    case SLP_NOT_IMPLEMENTED: return "not implemented";
    case SLP_BUFFER_OVERFLOW: return "buffer overflow";
    case SLP_NETWORK_TIMED_OUT: return "no directory agent answered in time";
    case SLP_NETWORK_INIT_FAILED: return "no directory agent configured or found";
    case SLP_MEMORY_ALLOC_FAILED: return "out of memory";
    case SLP_PARAMETER_BAD: return "bad parameter";
    case SLP_NETWORK_ERROR: return "network error (agent unreachable)";
    case SLP_INTERNAL_SYSTEM_ERROR: return "internal error";
    case SLP_HANDLE_IN_USE: return "handle in use";
    case SLP_TYPE_ERROR: return "type error";
  }
  return "unknown error";
}

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

bool ParseNumber(const char* text, long lo, long hi, long* out) {
  char* end = nullptr;
  long v = std::strtol(text, &end, 10);
  if (!*text || *end || v < lo || v > hi) return false;
  *out = v;
  return true;
}

int Usage(const char* problem) {
  std::fprintf(stderr, "orvel-slptool: %s\n%s", problem, kUsage);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  std::string scope, type, lang = "en";
  long lifetime = 10800;
  bool fresh = true;
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&](const char* name) -> const char* {
      if (i + 1 >= argc) return nullptr;
      (void)name;
      return argv[++i];
    };
    if (a == "-h" || a == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (a == "-a" || a == "--da") {
      const char* v = value("--da");
      if (!v) return Usage("--da needs an address");
      SLPSetProperty("net.slp.DAAddresses", v);
      SLPSetProperty("net.slp.activeDADetection", "false");
      SLPSetProperty("net.slp.passiveDADetection", "false");
    } else if (a == "-p" || a == "--port") {
      const char* v = value("--port");
      long port;
      if (!v || !ParseNumber(v, 1, 65535, &port)) return Usage("--port needs 1..65535");
      SLPSetProperty("net.slp.port", v);
    } else if (a == "-s" || a == "--scope") {
      const char* v = value("--scope");
      if (!v || !*v) return Usage("--scope needs a scope list");
      scope = v;
    } else if (a == "-l" || a == "--lifetime") {
      const char* v = value("--lifetime");
      if (!v || !ParseNumber(v, 1, 65535, &lifetime))
        return Usage("--lifetime needs 1..65535 seconds");
    } else if (a == "-t" || a == "--type") {
      const char* v = value("--type");
      if (!v) return Usage("--type needs a service type");
      type = v;
    } else if (a == "-i" || a == "--incremental") {
      fresh = false;
    } else if (a == "-L" || a == "--lang") {
      const char* v = value("--lang");
      if (!v || !*v) return Usage("--lang needs a language tag");
      lang = v;
    } else if (a == "-w" || a == "--wait") {
      const char* v = value("--wait");
      long ms;
      if (!v || !ParseNumber(v, 1, 3600000, &ms)) return Usage("--wait needs milliseconds");
      SLPSetProperty("net.slp.unicastMaximumWait", v);
    } else if (a.size() > 1 && a[0] == '-') {
      return Usage(("unknown option " + a).c_str());
    } else {
      args.push_back(a);
    }
  }
  if (args.empty()) return Usage("no command given");
  if (!scope.empty()) SLPSetProperty("net.slp.useScopes", scope.c_str());
  const std::string& cmd = args[0];
  auto arg = [&args](size_t i) { return i < args.size() ? args[i].c_str() : ""; };
  auto want = [&](size_t lo, size_t hi) { return args.size() - 1 >= lo && args.size() - 1 <= hi; };

  if (cmd == "getproperty") {
    if (!want(1, 1)) return Usage("getproperty takes one NAME");
    const char* v = SLPGetProperty(arg(1));
    if (!v) {
      std::fprintf(stderr, "orvel-slptool: no property %s\n", arg(1));
      return 1;
    }
    std::printf("%s = %s\n", arg(1), v);
    return 0;
  }
  bool known = cmd == "findsrvs" || cmd == "findattrs" || cmd == "findsrvtypes" ||
               cmd == "register" || cmd == "deregister";
  if (!known) return Usage(("unknown command " + cmd).c_str());

  SLPHandle h = nullptr;
  SLPError err = SLPOpen(lang.c_str(), SLP_FALSE, &h);
  if (err != SLP_OK) {
    std::fprintf(stderr, "orvel-slptool: cannot open SLP: %s (%d)\n", ErrorName(err), err);
    return 1;
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
  if (err == SLP_PARAMETER_BAD) return Usage(("wrong arguments for " + cmd).c_str());
  if (err != SLP_OK) {
    std::fprintf(stderr, "orvel-slptool: %s: %s (%d)\n", cmd.c_str(), ErrorName(err), err);
    return 1;
  }
  return 0;
}
