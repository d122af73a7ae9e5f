// The cache decision and the coverage check of cached digests.
#include <gtest/gtest.h>

#include "engine/cache_decision.h"

namespace vl {
namespace {

constexpr uint32_t kNow = 1800000000;
constexpr uint32_t kBs = 1048576;

TEST(CacheDecide, Table) {
  struct Case {
    const char* name;
    CacheFileInfo entry;
    uint64_t size;
    uint32_t mtime;
    CacheVerdict expected;
  } cases[] = {
      {"fresh and unchanged", {100, 500, kNow - 10, kBs}, 100, 500, CacheVerdict::reuse},
      {"size differs", {100, 500, kNow - 10, kBs}, 101, 500, CacheVerdict::changed},
      {"mtime differs", {100, 500, kNow - 10, kBs}, 100, 501, CacheVerdict::changed},
      {"settling entry never matches", {100, 0, kNow - 10, kBs}, 100, 500, CacheVerdict::changed},
      {"made in the future", {100, 500, kNow + 1, kBs}, 100, 500, CacheVerdict::skew},
      {"exactly 90 days old", {100, 500, kNow - 7776000, kBs}, 100, 500, CacheVerdict::reuse},
      {"older than 90 days", {100, 500, kNow - 7776001, kBs}, 100, 500, CacheVerdict::expired},
      {"blocksize 0 counts as absent", {100, 500, kNow - 10, 0}, 100, 500, CacheVerdict::absent},
  };
  for (const auto& c : cases) EXPECT_EQ(cache_decide(c.entry, c.size, c.mtime, kNow), c.expected) << c.name;
}

TEST(CacheBlocksCover, WholeFilesOnly) {
  EXPECT_TRUE(cache_blocks_cover({{0, kBs}, {kBs, 1}}, kBs, kBs + 1));
  EXPECT_TRUE(cache_blocks_cover({{0, 10}}, kBs, 10));
  EXPECT_TRUE(cache_blocks_cover({}, kBs, 0));
  EXPECT_FALSE(cache_blocks_cover({}, kBs, 10)) << "no block at offset 0";
  EXPECT_FALSE(cache_blocks_cover({{0, kBs}}, kBs, kBs + 1)) << "last block missing";
  EXPECT_FALSE(cache_blocks_cover({{0, 10}, {kBs, 10}}, kBs, 20)) << "gap after a short block";
  EXPECT_FALSE(cache_blocks_cover({{0, kBs}, {kBs, 5}}, kBs, kBs + 4)) << "sizes exceed the file";
}

TEST(CacheSettledMtime, RecentFilesAreRecordedWithZero) {
  EXPECT_EQ(cache_settled_mtime(kNow - 3, kNow), 0u);
  EXPECT_EQ(cache_settled_mtime(kNow - 5, kNow), 0u);
  EXPECT_EQ(cache_settled_mtime(kNow - 6, kNow), kNow - 6);
  EXPECT_EQ(cache_settled_mtime(kNow + 100, kNow), 0u) << "modified in the future";
}

}  // namespace
}  // namespace vl
