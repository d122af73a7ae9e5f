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
#include <functional>
#include <list>
#include <memory>
#include <system_error>
#include <thread>

#include "session.h"
#include "platform/unique_fd.h"

namespace vl::ref {
namespace {

constexpr size_t kMaxConnections = 64;
// A client that says nothing for this long has gone; its thread is freed. (A paused client
// drops its connection itself after about two minutes.)
constexpr int kIdleTimeoutS = 600;
constexpr int kSendTimeoutS = 60;

// The write end of the stop pipe, for the signal handler; -1 once the pipe is gone, so that a
// late signal cannot write into a descriptor number that has been reused.
std::atomic<int> g_stop_fd{-1};

extern "C" void on_stop_signal(int) {
  int saved = errno;
  int fd = g_stop_fd.load();
  char c = 1;
  if (fd >= 0) {
    ssize_t w = ::write(fd, &c, 1);
    (void)w;
  }
  errno = saved;
}

struct CtxFree {
  void operator()(SSL_CTX* c) const { SSL_CTX_free(c); }
};

struct Connection {
  UniqueFd fd;
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

// Joins the finished connections (all of them when every is true); their sockets close with them.
void reap(std::list<std::unique_ptr<Connection>>& conns, bool every) {
  for (auto it = conns.begin(); it != conns.end();) {
    Connection& c = **it;
    if (every || c.done.load()) {
      c.thread.join();
      it = conns.erase(it);
    } else {
      ++it;
    }
  }
}

// The body of a connection's thread. Whatever goes wrong in one session (an exception included)
// ends that connection only; the server goes on.
void connection_thread(SSL_CTX* ctx, Connection* c, uint64_t number, ServerShared& shared) {
  try {
    session_serve(ctx, c->fd.get(), number, shared);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "refserver: connection %llu: ended by an exception: %s\n",
                 static_cast<unsigned long long>(number), e.what());
  } catch (...) {
    std::fprintf(stderr, "refserver: connection %llu: ended by an exception\n",
                 static_cast<unsigned long long>(number));
  }
  ::shutdown(c->fd.get(), SHUT_RDWR);
  c->done.store(true);
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
  SegmentWriter writer(store, options.lazy_writer);
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
  UniqueFd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  int one = 1;
  if (!listener ||
      ::setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
      ::bind(listener.get(), reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listener.get(), 64) != 0) {
    std::fprintf(stderr, "refserver: cannot listen on %s:%u: %s\n", options.listen.c_str(),
                 options.port, std::strerror(errno));
    return 1;
  }
  socklen_t addr_len = sizeof addr;
  ::getsockname(listener.get(), reinterpret_cast<struct sockaddr*>(&addr), &addr_len);

  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC | O_NONBLOCK) != 0) {
    std::fprintf(stderr, "refserver: cannot make a pipe: %s\n", std::strerror(errno));
    return 1;
  }
  UniqueFd stop_read(pipe_fds[0]), stop_write(pipe_fds[1]);
  g_stop_fd.store(stop_write.get());
  struct sigaction sa = {};
  sa.sa_handler = on_stop_signal;
  sigemptyset(&sa.sa_mask);
  ::sigaction(SIGTERM, &sa, nullptr);
  ::sigaction(SIGINT, &sa, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  std::printf("listening on %s:%u\n", options.listen.c_str(), ntohs(addr.sin_port));
  std::fflush(stdout);

  Faults faults(options.faults);
  ServerShared shared{options, store, writer, faults, trace};
  std::list<std::unique_ptr<Connection>> conns;
  uint64_t conn_count = 0;
  for (;;) {
    struct pollfd fds[2] = {{listener.get(), POLLIN, 0}, {stop_read.get(), POLLIN, 0}};
    int ready = ::poll(fds, 2, 1000);
    reap(conns, false);
    store.sync_if_due();
    if (ready < 0 && errno != EINTR) break;
    if (ready <= 0) continue;
    if (fds[1].revents) break;
    if (!(fds[0].revents & POLLIN)) continue;
    UniqueFd fd(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!fd) continue;
    int one = 1;  // replies go out at once instead of waiting for the client's delayed ACK
    ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (conns.size() >= kMaxConnections) {
      std::fprintf(stderr, "refserver: too many connections, refusing one\n");
      continue;
    }
    set_timeout(fd.get(), SO_RCVTIMEO, kIdleTimeoutS);
    set_timeout(fd.get(), SO_SNDTIMEO, kSendTimeoutS);
    auto conn = std::make_unique<Connection>();
    Connection* c = conn.get();
    c->fd = std::move(fd);
    uint64_t number = ++conn_count;
    try {
      c->thread = std::thread(connection_thread, ctx.get(), c, number, std::ref(shared));
    } catch (const std::system_error& e) {
      std::fprintf(stderr, "refserver: cannot start a connection thread: %s\n", e.what());
      continue;
    }
    conns.push_back(std::move(conn));
  }

  listener.reset();
  for (auto& c : conns) ::shutdown(c->fd.get(), SHUT_RDWR);  // wakes every thread blocked on it
  reap(conns, true);
  // A stop asked for during the flush is not lost: the flush runs to its end (what was answered
  // must reach the disk), then the server ends, whatever asked for it first.
  char drained[64];
  while (::read(stop_read.get(), drained, sizeof drained) > 0) {
  }
  writer.wait_written();
  store.links_flush();
  bool synced = store.sync_pending();
  g_stop_fd.store(-1);
  if (::read(stop_read.get(), drained, sizeof drained) > 0)
    std::fprintf(stderr, "refserver: stop asked for during the final flush; ending now that it "
                         "is done\n");
  if (!synced) {
    std::fprintf(stderr, "refserver: segments of the store could not be synced\n");
    return 1;
  }
  return 0;
}

}  // namespace vl::ref
