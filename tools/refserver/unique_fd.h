// The one owner of a file or socket descriptor: closed when the owner goes, so that no error path
// leaks a descriptor (a long-running server would run out of them).
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <utility>

namespace vl::ref {

class UniqueFd {
 public:
  UniqueFd() = default;
  // Takes ownership of fd (below 0: none).
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  // Gives up ownership without closing.
  int release() { return std::exchange(fd_, -1); }
  // Closes the held descriptor (if any) and takes fd.
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
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

}  // namespace vl::ref
