#include "wire_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/clock.h"
#include "support/refserver_process.h"

namespace vl::test {

WireClient::WireClient(int port, const std::string& ca_file) {
  std::string ca = ca_file.empty() ? test_certs_dir() + "/ca.crt" : ca_file;
  fd_.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  struct sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (!fd_ || ::connect(fd_.get(), reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0)
    return;
  ctx_ = SSL_CTX_new(TLS_client_method());
  if (!ctx_) return;
  SSL_CTX_set_min_proto_version(ctx_, TLS1_2_VERSION);
  SSL_CTX_set_verify(ctx_, SSL_VERIFY_PEER, nullptr);
  if (SSL_CTX_load_verify_locations(ctx_, ca.c_str(), nullptr) != 1) return;
  SSL* ssl = SSL_new(ctx_);
  SSL_set_fd(ssl, fd_.get());
  SSL_set_tlsext_host_name(ssl, "localhost");
  SSL_set1_host(ssl, "localhost");
  if (SSL_connect(ssl) != 1) {
    SSL_free(ssl);
    return;
  }
  ssl_ = ssl;
}

WireClient::~WireClient() {
  if (ssl_) SSL_free(ssl_);
  if (ctx_) SSL_CTX_free(ctx_);
}

bool WireClient::send(const Bytes& msg) {
  if (!ssl_) return false;
  return SSL_write(ssl_, msg.data(), static_cast<int>(msg.size())) == static_cast<int>(msg.size());
}

bool WireClient::send_ahead(const std::vector<Bytes>& msgs) {
  int on = 1, off = 0;
  ::setsockopt(fd_.get(), IPPROTO_TCP, TCP_CORK, &on, sizeof on);
  bool ok = true;
  for (const Bytes& m : msgs) ok = ok && send(m);
  ::setsockopt(fd_.get(), IPPROTO_TCP, TCP_CORK, &off, sizeof off);
  return ok;
}

Bytes WireClient::recv(int timeout_ms) {
  if (!ssl_ || closed_) return {};
  struct timeval tv = {timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  ::setsockopt(fd_.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  Bytes buf(16384);
  ERR_clear_error();
  int n = SSL_read(ssl_, buf.data(), static_cast<int>(buf.size()));
  if (n > 0) {
    buf.resize(static_cast<size_t>(n));
    return buf;
  }
  int e = SSL_get_error(ssl_, n);
  bool timed_out = e == SSL_ERROR_WANT_READ ||
                   (e == SSL_ERROR_SYSCALL && (errno == EAGAIN || errno == EWOULDBLOCK));
  if (!timed_out) closed_ = true;
  return {};
}

bool WireClient::wait_closed(int timeout_ms, std::vector<Bytes>* extra) {
  uint64_t start = clock_monotonic_ms();
  while (!closed_) {
    uint64_t spent = clock_monotonic_ms() - start;
    if (spent >= static_cast<uint64_t>(timeout_ms)) return false;
    Bytes m = recv(static_cast<int>(timeout_ms - spent));
    if (!m.empty() && extra) extra->push_back(m);
  }
  return true;
}

Bytes WireClient::greet_and_login(const std::string& login, const std::string& password) {
  Bytes greeting = recv();
  if (greeting.size() < 10 || greeting[0] != 0 || greeting[1] != 0) return {};
  if (!send(login_message(login, password))) return {};
  return recv();
}

Bytes login_message(const std::string& login, const std::string& password) {
  Bytes m(76, 0);
  m[1] = 0x08;
  m[2] = 0x01;
  m[3] = 0x01;
  m[6] = 0x09;
  std::memcpy(&m[10], login.data(), std::min<size_t>(login.size(), 32));
  std::memcpy(&m[43], password.data(), std::min<size_t>(password.size(), 32));
  return m;
}

static void put32(Bytes& m, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) m[at + static_cast<size_t>(i)] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t le32_at(const Bytes& b, size_t at) {
  return static_cast<uint32_t>(b[at]) | static_cast<uint32_t>(b[at + 1]) << 8 |
         static_cast<uint32_t>(b[at + 2]) << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

Bytes profile_request(const std::string& tag) {
  Bytes m = {0x01, 0x02};
  m.insert(m.end(), tag.begin(), tag.end());
  m.push_back(0);
  return m;
}

Bytes catalog_request(uint32_t profile_id) {
  Bytes m(6, 0);
  m[0] = 0x02;
  m[1] = 0x21;
  put32(m, 2, profile_id);
  return m;
}

static Bytes digest_message(uint8_t code, const Md5Digest& d, uint32_t value) {
  Bytes m(22, 0);
  m[0] = 0x80;
  m[1] = code;
  std::memcpy(&m[2], d.data(), 16);
  put32(m, 18, value);
  return m;
}

Bytes query_message(const Md5Digest& d, uint32_t size) { return digest_message(0x00, d, size); }
Bytes link_message(const Md5Digest& d, uint32_t catalog_id) {
  return digest_message(0x1E, d, catalog_id);
}

Bytes upload_header(const Md5Digest& d, uint32_t size, uint8_t compressed, uint8_t level,
                    uint32_t payload_size) {
  Bytes m(28, 0);
  m[0] = 0x80;
  m[1] = 0x10;
  std::memcpy(&m[2], d.data(), 16);
  put32(m, 18, size);
  m[22] = compressed;
  m[23] = level;
  put32(m, 24, payload_size);
  return m;
}

std::vector<Bytes> data_messages(const std::string& payload) {
  std::vector<Bytes> out;
  for (size_t at = 0; at < payload.size(); at += 4096) {
    size_t n = std::min<size_t>(4096, payload.size() - at);
    Bytes m = {0x80, 0x12};
    m.insert(m.end(), payload.begin() + static_cast<long>(at),
             payload.begin() + static_cast<long>(at + n));
    out.push_back(std::move(m));
  }
  return out;
}

Bytes finalize_message(uint32_t catalog_id, const Md5Digest& d, uint64_t size, uint32_t files,
                       uint32_t directories) {
  Bytes m(72, 0);
  m[0] = 0x02;
  m[1] = 0x23;
  put32(m, 2, catalog_id);
  std::memcpy(&m[6], d.data(), 16);
  put32(m, 22, static_cast<uint32_t>(size));
  put32(m, 26, static_cast<uint32_t>(size >> 32));
  put32(m, 30, static_cast<uint32_t>(clock_now()));
  put32(m, 34, files);
  put32(m, 38, directories);
  m[70] = 0x01;
  m[71] = 0x01;
  return m;
}

Md5Digest md5(const std::string& content) {
  Md5Digest d{};
  unsigned int len = 0;
  EVP_Digest(content.data(), content.size(), d.data(), &len, EVP_md5(), nullptr);
  return d;
}

std::string hex(const Md5Digest& d) {
  static const char digits[] = "0123456789abcdef";
  std::string s;
  for (uint8_t b : d) {
    s.push_back(digits[b >> 4]);
    s.push_back(digits[b & 15]);
  }
  return s;
}

std::string deflate9(const std::string& content) {
  uLongf cap = compressBound(static_cast<uLong>(content.size()));
  std::string out(cap, '\0');
  compress2(reinterpret_cast<Bytef*>(out.data()), &cap,
            reinterpret_cast<const Bytef*>(content.data()), static_cast<uLong>(content.size()), 9);
  out.resize(cap);
  return out;
}

std::string store_segment(WireClient& c, const std::string& content, uint32_t catalog_id) {
  Md5Digest d = md5(content);
  uint32_t size = static_cast<uint32_t>(content.size());
  if (!c.send(query_message(d, size))) return "query not sent";
  Bytes q = c.recv();
  if (q.size() < 3 || q[0] != 0x80 || q[1] != 0x01) return "bad query reply";
  if (q[2] != 0xFF) {
    std::string packed = deflate9(content);
    bool compressed = !content.empty() && packed.size() <= content.size();
    const std::string& payload = compressed ? packed : content;
    c.send(upload_header(d, size, compressed ? 1 : 0, compressed ? 9 : 0,
                         static_cast<uint32_t>(payload.size())));
    Bytes h = c.recv();
    if (h.size() < 7 || h[0] != 0x80 || h[1] != 0x11) return "bad upload header reply";
    if (h[6] == 0x00) {
      for (const Bytes& m : data_messages(payload))
        if (!c.send(m)) return "data not sent";
      Bytes done = c.recv();
      if (done.size() < 3 || done[0] != 0x80 || done[1] != 0x13) return "no upload complete reply";
    } else if (h[6] != 0xFF) {
      return "upload refused";
    }
  }
  if (!c.send(link_message(d, catalog_id))) return "link not sent";
  Bytes l = c.recv();
  if (l.size() < 3 || l[0] != 0x80 || l[1] != 0x1F) return "bad link reply";
  return l[2] == 0x00 ? "" : "link refused";
}

}  // namespace vl::test
