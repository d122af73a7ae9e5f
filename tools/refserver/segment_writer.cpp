#include "segment_writer.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include <sys/resource.h>
#include <unistd.h>

namespace vl::ref {

SegmentWriter::SegmentWriter(Store& store) : store_(store) {
  thread_ = std::thread([this] { run(); });
}

SegmentWriter::~SegmentWriter() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stop_ = true;
  }
  work_cv_.notify_one();
  thread_.join();
}

void SegmentWriter::put(const Digest& d, std::vector<uint8_t> content) {
  std::unique_lock<std::mutex> lock(mu_);
  done_cv_.wait(lock, [this] { return queued_bytes_ < kQueuedContentMax; });
  queued_bytes_ += content.size();
  Queued& q = queued_[d];
  q.size = content.size();
  ++q.count;
  queue_.emplace_back(d, std::move(content));
  if (idle_ || queue_.size() >= kWakeSegments || queued_bytes_ >= kWakeBytes)
    work_cv_.notify_one();
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
  std::unique_lock<std::mutex> lock(mu_);
  ++waiters_;
  work_cv_.notify_one();
  done_cv_.wait(lock, [this] { return queued_.empty(); });
  --waiters_;
}

void SegmentWriter::run() {
  // The writer is never what a client waits for (a finalize waits for it, once): it takes the
  // CPU time the connections leave, and catches up while a client prepares its catalog.
  ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), 19);
  auto due = [this] {
    return stop_ || waiters_ > 0 || queue_.size() >= kWakeSegments || queued_bytes_ >= kWakeBytes;
  };
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    idle_ = true;
    work_cv_.wait(lock, [this] { return stop_ || !queue_.empty(); });
    idle_ = false;
    if (queue_.empty()) return;  // stopped, and everything written
    // The first segment waits a little for others to come, then all are written in one go.
    if (!due()) work_cv_.wait_for(lock, std::chrono::milliseconds(kWriteDelayMs), due);
    while (!queue_.empty()) {
      auto [digest, content] = std::move(queue_.front());
      queue_.pop_front();
      lock.unlock();

      std::string name;
      UniqueFd fd = store_.temp_create(&name);
      bool ok = fd && fd.write_all(content.data(), content.size()) && fd.close() &&
                store_.segment_commit(name, digest, content.size());
      if (!ok) {
        std::fprintf(stderr, "refserver: segment %s, answered as stored, was lost: %s\n",
                     digest_hex(digest).c_str(), std::strerror(errno));
        if (!name.empty()) store_.temp_remove(name);
        store_.segment_lost();
      }

      lock.lock();
      queued_bytes_ -= content.size();
      auto it = queued_.find(digest);
      if (--it->second.count == 0) queued_.erase(it);
      done_cv_.notify_all();
    }
  }
}

}  // namespace vl::ref
