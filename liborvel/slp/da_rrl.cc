// da_rrl.cc: reply budget per source network.
#include "slp/da_rrl.h"

#include <algorithm>
#include <iterator>
#include <vector>

namespace orvel::slp {
namespace {
constexpr long long kLeastSaved = 4LL * 1400;
}  // namespace

bool ReplyBudget::Allow(uint32_t source, size_t request_bytes, size_t reply_bytes,
                        bool fits_datagram, Clock::time_point now) {
  if (config_.factor == 0) return true;
  const uint32_t network = source & 0xFFFFFF00u;
  // What a network may save up: the burst, but at least a few datagrams,
  // so that with no burst a long request still pays for its answer.
  const long long cap = std::max(static_cast<long long>(config_.burst), kLeastSaved);
  port::MutexLock lock(&mu_);
  auto it = credit_.find(network);
  if (it == credit_.end()) {
    if (credit_.size() >= config_.max_networks) EvictLocked();
    Credit fresh;
    fresh.bytes = static_cast<long long>(config_.burst);
    fresh.seen = fresh.second = now;
    it = credit_.emplace(network, fresh).first;
  }
  Credit& c = it->second;
  if (now - c.second >= std::chrono::seconds(1)) {
    // Flooding goes on after a busy second unless a whole second passed
    // without a request.
    c.flooding = c.requests > config_.quiet_requests && now - c.seen < std::chrono::seconds(1);
    c.second = now;
    c.requests = 0;
    c.window_spent = c.window_earned = 0;
  }
  if (++c.requests > config_.quiet_requests && !c.flooding) {
    // A flood spends no savings: what this second drew beyond its bytes'
    // worth becomes a debt.
    c.flooding = true;
    c.bytes = std::min<long long>(c.bytes, 0) - std::max(0LL, c.window_spent - c.window_earned);
  }
  long long earned = static_cast<long long>(config_.factor) * static_cast<long long>(request_bytes);
  c.window_earned += earned;
  if (!c.flooding && now > c.seen) {
    const double idle = std::chrono::duration<double>(now - c.seen).count();
    earned += static_cast<long long>(
        std::min(idle * static_cast<double>(config_.allowance), static_cast<double>(cap)));
  }
  c.seen = std::max(c.seen, now);
  c.bytes = std::min(cap, c.bytes + earned);
  const long long cost = static_cast<long long>(reply_bytes);
  if (cost <= c.bytes) {
    c.bytes -= cost;
    c.window_spent += cost;
    c.limited_run = 0;
    return true;
  }
  // One request in K gets its answer all the same, on credit that the
  // network's next requests pay back; none while a debt is open.
  if (fits_datagram && c.bytes >= 0 &&
      c.limited_run % std::max<size_t>(1, config_.answer_one_in) == 0) {
    c.bytes -= cost;
    c.window_spent += cost;
    c.limited_run = 1;
    return true;
  }
  ++c.limited_run;
  ++limited_;
  last_network_ = network;
  return false;
}

bool ReplyBudget::TrySpend(uint32_t source, size_t bytes) {
  if (config_.factor == 0) return true;
  port::MutexLock lock(&mu_);
  auto it = credit_.find(source & 0xFFFFFF00u);
  if (it == credit_.end() || it->second.bytes < static_cast<long long>(bytes)) return false;
  it->second.bytes -= static_cast<long long>(bytes);
  return true;
}

// Forgets the half of the networks seen longest ago.  A forgotten network
// that comes back starts with a full bucket, as a new one does: one burst,
// so a sender who cycles through thousands of networks to evict a victim's
// wins it that burst once per cycle.
void ReplyBudget::EvictLocked() {
  std::vector<Clock::time_point> times;
  times.reserve(credit_.size());
  for (const auto& kv : credit_) times.push_back(kv.second.seen);
  auto mid = times.begin() + static_cast<std::ptrdiff_t>(times.size() / 2);
  std::nth_element(times.begin(), mid, times.end());
  const Clock::time_point cut = *mid;
  for (auto it = credit_.begin(); it != credit_.end();) {
    it = it->second.seen <= cut ? credit_.erase(it) : std::next(it);
  }
}

uint64_t ReplyBudget::limited() {
  port::MutexLock lock(&mu_);
  return limited_;
}

std::string ReplyBudget::TakeLogLine(Clock::time_point now) {
  port::MutexLock lock(&mu_);
  if (limited_ == logged_ || now - last_log_ < std::chrono::seconds(1)) return std::string();
  std::string line = std::to_string(limited_ - logged_) +
                     " UDP replies limited to the overflow flag or dropped (" +
                     std::to_string(limited_) + " in all; last to " +
                     std::to_string(last_network_ >> 24) + "." +
                     std::to_string((last_network_ >> 16) & 0xFF) + "." +
                     std::to_string((last_network_ >> 8) & 0xFF) + ".0/24)";
  logged_ = limited_;
  last_log_ = now;
  return line;
}

}  // namespace orvel::slp
