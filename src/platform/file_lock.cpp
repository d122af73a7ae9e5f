#include "platform/file_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vl {

LockResult FileLock::try_lock(const std::string& path, std::string* why) {
  unlock();
  // Not through a link: a link planted at the name would have the lock file created, or an
  // existing file opened for writing, wherever it points.
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0) {
    fd_ = fd;
    return LockResult::taken;
  }
  const int err = errno;
  if (fd >= 0) ::close(fd);
  if (fd >= 0 && err == EWOULDBLOCK) return LockResult::busy;
  if (why) *why = std::strerror(err);
  return LockResult::failed;
}

void FileLock::unlock() {
  if (fd_ >= 0) ::close(fd_);  // closing the last descriptor releases the lock
  fd_ = -1;
}

}  // namespace vl
