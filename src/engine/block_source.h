// A file's blocks as the worker hands them to the dialogue, whoever read them: the read-ahead
// thread (a small file read whole, digested and compressed beforehand) or the worker itself,
// block by block into the run's block buffers. Worker thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "connection/dialogue.h"
#include "platform/fs.h"
#include "run/run_context.h"

namespace vl {

struct RunPipeline;

// Results of the processing of a file besides 0 (done, whatever became of the file).
constexpr int kFileCancelled = 1;  // the run was cancelled, or the dialogue cannot go on
constexpr int kFileRunFailed = 2;  // no memory for a block: the run must end as failed

// One block of a file: its size (0: none, the file ended or a read failed), its digest, and how
// the dialogue gets its payload and gives it back.
struct SourceBlock {
  uint32_t size = 0;
  uint8_t digest[16] = {};
  std::function<bool(SegmentPayload*)> payload;
  std::function<void()> release;
};

class BlockSource {
 public:
  virtual ~BlockSource() = default;
  // Opens the file: 0, or the errno of the failure (ELOOP: a link stands in its place). *opened
  // is what was opened.
  virtual int open(FileStat* opened) = 0;
  // The next block, of at most want bytes. Returns 0 (b->size 0 at the end), kFileCancelled or
  // kFileRunFailed (after run_abort).
  virtual int next(uint32_t want, SourceBlock* b) = 0;
  // Has the block's payload made soon, off the path of its upload; the block is about to go to
  // the dialogue.
  virtual void compress_soon(SourceBlock&) {}
  // True when a read failed.
  virtual bool error() const = 0;
  // What the file is after the read; false when that cannot be said.
  virtual bool stat_after(FileStat* after) = 0;
};

// The read-ahead thread's result for path when it read the file the walk saw (st: the same
// device, inode, size, modification and change time before and after its read), else the worker's own
// read through the pipeline's block buffers.
std::unique_ptr<BlockSource> block_source_for(RunContext& ctx, RunPipeline& pipe,
                                              const std::string& path, const FileStat& st);

// Stops the walk when the dialogue cannot go on for a reason of its own (a refused login ends the
// run as failed). Returns kFileCancelled.
int dialogue_stopped(RunContext& ctx, RunPipeline& pipe);

}  // namespace vl
