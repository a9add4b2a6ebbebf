// Fuzzes the directory agent's request handling from datagram bytes.  The
// first input byte picks the source (allowed or not) and UDP or TCP; the
// store lives across inputs, so registrations made by one input are seen by
// the look-ups of later ones.  A UDP reply never exceeds the MTU.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "slp/da_handler.h"
#include "slp/da_store.h"
#include "slp/wire.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace orvel::slp;
  static DaClock clock;
  static RegistrationStore store("default", &clock);
  static DaHandler handler(&store, DaConfig{});
  if (size < 1) return 0;
  uint8_t mode = data[0];
  uint32_t source = (mode & 1) ? 0x0a010203u : 0x7f000001u;
  bool over_tcp = (mode & 2) != 0;
  std::string log;
  std::string reply = handler.Handle(data + 1, size - 1, source, over_tcp, &log);
  if (!over_tcp && reply.size() > handler.max_udp_reply()) std::abort();
  if (!reply.empty()) {
    Message m;
    // Every reply the agent builds must decode.
    if (Decode(reply, &m) != WireStatus::kOk) std::abort();
  }
  return 0;
}
