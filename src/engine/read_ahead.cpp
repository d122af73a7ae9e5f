#include "engine/read_ahead.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/unique_fd.h"
#include "run/run_control.h"

namespace vl {
namespace {

// Entries the thread goes ahead of the worker at most, and what of each file is read ahead:
// together a bound on the page cache taken before it is needed.
constexpr int64_t kReadAheadEntries = 256;
constexpr off_t kReadAheadBytes = 1 << 20;
// Every so many entries the thread looks back: when its read-ahead found everything in the page
// cache already, or the worker read no file meanwhile (the cache had their digests), opening
// files ahead only costs time, and the next kIdleEntries entries are passed over.
constexpr int kProbeEntries = 64;
constexpr int kIdleEntries = 1024;

// Blocks this thread has had read from a disk so far.
long thread_blocks_read() {
  struct rusage ru;
  return ::getrusage(RUSAGE_THREAD, &ru) == 0 ? ru.ru_inblock : 0;
}

struct Folder {
  std::string path;
  std::vector<std::string> names;
  std::vector<char> regular;
  size_t next = 0;  // the first entry not gone through
};

class ReadAhead {
 public:
  explicit ReadAhead(RunContext& ctx) : ctx_(ctx) { thread_ = std::thread([this] { run(); }); }

  ~ReadAhead() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      stop_ = true;
    }
    cv_.notify_one();
    thread_.join();
    ctx_.helper_tids[kHelperSlotReadAhead] = 0;
  }

  void folder(Folder f) {
    if (f.names.empty()) return;
    {
      std::lock_guard<std::mutex> lock(mu_);
      queue_.push_back(std::move(f));
    }
    cv_.notify_one();
  }

  void reading() { reads_.fetch_add(1, std::memory_order_relaxed); }

  void passed() {
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
    long blocks = thread_blocks_read();
    int64_t reads = reads_.load(), passed = passed_.load();
    for (;;) {
      std::string path, name;
      bool regular = false;
      {
        std::unique_lock<std::mutex> lock(mu_);
        cv_.wait(lock, [this] { return stop_ || !queue_.empty(); });
        if (stop_) return;
        Folder& f = queue_.back();
        path = f.path;
        name = std::move(f.names[f.next]);
        regular = f.next < f.regular.size() && f.regular[f.next];
        if (++f.next == f.names.size()) queue_.pop_back();
      }
      if (idle > 0) {
        --idle;
      } else if (regular) {
        if (path != open_path) {
          dir.reset(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
          open_path = path;
        }
        UniqueFd file;
        if (dir)
          file.reset(::openat(dir.get(), name.c_str(),
                              O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
        if (file) ::posix_fadvise(file.get(), 0, kReadAheadBytes, POSIX_FADV_WILLNEED);
      }
      if (idle == 0 && ++probe == kProbeEntries) {
        const long b = thread_blocks_read();
        const int64_t r = reads_.load(), p = passed_.load();
        if (b == blocks || (p > passed && r == reads)) idle = kIdleEntries;
        probe = 0;
        blocks = b;
        reads = r;
        passed = p;
      }
      opened_.fetch_add(1);
      if (!keep_behind()) return;
    }
  }

  // Waits while the thread is far ahead of the worker. False when stopped while waiting (the loop
  // sees a stop otherwise).
  bool keep_behind() {
    if (opened_.load() - passed_.load() < kReadAheadEntries) return true;
    std::unique_lock<std::mutex> lock(mu_);
    waiting_ = true;
    // The time-out covers a wake-up that crossed the flag.
    while (!stop_ && opened_.load() - passed_.load() > kReadAheadEntries / 2)
      cv_.wait_for(lock, std::chrono::milliseconds(50));
    waiting_ = false;
    return !stop_;
  }

  RunContext& ctx_;
  std::thread thread_;
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
};

std::unique_ptr<ReadAhead> g_read_ahead;

}  // namespace

void read_ahead_start(RunContext& ctx) {
  if (!g_read_ahead) g_read_ahead = std::make_unique<ReadAhead>(ctx);
}

void read_ahead_stop() { g_read_ahead.reset(); }

void read_ahead_folder(const std::string& folder, const std::vector<std::string>& names,
                       const std::vector<char>& regular) {
  if (!g_read_ahead) return;
  g_read_ahead->folder(Folder{folder, names, regular, 0});
}

void read_ahead_passed() {
  if (g_read_ahead) g_read_ahead->passed();
}

void read_ahead_reading() {
  if (g_read_ahead) g_read_ahead->reading();
}

}  // namespace vl
