// An exclusive lock on a file that the kernel releases when the process ends, however it ends: a
// killed run never blocks the next one.
#pragma once

#include <string>

namespace vl {

enum class LockResult {
  taken,
  busy,    // another process holds the lock
  failed,  // the lock file cannot be created or opened, or the lock cannot be taken
};

class FileLock {
 public:
  FileLock() = default;
  ~FileLock() { unlock(); }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  // Creates path (owner-only) when absent and takes the lock without waiting. A symbolic link at
  // path is not followed (failed). On failed, *why (when given) receives the system's reason,
  // e.g. "Permission denied". Any thread.
  LockResult try_lock(const std::string& path, std::string* why = nullptr);
  void unlock();
  bool held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

}  // namespace vl
