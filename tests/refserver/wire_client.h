// A small TLS client for the reference server's tests, written against the wire format directly
// (OpenSSL, no client library): it sends one message per TLS record and reads one per SSL_read,
// as the real client does.
#pragma once

#include <openssl/ssl.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/unique_fd.h"

namespace vl::test {

using Bytes = std::vector<uint8_t>;
using Md5Digest = std::array<uint8_t, 16>;

class WireClient {
 public:
  // Connects to 127.0.0.1:port and completes the handshake, verifying the server against ca_file
  // (default: the test CA) for "localhost". connected() tells whether that worked.
  explicit WireClient(int port, const std::string& ca_file = "");
  ~WireClient();
  WireClient(const WireClient&) = delete;
  WireClient& operator=(const WireClient&) = delete;

  bool connected() const { return ssl_ != nullptr; }
  // One message in one record. False when the connection is broken.
  bool send(const Bytes& msg);
  // Each message in its own record, all of them leaving in one TCP segment where they fit, as a
  // client that sends ahead of the replies does. False when the connection is broken.
  bool send_ahead(const std::vector<Bytes>& msgs);
  // One message (one SSL_read); empty when nothing came within timeout_ms or the connection ended
  // (closed() tells which).
  Bytes recv(int timeout_ms = 10000);
  bool closed() const { return closed_; }
  // Reads until the server ends the connection; true when it did within timeout_ms. Messages
  // received meanwhile are appended to *extra when given.
  bool wait_closed(int timeout_ms = 10000, std::vector<Bytes>* extra = nullptr);

  // Greeting and login with the given account; returns the login reply (empty when none came).
  Bytes greet_and_login(const std::string& login = "alice", const std::string& password = "secret");

 private:
  UniqueFd fd_;
  SSL_CTX* ctx_ = nullptr;
  SSL* ssl_ = nullptr;
  bool closed_ = false;
};

// Messages as the client builds them.
Bytes login_message(const std::string& login, const std::string& password);
Bytes profile_request(const std::string& tag);
Bytes catalog_request(uint32_t profile_id);
Bytes query_message(const Md5Digest& d, uint32_t size);
Bytes link_message(const Md5Digest& d, uint32_t catalog_id);
Bytes upload_header(const Md5Digest& d, uint32_t size, uint8_t compressed, uint8_t level,
                    uint32_t payload_size);
// The payload cut into data messages of at most 4096 payload bytes.
std::vector<Bytes> data_messages(const std::string& payload);
Bytes finalize_message(uint32_t catalog_id, const Md5Digest& d, uint64_t size, uint32_t files,
                       uint32_t directories);
const Bytes kGoodbye = {0x00, 0x0F};

Md5Digest md5(const std::string& content);
std::string hex(const Md5Digest& d);
// compress2 at level 9.
std::string deflate9(const std::string& content);
uint32_t le32_at(const Bytes& b, size_t offset);

// Offers content as the client does (query, upload compressed when that shrinks it, link to
// catalog_id). Returns "" when the server took it and linked it, else what went wrong.
std::string store_segment(WireClient& c, const std::string& content, uint32_t catalog_id);

}  // namespace vl::test
