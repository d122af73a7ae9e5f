// The process's TLS client context and one connection attempt: TCP connect, TLS handshake with
// the server's certificate verified against the trusted authorities (ca_source.h) and the
// profile's server name, the greeting, the login and its reply.
#pragma once

#include "run/run_context.h"

namespace vl {

// Creates the TLS client context (TLS 1.2 at least, peer verification on) and loads the
// authorities of ca_choose (ca_source.h). Returns 0; 1 ("Failed to initialize SSL context!") when
// the context cannot be created; 2 (ca_error_text, beginning "Failed to load CA list!") when no
// place applies or the chosen file cannot be loaded; both boxes with the caption "OpenSSL Init
// Error". Also makes a write to a closed connection an error rather
// than a fatal SIGPIPE. Main thread, before any run; calling it again replaces the context.
int ssl_init();

// Frees the context (shutdown and tests). Connections already made keep their own reference.
void ssl_shutdown();

// How one connection attempt ended.
enum AttemptResult : int {
  kAttemptOk = 0,       // logged in, ctx.conn set
  kAttemptFailed = 1,   // worth another attempt (unreachable, TLS, busy, malformed replies)
  kAttemptRefused = 2,  // the server refused the login or password: no attempt will do better
};

// One attempt to connect and log in with the running profile's server, port, login and
// password: a non-blocking TCP connect and TLS handshake, each bounded by the exchange time-out
// and abandoned within 100 ms of a cancel. Returns an AttemptResult; ctx.conn is empty unless
// kAttemptOk. Shows the attempt's steps on the status line ("Connecting...", "Establishing SSL
// Session...", "Logging In...", "Login Successful!") and its failures ("Connect Failed!", "SSL
// Session Failed!" with the TLS library's reason as status_reason_set, "Server Busy!", "Login
// Failed!", "Server Error!" for a malformed greeting or login reply, which sends the goodbye).
// A certificate that does not verify fails the handshake. Worker thread.
int server_open(RunContext& ctx);

// The same attempt for a reconnection: no "Connecting..." and no "Connect Failed!" status.
int server_reopen(RunContext& ctx);

// The same attempt for one of the run's extra upload sessions, on conn: no status line, no box,
// the cause of a failure in *cause. Any thread of the run (a cancel ends it as for server_open);
// conn is the caller's alone meanwhile.
int session_open(RunContext& ctx, ServerConnection& conn, std::string* cause);

// The cause of the last failed attempt and its target, e.g. "localhost:7421 refused the
// connection" or "the certificate does not match the host name vm"; "" after a success.
// Worker thread.
const std::string& server_last_failure();

}  // namespace vl
