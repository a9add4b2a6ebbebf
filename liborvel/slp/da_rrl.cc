// da_rrl.cc: reply budget per source network.
#include "slp/da_rrl.h"

#include <algorithm>
#include <iterator>
#include <vector>

namespace orvel::slp {

bool ReplyBudget::Allow(uint32_t source, size_t request_bytes, size_t reply_bytes,
                        Clock::time_point now) {
  if (config_.factor == 0) return true;
  const uint32_t network = source & 0xFFFFFF00u;
  port::MutexLock lock(&mu_);
  auto it = credit_.find(network);
  if (it == credit_.end()) {
    if (credit_.size() >= config_.max_networks) EvictLocked();
    it = credit_.emplace(network, Credit{}).first;
  }
  Credit& c = it->second;
  c.seen = now;
  c.bytes = std::min(config_.burst, c.bytes + config_.factor * request_bytes);
  if (reply_bytes <= c.bytes) {
    c.bytes -= reply_bytes;
    return true;
  }
  ++limited_;
  last_network_ = network;
  return false;
}

bool ReplyBudget::TrySpend(uint32_t source, size_t bytes) {
  if (config_.factor == 0) return true;
  port::MutexLock lock(&mu_);
  auto it = credit_.find(source & 0xFFFFFF00u);
  if (it == credit_.end() || it->second.bytes < bytes) return false;
  it->second.bytes -= bytes;
  return true;
}

// Forgets the half of the networks seen longest ago.  A forgotten network
// starts again without credit, so eviction never hands out bytes.
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
                     " UDP replies limited to the overflow flag (" + std::to_string(limited_) +
                     " in all; last to " + std::to_string(last_network_ >> 24) + "." +
                     std::to_string((last_network_ >> 16) & 0xFF) + "." +
                     std::to_string((last_network_ >> 8) & 0xFF) + ".0/24)";
  logged_ = limited_;
  last_log_ = now;
  return line;
}

}  // namespace orvel::slp
