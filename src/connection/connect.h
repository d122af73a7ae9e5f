// The process's TLS client context and one connection attempt: TCP connect, TLS handshake with
// the server's certificate verified against the installation's ca.crt and the profile's server
// name, the greeting, the login and its reply.
#pragma once

#include "run/run_context.h"

namespace vl {

// Creates the TLS client context (TLS 1.2 at least, peer verification on) and loads
// install_dir()/ca.crt. Returns 0; 1 ("Failed to initialize SSL context!") when the context cannot
// be created; 2 ("Failed to load CA list!") when the CA list cannot be loaded; both boxes with
// the caption "OpenSSL Init Error". Also makes a write to a closed connection an error rather
// than a fatal SIGPIPE. Main thread, before any run; calling it again replaces the context.
int ssl_init();

// Frees the context (shutdown and tests). Connections already made keep their own reference.
void ssl_shutdown();

// One attempt to connect and log in with the running profile's server, port, login and
// password. Returns 0 with ctx.conn set (logged in), else 1 with ctx.conn empty. Shows the
// attempt's steps on the status line ("Connecting...", "Establishing SSL Session...",
// "Logging In...", "Login Successful!") and its failures ("Connect Failed!", "SSL Session
// Failed!", "Server Busy!", "Login Failed!" with the box "Login failed!" / "Backup Failure",
// "Server Error!" for a malformed greeting or login reply, which sends the goodbye).
// A certificate that does not verify fails the handshake. Worker thread.
int server_open(RunContext& ctx);

// The same attempt for a reconnection: no "Connecting..." and no "Connect Failed!" status, and a
// refused login shows no box.
int server_reopen(RunContext& ctx);

}  // namespace vl
