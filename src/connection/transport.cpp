#include "connection/transport.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <cassert>

#include "platform/clock.h"
#include "platform/socket_wait.h"
#include "ui/port/port.h"

namespace vl {
namespace {

// The socket is non-blocking once connected, so no TLS call can sit in the kernel past the
// deadline: a stalled peer is seen by the wait below, which is the only place that blocks.
enum class Dir { read, write };

// Waits for the direction the TLS layer asked for, at most until deadline_ms (monotonic).
// Returns > 0 ready, 0 time-out, < 0 error.
int wait_until(int fd, Dir dir, uint64_t deadline_ms) {
  uint64_t now = clock_monotonic_ms();
  if (now >= deadline_ms) return 0;
  int left_s = static_cast<int>((deadline_ms - now + 999) / 1000);
  return socket_wait(fd, dir == Dir::write, left_s);
}

// The descriptor of an established connection, or -1 (after the box) when it is not valid.
int connection_fd(RunContext& ctx) {
  int fd = static_cast<int>(BIO_get_fd(SSL_get_rbio(ctx.conn.ssl.get()), nullptr));
  if (fd < 0) message_box(BoxOwner::none, "Error - fd of BIO is not valid!", "Blah!");
  return fd;
}

// One TLS call repeated until it transfers bytes, fails, times out or the run is cancelled.
// Returns the call's result (> 0), 0 (cancelled) or -1.
template <class Call>
int transfer(RunContext& ctx, int fd, Dir first, int timeout_s, Call call) {
  const uint64_t deadline = clock_monotonic_ms() + static_cast<uint64_t>(timeout_s) * 1000;
  Dir dir = first;
  for (;;) {
    if (ctx.cancel == 1) return 0;
    // Decrypted bytes already buffered need no wait (poll would not see them).
    if (!(dir == Dir::read && SSL_pending(ctx.conn.ssl.get()) > 0)) {
      int w = wait_until(fd, dir, deadline);
      if (w == 0) return -1;
      if (w < 0) {
        message_box(BoxOwner::none, "Other select() error!", "Backup Failure");
        return -1;
      }
    }
    ERR_clear_error();
    int n = call();
    if (n > 0) return n;
    int e = SSL_get_error(ctx.conn.ssl.get(), n);
    if (e == SSL_ERROR_WANT_READ)
      dir = Dir::read;
    else if (e == SSL_ERROR_WANT_WRITE)
      dir = Dir::write;
    else
      return -1;
  }
}

void throttle(AtomicField<uint64_t>& total, ProfileSettings* p, bool tx, uint32_t len) {
  total += len;
  if (!p) return;
  AtomicField<int32_t>& flag = tx ? p->tx_throttle : p->rx_throttle;
  AtomicField<int32_t>& allowance = tx ? p->tx_allowance : p->rx_allowance;
  if (flag == 0) return;
  while (flag != 0 && allowance < 0) sleep_ms(50);
  allowance -= static_cast<int32_t>(len);
}

}  // namespace

void throttle_tx(RunContext& ctx, uint32_t len) {
  throttle(ctx.stats.net_tx_bytes, ctx.profile.get(), true, len);
}

void throttle_rx(RunContext& ctx, uint32_t len) {
  throttle(ctx.stats.net_rx_bytes, ctx.profile.get(), false, len);
}

int server_send(RunContext& ctx, const void* buf, int len, int timeout_s) {
  if (!ctx.conn.ssl) return -1;
  int fd = connection_fd(ctx);
  if (fd < 0) return 0;
  throttle_tx(ctx, static_cast<uint32_t>(len));
  SSL* ssl = ctx.conn.ssl.get();
  return transfer(ctx, fd, Dir::write, timeout_s, [&] { return SSL_write(ssl, buf, len); });
}

int server_receive(RunContext& ctx, void* buf, int cap, int timeout_s) {
  if (!ctx.conn.ssl) return -1;
  int fd = connection_fd(ctx);
  if (fd < 0) return 0;
  SSL* ssl = ctx.conn.ssl.get();
  int n = transfer(ctx, fd, Dir::read, timeout_s, [&] { return SSL_read(ssl, buf, cap); });
  if (n > 0) throttle_rx(ctx, static_cast<uint32_t>(n));
  return n;
}

void connection_set(RunContext& ctx, SSL* ssl) {
  assert(ssl && !ctx.conn.ssl && "a connection replaces none");
  ctx.conn.ssl = SslOwner(ssl, SSL_free);
}

void connection_drop(RunContext& ctx) { ctx.conn.ssl.reset(); }

int server_disconnect(RunContext& ctx) {
  if (!ctx.conn.ssl) return 0;
  static const uint8_t kGoodbye[2] = {0x00, 0x0F};
  server_send(ctx, kGoodbye, 2, 20);
  connection_drop(ctx);
  return 0;
}

}  // namespace vl
