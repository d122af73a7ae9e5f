#include "engine/cache_writer.h"

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "run/run_control.h"
#include "stores/md5cache.h"

namespace vl {
namespace {

// Hand-overs waiting for the writer; the worker waits beyond this (a bound on their memory).
constexpr size_t kQueuedBatchesMax = 2;

class CacheWriter {
 public:
  explicit CacheWriter(RunContext& ctx) : ctx_(ctx) { thread_ = std::thread([this] { run(); }); }

  ~CacheWriter() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      stop_ = true;
    }
    work_cv_.notify_one();
    thread_.join();
    ctx_.helper_tids[kHelperSlotCache] = 0;
  }

  void push(CacheBatch batch) {
    std::unique_lock<std::mutex> lock(mu_);
    space_cv_.wait(lock, [this] { return queue_.size() < kQueuedBatchesMax; });
    queue_.push_back(std::move(batch));
    work_cv_.notify_one();
  }

 private:
  void run() {
    helper_thread_register(ctx_, kHelperSlotCache);
    std::unique_lock<std::mutex> lock(mu_);
    for (;;) {
      work_cv_.wait(lock, [this] { return stop_ || !queue_.empty(); });
      if (queue_.empty()) return;  // stopped, and everything written
      CacheBatch batch = std::move(queue_.front());
      lock.unlock();
      md5cache_batch_write(batch);
      lock.lock();
      queue_.pop_front();  // only now: a full queue holds up the worker until this one is written
      space_cv_.notify_all();
    }
  }

  RunContext& ctx_;
  std::thread thread_;
  std::mutex mu_;
  std::condition_variable work_cv_, space_cv_;
  std::deque<CacheBatch> queue_;
  bool stop_ = false;
};

std::unique_ptr<CacheWriter> g_cache_writer;

}  // namespace

void cache_writer_start(RunContext& ctx) {
  if (!g_cache_writer) g_cache_writer = std::make_unique<CacheWriter>(ctx);
}

void cache_writer_hand_over() {
  CacheBatch batch = md5cache_pending_take();
  if (batch.empty()) return;
  if (g_cache_writer) {
    g_cache_writer->push(std::move(batch));
    return;
  }
  md5cache_read_end();  // a read kept open here would hold up the write on the other connection
  md5cache_batch_write(batch);
}

void cache_writer_stop() { g_cache_writer.reset(); }

}  // namespace vl
