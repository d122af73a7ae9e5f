#include "engine/file_process.h"

#include <array>
#include <cassert>
#include <cinttypes>
#include <cstdlib>
#include <memory>
#include <new>
#include <vector>

#include "base/md5.h"
#include "connection/segment_upload.h"
#include "engine/cache_decision.h"
#include "run/run_control.h"
#include "run/run_log.h"
#include "run/status.h"
#include "engine/tree_walk.h"
#include "platform/clock.h"
#include "platform/fs.h"
#include "stores/catalog.h"
#include "stores/md5cache.h"
#include "ui/port/controls.h"
#include "ui/port/port.h"

namespace vl {

std::string block_progress_text(uint32_t block, uint32_t blocks, uint32_t percent) {
  return "Block " + std::to_string(block) + " of " + std::to_string(blocks) + " (" +
         std::to_string(percent) + "%)";
}

void BlockProgress::show(uint32_t k) {
  accumulator += 100;
  uint32_t percent = blocks ? accumulator / blocks : 0;
  run_view_text(kCtlBlockText, block_progress_text(k, blocks, percent));
  run_view_progress_pos(kCtlFileProgress, k);
}

void files_show(uint64_t count) { counter_show(kCtlFiles, count); }
void files_skipped_show(uint64_t count) { counter_show(kCtlFilesSkipped, count); }
void bytes_total_show(uint64_t count) { counter_show(kCtlBytesTotal, count); }
void bytes_skipped_show(uint64_t count) { counter_show(kCtlBytesSkipped, count); }

namespace {

// The block buffer of the worker: one per thread, kept for the run, so that a tree of many small
// files does not map and unmap a megabyte for each of them.
uint8_t* block_buffer() {
  thread_local std::unique_ptr<uint8_t[]> buffer;
  if (!buffer) buffer.reset(new (std::nothrow) uint8_t[kFileBlockSize]);
  return buffer.get();
}

// Collects the cached blocks of cache entry `id` from offset 0 on, `blocksize` apart, until one
// is missing.
std::vector<CachedBlock> cached_blocks(uint32_t id, uint32_t blocksize) {
  std::vector<CachedBlock> blocks;
  CachedBlock block;
  while (md5cache_segs_get_md5(id, block.offset, block.digest.data()) == 0) {
    block.size = md5cache_segs_get_size(id, block.offset);
    blocks.push_back(block);
    block.offset += blocksize;
  }
  return blocks;
}

void file_done_counters(RunContext& ctx) { files_skipped_show(++ctx.stats.files_skipped); }

}  // namespace

int file_process(RunContext& ctx, const std::string& prefix, const std::string& name) {
  assert(ctx.profile && "a run processes files of an opened profile");
  bool needs_read = true;
  bool segs_recorded = false;
  const uint32_t now = static_cast<uint32_t>(clock_now());
  ctx.stats.file_bytes_sent = 0;
  const std::string path = prefix + name;

  FileStat st;
  if (!file_stat(path, &st)) {
    run_log(ctx, "Warning: Failed to stat file: %s\n", path.c_str());
    ++ctx.stats.warnings;
    return 0;
  }
  files_show(++ctx.stats.files);
  bytes_total_show(ctx.stats.bytes_total += st.size);

  const uint32_t n = static_cast<uint32_t>((st.size + kFileBlockSize - 1) / kFileBlockSize);
  run_view_progress_pos(kCtlFileProgress, 0);
  run_view_progress_range(kCtlFileProgress, 0, n ? n : 1);
  run_view_text(kCtlBlockText, block_progress_text(0, n, 0));

  const uint32_t file_id = catalog_filespec_insert(path, filespec_record(st, 2, 0), kFileBlockSize);

  if (uint32_t cache_id = md5cache_filespec_find(path); cache_id != 0) {
    CacheFileInfo info{};
    md5cache_filespec_getdata(cache_id, &info);
    CacheVerdict verdict = cache_decide(info, st.size, st.t_modify, now);
    std::vector<CachedBlock> blocks;
    if (verdict == CacheVerdict::reuse) {
      blocks = cached_blocks(cache_id, info.blocksize);
      // Digests that do not cover the whole file would leave blocks out of the backup.
      if (!cache_blocks_cover(blocks, info.blocksize, st.size)) verdict = CacheVerdict::absent;
    }
    if (verdict == CacheVerdict::skew) run_log(ctx, " skew");
    uint32_t i = 0;
    if (verdict == CacheVerdict::reuse) {
      needs_read = false;
      BlockProgress progress{n};
      for (const CachedBlock& block : blocks) {
        pause_wait(ctx);
        if (ctx.cancel == 1) return 1;
        catalog_seg_insert(file_id, block.offset, block.size, block.digest.data());
        if (server_seg_link(ctx, block.digest.data()) != 0) needs_read = true;
        if (n > 1) progress.show(i++);
      }
      run_log(ctx, " skipped.\n");
      bytes_skipped_show(ctx.stats.bytes_skipped += st.size);
      segs_recorded = true;
    }
    if (verdict != CacheVerdict::absent) {
      run_view_text(kCtlBlockText, block_progress_text(i, n, 100));
      run_view_progress_pos(kCtlFileProgress, i);
    }
  }

  if (st.size == 0) {
    run_log(ctx, "\n");
    file_done_counters(ctx);
    return 0;
  }
  if (!needs_read) {
    file_done_counters(ctx);
    return 0;
  }

  FilePtr file = file_open(path, "rb");
  if (!file) {
    // Skipping it silently would leave the file out of the backup without a trace.
    run_log(ctx, "\nWarning: Failed to open file: %s\n", path.c_str());
    ++ctx.stats.warnings;
    return 0;
  }
  std::setvbuf(file.get(), nullptr, _IONBF, 0);  // read straight into the block buffer
  uint8_t* buffer = block_buffer();
  PendingCacheFile* pending = md5cache_pending_file_new(path, st.size, kFileBlockSize,
                                                        cache_settled_mtime(st.t_modify, now), now);
  if (!buffer) {
    message_box(BoxOwner::none, "Memory alloc failure for file buffer!", "Backup Failure");
    std::exit(1);
  }

  run_log(ctx, " ");
  uint32_t j = 0;
  uint64_t offset = 0;
  BlockProgress progress{n};
  while (!std::feof(file.get()) && !std::ferror(file.get())) {
    size_t count = std::fread(buffer, 1, kFileBlockSize, file.get());
    pause_wait(ctx);
    if (ctx.cancel == 1) return 1;  // the pending entry stays incomplete and is never written
    int32_t delay = ctx.profile->block_delay_ms;
    if (delay > 0) sleep_ms(static_cast<uint32_t>(delay));
    if (count == 0) continue;
    uint8_t digest[16];
    md5_digest(buffer, count, digest);
    md5cache_pending_block_add(pending, offset, static_cast<uint32_t>(count), digest);
    if (!segs_recorded) catalog_seg_insert(file_id, offset, static_cast<uint32_t>(count), digest);
    offset += count;
    if (n > 1) {
      ++j;
      run_log(ctx, "(%u/%u) ", j, n);
      progress.show(j - 1);
    }
    if (server_seg_store(ctx, digest, buffer, static_cast<uint32_t>(count)) != 0)
      run_log(ctx, "Error storing segment! ");
  }
  if (offset == 0) run_log(ctx, "\n");  // nothing was read: end the item's line all the same
  run_view_text(kCtlBlockText, block_progress_text(j, n, 100));
  run_view_progress_pos(kCtlFileProgress, j);
  const bool read_failed = std::ferror(file.get()) != 0;
  file.reset();
  if (read_failed) {
    // A file cut short by a read error must not reach the cache as if it had been read whole.
    run_log(ctx, "Warning: Failed to read file: %s\n", path.c_str());
    ++ctx.stats.warnings;
  } else {
    md5cache_pending_file_done(pending);
  }
  md5cache_flush_if_full();

  ++ctx.stats.files_scanned;
  return 0;
}

}  // namespace vl
