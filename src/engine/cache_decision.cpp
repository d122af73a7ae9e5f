#include "engine/cache_decision.h"

#include <cstddef>

namespace vl {

CacheVerdict cache_decide(const CacheFileInfo& entry, uint64_t size, uint32_t t_modify, uint32_t now) {
  if (entry.blocksize == 0) return CacheVerdict::absent;
  if (entry.size != size || entry.t_modify != t_modify) return CacheVerdict::changed;
  if (entry.t_lastcheck > now) return CacheVerdict::skew;
  if (now - entry.t_lastcheck > kCacheReuseWindow) return CacheVerdict::expired;
  return CacheVerdict::reuse;
}

bool cache_blocks_cover(const std::vector<CachedBlock>& blocks, uint32_t blocksize, uint64_t file_size) {
  uint64_t expected = 0;
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    if (blocks[i].offset != expected) return false;
    if (i + 1 < blocks.size() && blocks[i].size != blocksize) return false;
    expected += blocks[i].size;
  }
  if (file_size > 0 && blocks.empty()) return false;
  return expected == file_size;
}

uint32_t cache_settled_mtime(uint32_t t_modify, uint32_t now) {
  int64_t age = static_cast<int64_t>(static_cast<int32_t>(now)) - static_cast<int64_t>(static_cast<int32_t>(t_modify));
  return age > 5 ? t_modify : 0;
}

}  // namespace vl
