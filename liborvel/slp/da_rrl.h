// da_rrl.h: a reply budget per source network, against UDP amplification.
//
// A UDP source address can be forged, so a short request could aim a long
// answer at somebody else.  Each /24 holds a bucket of reply bytes, in the
// manner of DNS response-rate limiting: it starts with `burst`, earns
// `factor` times the bytes the network sends, and, while the network sends
// no more than `quiet_requests` a second, `allowance` bytes a second on top;
// it never holds more than `burst` (or a few datagrams, whichever is more).
// Ordinary clients (tens of look-ups and attribute lists a second, long
// answers over TCP) never empty it.  A network that sends more than
// `quiet_requests` in a second is flooding: what it drew that second beyond
// its bytes' worth becomes a debt, and it earns only by what it sends until
// a quiet second.  Past the budget:
//   - an answer that fits one datagram goes whole to one request in
//     `answer_one_in` and the rest get nothing (clients retransmit); the
//     answer sent is charged too, so the bucket runs into debt and nothing
//     more goes until the network's own requests have paid it back;
//   - a longer answer, which every client fetches over TCP anyway, goes as
//     the short reply with the overflow flag (when the bucket covers even
//     that), so its Length alone sends every client to TCP, where the
//     source cannot be forged.
// So a flood draws factor x its bytes, plus one datagram; a quiet network
// at most allowance bytes a second beyond that.
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
  size_t factor = 2;            // 0: no budget at all
  size_t allowance = 16384;     // bytes a second a quiet network earns besides
  size_t burst = 4096;          // a new network's start and the most it saves (at least 5600)
  size_t quiet_requests = 100;  // requests a second up to which a network is quiet
  size_t answer_one_in = 4;     // past the budget: whole answers to one request in this many
  size_t max_networks = 16384;  // tracked at once; the oldest go first
};

class ReplyBudget {
 public:
  using Clock = std::chrono::steady_clock;
  explicit ReplyBudget(const ReplyBudgetConfig& config = {}) : config_(config) {}

  // A request of request_bytes came from source (IPv4, host byte order)
  // and its answer is reply_bytes; fits_datagram when that answer was not
  // cut to a datagram.  True when the answer may go (its bytes are spent),
  // false when it may not (counted as limited: the caller sends the short
  // overflow reply for a cut answer, nothing for the rest).
  bool Allow(uint32_t source, size_t request_bytes, size_t reply_bytes, bool fits_datagram,
             Clock::time_point now);

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
    long long bytes = 0;     // negative: in debt for an answer sent past the budget
    size_t limited_run = 0;  // answers that fit a datagram refused since the last one sent
    Clock::time_point seen;
    Clock::time_point second;     // start of the current one-second window
    size_t requests = 0;          // in that window
    long long window_spent = 0;   // reply bytes sent in that window
    long long window_earned = 0;  // and earned by the requests' bytes
    bool flooding = false;        // more than quiet_requests in a window, until a quiet one
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
