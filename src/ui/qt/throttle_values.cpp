#include "ui/qt/throttle_values.h"

#include <climits>
#include <cstdio>

namespace vl {

const char* const kPriorityEntries[5] = {"Highest", "Above Normal", "Normal", "Below Normal",
                                         "Idle"};
const char* const kRateUnitEntries[6] = {"B/s (bytes/sec)",     "KB/s (kilobytes/sec)",
                                         "MB/s (megabytes/sec)", "bps (bits/sec)",
                                         "kbps (kilobits/sec)",  "mbps (megabits/sec)"};

int priority_entry_of(uint32_t code) { return code <= 4 ? static_cast<int>(4 - code) : 3; }

uint32_t priority_code_of(int entry) {
  if (entry < 0 || entry > 4) return 1;
  return static_cast<uint32_t>(4 - entry);
}

int rate_unit_entry_of(uint32_t code) { return code <= 5 ? static_cast<int>(code) : 1; }

uint32_t rate_unit_code_of(int entry) {
  uint32_t position = static_cast<uint32_t>(entry);
  return position > 5 ? 1 : position;
}

int32_t decimal_value(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  int64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > static_cast<int64_t>(INT_MAX) + 1) value = static_cast<int64_t>(INT_MAX) + 1;
  }
  if (negative) value = -value;
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int32_t>(value);
}

static std::string signed_text(int32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%d", v);
  return buf;
}

ThrottleInput throttle_show(const ThrottleValues& v) {
  ThrottleInput in;
  in.priority_entry = priority_entry_of(v.thread_priority);
  in.file_delay = signed_text(v.file_delay_ms);
  in.block_delay = signed_text(v.block_delay_ms);
  in.tx_checked = v.tx_throttle != 0;
  in.tx_rate = signed_text(v.tx_rate);
  in.tx_unit_entry = rate_unit_entry_of(v.tx_rate_unit);
  in.rx_checked = v.rx_throttle != 0;
  in.rx_rate = signed_text(v.rx_rate);
  in.rx_unit_entry = rate_unit_entry_of(v.rx_rate_unit);
  return in;
}

ThrottleValues throttle_read(const ThrottleInput& in) {
  ThrottleValues v;
  v.thread_priority = priority_code_of(in.priority_entry);
  v.file_delay_ms = decimal_value(in.file_delay);
  v.block_delay_ms = decimal_value(in.block_delay);
  v.tx_rate = decimal_value(in.tx_rate);
  v.rx_rate = decimal_value(in.rx_rate);
  v.tx_rate_unit = rate_unit_code_of(in.tx_unit_entry);
  v.rx_rate_unit = rate_unit_code_of(in.rx_unit_entry);
  v.tx_throttle = in.tx_checked ? 1 : 0;
  v.rx_throttle = in.rx_checked ? 1 : 0;
  return v;
}

bool throttle_validate(const ThrottleValues& v, DialogMessage* error) {
  // Unsigned comparisons: a negative delay reads as huge and is refused too.
  if (static_cast<uint32_t>(v.file_delay_ms) > 10000) {
    *error = {"Maximum delay between files is 10000ms (10 seconds)", "Delay Error", 1042};
    return false;
  }
  if (static_cast<uint32_t>(v.block_delay_ms) > 10000) {
    *error = {"Maximum delay between blocks is 10000ms (10 seconds)", "Delay Error", 1043};
    return false;
  }
  if (v.tx_throttle && v.tx_rate == 0) {
    *error = {"TX throttle rate value must be at least 1", "TX Rate Error", 1036};
    return false;
  }
  if (v.rx_throttle && v.rx_rate == 0) {
    *error = {"RX throttle rate value must be at least 1", "RX Rate Error", 1037};
    return false;
  }
  return true;
}

ThrottleValues throttle_values_of(const ProfileSettings& p) {
  ThrottleValues v;
  v.thread_priority = p.thread_priority;
  v.file_delay_ms = p.file_delay_ms;
  v.block_delay_ms = p.block_delay_ms;
  v.tx_throttle = p.tx_throttle;
  v.tx_rate = p.tx_rate;
  v.tx_rate_unit = p.tx_rate_unit;
  v.rx_throttle = p.rx_throttle;
  v.rx_rate = p.rx_rate;
  v.rx_rate_unit = p.rx_rate_unit;
  return v;
}

void throttle_store(ProfileSettings& p, const ThrottleValues& v) {
  p.thread_priority = v.thread_priority;
  p.file_delay_ms = v.file_delay_ms;
  p.block_delay_ms = v.block_delay_ms;
  p.tx_throttle = v.tx_throttle;
  p.tx_rate = v.tx_rate;
  p.tx_rate_unit = v.tx_rate_unit;
  p.rx_throttle = v.rx_throttle;
  p.rx_rate = v.rx_rate;
  p.rx_rate_unit = v.rx_rate_unit;
}

}  // namespace vl
