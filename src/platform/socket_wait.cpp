#include "platform/socket_wait.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/clock.h"

namespace vl {

int socket_wait_ms(int fd, bool for_write, int timeout_ms, int wake_fd) {
  using clock = std::chrono::steady_clock;
  const auto deadline = clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    struct pollfd p[2] = {};
    p[0].fd = fd;
    p[0].events = for_write ? POLLOUT : POLLIN;
    p[1].fd = wake_fd;
    p[1].events = POLLIN;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now()).count();
    if (left < 0) left = 0;
    int r = ::poll(p, wake_fd >= 0 ? 2 : 1, static_cast<int>(left));
    if (r < 0 && errno == EINTR) continue;
    if (r > 0 && (p[0].revents & POLLNVAL)) return -1;
    if (r > 0 && p[0].revents == 0) return kSocketWaitWoken;
    return r;
  }
}

int sockets_wait_readable_ms(const int* fds, size_t n, int timeout_ms, int wake_fd) {
  using clock = std::chrono::steady_clock;
  const auto deadline = clock::now() + std::chrono::milliseconds(timeout_ms);
  std::vector<struct pollfd> p(n + 1);
  for (size_t i = 0; i < n; ++i) p[i] = {fds[i], POLLIN, 0};
  p[n] = {wake_fd, POLLIN, 0};
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now()).count();
    if (left < 0) left = 0;
    int r = ::poll(p.data(), static_cast<nfds_t>(wake_fd >= 0 ? n + 1 : n), static_cast<int>(left));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return -1;
    for (size_t i = 0; i < n; ++i)
      if (p[i].revents != 0) return static_cast<int>(i);
    return kSocketWaitWoken;
  }
}

bool socket_no_delay(int fd) {
  int one = 1;
  return ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) == 0;
}

namespace {

struct AddrInfoFree {
  void operator()(addrinfo* a) const { ::freeaddrinfo(a); }
};

// One non-blocking connect; returns the descriptor or -1 with errno-style *err (ETIMEDOUT at the
// deadline, ECANCELED when cancelled).
int connect_one(const addrinfo* a, uint64_t deadline_ms, const std::function<bool()>& cancelled,
                int wake_fd, int* err) {
  int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
  if (fd < 0) {
    *err = errno;
    return -1;
  }
  if (::connect(fd, a->ai_addr, a->ai_addrlen) == 0) return fd;
  if (errno != EINPROGRESS) {
    *err = errno;
    ::close(fd);
    return -1;
  }
  for (;;) {
    if (cancelled && cancelled()) {
      *err = ECANCELED;
      break;
    }
    uint64_t now = clock_monotonic_ms();
    if (now >= deadline_ms) {
      *err = ETIMEDOUT;
      break;
    }
    uint64_t slice = deadline_ms - now;
    if (wake_fd < 0 && slice > 100) slice = 100;
    int r = socket_wait_ms(fd, true, static_cast<int>(slice), wake_fd);
    if (r == kSocketWaitWoken) continue;
    if (r < 0) {
      *err = errno;
      break;
    }
    if (r == 0) continue;
    int so_error = 0;
    socklen_t len = sizeof so_error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &so_error, &len) != 0) so_error = errno;
    if (so_error == 0) return fd;
    *err = so_error;
    break;
  }
  ::close(fd);
  return -1;
}

}  // namespace

int tcp_connect(const std::string& host, uint16_t port, uint64_t deadline_ms,
                const std::function<bool()>& cancelled, ConnectFailure* failure,
                std::string* error_text, int wake_fd) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_ADDRCONFIG | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  int rc = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
  std::unique_ptr<addrinfo, AddrInfoFree> list(found);
  if (rc != 0) {
    *failure = ConnectFailure::unresolved;
    *error_text = ::gai_strerror(rc);
    return -1;
  }
  int err = EHOSTUNREACH;
  for (const addrinfo* a = list.get(); a; a = a->ai_next) {
    int fd = connect_one(a, deadline_ms, cancelled, wake_fd, &err);
    if (fd >= 0) {
      *failure = ConnectFailure::none;
      error_text->clear();
      return fd;
    }
    if (err == ECANCELED || err == ETIMEDOUT) break;
  }
  *error_text = std::strerror(err);
  switch (err) {
    case ECANCELED: *failure = ConnectFailure::cancelled; break;
    case ECONNREFUSED: *failure = ConnectFailure::refused; break;
    case ETIMEDOUT: *failure = ConnectFailure::timed_out; break;
    default: *failure = ConnectFailure::unreachable; break;
  }
  return -1;
}

}  // namespace vl
