// The UDP reply budget on its own: a bucket per /24 that starts full and
// refills by what the network sends and by time, the bound on what a flood
// draws, one whole answer in K past it, eviction, and the once-a-second log.
#include <gtest/gtest.h>

#include "slp/da_rrl.h"

namespace orvel::slp {
namespace {

using Clock = ReplyBudget::Clock;

TEST(ReplyBudget, OrdinaryClientNeverMeetsTheLimit) {
  // Twenty look-ups of three URLs and twenty 640-byte attribute lists a
  // second, for a minute, from one host: all go.
  ReplyBudget budget;
  Clock::time_point now{std::chrono::hours(1)};
  for (int i = 0; i < 60 * 20; ++i) {
    now += std::chrono::milliseconds(50);
    EXPECT_TRUE(budget.Allow(0x0a000005u, 48, 130, true, now)) << i;
    EXPECT_TRUE(budget.Allow(0x0a000005u, 72, 680, true, now)) << i;
  }
  EXPECT_EQ(budget.limited(), 0u);
}

TEST(ReplyBudget, FloodDrawsFactorTimesItsBytesThenQuietGetsTheAllowanceBack) {
  ReplyBudgetConfig config;
  ReplyBudget budget(config);
  Clock::time_point now{std::chrono::hours(1)};
  size_t sent = 0, allowed = 0;
  // Two seconds at 10000 requests a second, 40 bytes each, 1000-byte
  // answers; different hosts of one /24 share the bucket.
  for (int i = 0; i < 20000; ++i) {
    now += std::chrono::microseconds(100);
    sent += 40;
    if (budget.Allow(0x0a000000u + (i % 200), 40, 1000, true, now)) allowed += 1000;
  }
  EXPECT_LE(allowed, config.factor * sent + 1000);
  EXPECT_GE(allowed + 2000, config.factor * sent);  // what it earned is spent
  EXPECT_GT(budget.limited(), 15000u);
  // Another network has its own bucket.
  EXPECT_TRUE(budget.Allow(0x0a000100u, 40, 1000, true, now));
  // A quiet second later the allowance is back: ordinary use goes.
  now += std::chrono::seconds(1);
  for (int i = 0; i < 40; ++i) {
    now += std::chrono::milliseconds(50);
    EXPECT_TRUE(budget.Allow(0x0a000001u, 72, 680, true, now)) << i;
  }
  // No budget at all.
  EXPECT_TRUE(ReplyBudget(ReplyBudgetConfig{0, 0, 0, 0, 4, 1}).Allow(1, 1, 1 << 20, false, now));
}

TEST(ReplyBudget, PastTheBudgetOneAnswerInKGoesAndItsDebtIsPaidFirst) {
  ReplyBudgetConfig config;
  config.burst = 0;
  config.allowance = 0;
  config.answer_one_in = 4;
  ReplyBudget budget(config);
  Clock::time_point now{};
  // No credit: the first answer that fits a datagram goes on credit...
  EXPECT_TRUE(budget.Allow(0x0a000001u, 10, 500, true, now));
  // ...and nothing more until 500 bytes of requests' worth paid it back.
  int sent = 0;
  for (int i = 0; i < 23; ++i) sent += budget.Allow(0x0a000001u, 10, 500, true, now);
  EXPECT_EQ(sent, 0);
  EXPECT_TRUE(budget.Allow(0x0a000001u, 10, 500, true, now));  // debt paid
  // A cut answer never goes on credit (its short reply does, when covered).
  EXPECT_FALSE(budget.Allow(0x0a000102u, 10, 1300, false, now));
  EXPECT_TRUE(budget.TrySpend(0x0a000102u, 20));
  EXPECT_FALSE(budget.TrySpend(0x0a000102u, 1));
}

TEST(ReplyBudget, SavedCreditIsCappedAndEvictedNetworksStartAnew) {
  ReplyBudgetConfig config;
  config.burst = 8000;
  config.allowance = 0;
  config.max_networks = 4;
  ReplyBudget budget(config);
  Clock::time_point now{};
  for (int i = 0; i < 100; ++i) budget.Allow(0x0a000001u, 100, 0, true, now);
  EXPECT_FALSE(budget.TrySpend(0x0a000001u, 8001));
  EXPECT_TRUE(budget.TrySpend(0x0a000001u, 8000));
  budget.Allow(0x0b000001u, 0, 8000, true, now);
  EXPECT_FALSE(budget.TrySpend(0x0b000001u, 1));
  for (uint32_t n = 1; n <= 8; ++n) {
    budget.Allow(0x0c000001u + (n << 8), 1, 0, true, now + std::chrono::seconds(n));
  }
  // Forgotten, then back with one burst, no more.
  EXPECT_TRUE(budget.Allow(0x0b000001u, 0, 8000, false, now + std::chrono::seconds(9)));
  EXPECT_FALSE(budget.TrySpend(0x0b000001u, 1));
}

TEST(ReplyBudget, LogLineAtMostOnceASecondAndOnlyAfterNewLimits) {
  ReplyBudgetConfig config;
  config.burst = 0;
  config.allowance = 0;
  ReplyBudget budget(config);
  Clock::time_point now{std::chrono::hours(1)};
  EXPECT_EQ(budget.TakeLogLine(now), "");
  budget.Allow(0xc0a80105u, 10, 5000, false, now);
  std::string line = budget.TakeLogLine(now);
  EXPECT_NE(line.find("1 UDP replies limited"), std::string::npos) << line;
  EXPECT_NE(line.find("192.168.1.0/24"), std::string::npos) << line;
  budget.Allow(0xc0a80105u, 10, 5000, false, now);
  EXPECT_EQ(budget.TakeLogLine(now + std::chrono::milliseconds(500)), "");
  EXPECT_NE(budget.TakeLogLine(now + std::chrono::seconds(1)), "");
  EXPECT_EQ(budget.TakeLogLine(now + std::chrono::seconds(5)), "");
}

}  // namespace
}  // namespace orvel::slp
