// da_rrl.h: a reply budget per source network, against UDP amplification.
//
// A UDP source address can be forged, so a short request could aim a long
// answer at somebody else.  Each /24 earns credit of `factor` times the
// bytes it sends (capped at `burst`) and spends it on the replies it gets;
// a reply that the credit does not cover is not sent in full (the caller
// sends an empty reply with the overflow flag instead, which a real client
// follows over TCP, where the source cannot be forged, and is charged for
// it too).  Credit only comes from bytes received, so over any period one
// network draws at most factor x the bytes it sent; `burst` only caps how
// much unspent credit it may save up.  Ordinary look-ups (one URL for an
// 80-byte request) never run short.
//
// Thread-safe.
#ifndef ORVEL_LIBORVEL_SLP_DA_RRL_H_
#define ORVEL_LIBORVEL_SLP_DA_RRL_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

#include "port/mutex.h"

namespace orvel::slp {

struct ReplyBudgetConfig {
  size_t factor = 2;                // 0: no budget at all
  size_t burst = size_t{4} * 1400;  // most credit one network can hold
  size_t max_networks = 16384;      // tracked at once; the oldest go first
};

class ReplyBudget {
 public:
  using Clock = std::chrono::steady_clock;
  explicit ReplyBudget(const ReplyBudgetConfig& config = {}) : config_(config) {}

  // A request of request_bytes came from source (IPv4, host byte order);
  // true when a reply of reply_bytes may go to it (the credit is then
  // spent), false when it may not (counted as limited).
  bool Allow(uint32_t source, size_t request_bytes, size_t reply_bytes, Clock::time_point now);

  // Spends bytes of source's credit when it covers them (no credit is
  // earned and nothing counted): for the short reply sent instead.
  bool TrySpend(uint32_t source, size_t bytes);

  // Replies limited so far.
  uint64_t limited();
  // At most once a second, and only after new limited replies: a line
  // saying how many and for which network; otherwise "".
  std::string TakeLogLine(Clock::time_point now);

 private:
  struct Credit {
    size_t bytes = 0;
    Clock::time_point seen;
  };
  void EvictLocked() REQUIRES(mu_);

  ReplyBudgetConfig config_;
  port::Mutex mu_;
  std::unordered_map<uint32_t, Credit> credit_ GUARDED_BY(mu_);  // by network (source & /24)
  uint64_t limited_ GUARDED_BY(mu_) = 0;
  uint64_t logged_ GUARDED_BY(mu_) = 0;
  uint32_t last_network_ GUARDED_BY(mu_) = 0;
  Clock::time_point last_log_ GUARDED_BY(mu_){};
};

}  // namespace orvel::slp

#endif  // ORVEL_LIBORVEL_SLP_DA_RRL_H_
