#include "connection/transport.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <cassert>
#include <vector>

#include "platform/clock.h"
#include "platform/socket_wait.h"
#include "run/run_control.h"
#include "port/port.h"

namespace vl {
namespace {

// The socket is non-blocking once connected, so no TLS call can sit in the kernel past the
// deadline: a stalled peer is seen by the wait below, which is the only place that blocks.
enum class Dir { read, write };

// Waits for the socket until the deadline; a cancel wakes the wait at once. Returns > 0 ready,
// 0 time-out, < 0 error, kWaitCancelled when the run was cancelled.
constexpr int kWaitCancelled = -2;

int wait_until(RunContext& ctx, int fd, Dir dir, uint64_t deadline_ms) {
  for (;;) {
    if (ctx.cancel == 1) return kWaitCancelled;
    uint64_t now = clock_monotonic_ms();
    if (now >= deadline_ms) return 0;
    uint64_t wait = deadline_ms - now;
    const int wake = ctx.cancel.wake_fd();
    if (wake < 0 && wait > 100) wait = 100;  // no descriptor to wake it: look now and then
    int r = socket_wait_ms(fd, dir == Dir::write, static_cast<int>(wait), wake);
    if (r == kSocketWaitWoken) continue;
    return r;
  }
}

// The descriptor of an established connection, or -1 (after the box) when it is not valid.
int connection_fd(ServerConnection& conn) {
  int fd = static_cast<int>(BIO_get_fd(SSL_get_rbio(conn.ssl.get()), nullptr));
  if (fd < 0) message_box(BoxOwner::none, "Error - fd of BIO is not valid!", "Blah!");
  return fd;
}

// One TLS call repeated until it transfers bytes, fails, times out or the run is cancelled.
// The call is tried first and the socket waited for only when the TLS layer asks: the socket is
// nearly always writable, and a reply has often arrived already. Returns the call's result
// (> 0), 0 (cancelled) or -1.
template <class Call>
int transfer(RunContext& ctx, SSL* ssl, int fd, int timeout_s, Call call) {
  const uint64_t deadline = clock_monotonic_ms() + static_cast<uint64_t>(timeout_s) * 1000;
  for (;;) {
    if (ctx.cancel == 1) return 0;
    ERR_clear_error();
    int n = call();
    if (n > 0) return n;
    int e = SSL_get_error(ssl, n);
    if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) return -1;
    int w = wait_until(ctx, fd, e == SSL_ERROR_WANT_WRITE ? Dir::write : Dir::read, deadline);
    if (w == kWaitCancelled) return 0;
    if (w == 0) return -1;
    if (w < 0) {
      message_box(BoxOwner::none, "Other select() error!", "Backup Failure");
      return -1;
    }
  }
}

// Counts len into the total; while throttling is on and the allowance is negative, waits in
// 50 ms steps (the refill timer raises it every 100 ms; a cancel cuts a step short), holding at
// the pause point while paused.
// Returns false when the run was cancelled during the wait (nothing is charged then).
bool throttle(RunContext& ctx, AtomicField<uint64_t>& total, bool tx, uint32_t len) {
  total += len;
  ProfileSettings* p = ctx.profile.get();
  if (!p) return true;
  AtomicField<int32_t>& flag = tx ? p->tx_throttle : p->rx_throttle;
  AtomicField<int32_t>& allowance = tx ? p->tx_allowance : p->rx_allowance;
  if (flag == 0) return true;
  while (flag != 0 && allowance < 0) {
    if (ctx.cancel == 1) return false;
    pause_wait(ctx);
    run_sleep_ms(ctx, 50);
  }
  allowance -= static_cast<int32_t>(len);
  return true;
}

// Writes out what the write buffer holds. Returns 1 when it is empty, 0 when the run was
// cancelled, -1 when the socket stays unwritable past the deadline or the connection failed.
int flush_until(RunContext& ctx, SSL* ssl, int fd, uint64_t deadline) {
  BIO* w = SSL_get_wbio(ssl);
  for (;;) {
    if (BIO_wpending(w) <= 0) return 1;
    if (BIO_flush(w) > 0) return 1;
    if (!BIO_should_retry(w)) return -1;
    int r = wait_until(ctx, fd, Dir::write, deadline);
    if (r == kWaitCancelled) return 0;
    if (r == 0) return -1;
    if (r < 0) {
      message_box(BoxOwner::none, "Other select() error!", "Backup Failure");
      return -1;
    }
  }
}

// Trying to read is the look: a reply that has arrived goes into the TLS layer's buffer, one
// read() where a poll() and then a read() were two, and nothing is consumed. Anything but
// "nothing yet" (a reply, a closed or broken connection) is for the reader to take up.
bool reply_arrived(SSL* ssl) {
  if (SSL_has_pending(ssl) == 1) return true;
  ERR_clear_error();
  char first;
  int n = SSL_peek(ssl, &first, 1);
  return n > 0 || SSL_get_error(ssl, n) != SSL_ERROR_WANT_READ;
}

// The write buffers' deadline while replies are waited for.
constexpr int kFlushTimeoutS = 20;

uint64_t deadline_in(int timeout_s) {
  return clock_monotonic_ms() + static_cast<uint64_t>(timeout_s) * 1000;
}

}  // namespace

bool connection_buffer_writes(SSL* ssl) {
  BIO* socket = SSL_get_rbio(ssl);
  BIO* buffer = BIO_new(BIO_f_buffer());
  if (!socket || !buffer || BIO_set_write_buffer_size(buffer, kWriteBufferBytes) <= 0) {
    BIO_free(buffer);
    return false;
  }
  // The socket BIO is then held twice, as the read BIO and below the buffer.
  BIO_up_ref(socket);
  BIO_push(buffer, socket);
  SSL_set0_wbio(ssl, buffer);
  return true;
}

int server_flush(RunContext& ctx, ServerConnection& conn, int timeout_s) {
  if (!conn.ssl) return -1;
  int fd = connection_fd(conn);
  if (fd < 0) return 0;
  return flush_until(ctx, conn.ssl.get(), fd, deadline_in(timeout_s));
}

size_t server_unflushed(const ServerConnection& conn) {
  if (!conn.ssl) return 0;
  long n = BIO_wpending(SSL_get_wbio(conn.ssl.get()));
  return n > 0 ? static_cast<size_t>(n) : 0;
}

bool server_reply_buffered(const ServerConnection& conn) {
  return conn.ssl && SSL_has_pending(conn.ssl.get()) == 1;
}

int server_reply_wait_any(RunContext& ctx, ServerConnection* const* conns, size_t n, int wait_ms) {
  std::vector<int> fds(n);
  for (size_t i = 0; i < n; ++i) {
    ServerConnection& c = *conns[i];
    // A connection that cannot be waited for is ready: its read says why.
    if (!c.ssl || (fds[i] = connection_fd(c)) < 0) return static_cast<int>(i);
    int f = flush_until(ctx, c.ssl.get(), fds[i], deadline_in(kFlushTimeoutS));
    if (f == 0 && ctx.cancel == 1) return kReplyWaitCancelled;
    if (f <= 0 || reply_arrived(c.ssl.get())) return static_cast<int>(i);
  }
  const uint64_t deadline = clock_monotonic_ms() + static_cast<uint64_t>(wait_ms);
  for (;;) {
    if (ctx.cancel == 1) return kReplyWaitCancelled;
    const uint64_t now = clock_monotonic_ms();
    const int left = now >= deadline ? 0 : static_cast<int>(deadline - now);
    int k = sockets_wait_readable_ms(fds.data(), n, left, ctx.cancel.wake_fd());
    if (k == kSocketWaitWoken) continue;
    if (k < 0) return kReplyWaitNone;
    if (reply_arrived(conns[k]->ssl.get())) return k;
    // Only the TLS layer's own records came (a session ticket): wait on.
    if (left == 0) return kReplyWaitNone;
  }
}

bool throttle_tx(RunContext& ctx, uint32_t len) {
  return throttle(ctx, ctx.stats.net_tx_bytes, true, len);
}

bool throttle_rx(RunContext& ctx, uint32_t len) {
  return throttle(ctx, ctx.stats.net_rx_bytes, false, len);
}

int server_send(RunContext& ctx, ServerConnection& conn, const void* buf, int len, int timeout_s) {
  if (!conn.ssl) return -1;
  int fd = connection_fd(conn);
  if (fd < 0) return 0;
  if (conn.unthrottled) ctx.stats.net_tx_bytes += static_cast<uint32_t>(len);
  else if (!throttle_tx(ctx, static_cast<uint32_t>(len))) return 0;
  // A long pause inside the throttle wait may have given the connection up.
  if (!conn.ssl) return -1;
  SSL* ssl = conn.ssl.get();
  int n = transfer(ctx, ssl, fd, timeout_s, [&] { return SSL_write(ssl, buf, len); });
  // A throttled connection writes as it is allowed, not in bursts of a buffer's worth.
  ProfileSettings* p = ctx.profile.get();
  if (n > 0 && p && p->tx_throttle != 0) {
    int f = flush_until(ctx, ssl, fd, deadline_in(timeout_s));
    if (f <= 0) return f;
  }
  return n;
}

int server_receive(RunContext& ctx, ServerConnection& conn, void* buf, int cap, int timeout_s) {
  if (!conn.ssl) return -1;
  int fd = connection_fd(conn);
  if (fd < 0) return 0;
  SSL* ssl = conn.ssl.get();
  // The peer answers only what it has been sent.
  int f = flush_until(ctx, ssl, fd, deadline_in(timeout_s));
  if (f <= 0) return f;
  int n = transfer(ctx, ssl, fd, timeout_s, [&] { return SSL_read(ssl, buf, cap); });
  if (n <= 0) return n;
  // Each reply comes in a TLS record of its own, and what a reply holds beyond the buffer is
  // ignored: left in the record, it would be read as the answer to the next request.
  uint32_t received = static_cast<uint32_t>(n);
  uint8_t rest[256];
  for (int left; (left = SSL_pending(ssl)) > 0;) {
    const int got = SSL_read(ssl, rest, std::min(left, static_cast<int>(sizeof rest)));
    if (got <= 0) break;
    received += static_cast<uint32_t>(got);
  }
  if (conn.unthrottled) ctx.stats.net_rx_bytes += received;
  else if (!throttle_rx(ctx, received)) return 0;
  return n;
}

void connection_set(ServerConnection& conn, SSL* ssl) {
  assert(ssl && !conn.ssl && "a connection replaces none");
  conn.ssl = SslOwner(ssl, SSL_free);
  conn.upload_open = false;
}

void connection_drop(ServerConnection& conn) {
  conn.ssl.reset();
  conn.upload_open = false;
}

int server_disconnect(RunContext& ctx, ServerConnection& conn) {
  if (!conn.ssl) return 0;
  static const uint8_t kGoodbye[2] = {0x00, 0x0F};
  // With an upload open the server reads data next: it gets nothing, not a goodbye.
  if (!conn.upload_open && server_send(ctx, conn, kGoodbye, 2, 20) > 0)
    server_flush(ctx, conn, 20);
  connection_drop(conn);
  return 0;
}

}  // namespace vl
