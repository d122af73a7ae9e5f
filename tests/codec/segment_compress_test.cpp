// The kept deflate state gives exactly compress2's level-9 output.
#include "codec/segment_compress.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <thread>
#include <vector>

#include "zlib_reference.h"

namespace vl {
namespace {

std::vector<uint8_t> ours(const std::vector<uint8_t>& in) {
  std::vector<uint8_t> out(compress_capacity(static_cast<uint32_t>(in.size())));
  size_t len = 0;
  EXPECT_TRUE(segment_compress(in.data(), static_cast<uint32_t>(in.size()), out.data(), out.size(), &len));
  out.resize(len);
  return out;
}

std::vector<uint8_t> random_block(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = static_cast<uint8_t>(rng());
  return v;
}

std::vector<uint8_t> text_block(size_t n) {
  static const char* words[] = {"backup ", "segment ", "catalog ", "digest\n", "the ", "of "};
  std::vector<uint8_t> v;
  std::mt19937 rng(7);
  while (v.size() < n) {
    const char* w = words[rng() % 6];
    v.insert(v.end(), w, w + std::char_traits<char>::length(w));
  }
  v.resize(n);
  return v;
}

TEST(SegmentCompress, SameBytesAsCompress2AcrossResets) {
  std::vector<std::vector<uint8_t>> inputs = {
      std::vector<uint8_t>(1048576, 0), random_block(1048576, 1), text_block(1048576),
      {},                               random_block(1, 2),       text_block(4097),
      std::vector<uint8_t>(1048576, 0),  // again after other content: the reset is complete
  };
  for (const auto& in : inputs) EXPECT_EQ(ours(in), zlib_reference(in)) << in.size();
}

TEST(SegmentCompress, CapacityAndSmallBuffers) {
  EXPECT_EQ(compress_capacity(1048576), 1056784u);
  EXPECT_EQ(compress_capacity(0), 16u);
  // A random block does not shrink but still fits in the capacity.
  auto rnd = random_block(65536, 3);
  EXPECT_GT(ours(rnd).size(), rnd.size());
  // A buffer too small is a failure, and the next segment is compressed correctly all the same.
  std::vector<uint8_t> small(100);
  size_t len = 0;
  EXPECT_FALSE(segment_compress(rnd.data(), static_cast<uint32_t>(rnd.size()), small.data(), small.size(), &len));
  auto text = text_block(100000);
  EXPECT_EQ(ours(text), zlib_reference(text));
}

TEST(SegmentCompress, EachThreadHasItsOwnState) {
  auto a = text_block(300000);
  auto b = random_block(300000, 9);
  std::vector<uint8_t> ra, rb;
  std::thread t1([&] { for (int i = 0; i < 5; ++i) ra = ours(a); });
  std::thread t2([&] { for (int i = 0; i < 5; ++i) rb = ours(b); });
  t1.join();
  t2.join();
  EXPECT_EQ(ra, zlib_reference(a));
  EXPECT_EQ(rb, zlib_reference(b));
}

}  // namespace
}  // namespace vl
