// zemsynth_main.cc: entry of the synthesis service.
//
//   zemsynth PORT DA
//
// Listens on TCP PORT and serves SynthZemReq messages, locating proxies
// through the SLP directory agent at DA.  Runs until it is killed.
#include <libxml/parser.h>
#include <malloc.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Zem.h"
#include "http.h"

namespace {

void PrintHelp() {
  printf(
      "Usage: zemsynth PORT DA\n"
      "Orvel synthesis service for overlay multicast.\n"
      "\n"
      "  PORT  TCP port to listen on\n"
      "  DA    SLP directory agent for every proxy lookup: A.B.C.D or\n"
      "        A.B.C.D:PORT; empty to discover agents by multicast\n"
      "\n"
      "Answers SynthZemReq documents posted over HTTP with SynthZemOk.\n"
      "Environment: ORVEL_PATH (ABone client and pelm.coords),\n"
      "ORVEL_ABONEVIEWERARGS, ORVEL_PELMMONITOR, ORVEL_PROXY_CODE_URL,\n"
      "ORVEL_VIEWER_CODE_URL, ORVEL_HTTP_READ_TIMEOUT, ORVEL_HTTP_MAX_BODY,\n"
      "ORVEL_HTTP_CLIENT_TIMEOUT, ORVEL_SLP_CONF.\n"
      "With a controlling terminal, the fallback search for an end host\n"
      "pauses for a key press at each step; without one it does not wait.\n"
      "Any other number of arguments prints \"arg: port DA\" and exits 255.\n");
}

}  // namespace

int main(int argc, char** argv) {
  // Only the exact word: every other single argument keeps the usage line.
  if (argc == 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
    PrintHelp();
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
  // Digits up to the first other character; the low 16 bits are the port.
  unsigned short port = static_cast<unsigned short>(strtol(argv[1], nullptr, 10));
  // Before any connection thread exists.
  xmlInitParser();
  // Each connection thread would otherwise get a malloc arena of its own
  // (up to eight per core), and freed memory stays spread over them after a
  // burst.  Two keep the heap compact; MALLOC_ARENA_MAX still overrides.
  if (getenv("MALLOC_ARENA_MAX") == nullptr) mallopt(M_ARENA_MAX, 2);
  startServerLoop(port, RecvCallback);
  printf("waiting for request\n");
  for (;;) sleep(60);
}
