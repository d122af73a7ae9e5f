// The block-hash cache's writes during a run's walk, made by a thread of their own on the cache's
// second connection. Once enough files are pending, the worker hands over those complete so far
// and goes on reading and talking to the server; it used to wait first for every request in
// flight to be answered, then for SQLite. What is written, and in which order, is the same.
//
// Without start() a hand-over writes at once, on the worker's thread. Worker thread.
#pragma once

#include <memory>
#include <string>

#include "run/run_context.h"
#include "stores/md5cache.h"

namespace vl {

template <class T>
class WorkerQueue;

class CacheWriter {
 public:
  explicit CacheWriter(RunContext& ctx);
  ~CacheWriter();  // stop()
  CacheWriter(const CacheWriter&) = delete;
  CacheWriter& operator=(const CacheWriter&) = delete;

  // Starts the thread; it takes the profile's priority and reports a failure of its own to the
  // run (run_abort). False, with *error, when the thread cannot be started.
  bool start(std::string* error);

  // Takes the complete pending entries out of the cache's queue and has them written. Waits only
  // while two earlier hand-overs are still queued, and never once the run is cancelled.
  void hand_over();

  // Writes what is queued and stops the thread. Before the cache's final flush (md5cache_flush).
  // A cancel ends a wait for a cache another connection holds. Nothing when none runs.
  void stop();

 private:
  RunContext& ctx_;
  std::unique_ptr<WorkerQueue<CacheBatch>> queue_;
};

}  // namespace vl
