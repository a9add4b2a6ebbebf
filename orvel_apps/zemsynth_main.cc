// zemsynth_main.cc: entry of the synthesis service.
//
//   zemsynth PORT DA
//
// Listens on TCP PORT and serves SynthZemReq messages, locating proxies
// through the SLP directory agent at DA.  Runs until it is killed.
#include <libxml/parser.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "Zem.h"
#include "http.h"

int main(int argc, char** argv) {
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
  startServerLoop(port, RecvCallback);
  printf("waiting for request\n");
  for (;;) sleep(60);
}
