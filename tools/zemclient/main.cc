// zemclient: the operator's client of the synthesis service.
//
//   zemclient synth --server HOST:PORT [--host A]... [--zone NET/MASK@EP]... [--json]
//   zemclient send --server HOST:PORT FILE|-
//
// Exit status: 0 answered, 1 refused or unusable answer, 2 unreachable,
// 64 usage error.
#include <arpa/inet.h>
#include <libxml/parser.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <iterator>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "cli.h"
#include "net/address.h"
#include "orvel/Msg.h"
#include "orvel/http.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitRefused = 1;
constexpr int kExitUnreachable = 2;
constexpr int kExitUsage = 64;

const char kExitStatusText[] =
    "  0   answered\n"
    "  1   refused (HTTP 400) or no usable answer\n"
    "  2   the service could not be reached\n"
    "  64  wrong command line\n";

// command_options: the option lists of the commands, shown by --help (empty
// in the usage error).
void MainUsage(FILE* out, const std::string& command_options) {
  std::fprintf(out,
               "Usage: zemclient COMMAND [options]\n"
               "Client of the Orvel synthesis service.\n"
               "\n"
               "Commands:\n"
               "  synth   build and post a SynthZemReq, print the SynthZemOk as a table\n"
               "  send    post any message document (a file, or - for standard input)\n"
               "          and print the reply document\n"
               "\n"
               "Run 'zemclient COMMAND --help' for a command's options.\n"
               "\n"
               "Options:\n"
               "  -h, --help    print this help and exit\n"
               "      --version print the program's name and version and exit\n"
               "%s"
               "\n"
               "Environment:\n"
               "  ORVEL_HTTP_CLIENT_TIMEOUT  seconds to wait for the service's answer\n"
               "\n"
               "Exit status:\n"
               "%s",
               command_options.c_str(), kExitStatusText);
}

bool ParseServer(const std::string& s, std::string* host, unsigned short* port) {
  orvel::net::HostPort hp;
  if (!orvel::net::ParseHostPort(s, &hp) || !hp.has_port || hp.host.empty() || hp.port == 0)
    return false;
  *host = hp.host;
  *port = hp.port;
  return true;
}

bool ParseDottedQuad(const std::string& s, unsigned long* addr) {
  uint32_t a = 0;
  if (!orvel::net::ParseDottedQuad(s.c_str(), &a)) return false;
  *addr = a;
  return true;
}

// NET/MASK@EP, MASK a dotted quad or a prefix length.
bool ParseZone(const std::string& s, EndZone* zone) {
  size_t slash = s.find('/'), at = s.find('@');
  if (slash == std::string::npos || at == std::string::npos || at < slash) return false;
  unsigned long net, mask, ep;
  if (!ParseDottedQuad(s.substr(0, slash), &net)) return false;
  std::string m = s.substr(slash + 1, at - slash - 1);
  if (m.find('.') == std::string::npos) {
    char* end = nullptr;
    long len = std::strtol(m.c_str(), &end, 10);
    if (m.empty() || *end != '\0' || len < 0 || len > 32) return false;
    uint32_t host_mask = len == 0 ? 0 : 0xffffffffu << (32 - len);
    mask = inet_ADDR(inet_NTOS(htonl(host_mask)).c_str());
  } else if (!ParseDottedQuad(m, &mask)) {
    return false;
  }
  if (!ParseDottedQuad(s.substr(at + 1), &ep)) return false;
  zone->setAddr(net);
  zone->setMask(mask);
  zone->setEP(ep);
  return true;
}

// Posts msg and waits for the reply.  On failure prints one line and sets
// *status to the exit status.
std::unique_ptr<Msg> Exchange(const std::string& host, unsigned short port, Msg* msg, int* status) {
  int sock = sendRequestMsg(host.c_str(), port, msg);
  if (sock < 0) {
    std::fprintf(stderr, "zemclient: cannot reach %s:%u\n", host.c_str(), port);
    *status = kExitUnreachable;
    return nullptr;
  }
  int http_status = 0;
  std::unique_ptr<Msg> reply(getResponseMsgStatus(sock, &http_status));
  if (!reply) {
    if (http_status == 400)
      std::fprintf(stderr, "zemclient: the service refused the request (HTTP 400)\n");
    else if (http_status == 0)
      std::fprintf(stderr, "zemclient: no usable answer from %s:%u\n", host.c_str(), port);
    else
      std::fprintf(stderr, "zemclient: unexpected answer from %s:%u (HTTP %d)\n", host.c_str(),
                   port, http_status);
    *status = kExitRefused;
    return nullptr;
  }
  *status = kExitOk;
  return reply;
}

void PrintTable(SynthZemReq& req, SynthZemOk& ok) {
  struct Row {
    std::string member, kind, group, port, ttl;
  };
  std::vector<Row> rows;
  rows.push_back({"MEMBER", "KIND", "GROUP", "PORT", "TTL"});
  const auto& eps = req.getEPVec();
  const auto& zones = req.getZoneVec();
  const auto& ept = ok.getEPTVec();
  const auto& zt = ok.getZoneTVec();
  for (size_t i = 0; i < ept.size(); i++) {
    MulticastEndPoint t = ept[i];
    rows.push_back({i < eps.size() ? EndPoint(eps[i]).getAddrStr() : "?", "host", t.getAddrStr(),
                    t.getPortStr(), ultostr(t.getTTL())});
  }
  for (size_t i = 0; i < zt.size(); i++) {
    MulticastEndPoint t = zt[i];
    std::string name = "?";
    if (i < zones.size()) {
      EndZone z = zones[i];
      name = z.getAddrStr() + "/" + std::to_string(mask2int(z.getMask()));
    }
    rows.push_back({name, "zone", t.getAddrStr(), t.getPortStr(), ultostr(t.getTTL())});
  }
  size_t w[4] = {0, 0, 0, 0};
  for (const auto& r : rows) {
    w[0] = std::max(w[0], r.member.size());
    w[1] = std::max(w[1], r.kind.size());
    w[2] = std::max(w[2], r.group.size());
    w[3] = std::max(w[3], r.port.size());
  }
  for (const auto& r : rows)
    std::printf("%-*s  %-*s  %-*s  %*s  %s\n", int(w[0]), r.member.c_str(), int(w[1]),
                r.kind.c_str(), int(w[2]), r.group.c_str(), int(w[3]), r.port.c_str(),
                r.ttl.c_str());
}

// One line of JSON; the keys keep this order (scripts compare the bytes).
// The JSON library reports misuse by exceptions; they stop here.
bool PrintJson(SynthZemReq& req, SynthZemOk& ok) try {
  using Json = nlohmann::ordered_json;
  auto entry = [](const std::string& member, const char* kind, const MulticastEndPoint& t) {
    return Json{{"member", member},
                {"kind", kind},
                {"group", t.getAddrStr()},
                {"port", t.getPort()},
                {"ttl", static_cast<unsigned>(t.getTTL())}};
  };
  Json members = Json::array();
  const auto& eps = req.getEPVec();
  const auto& zones = req.getZoneVec();
  for (size_t i = 0; i < ok.getEPTVec().size(); i++)
    members.push_back(
        entry(i < eps.size() ? EndPoint(eps[i]).getAddrStr() : "?", "host", ok.getEPTVec()[i]));
  for (size_t i = 0; i < ok.getZoneTVec().size(); i++) {
    std::string name = "?";
    if (i < zones.size()) {
      EndZone z = zones[i];
      name = z.getAddrStr() + "/" + std::to_string(mask2int(z.getMask()));
    }
    members.push_back(entry(name, "zone", ok.getZoneTVec()[i]));
  }
  Json out = {{"id", ok.getId()}, {"version", ok.getVersion()}, {"members", std::move(members)}};
  // Every value is a dotted quad or a number, so dump cannot meet the text
  // it refuses (bytes that are not UTF-8); replace them all the same.
  std::printf("%s\n", out.dump(-1, ' ', false, Json::error_handler_t::replace).c_str());
  return true;
} catch (const std::exception& e) {
  std::fprintf(stderr, "zemclient: cannot write the answer as JSON: %s\n", e.what());
  return false;
}

struct SynthArgs {
  std::string server;
  std::vector<EndPoint> hosts;
  std::vector<EndZone> zones;
  bool json = false;
  unsigned long id = 0, version = 0;
  bool id_given = false, version_given = false;
};

orvel::cli::CommandLine SynthCommandLine(SynthArgs* a) {
  orvel::cli::CommandLine cli(
      "zemclient synth",
      "Usage: zemclient synth --server HOST:PORT [--host ADDR]... [--zone ZONE]... [--json]",
      "Posts a SynthZemReq naming end hosts and zones and prints the transports.");
  cli.WithoutVersion()  // --version is the message's version here
      .Text("server", 0, "HOST:PORT", "the synthesis service (required)", &a->server)
      .Value("host", 0, "ADDR", "an end host (dotted quad); repeatable, order kept",
             [a](const std::string& v) -> std::string {
               unsigned long addr;
               if (!ParseDottedQuad(v, &addr))
                 return "--host wants a dotted quad, not \"" + v + "\"";
               a->hosts.emplace_back(addr);
               return "";
             })
      .Value("zone", 0, "NET/MASK@EP",
             "a zone: network address, mask (dotted quad or prefix\n"
             "length) and the host that stands for it; repeatable",
             [a](const std::string& v) -> std::string {
               EndZone z;
               if (!ParseZone(v, &z)) return "--zone wants NET/MASK@EP, not \"" + v + "\"";
               a->zones.push_back(z);
               return "";
             })
      .Value("id", 0, "N", "message id (default: generated)",
             [a](const std::string& v) -> std::string {
               long long n = 0;
               if (!orvel::cli::ParseNumber(v, 0, 4294967295LL, &n))
                 return orvel::cli::CommandLine::NumberError("--id", v, 0, 4294967295LL);
               a->id = static_cast<unsigned long>(n);
               a->id_given = true;
               return "";
             })
      .Value("version", 0, "N",
             "message version (default: generated); last, with\n"
             "no N, print the program's version and exit",
             [a](const std::string& v) -> std::string {
               long long n = 0;
               if (!orvel::cli::ParseNumber(v, 0, 4294967295LL, &n))
                 return orvel::cli::CommandLine::NumberError("--version", v, 0, 4294967295LL);
               a->version = static_cast<unsigned long>(n);
               a->version_given = true;
               return "";
             })
      .Flag("json", 0, "print the answer as JSON instead of a table", &a->json)
      .Notes(
          "Example:\n"
          "  zemclient synth --server 127.0.0.1:7000 --host 10.0.0.1 --host 10.0.0.2 \\\n"
          "      --zone 10.1.0.0/255.255.0.0@10.1.0.5\n")
      .ExitStatus(kExitStatusText);
  return cli;
}

orvel::cli::CommandLine SendCommandLine(std::string* server) {
  orvel::cli::CommandLine cli(
      "zemclient send", "Usage: zemclient send --server HOST:PORT FILE|-",
      "Posts the XML message document in FILE (or standard input for -) and\n"
      "prints the reply document.");
  cli.WithoutVersion()
      .Text("server", 0, "HOST:PORT", "the peer: the synthesis service or a proxy (required)",
            server)
      .Operands(1)
      .ExitStatus(kExitStatusText);
  return cli;
}

int Synth(int argc, char** argv) {
  // --version with no value after it, as every program takes it.
  if (argc > 0 && std::strcmp(argv[argc - 1], "--version") == 0) {
    orvel::cli::PrintVersion("zemclient");
    return kExitOk;
  }
  SynthArgs a;
  orvel::cli::CommandLine cli = SynthCommandLine(&a);
  // argv[0] is the command word: getopt starts after it.
  cli.Parse(argc + 1, argv - 1);
  std::string host;
  unsigned short port;
  if (!ParseServer(a.server, &host, &port)) {
    std::fprintf(stderr, "zemclient: --server HOST:PORT is required (try --help)\n");
    return kExitUsage;
  }
  if (!a.id_given) a.id = Msg::generateId();
  if (!a.version_given) a.version = Msg::generateVersion();
  // Builds without trace lines: main turned them off.
  SynthZemReq req(a.id, a.version, a.hosts, a.zones);

  int status;
  std::unique_ptr<Msg> reply = Exchange(host, port, &req, &status);
  if (!reply) return status;
  if (reply->getType() != Msg::SynthZemOk) {
    std::fprintf(stderr, "zemclient: the service answered %s, not SynthZemOk\n",
                 reply->getType().c_str());
    return kExitRefused;
  }
  auto& ok = static_cast<SynthZemOk&>(*reply);
  if (ok.getId() != a.id || ok.getVersion() != a.version)
    std::fprintf(stderr, "zemclient: warning: answer carries id %lu version %lu, sent %lu %lu\n",
                 ok.getId(), ok.getVersion(), a.id, a.version);
  if (a.json) {
    if (!PrintJson(req, ok)) return kExitRefused;
  } else {
    PrintTable(req, ok);
  }
  return kExitOk;
}

int Send(int argc, char** argv) {
  std::string server, file;
  orvel::cli::CommandLine cli = SendCommandLine(&server);
  std::vector<std::string> operands = cli.Parse(argc + 1, argv - 1);
  if (!operands.empty()) file = operands[0];
  std::string host;
  unsigned short port;
  if (!ParseServer(server, &host, &port) || file.empty()) {
    std::fprintf(stderr, "zemclient: send needs --server HOST:PORT and FILE|- (try --help)\n");
    return kExitUsage;
  }
  std::string text;
  if (file == "-") {
    text.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
  } else {
    FILE* f = std::fopen(file.c_str(), "rb");
    if (!f) {
      std::fprintf(stderr, "zemclient: cannot read %s: %s\n", file.c_str(), std::strerror(errno));
      return kExitUsage;
    }
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
    std::fclose(f);
  }
  std::unique_ptr<xmlDoc, void (*)(xmlDocPtr)> doc(
      xmlReadMemory(text.data(), static_cast<int>(text.size()), nullptr, nullptr,
                    XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING),
      xmlFreeDoc);
  if (!doc || !xmlDocGetRootElement(doc.get())) {
    std::fprintf(stderr, "zemclient: %s is not an XML document\n", file.c_str());
    return kExitUsage;
  }
  // Post the document's own bytes, re-serialised as the library would.
  std::unique_ptr<HTTPReq, void (*)(HTTPReq*)> req(
      newHTTPReq("POST", "http://" + host + ":" + std::to_string(port) + "/query"), freeHTTPReq);
  xmlChar* dumped = nullptr;
  int len = 0;
  xmlDocDumpMemory(doc.get(), &dumped, &len);
  setBody(req.get(), reinterpret_cast<const char*>(dumped));
  xmlFree(dumped);
  int sock = sendHTTPReq(req.get(), host.c_str(), port);
  if (sock < 0) {
    std::fprintf(stderr, "zemclient: cannot reach %s:%u\n", host.c_str(), port);
    return kExitUnreachable;
  }
  int http_status = 0;
  std::unique_ptr<Msg> reply(getResponseMsgStatus(sock, &http_status));
  if (!reply) {
    if (http_status == 400)
      std::fprintf(stderr, "zemclient: the service refused the request (HTTP 400)\n");
    else
      std::fprintf(stderr, "zemclient: no usable answer from %s:%u\n", host.c_str(), port);
    return kExitRefused;
  }
  char* out = reply->getChars();
  if (out) std::fputs(out, stdout);
  std::free(out);
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  // Standard output carries only the answer: the message library's trace
  // lines (setEP/getEP) are not ours to print.
  setMsgTraceHook(nullptr);
  if (argc < 2) {
    MainUsage(stderr, "");
    return kExitUsage;
  }
  std::string cmd = argv[1];
  if (cmd == "--help" || cmd == "-h" || cmd == "help") {
    SynthArgs synth_args;
    std::string send_server;
    MainUsage(stdout, "\nOptions of synth:\n" + SynthCommandLine(&synth_args).OptionsHelp() +
                          "\nOptions of send (after them FILE, or - for standard input):\n" +
                          SendCommandLine(&send_server).OptionsHelp());
    return kExitOk;
  }
  if (cmd == "--version") {
    orvel::cli::PrintVersion("zemclient");
    return kExitOk;
  }
  if (cmd == "synth") return Synth(argc - 2, argv + 2);
  if (cmd == "send") return Send(argc - 2, argv + 2);
  std::fprintf(stderr, "zemclient: unknown command %s (try --help)\n", cmd.c_str());
  return kExitUsage;
}
