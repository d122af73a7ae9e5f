// compress2's level-9 stream of a buffer: the bytes every coder here must give.
#pragma once

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <vector>

namespace vl {

inline std::vector<uint8_t> zlib_reference(const std::vector<uint8_t>& in) {
  uLongf len = compressBound(in.size());
  std::vector<uint8_t> out(len);
  EXPECT_EQ(compress2(out.data(), &len, in.data(), in.size(), 9), Z_OK);
  out.resize(len);
  return out;
}

}  // namespace vl
