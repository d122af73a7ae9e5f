#include "engine/block_source.h"

#include <cstring>

#include "base/md5.h"
#include "engine/run_pipeline.h"
#include "platform/file_read.h"
#include "run/run_control.h"

namespace vl {

namespace {

// A small file the read-ahead thread read whole: one block, its payload made already.
class PreparedSource : public BlockSource {
 public:
  explicit PreparedSource(std::shared_ptr<PreparedFile> f) : f_(std::move(f)) {}

  int open(FileStat* opened) override {
    *opened = f_->opened;
    return 0;
  }

  int next(uint32_t, SourceBlock* b) override {
    b->size = done_ ? 0 : f_->size;
    if (done_) return 0;
    done_ = true;
    std::memcpy(b->digest, f_->digest, 16);
    // The result is freed with the segment.
    b->payload = [f = f_](SegmentPayload* p) {
      *p = SegmentPayload{f->compressed, static_cast<uint32_t>(f->payload.size()),
                          f->payload.data(), nullptr};
      return true;
    };
    b->release = [] {};
    return 0;
  }

  bool error() const override { return false; }

  bool stat_after(FileStat* after) override {
    *after = f_->after;
    return true;
  }

 private:
  std::shared_ptr<PreparedFile> f_;
  bool done_ = false;
};

// The worker's own read, a block at a time into a buffer of the pipeline.
class FileSource : public BlockSource {
 public:
  FileSource(RunContext& ctx, RunPipeline& pipe, const std::string& path)
      : ctx_(ctx), pipe_(pipe), path_(path) {}

  int open(FileStat* opened) override { return file_.open(path_, opened, pipe_.base); }

  int next(uint32_t want, SourceBlock* out) override {
    int result = 0;
    BlockBuffer* b = take(want, &result);
    if (!b) return result;
    const uint32_t count = static_cast<uint32_t>(file_.read(BlockPipeline::data(b), want));
    out->size = 0;
    if (file_.error() || count == 0) {
      pipe_.blocks.release(b);
      return 0;
    }
    BlockPipeline::set_size(b, count);
    md5_digest(BlockPipeline::data(b), count, out->digest);
    out->size = count;
    BlockPipeline& blocks = pipe_.blocks;
    out->payload = [&blocks, b](SegmentPayload* p) { return blocks.payload(b, p); };
    out->release = [&blocks, b] { blocks.release(b); };
    buffer_ = b;
    return 0;
  }

  void compress_soon(SourceBlock&) override { pipe_.blocks.compress_soon(buffer_); }

  bool error() const override { return file_.error(); }

  bool stat_after(FileStat* after) override { return file_.stat_now(after); }

 private:
  // A buffer for the next block, waiting for the dialogue while all are in flight. nullptr with
  // *result set when the run is cancelled or no memory can be had.
  BlockBuffer* take(uint32_t want, int* result) {
    Dialogue& dialogue = pipe_.dialogue;
    for (;;) {
      if (BlockBuffer* b = pipe_.blocks.acquire(want)) return b;
      // acquire gives up at once on a cancel: that is not a shortage of memory.
      if (ctx_.cancel == 1) {
        *result = kFileCancelled;
        return nullptr;
      }
      if (dialogue.in_flight() == 0) {
        // Nothing to wait for, and still no buffer: the memory is not there. The run ends as
        // failed with its box (never an exit from this thread).
        run_abort(ctx_, kAbortNoMemory);
        *result = kFileRunFailed;
        return nullptr;
      }
      // At least one more answer, which may give a buffer back.
      const uint64_t read = dialogue.replies_read();
      if (dialogue.wait_until([&] { return dialogue.replies_read() > read; }) != 0) {
        *result = dialogue_stopped(ctx_, pipe_);
        return nullptr;
      }
    }
  }

  RunContext& ctx_;
  RunPipeline& pipe_;
  const std::string& path_;  // the file job's, which outlives the source
  ReadFile file_;
  BlockBuffer* buffer_ = nullptr;  // the last block read
};

}  // namespace

int dialogue_stopped(RunContext& ctx, RunPipeline& pipe) {
  if (pipe.dialogue.login_refused()) run_abort(ctx, kAbortLoginRefused);
  return kFileCancelled;
}

std::unique_ptr<BlockSource> block_source_for(RunContext& ctx, RunPipeline& pipe,
                                              const std::string& path, const FileStat& st) {
  std::shared_ptr<PreparedFile> f;
  if (st.size <= kPreparedFileMax) f = pipe.read_ahead.take(path);
#ifdef VORNLAKE_FAULT_HOOKS
  // The worker's own read is to meet the fault; with no memory for blocks, none for results.
  if (fs_fault_hooked(path) || block_alloc_fails()) f.reset();
#endif
  if (f) {
    const FileStat& o = f->opened;
    const bool same = o.dev == st.dev && o.ino == st.ino && o.size == st.size &&
                      o.t_modify == st.t_modify && o.change_ns == st.change_ns &&
                      f->after.size == st.size && f->after.t_modify == st.t_modify &&
                      f->after.change_ns == st.change_ns;
    if (same) return std::make_unique<PreparedSource>(std::move(f));
  }
  return std::make_unique<FileSource>(ctx, pipe, path);
}

}  // namespace vl
