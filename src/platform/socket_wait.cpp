#include "platform/socket_wait.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>

namespace vl {

int socket_wait(int fd, bool for_write, int timeout_s) {
  using clock = std::chrono::steady_clock;
  const auto deadline = clock::now() + std::chrono::seconds(timeout_s);
  for (;;) {
    struct pollfd p = {};
    p.fd = fd;
    p.events = for_write ? POLLOUT : POLLIN;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now()).count();
    if (left < 0) left = 0;
    int r = ::poll(&p, 1, static_cast<int>(left));
    if (r < 0 && errno == EINTR) continue;
    if (r > 0 && (p.revents & POLLNVAL)) return -1;
    return r;
  }
}

bool socket_no_delay(int fd) {
  int one = 1;
  return ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) == 0;
}

}  // namespace vl
