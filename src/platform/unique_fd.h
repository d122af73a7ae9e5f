// One owned file or socket descriptor, closed when its owner goes, so that no early return leaks
// one: a walk that leaks a descriptor per folder stops at the descriptor limit, a long-running
// server runs out of them. Any thread.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstddef>

namespace vl {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  // The descriptor, -1 when none is held (0 is a valid descriptor).
  int get() const { return fd_; }
  bool ok() const { return fd_ >= 0; }
  explicit operator bool() const { return fd_ >= 0; }
  // Gives the descriptor up without closing it.
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes the held descriptor and takes fd. errno survives, so that a failure's cause can still
  // be read after the clean-up.
  void reset(int fd = -1) {
    if (fd_ >= 0 && fd_ != fd) {
      int saved = errno;
      ::close(fd_);
      errno = saved;
    }
    fd_ = fd;
  }

  // Writes all size bytes (retrying short writes and interruptions). False on failure, with errno
  // set by the failing write (ENOSPC when nothing more could be written).
  bool write_all(const void* data, size_t size) const {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
      ssize_t w = ::write(fd_, p, size);
      if (w < 0 && errno == EINTR) continue;
      if (w == 0) errno = ENOSPC;
      if (w <= 0) return false;
      p += w;
      size -= static_cast<size_t>(w);
    }
    return true;
  }
  // Closes now and tells whether close succeeded (a write error may only show here). True when
  // nothing was held.
  bool close() {
    int fd = release();
    return fd < 0 || ::close(fd) == 0;
  }

 private:
  int fd_ = -1;
};

}  // namespace vl
