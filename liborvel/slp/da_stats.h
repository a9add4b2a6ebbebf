// da_stats.h: what the directory agent counts, for its metrics.
//
// Plain relaxed atomics bumped once per handled message, so counting costs
// the request path a few uncontended adds and a metrics exporter reads them
// at any time from any thread.  Every label set is fixed in size: request
// kinds are the eleven SLPv2 functions plus "none" for a message whose
// header could not be read.
#ifndef ORVEL_LIBORVEL_SLP_DA_STATS_H_
#define ORVEL_LIBORVEL_SLP_DA_STATS_H_

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace orvel::slp {

// How one received message ended.
enum class DaResult : uint8_t {
  kOk,         // answered without an error code
  kError,      // answered with an SLP error code (or, multicast, dropped for one)
  kMalformed,  // its header or body broke the wire format
  kRefused,    // a registration from a network that may not register
  kNoReply,    // nothing to answer (a multicast not for us, a reply, ...)
};
constexpr size_t kDaResults = 5;
const char* DaResultName(DaResult r);

// Index 0 is "none" (unreadable header); 1..11 the function ids.
constexpr size_t kDaFunctions = 12;
const char* DaFunctionLabel(size_t index);

enum class DaTransport : uint8_t { kUdp, kTcp };

struct DaStats {
  DaStats() = default;
  DaStats(const DaStats&) = delete;
  DaStats& operator=(const DaStats&) = delete;

  static uint64_t Read(const std::atomic<uint64_t>& a) { return a.load(std::memory_order_relaxed); }
  static void Bump(std::atomic<uint64_t>* a, uint64_t n = 1) {
    a->fetch_add(n, std::memory_order_relaxed);
  }

  std::atomic<uint64_t> requests[kDaFunctions][kDaResults] = {};
  std::atomic<uint64_t> reply_bytes[2] = {};  // by DaTransport
  std::atomic<uint64_t> replies[2] = {};      // by DaTransport
  // Answers that did not fit (UDP datagram or a bound of the store) and
  // went out cut, with the overflow flag.
  std::atomic<uint64_t> overflow_replies = {};
  // UDP answers past the source's reply budget: flag only, or nothing.
  std::atomic<uint64_t> rate_limited_replies = {};
  // SrvRegs not taken: from a network that may not register, or refused
  // by the store (bad lifetime, limits, scopes) or the sink (busy).
  std::atomic<uint64_t> refused_registrations_source = {};
  std::atomic<uint64_t> refused_registrations_invalid = {};
};

}  // namespace orvel::slp

#endif  // ORVEL_LIBORVEL_SLP_DA_STATS_H_
