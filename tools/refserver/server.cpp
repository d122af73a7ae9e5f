#include "server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <list>
#include <memory>
#include <thread>

#include "session.h"

namespace vl::ref {
namespace {

constexpr size_t kMaxConnections = 64;
// A client that says nothing for this long has gone; its thread is freed. (A paused client
// drops its connection itself after about two minutes.)
constexpr int kIdleTimeoutS = 600;
constexpr int kSendTimeoutS = 60;

int g_stop_pipe[2] = {-1, -1};

extern "C" void on_stop_signal(int) {
  int saved = errno;
  char c = 1;
  ssize_t w = ::write(g_stop_pipe[1], &c, 1);
  (void)w;
  errno = saved;
}

struct CtxFree {
  void operator()(SSL_CTX* c) const { SSL_CTX_free(c); }
};

struct Connection {
  int fd = -1;
  std::thread thread;
  std::atomic<bool> done{false};
};

std::string ssl_errors() {
  std::string text;
  unsigned long e;
  while ((e = ERR_get_error()) != 0) {
    char buf[256];
    ERR_error_string_n(e, buf, sizeof buf);
    text += std::string(" ") + buf;
  }
  return text;
}

void set_timeout(int fd, int option, int seconds) {
  struct timeval tv = {seconds, 0};
  ::setsockopt(fd, SOL_SOCKET, option, &tv, sizeof tv);
}

// Joins the finished connections (all of them when every is true) and closes their sockets.
void reap(std::list<std::unique_ptr<Connection>>& conns, bool every) {
  for (auto it = conns.begin(); it != conns.end();) {
    Connection& c = **it;
    if (every || c.done.load()) {
      c.thread.join();
      ::close(c.fd);
      it = conns.erase(it);
    } else {
      ++it;
    }
  }
}

}  // namespace

int serve_run(const ServeOptions& options) {
  Store store;
  std::string error;
  if (!store.open(options.store, &error)) {
    std::fprintf(stderr, "refserver: %s\n", error.c_str());
    return 1;
  }
  store.set_segment_sync(options.segment_sync);
  Trace trace;
  if (!trace.open(options.trace)) {
    std::fprintf(stderr, "refserver: cannot open the trace file %s\n", options.trace.c_str());
    return 1;
  }
  std::unique_ptr<SSL_CTX, CtxFree> ctx(SSL_CTX_new(TLS_server_method()));
  if (!ctx || SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION) != 1 ||
      SSL_CTX_use_certificate_chain_file(ctx.get(), options.cert.c_str()) != 1 ||
      SSL_CTX_use_PrivateKey_file(ctx.get(), options.key.c_str(), SSL_FILETYPE_PEM) != 1 ||
      SSL_CTX_check_private_key(ctx.get()) != 1) {
    std::fprintf(stderr, "refserver: cannot set up TLS with %s and %s:%s\n", options.cert.c_str(),
                 options.key.c_str(), ssl_errors().c_str());
    return 1;
  }

  struct sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(options.port);
  if (::inet_pton(AF_INET, options.listen.c_str(), &addr.sin_addr) != 1) {
    std::fprintf(stderr, "refserver: bad listen address %s\n", options.listen.c_str());
    return 1;
  }
  int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  int one = 1;
  if (listener < 0 || ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
      ::bind(listener, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listener, 64) != 0) {
    std::fprintf(stderr, "refserver: cannot listen on %s:%u: %s\n", options.listen.c_str(),
                 options.port, std::strerror(errno));
    if (listener >= 0) ::close(listener);
    return 1;
  }
  socklen_t addr_len = sizeof addr;
  ::getsockname(listener, reinterpret_cast<struct sockaddr*>(&addr), &addr_len);

  if (::pipe2(g_stop_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    ::close(listener);
    return 1;
  }
  struct sigaction sa = {};
  sa.sa_handler = on_stop_signal;
  sigemptyset(&sa.sa_mask);
  ::sigaction(SIGTERM, &sa, nullptr);
  ::sigaction(SIGINT, &sa, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  std::printf("listening on %s:%u\n", options.listen.c_str(), ntohs(addr.sin_port));
  std::fflush(stdout);

  Faults faults(options.faults);
  ServerShared shared{options, store, faults, trace};
  std::list<std::unique_ptr<Connection>> conns;
  uint64_t conn_count = 0;
  for (;;) {
    struct pollfd fds[2] = {{listener, POLLIN, 0}, {g_stop_pipe[0], POLLIN, 0}};
    int ready = ::poll(fds, 2, 1000);
    reap(conns, false);
    if (ready < 0 && errno != EINTR) break;
    if (ready <= 0) continue;
    if (fds[1].revents) break;
    if (!(fds[0].revents & POLLIN)) continue;
    int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    int one = 1;  // replies go out at once instead of waiting for the client's delayed ACK
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (conns.size() >= kMaxConnections) {
      std::fprintf(stderr, "refserver: too many connections, refusing one\n");
      ::close(fd);
      continue;
    }
    set_timeout(fd, SO_RCVTIMEO, kIdleTimeoutS);
    set_timeout(fd, SO_SNDTIMEO, kSendTimeoutS);
    auto conn = std::make_unique<Connection>();
    Connection* c = conn.get();
    c->fd = fd;
    uint64_t number = ++conn_count;
    c->thread = std::thread([ctx = ctx.get(), c, number, &shared] {
      session_serve(ctx, c->fd, number, shared);
      ::shutdown(c->fd, SHUT_RDWR);
      c->done.store(true);
    });
    conns.push_back(std::move(conn));
  }

  ::close(listener);
  for (auto& c : conns) ::shutdown(c->fd, SHUT_RDWR);  // wakes every thread blocked on its socket
  reap(conns, true);
  ::close(g_stop_pipe[0]);
  ::close(g_stop_pipe[1]);
  return 0;
}

}  // namespace vl::ref
