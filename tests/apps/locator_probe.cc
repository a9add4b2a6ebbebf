// locator_probe: runs one ZemProxyLocator as the service would, with the
// service's console, and prints its result.  For the locator tests.
//
//   locator_probe DA host ADDR
//   locator_probe DA zone ADDR MASK EP
//
// Prints "RESULT ADDR:PORT abone=0|1" on the last line.
#include <arpa/inet.h>

#include <cstdio>
#include <string>

#include "Zem.h"

int main(int argc, char** argv) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  initConsole();
  std::string kind = argc > 2 ? argv[2] : "";
  TransportEndPoint proxy;
  if (argc == 4 && kind == "host") {
    EndPoint ep(inet_addr(argv[3]));
    proxy = ZemProxyLocator(ep, argv[1], "default").getZemProxy();
  } else if (argc == 6 && kind == "zone") {
    EndZone zone(inet_addr(argv[3]), inet_addr(argv[4]));
    zone.setEP(inet_addr(argv[5]));
    proxy = ZemProxyLocator(zone, argv[1], "default").getZemProxy();
  } else {
    fprintf(stderr, "usage: locator_probe DA host ADDR | DA zone ADDR MASK EP\n");
    return 2;
  }
  printf("RESULT %s abone=%d\n", proxy.getStr().c_str(), proxy.isAboneNode() ? 1 : 0);
  return 0;
}
