// A TCP relay on 127.0.0.1 that holds every chunk for half the round trip in each direction and
// optionally caps the bandwidth, so that benchmarks on one machine see an internet distance. The
// cap is the link's, shared by every connection through it, as one access line is.
//   bench_latency_link --listen PORT|0 --to 127.0.0.1:PORT --rtt-ms R [--mbit N]
//   bench_latency_link --ping --rtt-ms R [--mbit N] [--count N]
// The second form relays to an echo peer of its own and prints the round trip it measures.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
volatile std::sig_atomic_t g_stop = 0;
std::atomic<bool> g_ping_done{false};

bool stopping() { return g_stop != 0 || g_ping_done.load(); }

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  Fd(Fd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
  Fd& operator=(Fd&& o) noexcept { std::swap(fd_, o.fd_); return *this; }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { if (fd_ >= 0) ::close(fd_); }
  int get() const { return fd_; }
 private:
  int fd_;
};

// One direction of the line every connection shares: when it is free again, and the bytes that
// wait in it for their time.
struct Wire {
  std::mutex m;
  Clock::time_point free{};
  std::atomic<size_t> queued{0};
};

struct Settings {
  Clock::duration half{};
  double mbit = 0;
  std::shared_ptr<Wire> up = std::make_shared<Wire>(), down = std::make_shared<Wire>();
};

Fd listen_on(int port, int* bound) {
  Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  int one = 1;
  ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (fd.get() < 0 || ::bind(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      ::listen(fd.get(), 64) != 0 || ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    std::perror("listen");
    std::exit(1);
  }
  *bound = ntohs(a.sin_port);
  return fd;
}

Fd connect_to(int port) {
  Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd.get() < 0 || ::connect(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return Fd();
  int one = 1;
  ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

bool write_all(int fd, const char* p, size_t n) {
  while (n > 0) {
    ssize_t w = ::send(fd, p, n, MSG_NOSIGNAL);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

// One direction of a connection: the reader stamps each chunk with the time it may leave, the
// writer sends it then. An empty chunk marks the end of the stream.
struct Direction {
  struct Chunk { Clock::time_point due; std::string data; };
  std::mutex m;
  std::condition_variable cv;
  std::deque<Chunk> queue;
  size_t queued = 0;
  bool aborted = false;
};

// Bounded so that a sender cannot outrun a capped link by more than a router's buffer.
constexpr size_t kQueueLimit = 4 << 20;

class Connection {
 public:
  Connection(Fd a, Fd b, Settings s) : a_(std::move(a)), b_(std::move(b)), s_(s) {
    threads_.emplace_back([this] { read_side(a_.get(), ab_, *s_.up); });
    threads_.emplace_back([this] { write_side(b_.get(), ab_, *s_.up); });
    threads_.emplace_back([this] { read_side(b_.get(), ba_, *s_.down); });
    threads_.emplace_back([this] { write_side(a_.get(), ba_, *s_.down); });
  }
  ~Connection() {
    abort();
    threads_.clear();  // joins before the sockets close
    // What this connection left on the line is no longer there.
    s_.up->queued -= ab_.queued;
    s_.down->queued -= ba_.queued;
  }
  bool finished() const { return ended_.load() == 2; }
  void abort() {
    for (Direction* d : {&ab_, &ba_}) {
      std::lock_guard lock(d->m);
      d->aborted = true;
      d->cv.notify_all();
    }
    ::shutdown(a_.get(), SHUT_RDWR);
    ::shutdown(b_.get(), SHUT_RDWR);
  }

 private:
  void read_side(int from, Direction& d, Wire& wire) {
    std::vector<char> buf(32 * 1024);
    for (;;) {
      {
        std::unique_lock lock(d.m);
        d.cv.wait(lock, [&] { return d.aborted || d.queued < kQueueLimit; });
        if (d.aborted) return;
      }
      // The line's buffer is the router's, one for all connections.
      while (s_.mbit > 0 && wire.queued.load() >= kQueueLimit && !stopping())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      ssize_t n = ::recv(from, buf.data(), buf.size(), 0);
      if (n < 0 && errno == EINTR) continue;
      Clock::time_point now = Clock::now();
      if (n > 0 && s_.mbit > 0) {
        // Serialization: the chunk goes onto the wire once the one before it has left.
        auto tx = std::chrono::duration<double>(n * 8.0 / (s_.mbit * 1e6));
        std::lock_guard line(wire.m);
        wire.free = std::max(wire.free, now) + std::chrono::duration_cast<Clock::duration>(tx);
        now = wire.free;
      }
      if (n > 0) wire.queued += static_cast<size_t>(n);
      std::lock_guard lock(d.m);
      if (d.aborted) return;
      d.queue.push_back({now + s_.half, n > 0 ? std::string(buf.data(), static_cast<size_t>(n)) : std::string()});
      d.queued += n > 0 ? static_cast<size_t>(n) : 0;
      d.cv.notify_all();
      if (n <= 0) return;
    }
  }

  void write_side(int to, Direction& d, Wire& wire) {
    for (;;) {
      std::unique_lock lock(d.m);
      d.cv.wait(lock, [&] { return d.aborted || !d.queue.empty(); });
      if (d.aborted) break;
      Clock::time_point due = d.queue.front().due;
      if (d.cv.wait_until(lock, due, [&] { return d.aborted; })) break;
      std::string data = std::move(d.queue.front().data);
      d.queue.pop_front();
      d.queued -= data.size();
      wire.queued -= data.size();
      d.cv.notify_all();
      lock.unlock();
      if (data.empty()) {
        // The peer closed its sending side: pass the close on, after the delay like the data.
        ::shutdown(to, SHUT_WR);
        ++ended_;
        return;
      }
      if (!write_all(to, data.data(), data.size())) break;
    }
    ended_ = 2;
    abort();
  }

  Fd a_, b_;
  Settings s_;
  Direction ab_, ba_;
  std::atomic<int> ended_{0};
  std::vector<std::jthread> threads_;  // last, so the threads stop before the members they use
};

void serve(const Fd& listener, int target, Settings s) {
  std::list<std::unique_ptr<Connection>> conns;
  while (!stopping()) {
    pollfd p{listener.get(), POLLIN, 0};
    int r = ::poll(&p, 1, 100);
    conns.remove_if([](const auto& c) { return c->finished(); });
    if (r <= 0) continue;
    Fd in(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (in.get() < 0) continue;
    int one = 1;
    ::setsockopt(in.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    Fd out = connect_to(target);
    if (out.get() < 0) {
      std::fprintf(stderr, "cannot reach 127.0.0.1:%d\n", target);
      continue;
    }
    conns.push_back(std::make_unique<Connection>(std::move(in), std::move(out), s));
  }
}

int ping(Settings s, int count) {
  int echo_port = 0, link_port = 0;
  Fd echo_listener = listen_on(0, &echo_port);
  Fd link_listener = listen_on(0, &link_port);
  std::jthread echo([&] {
    Fd c(::accept4(echo_listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    char buf[4096];
    ssize_t n;
    while ((n = ::recv(c.get(), buf, sizeof buf, 0)) > 0)
      if (!write_all(c.get(), buf, static_cast<size_t>(n))) break;
  });
  std::jthread link([&] { serve(link_listener, echo_port, s); });
  Fd c = connect_to(link_port);
  std::vector<double> ms;
  char msg[32] = "ping", back[32];
  for (int i = 0; i < count && c.get() >= 0; ++i) {
    auto t0 = Clock::now();
    if (!write_all(c.get(), msg, sizeof msg)) break;
    size_t got = 0;
    while (got < sizeof back) {
      ssize_t n = ::recv(c.get(), back + got, sizeof back - got, 0);
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
    if (got < sizeof back) break;
    ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
  }
  c = Fd();
  g_ping_done = true;
  ::shutdown(echo_listener.get(), SHUT_RDWR);  // wakes the echo peer if nobody came
  if (ms.size() != static_cast<size_t>(count)) {
    std::fprintf(stderr, "the ping through the link failed\n");
    return 1;
  }
  std::sort(ms.begin(), ms.end());
  std::printf("rtt %.2f ms (median of %d, min %.2f, max %.2f)\n", ms[ms.size() / 2], count, ms.front(), ms.back());
  return 0;
}

void on_signal(int) { g_stop = 1; }

[[noreturn]] void usage() {
  std::fprintf(stderr,
               "usage: bench_latency_link --listen PORT|0 --to 127.0.0.1:PORT --rtt-ms R [--mbit N]\n"
               "       bench_latency_link --ping --rtt-ms R [--mbit N] [--count N]\n");
  std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
  int listen_port = -1, target = -1, count = 5;
  bool ping_mode = false;
  double rtt_ms = -1;
  Settings s;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&]() -> std::string { if (i + 1 >= argc) usage(); return argv[++i]; };
    if (a == "--listen") listen_port = std::atoi(value().c_str());
    else if (a == "--to") {
      std::string t = value();
      // Loopback only: the link never reaches beyond this machine.
      if (t.rfind("127.0.0.1:", 0) != 0) usage();
      target = std::atoi(t.c_str() + 10);
    } else if (a == "--rtt-ms") rtt_ms = std::atof(value().c_str());
    else if (a == "--mbit") s.mbit = std::atof(value().c_str());
    else if (a == "--count") count = std::atoi(value().c_str());
    else if (a == "--ping") ping_mode = true;
    else usage();
  }
  if (rtt_ms < 0 || count < 1 || (!ping_mode && (listen_port < 0 || target <= 0))) usage();
  s.half = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double, std::milli>(rtt_ms / 2));
  struct sigaction sa{};
  sa.sa_handler = on_signal;
  ::sigaction(SIGTERM, &sa, nullptr);
  ::sigaction(SIGINT, &sa, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
  if (ping_mode) return ping(s, count);
  int bound = 0;
  Fd listener = listen_on(listen_port, &bound);
  std::printf("listening on 127.0.0.1:%d\n", bound);
  std::fflush(stdout);
  serve(listener, target, s);
  return 0;
}
