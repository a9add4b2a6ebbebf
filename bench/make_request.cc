// make_request: writes the bytes of a SynthZemReq as liborvel's client
// sends them, for orvel-load's request file.
//
// usage: make_request PORT HOSTS OUT-REQUEST [OUT-REPLY-BODY]
// HOSTS end hosts 10.0.0.1, 10.0.0.2, ... (0: an empty request).  The
// optional second file gets the body of the SynthZemOk an empty request is
// answered with, so a baseline server can answer with as many bytes.
#include <arpa/inet.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "bench_messages.h"

int main(int argc, char** argv) {
  if (argc != 4 && argc != 5) {
    std::fputs("usage: make_request PORT HOSTS OUT-REQUEST [OUT-REPLY-BODY]\n", stderr);
    return 2;
  }
  const int port = std::atoi(argv[1]);
  const int hosts = std::atoi(argv[2]);
  std::vector<EndPoint> eps;
  for (int i = 1; i <= hosts; ++i) eps.emplace_back(htonl(0x0a000000u + i));
  const unsigned long id = 12345, version = 678;
  SynthZemReq req(id, version, eps, {});
  std::ofstream(argv[3], std::ios::binary) << orvel::bench::RequestBytes(req, "127.0.0.1", port);
  if (argc == 5) {
    SynthZemOk ok(id, version, {}, {});
    std::ofstream(argv[4], std::ios::binary) << orvel::bench::TextOf(ok);
  }
  return 0;
}
