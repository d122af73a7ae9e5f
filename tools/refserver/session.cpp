#include "session.h"

#include <poll.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "upload.h"

namespace vl::ref {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr size_t kLoginSize = 76;
constexpr size_t kMaxTagRequest = 256;  // the client's request buffer
constexpr size_t kMaxPiece = 4096;
constexpr size_t kProfileReplySize = 138;
// The write buffer of the replies, and room for a reply's TLS record around it.
constexpr long kReplyBufferBytes = 65536;
constexpr long kRecordRoom = 256;

struct SslFree {
  void operator()(SSL* s) const { SSL_free(s); }
};

enum class Outcome {
  keep,   // go on reading requests
  close,  // end the session with a TLS close
  drop,   // cut the connection without a word
};

Digest digest_at(const uint8_t* p) {
  Digest d;
  std::memcpy(d.data(), p, d.size());
  return d;
}

// A NUL-padded text field of the login message: the text up to its NUL, which must come within
// the field, followed only by NULs. False when the field is malformed.
bool padded_field(const uint8_t* p, size_t size, std::string* out) {
  const uint8_t* nul = static_cast<const uint8_t*>(std::memchr(p, 0, size));
  if (!nul) return false;
  for (const uint8_t* q = nul; q < p + size; ++q)
    if (*q) return false;
  out->assign(reinterpret_cast<const char*>(p), static_cast<size_t>(nul - p));
  return true;
}

class Session {
 public:
  Session(SSL* ssl, uint64_t conn, ServerShared& shared) : ssl_(ssl), conn_(conn), sh_(shared) {}
  void run();

 private:
  bool send(Bytes msg);
  bool flush();
  bool held(const Digest& d) const;
  bool held(const Digest& d, uint64_t size) const;
  Outcome answer(Bytes msg) { return send(std::move(msg)) ? Outcome::keep : Outcome::drop; }
  void note(const std::string& text) const;
  bool catalog_known(uint32_t id, const char* request) const;
  bool client_ahead() const;
  Outcome handle(const uint8_t* msg, size_t len);
  Outcome login(const uint8_t* msg, size_t len);
  Outcome profile_id(const uint8_t* msg, size_t len);
  Outcome catalog_id(const uint8_t* msg);
  Outcome finalize(const uint8_t* msg);
  Outcome query(const uint8_t* msg);
  Outcome upload_header(const uint8_t* msg, size_t len);
  Outcome upload_data(const uint8_t* msg, size_t len);
  Outcome link(const uint8_t* msg);

  SSL* ssl_;
  uint64_t conn_;
  ServerShared& sh_;
  bool logged_in_ = false;
  bool uploading_ = false;
  std::set<uint32_t> allocated_;  // the catalogs this session allocated
  bool drop_this_upload_ = false;
  UploadTools upload_tools_;
  std::unique_ptr<UploadReceiver> upload_;
};

// Whether the store holds the segment, or will as soon as the writer has written it.
bool Session::held(const Digest& d) const {
  return sh_.writer.queued(d) || sh_.store.has_segment(d);
}

bool Session::held(const Digest& d, uint64_t size) const {
  return sh_.writer.queued(d, size) || sh_.store.has_segment(d, size);
}

void Session::note(const std::string& text) const {
  std::fprintf(stderr, "refserver: connection %llu: %s\n", static_cast<unsigned long long>(conn_),
               text.c_str());
}

// True when catalog id was handed out; otherwise notes the request that named it.
bool Session::catalog_known(uint32_t id, const char* request) const {
  if (sh_.store.catalog_exists(id)) return true;
  note(std::string(request) + " catalog " + std::to_string(id) + ", which was never allocated");
  return false;
}

// True when more of the client's bytes are waiting, in OpenSSL's buffer or on the socket.
bool Session::client_ahead() const {
  struct pollfd pfd = {SSL_get_fd(ssl_), POLLIN, 0};
  return SSL_has_pending(ssl_) == 1 || ::poll(&pfd, 1, 0) > 0;
}

// Sends one reply in one TLS record, after the configured delay and with the reply faults
// applied. False when the connection is broken.
bool Session::send(Bytes msg) {
  if (sh_.faults.delay_ms()) sleep_ms(sh_.faults.delay_ms());
  MessageType type = static_cast<MessageType>(msg[0] << 8 | msg[1]);
  switch (sh_.faults.reply_fault(type)) {
    case ReplyFault::stall:
      return true;
    case ReplyFault::wrong_header:
      msg[1] ^= 0x80;  // no code of the protocol has the top bit set
      break;
    case ReplyFault::short_reply:
      msg.resize(msg.size() - 1);  // every reply goes out at the client's minimum length
      break;
    case ReplyFault::long_reply:
      msg.resize(msg.size() + 300, 0);  // longer than any of the client's reply buffers
      break;
    case ReplyFault::none:
      break;
  }
  sh_.trace.record(conn_, false, msg.data(), msg.size(), sh_.trace.enabled() && client_ahead());
  // A reply that does not fit pushes the buffer out, and an answered link must be in its file
  // before its answer leaves.
  if (BIO_wpending(SSL_get_wbio(ssl_)) + static_cast<long>(msg.size()) + kRecordRoom >
      kReplyBufferBytes)
    sh_.store.links_flush();
  return SSL_write(ssl_, msg.data(), static_cast<int>(msg.size())) == static_cast<int>(msg.size());
}

// Writes out the replies kept in the write buffer, after the links they answered. False when the
// connection is broken.
bool Session::flush() {
  BIO* w = SSL_get_wbio(ssl_);
  if (BIO_wpending(w) <= 0) return true;
  sh_.store.links_flush();
  return BIO_flush(w) > 0;
}

void Session::run() {
  Bytes greeting = {0x00, 0x00, 0x01, 0x00, 'r', 'e', 'f', 's', 'r', 'v'};
  if (sh_.faults.take(&FaultPlan::greeting_bad)) greeting[1] = 0x01;
  if (sh_.faults.take(&FaultPlan::greeting_short)) greeting.resize(9);
  if (!send(greeting)) return;

  // One client message per TLS record: the client writes each with one call and none is longer
  // than 4098 bytes, so a larger buffer only serves to notice oversized messages.
  std::vector<uint8_t> buf(16384 + 1);
  for (;;) {
    // Replies wait in the write buffer while the client's next requests are at hand, and leave
    // together before a read that may wait for the client.
    if (SSL_has_pending(ssl_) != 1 && !flush()) return;
    int n = SSL_read(ssl_, buf.data(), static_cast<int>(buf.size()));
    if (n <= 0) return;  // closed, broken, or idle too long
    size_t len = static_cast<size_t>(n);
    sh_.trace.record(conn_, true, buf.data(), len);
    if (len >= 2 && sh_.faults.dies_at(static_cast<MessageType>(buf[0] << 8 | buf[1]))) {
      note("killed by --die-after");
      ::raise(SIGKILL);
    }
    if (sh_.faults.message_drops()) {
      note("dropped by --drop-after-messages");
      flush();  // the replies to the messages before it were given
      return;
    }
    Outcome outcome = handle(buf.data(), len);
    if (outcome != Outcome::keep && !flush()) return;
    if (outcome == Outcome::close) SSL_shutdown(ssl_);
    if (outcome != Outcome::keep) return;
  }
}

Outcome Session::handle(const uint8_t* msg, size_t len) {
  if (len < 2) {
    note("message of " + std::to_string(len) + " byte");
    return Outcome::close;
  }
  MessageType type = static_cast<MessageType>(msg[0] << 8 | msg[1]);
  if (type == 0x000F) {
    if (len != 2) note("goodbye of " + std::to_string(len) + " bytes");
    return Outcome::close;
  }
  if (uploading_) {
    if (type == 0x8012) return upload_data(msg, len);
    note("message " + bytes_hex(msg, 2) + " in the middle of an upload");
    return Outcome::close;
  }
  if (!logged_in_) {
    if (type == 0x0008) return login(msg, len);
    note("request " + bytes_hex(msg, 2) + " before login");
    return Outcome::close;
  }
  struct Shape {
    MessageType type;
    size_t length;
  };
  static const Shape fixed[] = {{0x0221, 6},  {0x0223, kFinalizeSize}, {0x8000, 22},
                                {0x8010, 28}, {0x801E, 22}};
  for (const Shape& s : fixed) {
    if (s.type == type && s.length != len) {
      note("request " + bytes_hex(msg, 2) + " of " + std::to_string(len) + " bytes");
      return Outcome::close;
    }
  }
  switch (type) {
    case 0x0102: return profile_id(msg, len);
    case 0x0221: return catalog_id(msg);
    case 0x0223: return finalize(msg);
    case 0x8000: return query(msg);
    case 0x8010: return upload_header(msg, len);
    case 0x801E: return link(msg);
    default:
      note("unexpected message " + bytes_hex(msg, 2) + " of " + std::to_string(len) + " bytes");
      return Outcome::close;
  }
}

Outcome Session::login(const uint8_t* msg, size_t len) {
  static const uint8_t fixed[8] = {0x01, 0x01, 0x00, 0x00, 0x09, 0x00, 0x00, 0x00};
  std::string user, password;
  if (len != kLoginSize || std::memcmp(msg + 2, fixed, sizeof fixed) != 0 ||
      !padded_field(msg + 10, 33, &user) || !padded_field(msg + 43, 33, &password)) {
    note("malformed login of " + std::to_string(len) + " bytes");
    return Outcome::close;
  }
  uint8_t result = 0x00;
  const bool nth_refused = sh_.faults.login_nth_refused();
  if (sh_.faults.take(&FaultPlan::login_busy)) {
    result = 0xFE;
  } else if (sh_.faults.take(&FaultPlan::login_refuse) || nth_refused) {
    result = 0xFF;
  } else {
    auto it = sh_.options.accounts.find(user);
    if (it == sh_.options.accounts.end() || it->second != password) {
      note("login refused for \"" + user + "\"");
      result = 0xFF;
    } else if (sh_.faults.take(&FaultPlan::login_odd)) {
      result = 0x07;
    }
  }
  if (!send({0x00, 0x09, result})) return Outcome::drop;
  if (result == 0xFE || result == 0xFF) return Outcome::close;
  logged_in_ = true;
  return Outcome::keep;
}

Outcome Session::profile_id(const uint8_t* msg, size_t len) {
  // 0x01 0x02, the tag, its NUL: nothing after the NUL and no NUL inside.
  if (len < 3 || len > kMaxTagRequest || msg[len - 1] != 0 ||
      std::memchr(msg + 2, 0, len - 3) != nullptr) {
    note("malformed profile id request of " + std::to_string(len) + " bytes");
    return Outcome::close;
  }
  std::string tag(reinterpret_cast<const char*>(msg + 2), len - 3);
  auto it = sh_.options.profiles.find(tag);
  if (it == sh_.options.profiles.end()) {
    return answer({0x01, 0x11});
  }
  Bytes reply(kProfileReplySize, 0);
  reply[0] = 0x01;
  reply[1] = 0x10;
  put_le32(&reply[2], it->second);
  std::memcpy(&reply[6], tag.data(), std::min<size_t>(tag.size(), kProfileReplySize - 7));
  return answer(std::move(reply));
}

Outcome Session::catalog_id(const uint8_t* msg) {
  uint32_t profile = le32(msg + 2);
  Bytes reply = {0x02, 0x22, 0x00, 0, 0, 0, 0};
  bool known = std::any_of(sh_.options.profiles.begin(), sh_.options.profiles.end(),
                           [profile](const auto& p) { return p.second == profile; });
  uint32_t id = 0;
  if (sh_.faults.take(&FaultPlan::catalog_refuse)) {
    reply[2] = 0x01;
  } else if (!known) {
    note("catalog id requested for unknown profile id " + std::to_string(profile));
    reply[2] = 0x02;
  } else if (!sh_.store.catalog_alloc(&id)) {
    note("cannot allocate a catalog id in the store");
    reply[2] = 0x03;
  } else {
    put_le32(&reply[3], id);
    allocated_.insert(id);
  }
  return answer(std::move(reply));
}

Outcome Session::finalize(const uint8_t* msg) {
  if (msg[70] != 0x01 || msg[71] != 0x01) {
    note("malformed catalog finalize");
    return Outcome::close;
  }
  uint32_t id = le32(msg + 2);
  uint8_t status = 0x00;
  sh_.writer.wait_written();  // a segment lost on its way refuses the finalize below
  if (!catalog_known(id, "finalize of")) {
    status = 0x01;
  } else if (!sh_.store.finalize_write(id, msg)) {
    note("cannot write the finalize record of catalog " + std::to_string(id));
    status = 0x02;
  }
  return answer({0x02, 0x24, status});
}

Outcome Session::query(const uint8_t* msg) {
  Digest d = digest_at(msg + 2);
  bool held = sh_.faults.take(&FaultPlan::query_has) || this->held(d, le32(msg + 18));
  return answer({0x80, 0x01, static_cast<uint8_t>(held ? 0xFF : 0x00)});
}

Outcome Session::upload_header(const uint8_t* msg, size_t len) {
  UploadHeader header;
  std::string problem = upload_header_parse(msg, len, &header);
  if (!problem.empty()) {
    note("bad upload header: " + problem);
    return Outcome::drop;
  }
  uint8_t status = 0x00;
  if (sh_.faults.take(&FaultPlan::upload_exists)) status = 0xFF;
  else if (sh_.faults.take(&FaultPlan::upload_error)) status = 0x05;
  else if (sh_.options.uploads_on_allocating_session && allocated_.empty()) status = 0x05;
  else if (held(header.digest, header.size)) status = 0xFF;
  if (status == 0x00) {
    upload_ = std::make_unique<UploadReceiver>(sh_.store, header, upload_tools_);
    if (!upload_->ready()) {
      // A store that cannot take the upload says so, rather than dropping the connection.
      note("cannot start an upload in the store");
      upload_.reset();
      status = 0x05;
    }
  }
  Bytes reply = {0x80, 0x11, 0, 0, 0, 0, status};
  put_le32(&reply[2], header.payload_size);
  if (status != 0x00) return answer(std::move(reply));

  uploading_ = true;
  drop_this_upload_ = sh_.faults.upload_drops();
  if (!send(std::move(reply))) return Outcome::drop;
  if (drop_this_upload_ && header.payload_size == 0) {
    note("dropped by --drop-in-upload after the header");
    return Outcome::drop;
  }
  if (header.payload_size == 0) return upload_data(nullptr, 0);
  return Outcome::keep;
}

// Takes one data message (or, for an empty payload, none: msg null) and, when the payload is
// complete, checks and stores the segment and answers.
Outcome Session::upload_data(const uint8_t* msg, size_t len) {
  if (msg) {
    if (drop_this_upload_) {
      note("dropped by --drop-in-upload after the first data message");
      return Outcome::drop;
    }
    if (len < 3 || len > 2 + kMaxPiece) {
      note("segment data message of " + std::to_string(len) + " bytes");
      return Outcome::drop;
    }
    std::string error;
    if (!upload_->feed(msg + 2, len - 2, &error)) {
      note("bad upload: " + error);
      return Outcome::drop;
    }
    if (!upload_->payload_complete()) return Outcome::keep;
  }
  std::string error;
  bool stored = upload_->finish(&error);
  uploading_ = false;
  if (!stored) {
    upload_.reset();
    note("bad upload: " + error);
    return Outcome::drop;
  }
  if (upload_->store_pending()) sh_.writer.put(upload_->header().digest, upload_->take_held());
  upload_.reset();
  return answer({0x80, 0x13, 0x00});
}

Outcome Session::link(const uint8_t* msg) {
  Digest d = digest_at(msg + 2);
  uint32_t id = le32(msg + 18);
  uint8_t status = 0x00;
  if (sh_.faults.take(&FaultPlan::link_refuse)) {
    status = 0x01;
  } else if (!held(d)) {
    note("link of segment " + digest_hex(d) + ", which is not held");
    status = 0x01;
  } else if (!catalog_known(id, "link to")) {
    status = 0x01;
  } else if (sh_.options.links_on_allocating_session && allocated_.count(id) == 0) {
    status = 0x01;
  } else if (!sh_.store.link_add(id, d)) {
    note("cannot record a link of catalog " + std::to_string(id));
    status = 0x02;
  }
  return answer({0x80, 0x1F, status});
}

}  // namespace

void session_serve(SSL_CTX* ctx, int fd, uint64_t conn, ServerShared& shared) {
  std::unique_ptr<SSL, SslFree> ssl(SSL_new(ctx));
  if (!ssl || SSL_set_fd(ssl.get(), fd) != 1) return;
  // Whole socket reads into OpenSSL's buffer: one read per message instead of two (record header,
  // then body), and several at once from a client that sends ahead. SSL_read still returns one
  // record at a time.
  SSL_set_read_ahead(ssl.get(), 1);
  if (SSL_accept(ssl.get()) != 1) return;  // e.g. a client that does not trust our certificate
  // Replies go into a write buffer, so the answers to a client's window of requests leave in one
  // write. The socket BIO is then held twice, as the read BIO and below the buffer.
  BIO* socket = SSL_get_rbio(ssl.get());
  BIO* buffer = BIO_new(BIO_f_buffer());
  if (!buffer || BIO_set_write_buffer_size(buffer, kReplyBufferBytes) <= 0) {
    BIO_free(buffer);
    return;
  }
  BIO_up_ref(socket);
  BIO_push(buffer, socket);
  SSL_set0_wbio(ssl.get(), buffer);
  Session(ssl.get(), conn, shared).run();
}

}  // namespace vl::ref
