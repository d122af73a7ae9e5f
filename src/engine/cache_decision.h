// Whether the block digests of a file can be taken from the block-hash cache. No I/O.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "stores/md5cache.h"

namespace vl {

// Digests older than this (seconds) are not reused.
constexpr uint32_t kCacheReuseWindow = 7776000;  // 90 days

enum class CacheVerdict {
  absent,   // no usable entry: read the file
  changed,  // size or modification time differ: read the file
  skew,     // the entry was made "in the future": log " skew" and read the file
  expired,  // older than the reuse window: read the file
  reuse,    // take the cached digests
};

// The decision for a file of `size` bytes modified at `t_modify`, looked at `now`.
// An entry with blocksize 0 counts as absent.
CacheVerdict cache_decide(const CacheFileInfo& entry, uint64_t size, uint32_t t_modify, uint32_t now);

struct CachedBlock {
  uint64_t offset = 0;
  uint32_t size = 0;
  std::array<uint8_t, 16> digest{};
};

// True when the cached blocks cover the whole file: the first at offset 0, each following one
// where the previous ended, every block but the last a full block, sizes adding up to file_size.
bool cache_blocks_cover(const std::vector<CachedBlock>& blocks, uint32_t blocksize, uint64_t file_size);

// t_modify as the cache records it: 0 when the file was modified less than 6 seconds before `now`
// (or in the future), so that a file still being written never matches its entry.
uint32_t cache_settled_mtime(uint32_t t_modify, uint32_t now);

}  // namespace vl
