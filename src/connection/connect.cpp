#include "connection/connect.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <memory>
#include <string>

#include "connection/ca_source.h"
#include "connection/messages.h"
#include "connection/transport.h"
#include "run/status.h"
#include "platform/clock.h"
#include "platform/dirs.h"
#include "platform/ip_literal.h"
#include "platform/signals.h"
#include "platform/socket_wait.h"
#include "platform/unique_fd.h"
#include "port/port.h"

namespace vl {
namespace {

SSL_CTX* g_ssl_ctx = nullptr;

struct SslFree {
  void operator()(SSL* s) const { SSL_free(s); }
};
struct BioFree {
  void operator()(BIO* b) const { BIO_free_all(b); }
};
using SslPtr = std::unique_ptr<SSL, SslFree>;
using BioPtr = std::unique_ptr<BIO, BioFree>;

// The name the certificate must carry: an IP literal is matched against the IP addresses of the
// certificate, anything else against its DNS names (and sent as SNI).
bool peer_name_set(SSL* ssl, const std::string& server) {
  if (ip_literal(server))
    return X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), server.c_str()) == 1;
  return SSL_set_tlsext_host_name(ssl, server.c_str()) == 1 && SSL_set1_host(ssl, server.c_str()) == 1;
}

// "host:port" as people write it: an IPv6 literal in brackets.
std::string target_text(const std::string& host, uint16_t port) {
  std::string h = host.find(':') != std::string::npos ? "[" + host + "]" : host;
  return h + ":" + std::to_string(static_cast<unsigned>(port));
}

// The last failed attempt's cause, for "Last attempt: ..." (worker thread only).
std::string g_last_failure;

// The handshake on the non-blocking socket, bounded so a peer that accepts TCP and then says
// nothing cannot hold the worker for ever, and waiting in slices so that a cancel is seen.
bool handshake(RunContext& ctx, SSL* ssl, int fd) {
  const uint64_t deadline = clock_monotonic_ms() + static_cast<uint64_t>(kTimeoutS) * 1000;
  for (;;) {
    ERR_clear_error();
    int r = SSL_connect(ssl);
    if (r == 1) return true;
    int e = SSL_get_error(ssl, r);
    if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) return false;
    for (;;) {
      if (ctx.cancel == 1) return false;
      uint64_t now = clock_monotonic_ms();
      if (now >= deadline) return false;
      uint64_t slice = deadline - now < 100 ? deadline - now : 100;
      int w = socket_wait_ms(fd, e == SSL_ERROR_WANT_WRITE, static_cast<int>(slice));
      if (w < 0) return false;
      if (w > 0) break;
    }
  }
}

// Why the handshake failed, in the TLS library's words, and as the cause of the attempt.
void handshake_failure(SSL* ssl, const ProfileSettings& p, std::string* reason, std::string* cause) {
  long verify = SSL_get_verify_result(ssl);
  unsigned long err = ERR_peek_last_error();
  if (verify != X509_V_OK) {
    *reason = X509_verify_cert_error_string(verify);
    if (verify == X509_V_ERR_HOSTNAME_MISMATCH || verify == X509_V_ERR_IP_ADDRESS_MISMATCH)
      *cause = "the certificate does not match the host name " + p.server;
    else
      *cause = "the server's certificate was not accepted (" + *reason + ")";
    // The common case of a private server: its authority is not one the client was given.
    if (verify == X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY ||
        verify == X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN ||
        verify == X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT)
      *cause += "; save the certificate of the authority that signed it as " + ca_places().user_ca +
                " or name it as CA_File in the settings";
    return;
  }
  const char* text = err ? ERR_reason_error_string(err) : nullptr;
  *reason = text ? text : "no TLS answer from the server";
  *cause = "the TLS handshake with " + target_text(p.server, p.port) + " failed (" + *reason + ")";
}

std::string connect_cause(ConnectFailure f, const ProfileSettings& p, const std::string& text) {
  const std::string target = target_text(p.server, p.port);
  switch (f) {
    case ConnectFailure::unresolved: return "the host name " + p.server + " could not be resolved";
    case ConnectFailure::refused: return target + " refused the connection";
    case ConnectFailure::timed_out:
      return target + " did not answer within " + std::to_string(kTimeoutS) + " seconds";
    case ConnectFailure::cancelled: return "cancelled";
    default: return target + " could not be reached (" + text + ")";
  }
}

// Where one attempt reports: the run's status line and "Last attempt: ..." for the main session
// (with "Connecting..." and "Connect Failed!" on a first attempt), or only a cause for a session
// opened quietly, possibly off the worker.
struct AttemptReport {
  RunContext& ctx;
  bool first = false;
  bool quiet = false;
  std::string* cause;

  void status(const char* text) const {
    if (!quiet) status_set(ctx, text);
  }
  void failed(const std::string& why) const { *cause = why; }
};

// A malformed greeting or login reply: the server gets the goodbye.
int server_error(const AttemptReport& out, ServerConnection& conn, const std::string& cause) {
  out.status("Server Error!");
  out.failed(cause);
  server_disconnect(out.ctx, conn);
  return kAttemptFailed;
}

int attempt(const AttemptReport& out, ServerConnection& conn) {
  RunContext& ctx = out.ctx;
  connection_drop(conn);
  const ProfileSettings* p = ctx.profile.get();
  if (!g_ssl_ctx || !p) return kAttemptFailed;
  SslPtr ssl(SSL_new(g_ssl_ctx));
  if (!ssl) return kAttemptFailed;
  if (out.first) out.status("Connecting...");
  ConnectFailure failure = ConnectFailure::none;
  std::string error_text;
  const uint64_t deadline = clock_monotonic_ms() + static_cast<uint64_t>(kTimeoutS) * 1000;
  UniqueFd sock(tcp_connect(p->server, p->port, deadline, [&ctx] { return ctx.cancel == 1; },
                            &failure, &error_text, ctx.cancel.wake_fd()));
  if (!sock) {
    if (out.first) out.status("Connect Failed!");
    out.failed(connect_cause(failure, *p, error_text));
    return kAttemptFailed;
  }
  BIO* b = BIO_new_socket(sock.get(), BIO_CLOSE);
  if (!b) {
    out.status("Connect Error!");
    if (!out.quiet) message_box(BoxOwner::none, "Unable to create BIO", "Connect Error");
    out.failed("no memory for the connection");
    return kAttemptFailed;
  }
  // The BIO closes the socket from here on.
  const int fd = sock.release();
  SSL_set_bio(ssl.get(), b, b);
  SSL_set_mode(ssl.get(), SSL_MODE_AUTO_RETRY);
  // Read ahead: one read() takes in every record that has arrived, rather than two per record.
  SSL_set_read_ahead(ssl.get(), 1);
  out.status("Establishing SSL Session...");
  socket_no_delay(fd);
  if (!peer_name_set(ssl.get(), p->server) || !handshake(ctx, ssl.get(), fd)) {
    std::string reason;
    handshake_failure(ssl.get(), *p, &reason, out.cause);
    out.status("SSL Session Failed!");
    if (ctx.cancel != 1 && !out.quiet) status_reason_set(reason);
    return kAttemptFailed;
  }
  if (!out.quiet) status_reason_set("");
  if (!connection_buffer_writes(ssl.get())) return kAttemptFailed;
  connection_set(conn, ssl.release());

  const std::string target = target_text(p->server, p->port);
  uint8_t buf[kReplyCap];
  int n = server_receive(ctx, conn, buf, kReplyCap, kTimeoutS);
  if (n < 10 || buf[0] != kGroupSession || buf[1] != kCodeGreeting)
    return server_error(out, conn, target + " sent no valid greeting");
  out.status("Logging In...");
  auto login = login_message_build(p->login, p->password);
  const uint64_t sent = clock_monotonic_ms();
  server_send(ctx, conn, login.data(), static_cast<int>(login.size()), kTimeoutS);
  n = server_receive(ctx, conn, buf, kReplyCap, kTimeoutS);
  conn.login_ms = static_cast<uint32_t>(clock_monotonic_ms() - sent);
  if (!reply_is(buf, n, kGroupSession, kCodeLoginReply, 3))
    return server_error(out, conn, target + " did not answer the login");
  switch (buf[2]) {
    case 0x00:
      out.status("Login Successful!");
      out.cause->clear();
      return kAttemptOk;
    case 0xFE:
      out.status("Server Busy!");
      out.failed(target + " is busy");
      connection_drop(conn);
      return kAttemptFailed;
    case 0xFF:
      // A refused login never fixes itself: the caller ends the run with its one box.
      out.status("Login Failed!");
      out.failed(target + " refused the login or password");
      connection_drop(conn);
      return kAttemptRefused;
    default:
      out.cause->clear();
      return kAttemptOk;  // any other result counts as accepted
  }
}

}  // namespace

int ssl_init() {
  // A server that drops the connection must make a write fail, not end the process.
  sigpipe_ignore();
  OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
  ssl_shutdown();
  SSL_CTX* c = SSL_CTX_new(TLS_client_method());
  if (!c) {
    message_box(BoxOwner::none, "Failed to initialize SSL context!", "OpenSSL Init Error");
    return 1;
  }
  SSL_CTX_set_min_proto_version(c, TLS1_2_VERSION);
  SSL_CTX_set_verify(c, SSL_VERIFY_PEER, nullptr);
  // The host-name check (peer_name_set) stays on whichever authority is trusted.
  const CaPlaces places = ca_places();
  const CaPresence found = ca_presence(places);
  const CaChoice choice = ca_choose(places, found);
  const bool loaded =
      choice.kind == CaKind::file     ? SSL_CTX_load_verify_locations(c, choice.path.c_str(), nullptr) == 1
      : choice.kind == CaKind::system ? SSL_CTX_set_default_verify_paths(c) == 1
                                      : false;
  if (!loaded) {
    SSL_CTX_free(c);
    message_box(BoxOwner::none, ca_error_text(places, found, choice), "OpenSSL Init Error");
    return 2;
  }
  g_ssl_ctx = c;
  return 0;
}

void ssl_shutdown() {
  if (g_ssl_ctx) SSL_CTX_free(g_ssl_ctx);
  g_ssl_ctx = nullptr;
}

int server_open(RunContext& ctx) {
  return attempt(AttemptReport{ctx, true, false, &g_last_failure}, ctx.conn);
}

int server_reopen(RunContext& ctx) {
  return attempt(AttemptReport{ctx, false, false, &g_last_failure}, ctx.conn);
}

int session_open(RunContext& ctx, ServerConnection& conn, std::string* cause) {
  return attempt(AttemptReport{ctx, false, true, cause}, conn);
}

const std::string& server_last_failure() { return g_last_failure; }

}  // namespace vl
