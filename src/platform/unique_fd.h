// One owned file descriptor, closed when its owner goes, so that no early return leaks one: a
// walk that leaks a descriptor per folder stops at the descriptor limit. Any thread.
#pragma once

#include <unistd.h>

#include <cerrno>

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

 private:
  int fd_ = -1;
};

}  // namespace vl
