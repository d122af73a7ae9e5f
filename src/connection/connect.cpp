#include "connection/connect.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <csignal>
#include <memory>
#include <string>

#include "connection/messages.h"
#include "connection/transport.h"
#include "run/status.h"
#include "platform/clock.h"
#include "platform/dirs.h"
#include "platform/socket_wait.h"
#include "ui/port/port.h"

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

bool is_ip_literal(const std::string& host) {
  unsigned char addr[16];
  return inet_pton(AF_INET, host.c_str(), addr) == 1 || inet_pton(AF_INET6, host.c_str(), addr) == 1;
}

// The name the certificate must carry: an IP literal is matched against the IP addresses of the
// certificate, anything else against its DNS names (and sent as SNI).
bool peer_name_set(SSL* ssl, const std::string& server) {
  if (is_ip_literal(server))
    return X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), server.c_str()) == 1;
  return SSL_set_tlsext_host_name(ssl, server.c_str()) == 1 && SSL_set1_host(ssl, server.c_str()) == 1;
}

// The handshake on the non-blocking socket, bounded so a peer that accepts TCP and then says
// nothing cannot hold the worker for ever.
bool handshake(SSL* ssl, int fd) {
  const uint64_t deadline = clock_monotonic_ms() + static_cast<uint64_t>(kTimeoutS) * 1000;
  for (;;) {
    ERR_clear_error();
    int r = SSL_connect(ssl);
    if (r == 1) return true;
    int e = SSL_get_error(ssl, r);
    if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) return false;
    uint64_t now = clock_monotonic_ms();
    if (now >= deadline) return false;
    int left_s = static_cast<int>((deadline - now + 999) / 1000);
    if (socket_wait(fd, e == SSL_ERROR_WANT_WRITE, left_s) <= 0) return false;
  }
}

// A malformed greeting or login reply: the server gets the goodbye.
int server_error(RunContext& ctx) {
  status_set(ctx, "Server Error!");
  server_disconnect(ctx);
  return 1;
}

int attempt(RunContext& ctx, bool first) {
  connection_drop(ctx);
  const ProfileSettings* p = ctx.profile.get();
  if (!g_ssl_ctx || !p) return 1;
  SslPtr ssl(SSL_new(g_ssl_ctx));
  if (!ssl) return 1;
  std::string target = p->server + ":" + std::to_string(static_cast<unsigned>(p->port));
  BioPtr bio(BIO_new_connect(target.c_str()));
  if (!bio) {
    status_set(ctx, "Connect Error!");
    message_box(BoxOwner::none, "Unable to create BIO", "Connect Error");
    return 1;
  }
  if (first) status_set(ctx, "Connecting...");
  if (BIO_do_connect(bio.get()) <= 0) {
    if (first) status_set(ctx, "Connect Failed!");
    return 1;
  }
  BIO* b = bio.release();
  SSL_set_bio(ssl.get(), b, b);
  SSL_set_mode(ssl.get(), SSL_MODE_AUTO_RETRY);
  int fd = static_cast<int>(BIO_get_fd(b, nullptr));
  status_set(ctx, "Establishing SSL Session...");
  if (fd >= 0) socket_no_delay(fd);
  if (fd < 0 || !BIO_socket_nbio(fd, 1) || !peer_name_set(ssl.get(), p->server) ||
      !handshake(ssl.get(), fd)) {
    status_set(ctx, "SSL Session Failed!");
    return 1;
  }
  connection_set(ctx, ssl.release());

  uint8_t buf[kReplyCap];
  int n = server_receive(ctx, buf, kReplyCap, kTimeoutS);
  if (n < 10 || buf[0] != kGroupSession || buf[1] != kCodeGreeting) return server_error(ctx);
  status_set(ctx, "Logging In...");
  auto login = login_message_build(p->login, p->password);
  server_send(ctx, login.data(), static_cast<int>(login.size()), kTimeoutS);
  n = server_receive(ctx, buf, kReplyCap, kTimeoutS);
  if (!reply_is(buf, n, kGroupSession, kCodeLoginReply, 3)) return server_error(ctx);
  switch (buf[2]) {
    case 0x00:
      status_set(ctx, "Login Successful!");
      return 0;
    case 0xFE:
      status_set(ctx, "Server Busy!");
      connection_drop(ctx);
      return 1;
    case 0xFF:
      status_set(ctx, "Login Failed!");
      if (first) message_box(BoxOwner::none, "Login failed!", "Backup Failure");
      connection_drop(ctx);
      return 1;
    default:
      return 0;  // any other result counts as accepted
  }
}

}  // namespace

int ssl_init() {
  // A server that drops the connection must make a write fail, not end the process.
  std::signal(SIGPIPE, SIG_IGN);
  OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
  ssl_shutdown();
  SSL_CTX* c = SSL_CTX_new(TLS_client_method());
  if (!c) {
    message_box(BoxOwner::none, "Failed to initialize SSL context!", "OpenSSL Init Error");
    return 1;
  }
  SSL_CTX_set_min_proto_version(c, TLS1_2_VERSION);
  SSL_CTX_set_verify(c, SSL_VERIFY_PEER, nullptr);
  std::string ca = path_join(install_dir(), "ca.crt");
  if (SSL_CTX_load_verify_locations(c, ca.c_str(), nullptr) != 1) {
    SSL_CTX_free(c);
    message_box(BoxOwner::none, "Failed to load CA list!", "OpenSSL Init Error");
    return 2;
  }
  g_ssl_ctx = c;
  return 0;
}

void ssl_shutdown() {
  if (g_ssl_ctx) SSL_CTX_free(g_ssl_ctx);
  g_ssl_ctx = nullptr;
}

int server_open(RunContext& ctx) { return attempt(ctx, true); }

int server_reopen(RunContext& ctx) { return attempt(ctx, false); }

}  // namespace vl
