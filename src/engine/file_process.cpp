#include "engine/file_process.h"

#include <array>
#include <cassert>
#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <memory>
#include <vector>

#include "base/md5.h"
#include "codec/segment_compress.h"
#include "connection/dialogue.h"
#include "connection/segment_upload.h"
#include "engine/cache_decision.h"
#include "engine/run_pipeline.h"
#include "platform/clock.h"
#include "platform/file_read.h"
#include "platform/fs.h"
#include "run/run_control.h"
#include "run/run_log.h"
#include "run/run_texts.h"
#include "run/status.h"
#include "stores/catalog.h"
#include "stores/md5cache.h"
#include "port/controls.h"
#include "port/port.h"

namespace vl {

std::string block_progress_text(uint32_t block, uint32_t blocks, uint32_t percent) {
  return "Block " + std::to_string(block) + " of " + std::to_string(blocks) + " (" +
         std::to_string(percent) + "%)";
}

// The file's block line, made only for a front-end that shows it.
static void block_text_show(uint32_t block, uint32_t blocks, uint32_t percent) {
  if (run_view_shows(kCtlBlockText))
    run_view_text(kCtlBlockText, block_progress_text(block, blocks, percent));
}

void BlockProgress::show(uint32_t k) {
  accumulator += 100;
  uint32_t percent = blocks ? accumulator / blocks : 0;
  block_text_show(k, blocks, percent);
  run_view_progress_pos(kCtlFileProgress, k);
}

void files_show(uint64_t count) { counter_show(kCtlFiles, count); }
void files_skipped_show(uint64_t count) { counter_show(kCtlFilesSkipped, count); }
void bytes_total_show(uint64_t count) { counter_show(kCtlBytesTotal, count); }
void bytes_skipped_show(uint64_t count) { counter_show(kCtlBytesSkipped, count); }

namespace {

// One file whose blocks are still with the server. Its cache entry is completed only when every
// block is held and linked, the read went to the end and the file did not change meanwhile: a
// digest the server never got must never reach the cache.
struct FileJob : std::enable_shared_from_this<FileJob> {
  RunContext& ctx;
  RunPipeline& pipe;
  std::string path;
  PathBase base;                        // the walk's when the job began, for reading again
  PendingCacheFile* pending = nullptr;  // read files; valid until the next flush
  uint32_t cache_id = 0;                // files whose digests came from the cache
  int outstanding = 0;                  // segments not yet ended
  bool read_done = false;
  bool cacheable = true;
  bool link_refused = false;
  // Cached files: " skipped.\n" and any refused link, after the walk line.
  LogSlot tail = kNoLogSlot;
  std::string tail_text;

  FileJob(RunContext& c, RunPipeline& r, std::string p)
      : ctx(c), pipe(r), path(std::move(p)), base(r.base) {}

  void maybe_finish() {
    if (!read_done || outstanding > 0) return;
    if (pending && cacheable) md5cache_pending_file_done(pending);
    else if (pending) md5cache_pending_file_drop(pending);
    // Digests the server would not link are no longer trusted: the next run reads the file.
    if (cache_id && link_refused) md5cache_segs_delete_all(cache_id, ctx.cancel.token());
    if (tail != kNoLogSlot) {
      run_log_append(ctx, tail, tail_text);
      run_log_close(ctx, tail);
      tail = kNoLogSlot;
    }
  }

  // A segment's dialogue ended: a refused link leaves the block out of the backup.
  void segment_ended(LogSlot slot, SegmentEnd how) {
    if (how == SegmentEnd::link_refused) {
      const std::string line =
          "Error: The server refused to link a segment of " + log_name(path) + "\n";
      if (slot != kNoLogSlot)
        run_log_append(ctx, slot, line);
      else
        tail_text += line;
      ++ctx.stats.errors;
      link_refused = true;
    }
    if (how != SegmentEnd::linked) cacheable = false;
    --outstanding;
    maybe_finish();
  }

  // The link of a block the cache named ended. A refused one means that the server does not hold
  // what the cache says (it lost the segment, in a crash say): the block is read from the file
  // again and sent in full by the worker (RunPipeline::heal_pending), never from inside the
  // dialogue that is telling us. The segment stays outstanding until then.
  void cached_link_ended(uint64_t offset, const Segment& seg, SegmentEnd how) {
    if (how != SegmentEnd::link_refused) {
      segment_ended(kNoLogSlot, how);
      return;
    }
    std::array<uint8_t, 16> digest;
    std::memcpy(digest.data(), seg.digest, 16);
    pipe.heals.push_back([self = shared_from_this(), offset, size = seg.size, digest] {
      return self->heal(offset, size, digest.data());
    });
  }

  // Reads the block at offset again and sends it (query, upload, link) when it still has the
  // digest the cache gave; otherwise, or when its link is refused again, it is the error it was.
  // Returns 0, or kFileCancelled when the dialogue cannot go on.
  int heal(uint64_t offset, uint32_t size, const uint8_t digest[16]) {
    auto block = std::make_shared<std::vector<uint8_t>>(size);
    uint8_t read_digest[16];
    const bool same = file_read_at(path, offset, block->data(), size, base) == size &&
                      (md5_digest(block->data(), size, read_digest), true) &&
                      std::memcmp(read_digest, digest, 16) == 0;
    if (!same) {
      segment_ended(kNoLogSlot, SegmentEnd::link_refused);
      return 0;
    }
    tail_text += "Sent again: a segment of " + log_name(path) + " the server no longer held\n";
    auto packed = std::make_shared<std::vector<uint8_t>>(compress_capacity(size));
    auto made = std::make_shared<SegmentPayload>();
    segment_payload_make(block->data(), size, packed->data(), packed->size(), made.get());
    auto seg = std::make_shared<Segment>();
    std::memcpy(seg->digest, digest, 16);
    seg->size = size;
    seg->payload = [block, packed, made](SegmentPayload* p) {
      *p = *made;
      return true;
    };
    seg->release = [] {};
    seg->ended = [self = shared_from_this()](Segment&, SegmentEnd how) {
      --self->pipe.heals_in_flight;
      self->segment_ended(kNoLogSlot, how);
    };
    ++pipe.heals_in_flight;
    return pipe.dialogue.submit(seg) != 0 ? dialogue_stopped(ctx, pipe) : 0;
  }
};

// The cached blocks of cache entry `id` from offset 0 on, `blocksize` apart, until one is missing.
std::vector<CachedBlock> cached_blocks(uint32_t id, uint32_t blocksize) {
  std::vector<CachedBlock> blocks;
  for (const CacheBlock& c : md5cache_blocks_get(id, blocksize)) {
    CachedBlock block;
    block.offset = c.offset;
    block.size = c.size;
    std::memcpy(block.digest.data(), c.digest, 16);
    blocks.push_back(block);
  }
  return blocks;
}

// Has the complete cache entries written once enough files are pending. Files still with the
// server stay pending: their entries are completed (or dropped) when their last answer comes.
void cache_flush_when_due(RunPipeline& pipe) {
  if (md5cache_flush_due()) pipe.cache.hand_over();
}

void file_done_counters(RunContext& ctx) { files_skipped_show(++ctx.stats.files_skipped); }

// Links every cached block of a file whose digests the cache covers. Returns 0 or kFileCancelled.
int links_send(RunContext& ctx, RunPipeline& pipe, const std::shared_ptr<FileJob>& job,
               uint32_t file_id, const std::vector<CachedBlock>& blocks, uint32_t n) {
  job->tail = run_log_reserve(ctx);
  BlockProgress progress{n};
  uint32_t i = 0;
  for (const CachedBlock& block : blocks) {
    pause_wait(ctx);
    if (ctx.cancel == 1) return kFileCancelled;
    pipe.rows.block(file_id, block.offset, block.size, block.digest.data());
    auto seg = std::make_shared<Segment>();
    std::memcpy(seg->digest, block.digest.data(), 16);
    seg->size = block.size;
    seg->link_only = true;
    seg->ended = [job, offset = block.offset](Segment& s, SegmentEnd how) {
      job->cached_link_ended(offset, s, how);
    };
    ++job->outstanding;
    if (pipe.dialogue.submit(seg) != 0) return dialogue_stopped(ctx, pipe);
    if (n > 1) progress.show(i++);
  }
  job->tail_text = " skipped.\n" + job->tail_text;
  job->read_done = true;
  job->maybe_finish();
  return 0;
}

// Opens the file's source. False, after the warning, when it cannot be opened or is not the file
// the walk saw: a link or a FIFO put in its place is never read through, and a file that cannot
// be opened is not skipped without a trace. Its catalog row then holds no bytes.
bool source_open(RunContext& ctx, RunPipeline& pipe, BlockSource& source, const FileJob& job,
                 const FileStat& st, uint32_t file_id) {
  FileStat opened;
  const int err = source.open(&opened);
  const bool swapped = err == ELOOP || (err == 0 && (opened.kind != FileKind::regular ||
                                                     opened.dev != st.dev || opened.ino != st.ino));
  if (!swapped && err == 0) return true;
  run_log(ctx, swapped ? "\nWarning: File changed while being read: %s\n"
                       : "\nWarning: Failed to open file: %s\n",
          log_name(job.path).c_str());
  ++ctx.stats.warnings;
  pipe.rows.size(file_id, 0);
  return false;
}

// Hands one block of the file at offset to the dialogue: its cache entry, its catalog row and its
// segment. Returns 0, or kFileCancelled when the dialogue cannot go on.
int block_submit(RunContext& ctx, RunPipeline& pipe, const std::shared_ptr<FileJob>& job,
                 BlockSource& source, SourceBlock& block, uint32_t file_id, uint64_t offset) {
  md5cache_pending_block_add(job->pending, offset, block.size, block.digest);
  pipe.rows.block(file_id, offset, block.size, block.digest);
  auto seg = std::make_shared<Segment>();
  std::memcpy(seg->digest, block.digest, 16);
  seg->size = block.size;
  seg->slot = run_log_reserve(ctx);
  seg->payload = std::move(block.payload);
  seg->release = std::move(block.release);
  source.compress_soon(block);
  seg->ended = [job](Segment& s, SegmentEnd how) { job->segment_ended(s.slot, how); };
  ++job->outstanding;
  return pipe.dialogue.submit(seg) != 0 ? dialogue_stopped(ctx, pipe) : 0;
}

// The file after its read: a read error, or a change (it ended early, or its size or times moved:
// a rewrite that puts its modification time back still moves its change time), is warned about,
// and its digests never reach the cache.
void read_checked(RunContext& ctx, FileJob& job, BlockSource& source, const FileStat& st,
                  bool ended_early) {
  FileStat after;
  const bool changed = ended_early || !source.stat_after(&after) || after.size != st.size ||
                       after.t_modify != st.t_modify || after.change_ns != st.change_ns;
  if (!source.error() && !changed) return;
  run_log(ctx, source.error() ? "Warning: Failed to read file: %s\n"
                              : "Warning: File changed while being read: %s\n",
          log_name(job.path).c_str());
  ++ctx.stats.warnings;
  job.cacheable = false;
}

// Reads the file in blocks up to the size the walk recorded (or takes the read-ahead thread's
// result for it), handing each to the dialogue. Returns 0, kFileCancelled or kFileRunFailed.
int blocks_read(RunContext& ctx, RunPipeline& pipe, const std::shared_ptr<FileJob>& job,
                const FileStat& st, uint32_t file_id, uint32_t n, uint32_t now) {
  pipe.read_ahead.reading();
  std::unique_ptr<BlockSource> source = block_source_for(ctx, pipe, job->path, st);
  if (!source_open(ctx, pipe, *source, *job, st, file_id)) return 0;
  // The server may be waiting for the data of an upload it has just accepted.
  if (pipe.dialogue.poll() != 0) return dialogue_stopped(ctx, pipe);
  // A file of many blocks takes a while: the look-ups' read transaction is not kept through it.
  if (st.size > kFileBlockSize) md5cache_read_end();
  job->pending = md5cache_pending_file_new(job->path, st.size, kFileBlockSize,
                                           cache_settled_mtime(st.t_modify, now), now);
  run_log(ctx, " ");
  uint32_t j = 0;
  uint64_t offset = 0;
  bool ended_early = false;
  BlockProgress progress{n};
  while (offset < st.size && !ended_early) {
    pause_wait(ctx);
    if (ctx.cancel == 1) return kFileCancelled;
    const uint64_t left = st.size - offset;
    const uint32_t want = left < kFileBlockSize ? static_cast<uint32_t>(left) : kFileBlockSize;
    SourceBlock block;
    if (int r = source->next(want, &block); r != 0) return r;
    if (int32_t delay = ctx.profile->block_delay_ms; delay > 0)
      run_delay_ms(ctx, static_cast<uint32_t>(delay));
    if (block.size == 0) {
      ended_early = !source->error();
      break;
    }
    if (pipe.dialogue.poll() != 0) return dialogue_stopped(ctx, pipe);
    if (n > 1) {
      ++j;
      run_log(ctx, "(%u/%u) ", j, n);
      progress.show(j - 1);
    }
    if (int r = block_submit(ctx, pipe, job, *source, block, file_id, offset); r != 0) return r;
    offset += block.size;
    ended_early = block.size < want;
  }
  if (offset == 0) run_log(ctx, "\n");  // nothing was read: end the item's line all the same
  block_text_show(j, n, 100);
  run_view_progress_pos(kCtlFileProgress, n > 1 ? j : n);
  read_checked(ctx, *job, *source, st, ended_early);
  // The catalog's row must add up to its segments: a file that ended early is recorded with the
  // bytes that were read.
  if (offset != st.size) pipe.rows.size(file_id, offset);
  job->read_done = true;
  job->maybe_finish();
  ++ctx.stats.files_scanned;
  cache_flush_when_due(pipe);
  return 0;
}

}  // namespace

int file_process(RunContext& ctx, RunPipeline& pipe, const std::string& prefix,
                 const std::string& name, const FileStat* seen) {
  assert(ctx.profile && "files are processed during a run's walk");
  if (!pipe.heals.empty() && pipe.heal_pending() != 0) return dialogue_stopped(ctx, pipe);
  const uint32_t now = static_cast<uint32_t>(clock_now());
  ctx.stats.file_bytes_sent = 0;
  const std::string path = prefix + name;

  FileStat st;
  if (seen) {
    st = *seen;
  } else if (!file_stat(path, &st)) {
    run_log(ctx, "Warning: Failed to stat file: %s\n", log_name(path).c_str());
    ++ctx.stats.warnings;
    return 0;
  }
  files_show(++ctx.stats.files);
  bytes_total_show(ctx.stats.bytes_total += st.size);

  const uint32_t n = static_cast<uint32_t>((st.size + kFileBlockSize - 1) / kFileBlockSize);
  run_view_progress_pos(kCtlFileProgress, 0);
  run_view_progress_range(kCtlFileProgress, 0, n ? n : 1);
  block_text_show(0, n, 0);

  const uint32_t file_id = pipe.rows.file(path, filespec_record(st, 2, 0), kFileBlockSize);
  auto job = std::make_shared<FileJob>(ctx, pipe, path);

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
    if (verdict == CacheVerdict::reuse) {
      job->cache_id = cache_id;
      if (links_send(ctx, pipe, job, file_id, blocks, n) != 0) return kFileCancelled;
      bytes_skipped_show(ctx.stats.bytes_skipped += st.size);
      block_text_show(n > 1 ? n : 0, n, 100);
      run_view_progress_pos(kCtlFileProgress, n);
      file_done_counters(ctx);
      return 0;
    }
    if (verdict != CacheVerdict::absent) {
      block_text_show(0, n, 100);
      run_view_progress_pos(kCtlFileProgress, 0);
    }
  }

  if (st.size == 0) {
    run_log(ctx, "\n");
    file_done_counters(ctx);
    return 0;
  }
  return blocks_read(ctx, pipe, job, st, file_id, n, now);
}

}  // namespace vl
