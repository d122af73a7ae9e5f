// Texts of the run view: counts with thousands separators, elapsed times and transfer rates,
// and the conversion of a stored rate limit to bytes per second. Pure functions, any thread.
#pragma once

#include <cstdint>
#include <string>

namespace vl {

// value with "," between groups of three digits: 1234567 -> "1,234,567". The leading group is
// the whole quotient by 10^9, so 10^12 gives "1000,000,000,000".
std::string count_format(uint64_t value);

// The largest rate limit: the largest positive allowance.
constexpr uint32_t kRateBytesMax = 0x7FFFFFFF;

// A stored rate limit in bytes per second, by unit code: 0 B/s, 1 KB/s, 2 MB/s, 3 bit/s,
// 4 kbit/s, 5 Mbit/s; any other code is 100 bytes per second. A product of 2^31 or more is
// clamped to kRateBytesMax.
uint32_t rate_bytes(uint32_t value, uint32_t unit);

// "%u sec" below 300 seconds, else "%u min" of whole minutes.
std::string elapsed_text(uint32_t seconds);

// "4,095 B/sec " below 4096, "%s KB/sec " below 4194304, else "%s MB/sec " (truncated units,
// followed by one blank).
std::string rate_text(uint32_t bytes_per_sec);

}  // namespace vl
