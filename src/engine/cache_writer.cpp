#include "engine/cache_writer.h"

#include <deque>

#include "platform/worker_queue.h"
#include "run/run_control.h"

namespace vl {

// Hand-overs waiting for the writer or being written; the worker waits beyond this (a bound on
// their memory).
constexpr size_t kQueuedBatchesMax = 2;

CacheWriter::CacheWriter(RunContext& ctx) : ctx_(ctx) {}

CacheWriter::~CacheWriter() { stop(); }

bool CacheWriter::start(std::string* error) {
  if (queue_) return true;
  WorkerQueueOptions o;
  o.name = "cache writer";
  o.bound = kQueuedBatchesMax;
  o.take_max = 1;
  o.on_start = [this] { helper_thread_register(ctx_, kHelperSlotCache); };
  o.failed = [this](const std::string& why) { run_abort(ctx_, kAbortRunThread, why); };
  queue_ = std::make_unique<WorkerQueue<CacheBatch>>(std::move(o), [this](std::deque<CacheBatch>& batches) {
    for (CacheBatch& batch : batches) md5cache_batch_write(batch, ctx_.cancel.token());
  });
  if (queue_->start(error)) return true;
  queue_.reset();
  return false;
}

void CacheWriter::hand_over() {
  CacheBatch batch = md5cache_pending_take();
  if (batch.empty()) return;
  if (queue_) {
    queue_->push(std::move(batch), ctx_.cancel.token());
    return;
  }
  md5cache_read_end();  // a read kept open here would hold up the write on the other connection
  md5cache_batch_write(batch, ctx_.cancel.token());
}

void CacheWriter::stop() {
  if (!queue_) return;
  queue_->stop(true);
  queue_.reset();
  ctx_.helper_tids[kHelperSlotCache] = 0;
}

}  // namespace vl
