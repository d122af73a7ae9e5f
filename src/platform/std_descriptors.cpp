#include "platform/std_descriptors.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace vl {

bool std_descriptors_ensure() {
  bool ok = true;
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // Opened in order from 0, the lowest free number is fd itself; dup2 covers any other case.
    int null_fd = ::open("/dev/null", O_RDWR);
    if (null_fd < 0) {
      ok = false;
      continue;
    }
    if (null_fd != fd) {
      if (::dup2(null_fd, fd) < 0) ok = false;
      ::close(null_fd);
    }
  }
  return ok;
}

}  // namespace vl
