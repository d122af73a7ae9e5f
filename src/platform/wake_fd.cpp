#include "platform/wake_fd.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "platform/clock.h"

namespace vl {

WakeFd::WakeFd() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

WakeFd::~WakeFd() {
  if (fd_ >= 0) ::close(fd_);
}

void WakeFd::set() {
  if (fd_ < 0) return;
  uint64_t one = 1;
  while (::write(fd_, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

void WakeFd::clear() {
  if (fd_ < 0) return;
  uint64_t value;
  while (::read(fd_, &value, sizeof value) < 0 && errno == EINTR) {
  }
}

void sleep_ms_wakeable(uint32_t ms, int wake_fd) {
  if (wake_fd < 0 || clock_is_fast()) {
    sleep_ms(ms);
    return;
  }
  const uint64_t deadline = clock_monotonic_ms() + ms;
  for (;;) {
    const uint64_t now = clock_monotonic_ms();
    if (now >= deadline) return;
    struct pollfd p = {};
    p.fd = wake_fd;
    p.events = POLLIN;
    int r = ::poll(&p, 1, static_cast<int>(deadline - now));
    if (r < 0 && errno == EINTR) continue;
    return;
  }
}

}  // namespace vl
