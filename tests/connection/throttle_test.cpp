// Throttled transfers: the totals, the allowance charged per message and the wait while it is
// negative, on the fast clock.
#include <gtest/gtest.h>

#include <atomic>

#include "connection/transport.h"
#include "run/run_control.h"
#include "platform/clock.h"
#include "support/test_support.h"

namespace vl {
namespace {

class ThrottleTest : public test::StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    ctx_.profile = std::make_unique<ProfileSettings>();
  }
  RunContext ctx_;
};

TEST_F(ThrottleTest, OffCountsButNeitherWaitsNorCharges) {
  ctx_.profile->tx_allowance = -1;
  throttle_tx(ctx_, 4098);
  throttle_rx(ctx_, 7);
  EXPECT_EQ(ctx_.stats.net_tx_bytes.load(), 4098u);
  EXPECT_EQ(ctx_.stats.net_rx_bytes.load(), 7u);
  EXPECT_EQ(ctx_.profile->tx_allowance.load(), -1);
  EXPECT_EQ(clock_fast_elapsed_ms(), 0u);
}

TEST_F(ThrottleTest, NonNegativeAllowanceGoesAheadAndMayGoNegative) {
  ctx_.profile->tx_throttle = 1;
  ctx_.profile->tx_allowance = 0;
  throttle_tx(ctx_, 4098);
  EXPECT_EQ(ctx_.profile->tx_allowance.load(), -4098);
  EXPECT_EQ(clock_fast_elapsed_ms(), 0u);
}

TEST_F(ThrottleTest, NegativeAllowanceWaitsForTheRefill) {
  ProfileSettings& p = *ctx_.profile;
  p.tx_throttle = 1;
  p.tx_rate = 50;  // 50 B/s: the refill adds its minimum of 10 per tick
  p.tx_rate_unit = 0;
  p.tx_allowance = -1;
  int sleeps = 0;
  // Timer 1 every other 50 ms sleep, as the run view would run it.
  clock_sleep_observer_set([&](uint32_t ms) {
    EXPECT_EQ(ms, 50u);
    if (++sleeps % 2 == 0) allowance_refill(ctx_);
  });
  throttle_tx(ctx_, 1000);
  EXPECT_EQ(sleeps, 2);
  EXPECT_EQ(p.tx_allowance.load(), 9 - 1000);
  // The next transfer waits until 100 ticks have paid the debt back.
  throttle_tx(ctx_, 10);
  EXPECT_EQ(sleeps, 2 + 2 * 100);
  EXPECT_EQ(p.tx_allowance.load(), 9 - 1000 + 1000 - 10);
  EXPECT_EQ(ctx_.stats.net_tx_bytes.load(), 1010u);
}

TEST_F(ThrottleTest, SwitchingThrottlingOffReleasesAWaitingTransferStillCharged) {
  ProfileSettings& p = *ctx_.profile;
  p.rx_throttle = 1;
  p.rx_allowance = -100;
  int sleeps = 0;
  clock_sleep_observer_set([&](uint32_t) {
    if (++sleeps == 7) p.rx_throttle = 0;  // the throttling dialog switches it off
  });
  throttle_rx(ctx_, 300);
  EXPECT_EQ(sleeps, 7);
  EXPECT_EQ(p.rx_allowance.load(), -400);
  EXPECT_EQ(ctx_.stats.net_rx_bytes.load(), 300u);
}

}  // namespace
}  // namespace vl
