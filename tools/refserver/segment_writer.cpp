#include "segment_writer.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

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
  sizes_[d] = content.size();
  ++counts_[d];
  queue_.emplace_back(d, std::move(content));
  work_cv_.notify_one();
}

bool SegmentWriter::queued(const Digest& d) const {
  std::lock_guard<std::mutex> lock(mu_);
  return counts_.count(d) != 0;
}

bool SegmentWriter::queued(const Digest& d, uint64_t size) const {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = sizes_.find(d);
  return it != sizes_.end() && it->second == size;
}

void SegmentWriter::wait_written() {
  std::unique_lock<std::mutex> lock(mu_);
  done_cv_.wait(lock, [this] { return counts_.empty(); });
}

void SegmentWriter::run() {
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    work_cv_.wait(lock, [this] { return stop_ || !queue_.empty(); });
    if (queue_.empty()) return;  // stopped, and everything written
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
    if (--counts_[digest] == 0) {
      counts_.erase(digest);
      sizes_.erase(digest);
    }
    done_cv_.notify_all();
  }
}

}  // namespace vl::ref
