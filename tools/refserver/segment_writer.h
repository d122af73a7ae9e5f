// Segments whose upload was checked and answered as stored, written into the store by a thread of
// their own (a WorkerQueue), in the order they came: the file system's work (a new file, its data,
// the rename) runs beside the connections instead of between a reply and the next request. Until
// written, a segment counts as held for queries, upload headers and links of every connection of
// this process; a server killed meanwhile never wrote it, which the finalize's check of the store
// finds (Store::finalize_write), and after a restart it is not held.
// When no thread can be started, put writes the segment itself; once the thread has failed, every
// finalize is refused.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include "digest.h"
#include "platform/worker_queue.h"
#include "store.h"

namespace vl::ref {

// Content queued beyond this many bytes makes the next put wait for the writer.
constexpr uint64_t kQueuedContentMax = 64ull << 20;
// Once a first segment is queued, the writer waits until this many segments or bytes are queued, a
// finalize waits for it, or kWriteDelayMs have passed: a wake-up per segment would cost more than
// the segment's write.
constexpr size_t kWakeSegments = 32;
constexpr uint64_t kWakeBytes = 4ull << 20;
constexpr int kWriteDelayMs = 20;

class SegmentWriter {
 public:
  // lazy (crash tests): segments are written only when wait_written or the end asks for them or
  // the queue is full, so that answered uploads are still queued when the server is killed.
  explicit SegmentWriter(Store& store, bool lazy = false);
  ~SegmentWriter();  // writes what is queued, then stops
  SegmentWriter(const SegmentWriter&) = delete;
  SegmentWriter& operator=(const SegmentWriter&) = delete;

  // Queues the checked content of segment d. A segment that cannot be written is noted on stderr
  // and reported to the store as lost (no finalize is accepted after it). Any thread.
  void put(const Digest& d, std::vector<uint8_t> content);
  // Whether segment d (of size bytes, in the second form) is queued or being written.
  bool queued(const Digest& d) const;
  bool queued(const Digest& d, uint64_t size) const;
  // Waits until everything queued so far is written (before a finalize). Any thread.
  void wait_written();

 private:
  using Pending = std::pair<Digest, std::vector<uint8_t>>;

  WorkerQueueOptions options(bool lazy);
  void write(const Digest& d, const std::vector<uint8_t>& content);
  void unqueue(const Digest& d);
  void let_go();  // after the queue failed

  Store& store_;
  mutable std::mutex mu_;  // queued_
  // Queued or being written: each digest's size and how many times it is there.
  struct Queued {
    uint64_t size = 0;
    int count = 0;
  };
  std::map<Digest, Queued> queued_;
  bool threaded_ = false;  // the writer thread runs; set once, before any put
  WorkerQueue<Pending> queue_;
};

}  // namespace vl::ref
