#include "base/format.h"

#include <cstdio>

namespace vl {

std::string count_format(uint64_t value) {
  std::string out;
  char group[32];
  bool written = false;
  auto append = [&](uint64_t part) {
    std::snprintf(group, sizeof group, written ? "%03llu" : "%llu",
                  static_cast<unsigned long long>(part));
    out += group;
    written = true;
  };
  if (value >= 1000000000ULL) {
    append(value / 1000000000ULL);
    out += ',';
  }
  if (value >= 1000000ULL) {
    append((value / 1000000ULL) % 1000);
    out += ',';
  }
  if (value >= 1000ULL) {
    append((value / 1000ULL) % 1000);
    out += ',';
  }
  append(value % 1000);
  return out;
}

uint32_t rate_bytes(uint32_t value, uint32_t unit) {
  uint64_t v = value;
  uint64_t bytes;
  switch (unit) {
    case 0: bytes = v; break;
    case 1: bytes = v * 1024u; break;
    case 2: bytes = v * 1048576u; break;
    case 3: bytes = v / 8u; break;
    case 4: bytes = (v * 1024u) / 8u; break;
    case 5: bytes = (v * 1048576u) / 8u; break;
    default: return 100;
  }
  // A limit of 2^31 bytes/s or more would turn the signed allowance negative for ever.
  return bytes > kRateBytesMax ? kRateBytesMax : static_cast<uint32_t>(bytes);
}

std::string elapsed_text(uint32_t seconds) {
  char buf[32];
  if (seconds < 300)
    std::snprintf(buf, sizeof buf, "%u sec", seconds);
  else
    std::snprintf(buf, sizeof buf, "%u min", seconds / 60);
  return buf;
}

std::string rate_text(uint32_t bytes_per_sec) {
  if (bytes_per_sec >= 4194304u) return count_format(bytes_per_sec / 1048576u) + " MB/sec ";
  if (bytes_per_sec >= 4096u) return count_format(bytes_per_sec / 1024u) + " KB/sec ";
  return count_format(bytes_per_sec) + " B/sec ";
}

}  // namespace vl
