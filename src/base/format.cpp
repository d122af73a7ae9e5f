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
  switch (unit) {
    case 0: return value;
    case 1: return value * 1024u;
    case 2: return value * 1048576u;
    case 3: return value / 8u;
    case 4: return (value * 1024u) / 8u;
    case 5: return (value * 1048576u) / 8u;
    default: return 100;
  }
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
