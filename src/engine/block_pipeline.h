// The blocks of a run between the read and the wire: at most kBlocksInFlight buffers of at most
// kBlockBytesInFlight bytes together, each holding one block read from a file (a buffer is as
// large as the block it was made for) and, once a compression thread has been at it, its level-9
// stream.
// Blocks are read and digested in order by the worker; compression runs beside the dialogue on a
// small pool of threads and may start before the server has said whether it lacks the block.
//
// Memory stays bounded whatever the tree: a buffer is taken for each block read and given back
// when the server holds the block, so the worker waits for the dialogue once all are in flight.
// Small blocks take small buffers: many of them can be in flight over several sessions, where a
// small file costs a round trip or two before the server holds it.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "connection/dialogue.h"
#include "platform/worker_thread.h"
#include "run/run_context.h"

namespace vl {

constexpr int kBlocksInFlight = 512;
constexpr size_t kBlockBytesInFlight = 16u << 20;
constexpr int kCompressThreadsMax = 4;

// Compression threads for a run: as many as there are cores, at most kCompressThreadsMax, and one
// at the idle priority (code 0) so that an idle backup takes one core at most.
int compress_threads_for(uint32_t priority_code, unsigned cores);

// Test builds: a fixed number of compression threads for every run (0: the one-thread run);
// -1 (the default) lets compress_threads_for decide. Set at start-up.
void compress_threads_override_set(int threads);
int compress_threads_override();

#ifdef VORNLAKE_FAULT_HOOKS
// Test builds: every block buffer allocation fails (as when memory runs out).
void block_alloc_fail_set(bool fail);
bool block_alloc_fails();
#endif

struct BlockBuffer;

class BlockPipeline {
 public:
  explicit BlockPipeline(RunContext& ctx);
  // stop(), and frees the buffers.
  ~BlockPipeline();

  // Starts `threads` compression threads (0: no pool; a block is compressed on the worker when
  // its upload is sent, the one-thread run). They take the profile's priority, register in
  // ctx.helper_tids and report a failure of their own to the run (run_abort). False, with
  // *error, when one cannot be started (those started are stopped again).
  bool start(int threads, std::string* error);

  // Stops the threads (a block being compressed is finished first). Idempotent.
  void stop();
  BlockPipeline(const BlockPipeline&) = delete;
  BlockPipeline& operator=(const BlockPipeline&) = delete;

  // A free buffer with room for a block of `size` bytes (waiting for a thread that still
  // compresses a block the dialogue gave back; a cancel ends the wait), or nullptr when the
  // buffers in flight leave no room for it, memory for a new one cannot be had, or the run is
  // cancelled. Worker thread.
  BlockBuffer* acquire(uint32_t size);

  // The block's content: data()[0..capacity), size set by the caller before compress_soon.
  static uint8_t* data(BlockBuffer* b);
  static void set_size(BlockBuffer* b, uint32_t size);

  // Compresses a small block here and now, hands a larger one to the compression threads (nothing
  // without threads: it is compressed when its payload is asked for). Worker thread.
  void compress_soon(BlockBuffer* b);

  // The block's payload, waiting for its compression (or compressing it here without threads).
  // False when the run was cancelled meanwhile. Worker thread.
  bool payload(BlockBuffer* b, SegmentPayload* p);

  // The dialogue no longer needs the block: the buffer is free again once no thread uses it.
  // Worker thread.
  void release(BlockBuffer* b);

 private:
  void thread_main(int index);
  // Compresses the block on the worker, with the worker's scratch buffer.
  void compress_here(BlockBuffer* b);

  RunContext& ctx_;
  mutable std::mutex mu_;
  std::condition_variable work_cv_;      // a block was queued, or stop
  std::condition_variable_any done_cv_;  // a block was compressed (or the run cancelled)
  std::vector<std::unique_ptr<BlockBuffer>> buffers_;
  size_t bytes_ = 0;  // the capacity of buffers_
  std::deque<BlockBuffer*> queue_;
  std::vector<std::unique_ptr<WorkerThread>> threads_;
  bool stop_ = false;
  size_t compressed_ = 0;  // blocks the threads have compressed so far
  std::unique_ptr<uint8_t[]> worker_scratch_;  // compression on the worker
};

}  // namespace vl
