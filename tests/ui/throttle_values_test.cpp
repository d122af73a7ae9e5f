// The throttling fields without widgets: list entries and codes, reading typed numbers, and the
// four checks in their order.
#include <gtest/gtest.h>

#include <climits>

#include "ui/qt/throttle_values.h"

namespace vl {
namespace {

TEST(ThrottleCodes, PriorityEntriesAndCodes) {
  EXPECT_STREQ(kPriorityEntries[priority_entry_of(4)], "Highest");
  EXPECT_STREQ(kPriorityEntries[priority_entry_of(0)], "Idle");
  EXPECT_STREQ(kPriorityEntries[priority_entry_of(1)], "Below Normal");
  // Codes the editor does not know show as "Below Normal".
  EXPECT_EQ(priority_entry_of(5), 3);
  EXPECT_EQ(priority_entry_of(0xFFFFFFFFu), 3);
  for (int entry = 0; entry < 5; ++entry)
    EXPECT_EQ(priority_code_of(entry), static_cast<uint32_t>(4 - entry));
  EXPECT_EQ(priority_code_of(-1), 1u) << "no selection";
}

TEST(ThrottleCodes, RateUnitEntriesAndCodes) {
  EXPECT_STREQ(kRateUnitEntries[0], "B/s (bytes/sec)");
  EXPECT_STREQ(kRateUnitEntries[5], "mbps (megabits/sec)");
  for (uint32_t code = 0; code <= 5; ++code) EXPECT_EQ(rate_unit_entry_of(code), static_cast<int>(code));
  EXPECT_EQ(rate_unit_entry_of(6), 1);
  EXPECT_EQ(rate_unit_code_of(-1), 1u) << "no selection counts as a position above 5";
  EXPECT_EQ(rate_unit_code_of(6), 1u);
  EXPECT_EQ(rate_unit_code_of(3), 3u);
}

TEST(ThrottleRead, DecimalValueOfTypedText) {
  struct Case {
    const char* text;
    int32_t value;
  } cases[] = {
      {"42", 42},         {"  42", 42},     {"42abc", 42},    {"-5", -5},
      {"+7", 7},          {"", 0},          {"abc", 0},       {"- 5", 0},
      {"0010000", 10000}, {"2147483647", INT_MAX},
      // Far beyond 32 bits: saturates instead of wrapping into an accepted value.
      {"99999999999", INT_MAX}, {"4294977296", INT_MAX}, {"-99999999999", INT_MIN},
  };
  for (const Case& c : cases) EXPECT_EQ(decimal_value(c.text), c.value) << '"' << c.text << '"';
}

TEST(ThrottleRead, ShowThenReadGivesTheValuesBack) {
  ThrottleValues v;
  v.thread_priority = 0;
  v.file_delay_ms = 250;
  v.block_delay_ms = -3;
  v.tx_throttle = 1;
  v.tx_rate = 100;
  v.tx_rate_unit = 5;
  v.rx_throttle = 0;
  v.rx_rate = 7;
  v.rx_rate_unit = 9;  // unknown unit: shown as entry 1
  ThrottleInput in = throttle_show(v);
  EXPECT_EQ(in.block_delay, "-3");
  EXPECT_EQ(in.rx_unit_entry, 1);
  ThrottleValues back = throttle_read(in);
  EXPECT_EQ(back.thread_priority, 0u);
  EXPECT_EQ(back.file_delay_ms, 250);
  EXPECT_EQ(back.block_delay_ms, -3);
  EXPECT_EQ(back.tx_throttle, 1);
  EXPECT_EQ(back.tx_rate, 100);
  EXPECT_EQ(back.tx_rate_unit, 5u);
  EXPECT_EQ(back.rx_throttle, 0);
  EXPECT_EQ(back.rx_rate, 7);
  EXPECT_EQ(back.rx_rate_unit, 1u);
}

// The first failing check decides the message.
std::string first_failure(const ThrottleValues& v) {
  DialogMessage error;
  if (throttle_validate(v, &error)) return "ok";
  return error.caption + "|" + error.text;
}

TEST(ThrottleValidate, ChecksInOrderWithTheirMessages) {
  const std::string files = "Delay Error|Maximum delay between files is 10000ms (10 seconds)";
  const std::string blocks = "Delay Error|Maximum delay between blocks is 10000ms (10 seconds)";
  const std::string tx = "TX Rate Error|TX throttle rate value must be at least 1";
  const std::string rx = "RX Rate Error|RX throttle rate value must be at least 1";
  ThrottleValues v;
  EXPECT_EQ(first_failure(v), "ok");

  v.file_delay_ms = 10000;
  v.block_delay_ms = 10000;
  EXPECT_EQ(first_failure(v), "ok") << "10000 is the largest delay";
  v.file_delay_ms = 10001;
  EXPECT_EQ(first_failure(v), files);
  v.block_delay_ms = 10001;
  EXPECT_EQ(first_failure(v), files) << "files are tested before blocks";
  v.file_delay_ms = 0;
  EXPECT_EQ(first_failure(v), blocks);
  v.block_delay_ms = -1;
  EXPECT_EQ(first_failure(v), blocks) << "a negative delay is refused (unsigned comparison)";
  v.block_delay_ms = decimal_value("99999999999");
  EXPECT_EQ(first_failure(v), blocks);
  v.block_delay_ms = 0;

  v.tx_rate = 0;
  v.rx_rate = 0;
  EXPECT_EQ(first_failure(v), "ok") << "a zero rate is accepted while its box is clear";
  v.tx_throttle = 1;
  v.rx_throttle = 1;
  EXPECT_EQ(first_failure(v), tx);
  v.tx_rate = 1;
  EXPECT_EQ(first_failure(v), rx);
  v.rx_rate = 1;
  EXPECT_EQ(first_failure(v), "ok");
  v.file_delay_ms = 20000;
  v.tx_rate = 0;
  EXPECT_EQ(first_failure(v), files) << "delays come before rates";
}

}  // namespace
}  // namespace vl
