// Counts, rates and elapsed times as the run view shows them, and the timers that write them.
#include "base/format.h"

#include <gtest/gtest.h>

#include "run/run_control.h"
#include "platform/clock.h"
#include "support/test_support.h"
#include "port/controls.h"
#include "port/port.h"

namespace vl {
namespace {

TEST(CountFormat, GroupsOfThree) {
  struct Case {
    uint64_t value;
    const char* text;
  } cases[] = {
      {0, "0"},
      {999, "999"},
      {1000, "1,000"},
      {1001, "1,001"},
      {999999, "999,999"},
      {1000000, "1,000,000"},
      {1234567, "1,234,567"},
      {12345678901ULL, "12,345,678,901"},
      {1000000007ULL, "1,000,000,007"},
      // The leading group is the whole quotient by 10^9.
      {1000000000000ULL, "1000,000,000,000"},
      {UINT64_MAX, "18446744073,709,551,615"},
  };
  for (const auto& c : cases) EXPECT_EQ(count_format(c.value), c.text) << c.value;
}

TEST(RateBytes, UnitsClampAndUnknownUnit) {
  EXPECT_EQ(rate_bytes(100, 0), 100u);
  EXPECT_EQ(rate_bytes(100, 1), 102400u);
  EXPECT_EQ(rate_bytes(3, 2), 3145728u);
  EXPECT_EQ(rate_bytes(100, 3), 12u);
  EXPECT_EQ(rate_bytes(100, 4), 12800u);
  EXPECT_EQ(rate_bytes(8, 5), 1048576u);
  // Products of 2^31 and more are clamped rather than wrapped or turned negative.
  EXPECT_EQ(rate_bytes(2047, 2), 2047u * 1048576u);
  EXPECT_EQ(rate_bytes(2048, 2), 0x7FFFFFFFu);
  EXPECT_EQ(rate_bytes(3000, 2), 0x7FFFFFFFu);
  EXPECT_EQ(rate_bytes(8192, 5), 1073741824u);
  EXPECT_EQ(rate_bytes(0xFFFFFFFF, 5), 0x7FFFFFFFu);
  EXPECT_EQ(rate_bytes(4194305, 1), 0x7FFFFFFFu);
  EXPECT_EQ(rate_bytes(7, 6), 100u);
  EXPECT_EQ(rate_bytes(7, 0xFFFFFFFF), 100u);
}

TEST(ElapsedText, SecondsThenMinutes) {
  EXPECT_EQ(elapsed_text(0), "0 sec");
  EXPECT_EQ(elapsed_text(299), "299 sec");
  EXPECT_EQ(elapsed_text(300), "5 min");
  EXPECT_EQ(elapsed_text(359), "5 min");
  EXPECT_EQ(elapsed_text(360), "6 min");
}

TEST(RateText, UnitThresholds) {
  EXPECT_EQ(rate_text(0), "0 B/sec ");
  EXPECT_EQ(rate_text(4095), "4,095 B/sec ");
  EXPECT_EQ(rate_text(4096), "4 KB/sec ");
  EXPECT_EQ(rate_text(4194303), "4,095 KB/sec ");
  EXPECT_EQ(rate_text(4194304), "4 MB/sec ");
  EXPECT_EQ(rate_text(UINT32_MAX), "4,095 MB/sec ");
}

class TimersTest : public test::StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    run_view_open();
    ctx_.profile = std::make_unique<ProfileSettings>();
  }
  RunContext ctx_;
};

TEST_F(TimersTest, TotalsShowCountersAndElapsedFromStartUntilEnd) {
  ctx_.stats.net_tx_bytes = 1234567;
  ctx_.stats.net_rx_bytes = 42;
  totals_show(ctx_);
  EXPECT_EQ(ui_.text(kCtlNetTx), "1,234,567 ");
  EXPECT_EQ(ui_.text(kCtlNetRx), "42 ");
  EXPECT_TRUE(ui_.texts(kCtlElapsed).empty()) << "no elapsed time before t_start is set";

  // Running: measured against the clock (here the fast clock).
  ctx_.t_start = clock_now() - 400;
  totals_show(ctx_);
  EXPECT_EQ(ui_.text(kCtlElapsed), "6 min");
  sleep_ms(60000);
  totals_show(ctx_);
  EXPECT_EQ(ui_.text(kCtlElapsed), "7 min");

  // Ended: frozen at t_end however much time passes.
  ctx_.t_start = 1000000;
  ctx_.t_end = 1000000 + 299;
  totals_show(ctx_);
  EXPECT_EQ(ui_.text(kCtlElapsed), "299 sec");
  ctx_.t_end = 1000000 + 300;
  sleep_ms(3600 * 1000);
  totals_show(ctx_);
  EXPECT_EQ(ui_.text(kCtlElapsed), "5 min");
}

TEST_F(TimersTest, RatesShowFiveSecondAverageAndKeepSample) {
  ctx_.stats.net_tx_bytes = 5 * 4096;
  ctx_.stats.net_rx_bytes = 5 * 4095;
  rates_show(ctx_);
  EXPECT_EQ(ui_.text(kCtlTxRate), "4 KB/sec ");
  EXPECT_EQ(ui_.text(kCtlRxRate), "4,095 B/sec ");
  // Only what arrived since the previous sample counts.
  ctx_.stats.net_tx_bytes += 5ULL * 4194304;
  rates_show(ctx_);
  EXPECT_EQ(ui_.text(kCtlTxRate), "4 MB/sec ");
  EXPECT_EQ(ui_.text(kCtlRxRate), "0 B/sec ");
}

TEST_F(TimersTest, NothingWrittenWithoutRunView) {
  run_view_close();
  ctx_.stats.net_tx_bytes = 7;
  totals_show(ctx_);
  rates_show(ctx_);
  EXPECT_TRUE(ui_.texts(kCtlNetTx).empty());
  EXPECT_TRUE(ui_.texts(kCtlTxRate).empty());
  // The sample still moves on, so the next rate covers only the next five seconds.
  EXPECT_EQ(ctx_.stats.net_tx_sample.load(), 7u);
}

}  // namespace
}  // namespace vl
