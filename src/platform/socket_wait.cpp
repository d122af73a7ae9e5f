#include "platform/socket_wait.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
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

// One name look-up, shared by the caller and the thread that runs it; whichever lets go last
// frees the answer. The C library's own asynchronous look-up is not used: its wait, given up at a
// time-out just as the answer comes, leaves the waiter's record behind on the waiter's stack, and
// the answer is then written into whatever that stack holds by then.
struct Lookup {
  std::mutex mutex;
  std::condition_variable answered_cv;
  bool answered = false;
  int rc = EAI_AGAIN;
  addrinfo* result = nullptr;
  ~Lookup() {
    if (result) ::freeaddrinfo(result);
  }
};

std::atomic<int> g_lookup_delay_ms{0};

// Whether the caller is still to wait for the answer (a test build's slow name server included).
bool lookup_waiting(const Lookup& l, uint64_t started_ms) {
  if (!l.answered) return true;
#ifdef VORNLAKE_FAULT_HOOKS
  const int delay = g_lookup_delay_ms.load();
  if (delay > 0 && clock_monotonic_ms() - started_ms < static_cast<uint64_t>(delay)) return true;
#else
  (void)started_ms;
#endif
  return false;
}

// Resolves host and port like getaddrinfo, on a thread of its own, waiting in steps of 50 ms so
// that a cancel or the deadline ends the wait whatever the name server does; a look-up given up
// finishes on its own and lets go of its answer. Returns 0 with *list, or an EAI_ code:
// EAI_CANCELED when cancelled, EAI_AGAIN at the deadline.
int resolve(const std::string& host, uint16_t port, uint64_t deadline_ms,
            const std::function<bool()>& cancelled, std::unique_ptr<addrinfo, AddrInfoFree>* list) {
  auto lookup = [host, service = std::to_string(port)](addrinfo** result) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_ADDRCONFIG | AI_NUMERICSERV;
    return ::getaddrinfo(host.c_str(), service.c_str(), &hints, result);
  };
  auto l = std::make_shared<Lookup>();
  try {
    std::thread([l, lookup] {
      addrinfo* result = nullptr;
      const int rc = lookup(&result);
      std::lock_guard<std::mutex> lock(l->mutex);
      l->rc = rc;
      l->result = result;
      l->answered = true;
      l->answered_cv.notify_all();
    }).detach();  // nothing can stop a look-up: a caller who gives up leaves it to end alone
  } catch (const std::system_error&) {
    addrinfo* result = nullptr;  // no thread to be had: look up here, as the C library does
    const int rc = lookup(&result);
    list->reset(result);
    return rc;
  }
  const uint64_t started = clock_monotonic_ms();
  std::unique_lock<std::mutex> lock(l->mutex);
  while (lookup_waiting(*l, started)) {
    lock.unlock();
    const bool stop = cancelled && cancelled();
    if (stop || clock_monotonic_ms() >= deadline_ms) return stop ? EAI_CANCELED : EAI_AGAIN;
    lock.lock();
    const bool held_back = l->answered;  // a test build's slow name server: wait out the step
    l->answered_cv.wait_for(lock, std::chrono::milliseconds(50),
                            [&] { return !held_back && l->answered; });
  }
  list->reset(std::exchange(l->result, nullptr));
  return l->rc;
}

}  // namespace

void net_fault_lookup_delay_set(int ms) { g_lookup_delay_ms = ms; }

uint64_t connect_share_ms(uint64_t left_ms, size_t addresses_left) {
  constexpr uint64_t kMinShareMs = 2000;  // a slow but working path still completes its handshake
  if (addresses_left <= 1) return left_ms;
  return std::min(left_ms, std::max(left_ms / addresses_left, kMinShareMs));
}

int tcp_connect(const std::string& host, uint16_t port, uint64_t deadline_ms,
                const std::function<bool()>& cancelled, ConnectFailure* failure,
                std::string* error_text, int wake_fd) {
  std::unique_ptr<addrinfo, AddrInfoFree> list;
  const int rc = resolve(host, port, deadline_ms, cancelled, &list);
  if (rc != 0) {
    *failure = rc == EAI_CANCELED ? ConnectFailure::cancelled
               : rc == EAI_AGAIN && clock_monotonic_ms() >= deadline_ms ? ConnectFailure::timed_out
                                                                         : ConnectFailure::unresolved;
    *error_text = ::gai_strerror(rc);
    return -1;
  }
  size_t addresses_left = 0;
  for (const addrinfo* a = list.get(); a; a = a->ai_next) ++addresses_left;
  int err = EHOSTUNREACH;
  for (const addrinfo* a = list.get(); a; a = a->ai_next, --addresses_left) {
    // A dual-stack server whose IPv6 route drops packets must not use up the whole deadline on
    // its first address: the IPv4 one after it would never be tried.
    const uint64_t now = clock_monotonic_ms();
    const uint64_t left = deadline_ms > now ? deadline_ms - now : 0;
    int fd = connect_one(a, now + connect_share_ms(left, addresses_left), cancelled, wake_fd, &err);
    if (fd >= 0) {
      *failure = ConnectFailure::none;
      error_text->clear();
      return fd;
    }
    if (err == ECANCELED || (err == ETIMEDOUT && clock_monotonic_ms() >= deadline_ms)) break;
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
