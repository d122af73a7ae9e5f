#include "connection/messages.h"

#include <cstring>

namespace vl {

void put_le32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

uint32_t get_le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void put_le64(uint8_t* p, uint64_t v) {
  put_le32(p, static_cast<uint32_t>(v));
  put_le32(p + 4, static_cast<uint32_t>(v >> 32));
}

bool reply_is(const uint8_t* buf, int n, uint8_t group, uint8_t code, int min_len) {
  return n >= min_len && n >= 2 && buf[0] == group && buf[1] == code;
}

// Copies at most field_size - 1 bytes, so the field always ends with a NUL.
static void put_text_field(uint8_t* p, size_t field_size, const std::string& text) {
  size_t n = text.size() < field_size - 1 ? text.size() : field_size - 1;
  std::memcpy(p, text.data(), n);
}

std::array<uint8_t, kLoginSize> login_message_build(const std::string& login,
                                                    const std::string& password) {
  std::array<uint8_t, kLoginSize> m{};
  m[0] = kGroupSession;
  m[1] = kCodeLogin;
  m[2] = 0x01;
  m[3] = 0x01;
  m[6] = 0x09;  // 16-bit 9
  put_text_field(&m[10], 33, login);
  put_text_field(&m[43], 33, password);
  return m;
}

std::vector<uint8_t> profile_id_request_build(const std::string& tag) {
  std::vector<uint8_t> m(tag.size() + 3, 0);
  m[0] = kGroupProfile;
  m[1] = kCodeProfileIdRequest;
  std::memcpy(&m[2], tag.data(), tag.size());
  return m;
}

std::array<uint8_t, kCatalogIdRequestSize> catalog_id_request_build(uint32_t server_profile_id) {
  std::array<uint8_t, kCatalogIdRequestSize> m{};
  m[0] = kGroupCatalog;
  m[1] = kCodeCatalogIdRequest;
  put_le32(&m[2], server_profile_id);
  return m;
}

// Query and link share one layout: header, digest, one 32-bit value.
static std::array<uint8_t, kSegQuerySize> digest_message(uint8_t code, const uint8_t digest[16],
                                                         uint32_t value) {
  static_assert(kSegQuerySize == kSegLinkSize);
  std::array<uint8_t, kSegQuerySize> m{};
  m[0] = kGroupSegment;
  m[1] = code;
  std::memcpy(&m[2], digest, 16);
  put_le32(&m[18], value);
  return m;
}

std::array<uint8_t, kSegQuerySize> seg_query_build(const uint8_t digest[16], uint32_t size) {
  return digest_message(kCodeSegQuery, digest, size);
}

std::array<uint8_t, kSegLinkSize> seg_link_build(const uint8_t digest[16], uint32_t catalog_id) {
  return digest_message(kCodeSegLink, digest, catalog_id);
}

std::array<uint8_t, kUploadHeaderSize> upload_header_build(const uint8_t digest[16], uint32_t size,
                                                           bool compressed, uint32_t payload_len) {
  std::array<uint8_t, kUploadHeaderSize> m{};
  m[0] = kGroupSegment;
  m[1] = kCodeSegUploadHeader;
  std::memcpy(&m[2], digest, 16);
  put_le32(&m[18], size);
  m[22] = compressed ? 1 : 0;
  m[23] = compressed ? 9 : 0;
  put_le32(&m[24], payload_len);
  return m;
}

std::array<uint8_t, kFinalizeSize> finalize_message_build(const FinalizeFields& f) {
  std::array<uint8_t, kFinalizeSize> m{};
  m[0] = kGroupCatalog;
  m[1] = kCodeCatalogFinalize;
  put_le32(&m[2], f.catalog_id);
  std::memcpy(&m[6], f.digest, 16);
  put_le64(&m[22], f.catalog_size);
  put_le32(&m[30], f.time);
  put_le32(&m[34], f.files);
  put_le32(&m[38], f.directories);
  put_le32(&m[42], f.special_files);
  put_le64(&m[46], f.bytes_total);
  put_le64(&m[54], f.bytes_stored);
  put_le64(&m[62], f.bytes_compressed);
  m[70] = 0x01;
  m[71] = 0x01;
  return m;
}

}  // namespace vl
