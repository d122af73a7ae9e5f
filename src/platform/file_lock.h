// An exclusive lock on a file that the kernel releases when the process ends, however it ends: a
// killed run never blocks the next one.
#pragma once

#include <string>

namespace vl {

class FileLock {
 public:
  FileLock() = default;
  ~FileLock() { unlock(); }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  // Creates path (owner-only) when absent and takes the lock without waiting. Returns false when
  // another process holds it (or the file cannot be opened). Any thread.
  bool try_lock(const std::string& path);
  void unlock();
  bool held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

}  // namespace vl
