// The UDP reply budget on its own: credit earned and spent per /24, the
// bound, eviction that never hands out credit, and the once-a-second log.
#include <gtest/gtest.h>

#include "slp/da_rrl.h"

namespace orvel::slp {
namespace {

using Clock = ReplyBudget::Clock;

TEST(ReplyBudget, NetworkDrawsAtMostFactorTimesWhatItSent) {
  ReplyBudget budget;
  Clock::time_point now{};
  size_t sent = 0, allowed = 0;
  for (int i = 0; i < 1000; ++i) {
    sent += 40;
    // Different hosts of one /24 share the credit.
    if (budget.Allow(0x0a000000u + (i % 200), 40, 1000, now)) allowed += 1000;
  }
  EXPECT_LE(allowed, 2 * sent);
  EXPECT_GE(allowed, 2 * sent - 1000);  // all credit but the last reply's worth is used
  EXPECT_GT(budget.limited(), 900u);
  // Another network has its own credit: a reply within twice its request goes.
  EXPECT_TRUE(budget.Allow(0x0a000100u, 40, 80, now));
  EXPECT_FALSE(budget.TrySpend(0x0a000100u, 1));
  EXPECT_TRUE(ReplyBudget(ReplyBudgetConfig{0, 0, 0}).Allow(1, 1, 1 << 20, now));
}

TEST(ReplyBudget, SavedCreditIsCappedAndEvictionGrantsNothing) {
  ReplyBudgetConfig config;
  config.burst = 500;
  config.max_networks = 4;
  ReplyBudget budget(config);
  Clock::time_point now{};
  for (int i = 0; i < 100; ++i) budget.Allow(0x0a000001u, 100, 0, now);
  EXPECT_FALSE(budget.Allow(0x0a000001u, 0, 501, now));
  EXPECT_TRUE(budget.Allow(0x0a000001u, 0, 500, now));
  // Filling the table evicts the oldest networks; one that comes back
  // starts with no credit.
  budget.Allow(0x0b000001u, 100, 0, now);
  for (uint32_t n = 1; n <= 8; ++n) {
    budget.Allow(0x0c000001u + (n << 8), 1, 0, now + std::chrono::seconds(n));
  }
  EXPECT_FALSE(budget.TrySpend(0x0b000001u, 1));
}

TEST(ReplyBudget, LogLineAtMostOnceASecondAndOnlyAfterNewLimits) {
  ReplyBudget budget;
  Clock::time_point now{std::chrono::hours(1)};
  EXPECT_EQ(budget.TakeLogLine(now), "");
  budget.Allow(0xc0a80105u, 10, 5000, now);
  std::string line = budget.TakeLogLine(now);
  EXPECT_NE(line.find("1 UDP replies limited"), std::string::npos) << line;
  EXPECT_NE(line.find("192.168.1.0/24"), std::string::npos) << line;
  budget.Allow(0xc0a80105u, 10, 5000, now);
  EXPECT_EQ(budget.TakeLogLine(now + std::chrono::milliseconds(500)), "");
  EXPECT_NE(budget.TakeLogLine(now + std::chrono::seconds(1)), "");
  EXPECT_EQ(budget.TakeLogLine(now + std::chrono::seconds(5)), "");
}

}  // namespace
}  // namespace orvel::slp
