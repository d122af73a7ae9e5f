#include "segment_writer.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

#include <sys/resource.h>
#include <unistd.h>

namespace vl::ref {

SegmentWriter::SegmentWriter(Store& store, bool lazy)
    : store_(store),
      queue_(
          options(lazy),
          [this](std::deque<Pending>& batch) {
            for (const auto& [digest, content] : batch) {
              write(digest, content);
              unqueue(digest);
            }
          },
          [](const Pending& p) { return p.second.size(); }) {
  std::string error;
  threaded_ = queue_.start(&error);
  if (!threaded_)
    std::fprintf(stderr, "refserver: %s; segments are written before their upload is answered\n",
                 error.c_str());
}

SegmentWriter::~SegmentWriter() { queue_.stop(true); }

WorkerQueueOptions SegmentWriter::options(bool lazy) {
  WorkerQueueOptions o;
  o.name = "segment writer";
  o.bound = static_cast<size_t>(kQueuedContentMax);
  o.wake_items = kWakeSegments;
  o.wake_weight = static_cast<size_t>(kWakeBytes);
  o.take_max = 1;  // a put waiting for room waits for one segment's write, not a batch's
  o.linger_ms = kWriteDelayMs;
  // The writer is never what a client waits for (a finalize waits for it, once): it takes the
  // CPU time the connections leave, and catches up while a client prepares its catalog.
  o.on_start = [] { ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), 19); };
  o.failed = [this](const std::string& why) {
    let_go();
    std::fprintf(stderr, "refserver: %s; no finalize is accepted from now on\n", why.c_str());
  };
  if (lazy) {
    o.wake_items = SIZE_MAX;
    o.wake_weight = o.bound;  // a full queue still wakes it: a put waiting for room never hangs
    // Not 0: a thread without a linger would spin, holding the queue's lock, while a flush waits
    // on an empty queue.
    o.linger_ms = INT_MAX;
  }
  return o;
}

void SegmentWriter::put(const Digest& d, std::vector<uint8_t> content) {
  if (!threaded_) {
    write(d, content);
    return;
  }
  {
    // Before the push: once pushed, the writer may be done with it before this could run.
    std::lock_guard<std::mutex> lock(mu_);
    Queued& q = queued_[d];
    q.size = content.size();
    ++q.count;
  }
  if (queue_.push({d, std::move(content)})) return;
  unqueue(d);
  std::fprintf(stderr, "refserver: segment %s, answered as stored, was lost: the segment writer "
               "has failed\n", digest_hex(d).c_str());
  store_.segment_lost();
}

bool SegmentWriter::queued(const Digest& d) const {
  std::lock_guard<std::mutex> lock(mu_);
  return queued_.count(d) != 0;
}

bool SegmentWriter::queued(const Digest& d, uint64_t size) const {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = queued_.find(d);
  return it != queued_.end() && it->second.size == size;
}

void SegmentWriter::wait_written() {
  // The queue fails before the thread reports it: the finalize after this must not slip through.
  if (threaded_ && !queue_.flush()) let_go();
}

void SegmentWriter::let_go() {
  store_.segment_lost();
  std::lock_guard<std::mutex> lock(mu_);
  queued_.clear();  // let go with the failed queue: held no more
}

void SegmentWriter::write(const Digest& d, const std::vector<uint8_t>& content) {
  SegmentFile file = store_.temp_create(d);
  bool ok = file.fd && file.fd.write_all(content.data(), content.size()) &&
            store_.segment_commit(file, d, content.size());
  if (!ok) {
    std::fprintf(stderr, "refserver: segment %s, answered as stored, was lost: %s\n",
                 digest_hex(d).c_str(), std::strerror(errno));
    store_.temp_remove(d, file);
    store_.segment_lost();
  }
}

void SegmentWriter::unqueue(const Digest& d) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = queued_.find(d);  // gone when the queue failed meanwhile
  if (it != queued_.end() && --it->second.count == 0) queued_.erase(it);
}

}  // namespace vl::ref
