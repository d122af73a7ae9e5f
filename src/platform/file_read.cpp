#include "platform/file_read.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <mutex>

namespace vl {

#ifdef VORNLAKE_FAULT_HOOKS
namespace {

FaultPaths g_grow;
FaultPaths g_shrink;
FaultPaths g_rewrite;
std::mutex g_mutex;  // g_swap
std::map<std::string, std::string> g_swap;

// Puts the swap in place of path (once).
void swap_before_open(const std::string& path) {
  std::string swap;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_swap.find(path);
    if (it == g_swap.end()) return;
    swap = it->second;
    g_swap.erase(it);
  }
  ::unlink(path.c_str());
  if (swap == "fifo")
    ::mkfifo(path.c_str(), 0600);
  else
    ::symlink(swap.c_str(), path.c_str());
}

}  // namespace

void fs_fault_grow_on_read_add(const std::string& path) { g_grow.add(path); }
void fs_fault_shrink_on_read_add(const std::string& path) { g_shrink.add(path); }
void fs_fault_rewrite_on_read_add(const std::string& path) { g_rewrite.add(path); }

void fs_fault_swap_on_open_add(const std::string& path, const std::string& swap) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_swap[path] = swap;
}
bool fs_fault_hooked(const std::string& path) {
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_swap.count(path)) return true;
  }
  return g_grow.has(path) || g_shrink.has(path) || g_rewrite.has(path) ||
         fs_fault_open_fails(path) || fs_fault_read_fails(path);
}
#endif  // VORNLAKE_FAULT_HOOKS

ReadFile::~ReadFile() = default;

int ReadFile::open(const std::string& path, FileStat* opened, const PathBase& base) {
#ifdef VORNLAKE_FAULT_HOOKS
  swap_before_open(path);
  fail_reads_ = fs_fault_read_fails(path);
  change_after_read_ = g_grow.has(path) ? 1 : g_shrink.has(path) ? -1 : g_rewrite.has(path) ? 2 : 0;
#endif
  errno = 0;
  fd_ = path_open_beneath(base, path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK);
  if (!fd_.ok()) return errno ? errno : EACCES;
  if (!fd_stat(fd_, opened)) return errno ? errno : EIO;
  return 0;
}

size_t fd_read_full(int fd, void* buf, size_t n, bool* error) {
  size_t got = 0;
  while (got < n) {
    ssize_t r = ::read(fd, static_cast<char*>(buf) + got, n - got);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) *error = true;
    if (r <= 0) break;
    got += static_cast<size_t>(r);
  }
  return got;
}

size_t ReadFile::read(void* buf, size_t n) {
  if (fail_reads_) {
    error_ = true;
    return 0;
  }
  const size_t got = fd_read_full(fd_.get(), buf, n, &error_);
#ifdef VORNLAKE_FAULT_HOOKS
  if (change_after_read_ == 2) {
    // Its first byte flipped, its size and modification time put back as they were.
    struct stat st;
    const std::string self = "/proc/self/fd/" + std::to_string(fd_.get());
    UniqueFd w(::open(self.c_str(), O_WRONLY | O_CLOEXEC));
    char first = 0;
    if (::fstat(fd_.get(), &st) != 0 || !w || ::pread(fd_.get(), &first, 1, 0) != 1) {
      error_ = true;
    } else {
      first = static_cast<char>(first ^ 0x20);
      const struct timespec times[2] = {st.st_atim, st.st_mtim};
      if (::pwrite(w.get(), &first, 1, 0) != 1 || ::futimens(w.get(), times) != 0) error_ = true;
    }
    change_after_read_ = 0;
  } else if (change_after_read_ != 0) {
    struct stat st;
    if (::fstat(fd_.get(), &st) == 0) {
      off_t to = change_after_read_ > 0 ? st.st_size + 4096 : st.st_size / 2;
      if (::truncate(("/proc/self/fd/" + std::to_string(fd_.get())).c_str(), to) != 0) error_ = true;
    }
    change_after_read_ = 0;
  }
#endif
  return got;
}

bool ReadFile::stat_now(FileStat* out) const { return fd_.ok() && fd_stat(fd_, out); }

UniqueFd folder_open(const std::string& path, const PathBase& base) {
  return path_open_beneath(base, path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
}

UniqueFd folder_entry_open(const UniqueFd& folder, const std::string& name) {
  return openat_noatime(folder, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
}

void fd_read_soon(const UniqueFd& fd, uint64_t bytes) {
  ::posix_fadvise(fd.get(), 0, static_cast<off_t>(bytes), POSIX_FADV_WILLNEED);
}

size_t file_read_at(const std::string& path, uint64_t offset, void* buf, size_t n,
                    const PathBase& base) {
  UniqueFd fd = path_open_beneath(base, path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
  FileStat st;
  if (!fd || !fd_stat(fd, &st) || st.kind != FileKind::regular) return 0;
  return fd_read_at(fd.get(), offset, buf, n);
}

size_t fd_read_at(int fd, uint64_t offset, void* buf, size_t n) {
  size_t done = 0;
  while (done < n) {
    ssize_t r = ::pread(fd, static_cast<char*>(buf) + done, n - done, static_cast<off_t>(offset + done));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    done += static_cast<size_t>(r);
  }
  return done;
}

long thread_blocks_read() {
  struct rusage ru;
  return ::getrusage(RUSAGE_THREAD, &ru) == 0 ? ru.ru_inblock : 0;
}

}  // namespace vl
