// bench_slp.h: SLP requests for the benchmark programs that speak to the
// directory agent on the wire.
#ifndef ORVEL_BENCH_BENCH_SLP_H_
#define ORVEL_BENCH_BENCH_SLP_H_

#include <cstdint>
#include <string>
#include <utility>

#include "slp/wire.h"

namespace orvel::bench {

// The wire bytes of one request with the given XID and header flags.
inline std::string EncodeSlp(slp::Body body, uint16_t xid, uint16_t flags = 0) {
  slp::Message m;
  m.header.xid = xid;
  m.header.flags = flags;
  m.body = std::move(body);
  return slp::Encode(m);
}

}  // namespace orvel::bench

#endif  // ORVEL_BENCH_BENCH_SLP_H_
