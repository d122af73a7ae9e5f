// One thread with a bounded queue: the shape of every writer a run has beside its worker (the
// catalog rows, the block-hash cache) and of the reference server's segment writer. Producers
// push and go on; the thread takes what is queued in batches and hands each batch to `handle`.
//
// - Bounded: a push waits while the weight queued or being handled reaches `bound`.
// - Woken for work, not for every item: once `wake_items` items or `wake_weight` weight are queued,
//   or by flush and stop. With `linger_ms`, a first item wakes the thread, which then waits that
//   long for company before it handles what is there; what comes while it handles, it handles
//   straight after.
// - Cancel wakes every wait: push and flush return false at once when their stop token is
//   requested, so a producer never waits behind a thread that is stuck.
// - Stopped explicitly: stop(true) handles everything queued first, stop(false) lets it go.
// - A handle that throws fails the queue: the failure goes to `failed` (on the thread), what is
//   queued is let go, and every push and flush after it returns false.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <new>
#include <stop_token>
#include <string>
#include <utility>

#include "platform/worker_thread.h"

namespace vl {

struct WorkerQueueOptions {
  std::string name;                // the thread's name in failure texts ("catalog writer")
  size_t bound = 64;               // weight queued or being handled beyond which push waits
  size_t wake_items = 1;           // items queued that wake the thread
  size_t wake_weight = SIZE_MAX;   // weight queued that wakes the thread
  size_t take_max = SIZE_MAX;      // items given to one call of handle
  int linger_ms = 0;               // see above; 0: the thread waits until it is due
  std::function<void()> on_start;  // on the thread, before anything else (its priority)
  std::function<void(const std::string&)> failed;  // on the thread: "<name>: <reason>"
};

template <class T>
class WorkerQueue {
 public:
  using Handle = std::function<void(std::deque<T>&)>;
  using Weigh = std::function<size_t(const T&)>;

  WorkerQueue(WorkerQueueOptions options, Handle handle, Weigh weigh = {})
      : o_(std::move(options)), handle_(std::move(handle)), weigh_(std::move(weigh)) {}
  ~WorkerQueue() { stop(false); }
  WorkerQueue(const WorkerQueue&) = delete;
  WorkerQueue& operator=(const WorkerQueue&) = delete;

  // Starts the thread. False, with *error (the system's reason), when it cannot be had.
  bool start(std::string* error) {
    return thread_.start(o_.name, [this] { run(); }, o_.failed, error);
  }

  // Queues item, waiting while the queue is full. False when cancel is requested, the queue is
  // stopped or has failed: the item is let go. Producer threads.
  bool push(T item, std::stop_token cancel = {}) {
    const size_t w = weight_of(item);
    std::unique_lock<std::mutex> lock(mu_);
    // The item's own weight aside, so that a heavy one never waits for ever.
    if (!space_cv_.wait(lock, cancel, [&] {
          return stop_ || failed_ || weight_ == 0 || weight_ < o_.bound;
        }))
      return false;
    if (stop_ || failed_) return false;
    weight_ += w;
    queued_weight_ += w;
    queue_.push_back(std::move(item));
    ++enqueued_;
    // A thread woken before it is due would only go back to sleep: a wake-up per item costs more
    // than the item.
    if (due() || (o_.linger_ms > 0 && idle_)) work_cv_.notify_one();
    return true;
  }

  // Wakes the thread and waits until everything queued before the call is handled. False when
  // cancel is requested or the queue has failed. Producer threads.
  bool flush(std::stop_token cancel = {}) {
    std::unique_lock<std::mutex> lock(mu_);
    const uint64_t target = enqueued_;
    ++flushers_;
    work_cv_.notify_one();
    const bool done =
        space_cv_.wait(lock, cancel, [&] { return failed_ || stopped_ || handled_ >= target; });
    --flushers_;
    return done && !failed_ && handled_ >= target;
  }

  // Stops the thread: with drain, once everything queued is handled; else at once, letting what
  // is queued go (a batch being handled is finished). Idempotent. Not on the thread itself.
  void stop(bool drain) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (!stop_) {
        stop_ = true;
        drain_ = drain;
      }
      if (!drain_) drop_queued();
    }
    work_cv_.notify_all();
    space_cv_.notify_all();
    thread_.join();
  }

 private:
  size_t weight_of(const T& item) const { return weigh_ ? weigh_(item) : 1; }

  // A flush makes what is queued due; with nothing queued it has nothing to wait for, and the
  // thread must not spin on it.
  bool due() const {
    return stop_ || (flushers_ > 0 && !queue_.empty()) || queue_.size() >= o_.wake_items ||
           queued_weight_ >= o_.wake_weight;
  }

  // Under mu_.
  void drop_queued() {
    for (const T& item : queue_) weight_ -= weight_of(item);
    handled_ += queue_.size();
    queue_.clear();
    queued_weight_ = 0;
  }

  void run() {
    if (o_.on_start) o_.on_start();
    std::deque<T> batch;
    std::unique_lock<std::mutex> lock(mu_);
    for (;;) {
      idle_ = true;
      const bool first = queue_.empty();
      work_cv_.wait(lock, [this] { return stop_ || (o_.linger_ms > 0 ? !queue_.empty() : due()); });
      idle_ = false;
      if (queue_.empty() && stop_) break;
      if (o_.linger_ms > 0 && first && !due())
        work_cv_.wait_for(lock, std::chrono::milliseconds(o_.linger_ms), [this] { return due(); });
      if (queue_.empty()) continue;
      const WorkerFault fault = worker_fault(o_.name);
      if (fault == WorkerFault::stall) work_cv_.wait(lock, [this] { return stop_; });
      if (queue_.empty()) continue;  // let go by a stop meanwhile
      size_t take = queue_.size() < o_.take_max ? queue_.size() : o_.take_max;
      size_t w = 0;
      for (size_t i = 0; i < take; ++i) {
        w += weight_of(queue_.front());
        batch.push_back(std::move(queue_.front()));
        queue_.pop_front();
      }
      queued_weight_ -= w;
      lock.unlock();
      try {
        if (fault == WorkerFault::alloc) throw std::bad_alloc();
        handle_(batch);
      } catch (...) {
        batch.clear();
        lock.lock();
        failed_ = true;
        weight_ -= w;
        drop_queued();
        space_cv_.notify_all();
        lock.unlock();
        throw;  // to the thread's top, which reports it
      }
      batch.clear();
      lock.lock();
      weight_ -= w;
      handled_ += take;
      space_cv_.notify_all();
    }
    stopped_ = true;
    space_cv_.notify_all();
  }

  WorkerQueueOptions o_;
  Handle handle_;
  Weigh weigh_;
  std::mutex mu_;
  std::condition_variable work_cv_;        // the thread's own waits: no stop token
  std::condition_variable_any space_cv_;   // producers' waits, woken by their cancel
  std::deque<T> queue_;
  size_t weight_ = 0;         // queued or being handled
  size_t queued_weight_ = 0;  // queued
  uint64_t enqueued_ = 0;     // items queued so far
  uint64_t handled_ = 0;      // of those, handled or let go
  int flushers_ = 0;
  bool idle_ = false;
  bool stop_ = false;
  bool drain_ = false;
  bool stopped_ = false;
  bool failed_ = false;
  WorkerThread thread_;
};

}  // namespace vl
