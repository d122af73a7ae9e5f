#include "engine/read_ahead.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "base/md5.h"
#include "codec/segment_compress.h"
#include "connection/segment_upload.h"
#include "platform/file_read.h"
#include "platform/unique_fd.h"
#include "platform/worker_thread.h"
#include "run/run_control.h"

namespace vl {
namespace {

// Entries the thread goes ahead of the worker at most, and what of each file is read ahead:
// together a bound on the page cache taken before it is needed.
constexpr int64_t kReadAheadEntries = 256;
constexpr uint64_t kReadAheadBytes = 1 << 20;
// Every so many entries the thread looks back. When the worker read no file meanwhile (the cache
// had their digests), opening files ahead only costs time, and the next kIdleEntries entries are
// passed over. It reads small files whole only while the worker reads at least every other entry
// it comes to. When its read-ahead found everything in the page cache already, it asks the kernel
// for nothing until the next look.
constexpr int kProbeEntries = 64;
constexpr int kIdleEntries = 1024;
// Results not yet taken by the worker, at most: a bound on their memory. Past it the oldest go
// first: they are the ones the worker has passed by (its position moved on while they were read).
constexpr size_t kPreparedFiles = 2 * kReadAheadEntries;
constexpr size_t kPreparedBytes = 2 << 20;

struct Folder {
  std::string path;
  std::vector<std::string> names;
  std::vector<char> regular;
  size_t next = 0;  // the first entry not gone through
  // The entries the worker has come to: the thread leaves alone those it is late for.
  std::shared_ptr<std::atomic<size_t>> walked;
};

}  // namespace

struct ReadAhead::State {
  explicit State(RunContext& ctx) : ctx_(ctx) {}

  bool start(std::string* error) {
    return thread_.start(
        "read-ahead", [this] { run(); },
        [this](const std::string& why) { run_abort(ctx_, kAbortRunThread, why); }, error);
  }

  void stop() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      stop_ = true;
    }
    cv_.notify_one();
    thread_.join();
    ctx_.helper_tids[kHelperSlotReadAhead] = 0;
  }

  void folder(Folder f) {
    f.walked = std::make_shared<std::atomic<size_t>>(0);
    walking_.push_back(f.walked);
    if (f.names.empty()) return;
    {
      std::lock_guard<std::mutex> lock(mu_);
      queue_.push_back(std::move(f));
    }
    cv_.notify_one();
  }

  void reading() { reads_.fetch_add(1, std::memory_order_relaxed); }

  std::unique_ptr<PreparedFile> take(const std::string& path) {
    std::lock_guard<std::mutex> lock(prepared_mu_);
    for (size_t i = 0; i < prepared_.size(); ++i) {
      if (prepared_[i]->path != path) continue;
      std::unique_ptr<PreparedFile> f = std::move(prepared_[i]);
      for (size_t j = 0; j < i; ++j) prepared_bytes_ -= prepared_[j]->payload.size();
      prepared_bytes_ -= f->payload.size();
      prepared_.erase(prepared_.begin(), prepared_.begin() + static_cast<ptrdiff_t>(i) + 1);
      return f;
    }
    return nullptr;
  }

  void folder_done() {
    if (!walking_.empty()) walking_.pop_back();
  }

  void passed() {
    if (!walking_.empty()) walking_.back()->fetch_add(1);
    int64_t p = passed_.fetch_add(1) + 1;
    // The thread waits once it is far ahead, and is woken when the worker is halfway there.
    if (waiting_.load() && opened_.load() - p <= kReadAheadEntries / 2) {
      std::lock_guard<std::mutex> lock(mu_);
      cv_.notify_one();
    }
  }

 private:
  // The walk goes depth first, so the folder listed last is the one the worker is in: its
  // entries go first, and the rest of the folder before it resumes when it is done.
  void run() {
    helper_thread_register(ctx_, kHelperSlotReadAhead);
    std::string open_path;
    UniqueFd dir;
    int probe = 0, idle = 0;
    bool advise = true, prepare = true;
    long blocks = thread_blocks_read();
    int64_t reads = reads_.load(), passed = passed_.load();
    for (;;) {
      std::string path, name;
      bool regular = false, late = false;
      {
        std::unique_lock<std::mutex> lock(mu_);
        cv_.wait(lock, [this] { return stop_ || !queue_.empty(); });
        if (stop_) return;
        Folder& f = queue_.back();
        path = f.path;
        name = std::move(f.names[f.next]);
        regular = f.next < f.regular.size() && f.regular[f.next];
        late = f.walked->load() > f.next;
        if (++f.next == f.names.size()) queue_.pop_back();
      }
      if (idle > 0) {
        --idle;
      } else if (regular) {
        if (path != open_path) {
          dir = folder_open(path);
          open_path = path;
        }
        // Of a file the worker has come to already, the thread's work would be thrown away.
        if (dir && !late) visit(dir, path, name, advise, prepare);
      }
      if (idle == 0 && ++probe == kProbeEntries) {
        const long b = thread_blocks_read();
        const int64_t r = reads_.load(), p = passed_.load();
        if (p > passed && r == reads) idle = kIdleEntries;
        advise = b != blocks;
        // Reading ahead what the worker takes from the cache is work thrown away.
        prepare = r > reads && (r - reads) * 2 >= p - passed;
        probe = 0;
        blocks = b;
        reads = r;
        passed = p;
      }
      opened_.fetch_add(1);
      if (!keep_behind()) return;
    }
  }

  // One regular file of the folder open as dir: read whole when it is small and `prepare`, asked
  // to be read ahead when it is larger and `advise`.
  void visit(const UniqueFd& dir, const std::string& folder, const std::string& name, bool advise,
             bool prepare) {
    UniqueFd file = folder_entry_open(dir, name);
    if (!file) return;
    FileStat opened;
    if (!fd_stat(file, &opened) || opened.kind != FileKind::regular) return;
    if (opened.size > kPreparedFileMax) {
      if (advise) fd_read_soon(file, kReadAheadBytes);
      return;
    }
    if (!prepare || opened.size == 0 || ctx_.pause != 0 || ctx_.cancel == 1) return;
    auto f = std::make_unique<PreparedFile>();
    f->opened = opened;
    f->size = static_cast<uint32_t>(opened.size);
    if (content_.size() < f->size) content_.resize(kPreparedFileMax);
    // An error, or a file that shrank, is left to the worker, which reads it and says so.
    bool error = false;
    if (fd_read_full(file.get(), content_.data(), f->size, &error) != f->size) return;
    if (!fd_stat(file, &f->after)) return;
    file.reset();
    md5_digest(content_.data(), f->size, f->digest);
    if (scratch_.empty()) scratch_.resize(compress_capacity(static_cast<uint32_t>(kPreparedFileMax)));
    SegmentPayload p;
    segment_payload_make(content_.data(), f->size, scratch_.data(), scratch_.size(), &p);
    f->compressed = p.compressed;
    f->payload.assign(p.bytes, p.bytes + p.len);
    f->path = folder;
    if (f->path.empty() || f->path.back() != '/') f->path += '/';
    f->path += name;
    std::lock_guard<std::mutex> lock(prepared_mu_);
    prepared_bytes_ += f->payload.size();
    prepared_.push_back(std::move(f));
    while (prepared_.size() > kPreparedFiles || prepared_bytes_ > kPreparedBytes) {
      prepared_bytes_ -= prepared_.front()->payload.size();
      prepared_.pop_front();
    }
  }

  // Waits while the thread is far ahead of the worker. False when stopped while waiting (the loop
  // sees a stop otherwise). No wake-up is lost: the flag is raised before the counts are read
  // here, and passed() counts before it reads the flag (both sequentially consistent).
  bool keep_behind() {
    if (opened_.load() - passed_.load() < kReadAheadEntries) return true;
    std::unique_lock<std::mutex> lock(mu_);
    waiting_ = true;
    cv_.wait(lock, [this] { return stop_ || opened_.load() - passed_.load() <= kReadAheadEntries / 2; });
    waiting_ = false;
    return !stop_;
  }

  RunContext& ctx_;
  WorkerThread thread_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<Folder> queue_;
  bool stop_ = false;
  // Entries of listed folders the thread has been through, and entries the worker has come to
  // (its include paths among them, so the worker may be the one ahead).
  std::atomic<int64_t> opened_{0};
  std::atomic<int64_t> passed_{0};
  std::atomic<int64_t> reads_{0};  // files the worker has opened to read
  std::atomic<bool> waiting_{false};
  // The folders the worker is in, outermost first. Worker thread only.
  std::vector<std::shared_ptr<std::atomic<size_t>>> walking_;
  // Results in walk order, and the bytes of their payloads.
  std::mutex prepared_mu_;
  std::deque<std::unique_ptr<PreparedFile>> prepared_;
  size_t prepared_bytes_ = 0;
  std::vector<uint8_t> content_, scratch_;  // the thread's read and compression buffers
};

ReadAhead::ReadAhead(RunContext& ctx) : s_(std::make_unique<State>(ctx)) {}

ReadAhead::~ReadAhead() { stop(); }

bool ReadAhead::start(std::string* error) {
  if (running_) return true;
  running_ = s_->start(error);
  return running_;
}

void ReadAhead::stop() {
  if (!running_) return;
  s_->stop();
  running_ = false;
}

void ReadAhead::folder(const std::string& folder, const std::vector<std::string>& names,
                       const std::vector<char>& regular) {
  if (running_) s_->folder(Folder{folder, names, regular, 0, nullptr});
}

void ReadAhead::folder_done() {
  if (running_) s_->folder_done();
}

void ReadAhead::passed() {
  if (running_) s_->passed();
}

std::unique_ptr<PreparedFile> ReadAhead::take(const std::string& path) {
  return running_ ? s_->take(path) : nullptr;
}

void ReadAhead::reading() {
  if (running_) s_->reading();
}

}  // namespace vl
