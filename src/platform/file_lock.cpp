#include "platform/file_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace vl {

bool FileLock::try_lock(const std::string& path) {
  unlock();
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    return false;
  }
  fd_ = fd;
  return true;
}

void FileLock::unlock() {
  if (fd_ >= 0) ::close(fd_);  // closing the last descriptor releases the lock
  fd_ = -1;
}

}  // namespace vl
