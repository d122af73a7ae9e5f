// Transport I/O: one message per call over one of the run's TLS connections (ctx.conn, the main
// session, unless another is named), with bounded waits, the run's cancel flag, the network
// totals and the rate limits of the running profile, which are the run's whatever the connection.
// Worker thread only, except on a session being opened off the worker (conn.unthrottled); the UI
// thread touches just the atomic totals, allowances and flags.
#pragma once

#include <cstddef>
#include <cstdint>

#include "run/run_context.h"

namespace vl {

// Writes one message of len bytes as one TLS record into the connection's write buffer, which
// goes out when it is full, before any read, at server_flush, and after every message while
// the profile's sending is throttled. Returns len (> 0) when written; 0 when the run is cancelled
// (seen within 100 ms, also during the throttle wait) or the connection's descriptor is invalid
// ("Error - fd of BIO is not valid!" / "Blah!"); -1 without a connection, when the socket stays
// unwritable for timeout_s seconds, on a wait error ("Other select() error!" / "Backup Failure")
// or a TLS failure. The length is counted and charged to the TX allowance before anything is
// written, whatever the outcome.
int server_send(RunContext& ctx, ServerConnection& conn, const void* buf, int len, int timeout_s);
inline int server_send(RunContext& ctx, const void* buf, int len, int timeout_s) {
  return server_send(ctx, ctx.conn, buf, len, timeout_s);
}

// Writes out the write buffer. Returns 1 when it is empty, 0 when the run is cancelled or the
// descriptor is invalid, -1 as server_send.
int server_flush(RunContext& ctx, ServerConnection& conn, int timeout_s);
inline int server_flush(RunContext& ctx, int timeout_s) { return server_flush(ctx, ctx.conn, timeout_s); }

// The bytes in the write buffer, not yet written out.
size_t server_unflushed(const ServerConnection& conn);

// Writes out the write buffer of each of conns[0..n) and waits at most wait_ms milliseconds (0: a
// look) until a message can be read on one without waiting: it has (at least partly) arrived, or
// the connection was closed or broke, has no connection, or its buffer could not be written out
// (the read then says so). Returns its index; kReplyWaitNone when none has one within the time;
// kReplyWaitCancelled when the run was cancelled. What has arrived is taken into the TLS layer's
// buffer.
constexpr int kReplyWaitNone = -1;
constexpr int kReplyWaitCancelled = -2;
int server_reply_wait_any(RunContext& ctx, ServerConnection* const* conns, size_t n, int wait_ms);

// True when bytes of the next message have been read from the socket already.
bool server_reply_buffered(const ServerConnection& conn);

// Reads one message, after writing out the write buffer: what one TLS record carries, at most
// cap bytes (the rest of the record is read and dropped). Returns the bytes read (> 0), or 0 and
// -1 as server_send; no message within timeout_s seconds is -1. The bytes read are counted and charged to the RX allowance after they
// arrive.
int server_receive(RunContext& ctx, ServerConnection& conn, void* buf, int cap, int timeout_s);
inline int server_receive(RunContext& ctx, void* buf, int cap, int timeout_s) {
  return server_receive(ctx, ctx.conn, buf, cap, timeout_s);
}

// Sends the goodbye message (result not examined; none while an upload is open,
// conn.upload_open) and releases the connection without a TLS shutdown alert. Does
// nothing without a connection. Returns 0.
int server_disconnect(RunContext& ctx, ServerConnection& conn);
inline int server_disconnect(RunContext& ctx) { return server_disconnect(ctx, ctx.conn); }

// Puts a write buffer of kWriteBufferBytes between the TLS layer and the socket of ssl, after its
// handshake: several records then leave in one write. False when it cannot be made.
constexpr int kWriteBufferBytes = 65536;
bool connection_buffer_writes(SSL* ssl);

// Makes ssl (with its BIO set) the connection of conn, which owns it from now on.
void connection_set(ServerConnection& conn, SSL* ssl);

// Releases the connection without sending anything (failed attempts): frees the SSL object, its
// BIO and the socket.
void connection_drop(ServerConnection& conn);

// Counts len into the TX (RX) total; when the profile's throttling is on, waits in 50 ms steps
// while the allowance is negative (throttling switched off ends the wait; the pause point holds
// it while paused), then charges len. Returns false, without charging, when the run is cancelled
// during the wait.
bool throttle_tx(RunContext& ctx, uint32_t len);
bool throttle_rx(RunContext& ctx, uint32_t len);

}  // namespace vl
