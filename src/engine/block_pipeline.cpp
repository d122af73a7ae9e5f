#include "engine/block_pipeline.h"

#include <atomic>
#include <cstring>
#include <new>

#include "codec/segment_compress.h"
#include "connection/segment_upload.h"
#include "run/run_control.h"
#include "engine/catalog_rows.h"

namespace vl {

// A buffer's life: free -> filled (taken by the worker) -> queued -> compressing -> compressed;
// the dialogue's release returns it to free, at once or when its compression ends.
enum class BlockState { free, filled, queued, compressing, compressed };

struct BlockBuffer {
  std::unique_ptr<uint8_t[]> data;  // the content, then the stream that replaces it
  uint32_t capacity = 0;
  uint32_t size = 0;
  BlockState state = BlockState::free;
  bool released = false;  // the dialogue is done with it while a thread compresses it
  SegmentPayload payload;
};

// Blocks below this size are compressed on the worker as soon as they are read: handing them to a
// thread costs more than compressing them, and done then it is off the path of the upload (the
// server waits for the data of an upload it has accepted).
constexpr uint32_t kInlineCompressMax = 65536;

// Compresses the block through scratch and, when the stream is the payload, copies it over the
// content, which is not needed any more (its digest is taken): a block in flight holds one
// buffer, not two.
static void compress_in_place(BlockBuffer* b, uint8_t* scratch, size_t cap) {
  segment_payload_make(b->data.get(), b->size, scratch, cap, &b->payload);
  if (b->payload.compressed) std::memcpy(b->data.get(), scratch, b->payload.len);
  b->payload.bytes = b->data.get();
}

static std::atomic<int> g_threads_override{-1};
#ifdef VORNLAKE_FAULT_HOOKS
static std::atomic<bool> g_alloc_fails{false};
void block_alloc_fail_set(bool fail) { g_alloc_fails = fail; }
bool block_alloc_fails() { return g_alloc_fails; }
#endif

void compress_threads_override_set(int threads) { g_threads_override = threads; }
int compress_threads_override() { return g_threads_override.load(); }

int compress_threads_for(uint32_t priority_code, unsigned cores) {
  if (priority_code == 0) return 1;
  int n = cores == 0 ? 1 : static_cast<int>(cores);
  return n > kCompressThreadsMax ? kCompressThreadsMax : n;
}

BlockPipeline::BlockPipeline(RunContext& ctx) : ctx_(ctx) {}

BlockPipeline::~BlockPipeline() { stop(); }

bool BlockPipeline::start(int threads, std::string* error) {
  if (threads > kCompressThreadsMax) threads = kCompressThreadsMax;
  for (int i = 0; i < threads; ++i) {
    auto t = std::make_unique<WorkerThread>();
    if (!t->start(
            "compression", [this, i] { thread_main(i); },
            [this](const std::string& why) { run_abort(ctx_, kAbortRunThread, why); }, error)) {
      stop();
      return false;
    }
    threads_.push_back(std::move(t));
  }
  return true;
}

void BlockPipeline::stop() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stop_ = true;
    queue_.clear();
  }
  work_cv_.notify_all();
  for (auto& t : threads_) t->join();
  for (size_t i = 0; i < threads_.size(); ++i) ctx_.helper_tids[i] = 0;
  threads_.clear();
}

void BlockPipeline::thread_main(int index) {
  const size_t cap = compress_capacity(kFileBlockSize);
  std::unique_ptr<uint8_t[]> scratch(new (std::nothrow) uint8_t[cap]);
  helper_thread_register(ctx_, index);
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    work_cv_.wait(lock, [this] { return stop_ || !queue_.empty(); });
    if (stop_) return;
    BlockBuffer* b = queue_.front();
    queue_.pop_front();
    b->state = BlockState::compressing;
    lock.unlock();
    compress_in_place(b, scratch.get(), scratch ? cap : 0);
    lock.lock();
    if (b->released) {
      b->released = false;
      b->state = BlockState::free;
    } else {
      b->state = BlockState::compressed;
    }
    ++compressed_;
    done_cv_.notify_all();
  }
}

BlockBuffer* BlockPipeline::acquire(uint32_t size) {
  std::unique_lock<std::mutex> lock(mu_);
#ifdef VORNLAKE_FAULT_HOOKS
  if (g_alloc_fails) return nullptr;
#endif
  auto room = [&] {
    return bytes_ + size <= kBlockBytesInFlight && buffers_.size() < static_cast<size_t>(kBlocksInFlight);
  };
  for (;;) {
    bool finishing = false;  // a buffer given back while a thread still compresses it
    BlockBuffer* fit = nullptr;
    for (auto& b : buffers_) {
      if (b->state == BlockState::free && b->capacity >= size &&
          (!fit || b->capacity < fit->capacity))
        fit = b.get();
      finishing = finishing || (b->state == BlockState::compressing && b->released);
    }
    if (fit) {
      fit->state = BlockState::filled;
      fit->size = 0;
      return fit;
    }
    // Free buffers too small for this block make room for one that is large enough.
    if (!room()) {
      std::erase_if(buffers_, [this](const std::unique_ptr<BlockBuffer>& b) {
        if (b->state != BlockState::free) return false;
        bytes_ -= b->capacity;
        return true;
      });
    }
    if (room() || !finishing) break;
    if (ctx_.cancel == 1) return nullptr;
    const size_t done = compressed_;
    done_cv_.wait(lock, ctx_.cancel.token(), [&] { return compressed_ != done; });
  }
  if (!room()) return nullptr;
  auto b = std::make_unique<BlockBuffer>();
  b->data.reset(new (std::nothrow) uint8_t[size]);
  if (!b->data) return nullptr;
  b->capacity = size;
  b->state = BlockState::filled;
  bytes_ += size;
  buffers_.push_back(std::move(b));
  return buffers_.back().get();
}

uint8_t* BlockPipeline::data(BlockBuffer* b) { return b->data.get(); }

void BlockPipeline::set_size(BlockBuffer* b, uint32_t size) { b->size = size; }

void BlockPipeline::compress_soon(BlockBuffer* b) {
  if (b->size < kInlineCompressMax) {
    compress_here(b);
    return;
  }
  if (threads_.empty()) return;
  {
    std::lock_guard<std::mutex> lock(mu_);
    b->state = BlockState::queued;
    queue_.push_back(b);
  }
  work_cv_.notify_one();
}

void BlockPipeline::compress_here(BlockBuffer* b) {
  const size_t cap = compress_capacity(kFileBlockSize);
  if (!worker_scratch_) worker_scratch_.reset(new (std::nothrow) uint8_t[cap]);
  compress_in_place(b, worker_scratch_.get(), worker_scratch_ ? cap : 0);
  std::lock_guard<std::mutex> lock(mu_);
  b->state = BlockState::compressed;
}

bool BlockPipeline::payload(BlockBuffer* b, SegmentPayload* p) {
  std::unique_lock<std::mutex> lock(mu_);
  if (b->state == BlockState::filled) {
    lock.unlock();
    compress_here(b);
    lock.lock();
  }
  // The worker waits here for a compression thread; a cancel ends the wait at once.
  if (!done_cv_.wait(lock, ctx_.cancel.token(), [b] { return b->state == BlockState::compressed; }))
    return false;
  *p = b->payload;
  return true;
}

void BlockPipeline::release(BlockBuffer* b) {
  std::lock_guard<std::mutex> lock(mu_);
  switch (b->state) {
    case BlockState::compressing:
      b->released = true;  // the thread frees it when it is done
      break;
    case BlockState::queued:
      for (auto it = queue_.begin(); it != queue_.end(); ++it) {
        if (*it == b) {
          queue_.erase(it);
          break;
        }
      }
      b->state = BlockState::free;
      break;
    default:
      b->state = BlockState::free;
      break;
  }
}

}  // namespace vl
