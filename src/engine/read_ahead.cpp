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
  PathBase base;  // the walk's, for opening the folder
};

// An entry the thread has taken from its folder: where it is in the walk and, for a small regular
// file about to be read, the file open.
struct Entry {
  std::string folder;
  PathBase base;
  std::string name;
  bool regular = false;
  std::shared_ptr<std::atomic<size_t>> walked;
  size_t index = 0;
  UniqueFd file;
  FileStat opened;
};

// Entries taken ahead at a time: their files are opened and asked for together.
constexpr size_t kReadsInFlight = 16;

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
  // entries go first, and the rest of the folder before it resumes when it is done. Up to
  // kReadsInFlight entries are taken at a time: their files are opened and the kernel asked to
  // read them, so that on a tree that is not in memory several reads are under way while one is
  // digested and compressed.
  void run() {
    helper_thread_register(ctx_, kHelperSlotReadAhead);
    int probe = 0, idle = 0;
    bool advise = true, prepare = true;
    long blocks = thread_blocks_read();
    int64_t reads = reads_.load(), passed = passed_.load();
    for (;;) {
      const size_t taken = ahead_.size();
      {
        std::unique_lock<std::mutex> lock(mu_);
        if (ahead_.empty()) cv_.wait(lock, [this] { return stop_ || !queue_.empty(); });
        if (stop_) return;
        // Entries are taken ahead only while the thread is working on files: once it passes
        // entries over, it takes one at a time, so that a look back can end the idling.
        while (!queue_.empty() && ahead_.size() < (idle > 0 ? 1u : kReadsInFlight)) {
          Folder& f = queue_.back();
          Entry e;
          e.folder = f.path;
          e.base = f.base;
          e.name = std::move(f.names[f.next]);
          e.regular = f.next < f.regular.size() && f.regular[f.next];
          e.walked = f.walked;
          e.index = f.next;
          if (++f.next == f.names.size()) queue_.pop_back();
          ahead_.push_back(std::move(e));
        }
      }
      // Opened outside the lock: on a cold tree an open may wait for the disk.
      if (idle == 0)
        for (size_t i = taken; i < ahead_.size(); ++i) open_ahead(ahead_[i], advise, prepare);
      Entry e = std::move(ahead_.front());
      ahead_.pop_front();
      if (idle > 0) {
        --idle;
      } else if (e.file) {
        // Of a file the worker has come to already, the thread's work would be thrown away.
        if (e.walked->load() <= e.index) prepare_file(e);
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

  // Opens a regular file taken ahead: a small one stays open when `prepare`, a larger one is
  // closed again. When `advise` the kernel is asked to read the small file whole, or the first MiB
  // of the larger one (on a tree in the page cache the asking is all it would cost).
  void open_ahead(Entry& e, bool advise, bool prepare) {
    if (!e.regular) return;
    if (e.folder != open_path_) {
      dir_ = folder_open(e.folder, e.base);
      open_path_ = e.folder;
    }
    if (!dir_ || e.walked->load() > e.index) return;
    UniqueFd file = folder_entry_open(dir_, e.name);
    if (!file || !fd_stat(file, &e.opened) || e.opened.kind != FileKind::regular) return;
    if (e.opened.size > kPreparedFileMax) {
      if (advise) fd_read_soon(file, kReadAheadBytes);
      return;
    }
    if (!prepare || e.opened.size == 0) return;
    if (advise) fd_read_soon(file, e.opened.size);
    e.file = std::move(file);
  }

  // Reads, digests and compresses a small file opened ahead, and keeps the result for the worker.
  void prepare_file(Entry& e) {
    if (ctx_.pause != 0 || ctx_.cancel == 1) return;
    auto f = std::make_unique<PreparedFile>();
    f->opened = e.opened;
    f->size = static_cast<uint32_t>(e.opened.size);
    if (content_.size() < f->size) content_.resize(kPreparedFileMax);
    // An error, or a file that shrank, is left to the worker, which reads it and says so.
    bool error = false;
    if (fd_read_full(e.file.get(), content_.data(), f->size, &error) != f->size) return;
    if (!fd_stat(e.file, &f->after)) return;
    e.file.reset();
    md5_digest(content_.data(), f->size, f->digest);
    if (scratch_.empty()) scratch_.resize(compress_capacity(static_cast<uint32_t>(kPreparedFileMax)));
    SegmentPayload p;
    segment_payload_make(content_.data(), f->size, scratch_.data(), scratch_.size(), &p);
    f->compressed = p.compressed;
    f->payload.assign(p.bytes, p.bytes + p.len);
    f->path = e.folder;
    if (f->path.empty() || f->path.back() != '/') f->path += '/';
    f->path += e.name;
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
  // The entries taken ahead, in walk order, and the folder open for them. Thread only.
  std::deque<Entry> ahead_;
  std::string open_path_;
  UniqueFd dir_;
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
                       const std::vector<char>& regular, const PathBase& base) {
  if (running_) s_->folder(Folder{folder, names, regular, 0, nullptr, base});
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
