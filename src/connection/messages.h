// The fixed layouts of the client's messages and the reply checks. Multi-byte integers are
// little-endian at fixed offsets; 64-bit values are two 32-bit halves, low half first. Pure
// functions, any thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vl {

// Message headers: group byte, code byte.
constexpr uint8_t kGroupSession = 0x00, kGroupProfile = 0x01, kGroupCatalog = 0x02,
                  kGroupSegment = 0x80;
constexpr uint8_t kCodeGreeting = 0x00, kCodeLogin = 0x08, kCodeLoginReply = 0x09,
                  kCodeGoodbye = 0x0F;
constexpr uint8_t kCodeProfileIdRequest = 0x02, kCodeProfileIdReply = 0x10,
                  kCodeProfileUnknown = 0x11;
constexpr uint8_t kCodeCatalogIdRequest = 0x21, kCodeCatalogIdReply = 0x22,
                  kCodeCatalogFinalize = 0x23, kCodeCatalogFinalizeReply = 0x24;
constexpr uint8_t kCodeSegQuery = 0x00, kCodeSegQueryReply = 0x01, kCodeSegUploadHeader = 0x10,
                  kCodeSegUploadHeaderReply = 0x11, kCodeSegData = 0x12,
                  kCodeSegUploadComplete = 0x13, kCodeSegLink = 0x1E, kCodeSegLinkReply = 0x1F;

constexpr int kReplyCap = 256;            // every reply but those of a segment upload
constexpr int kUploadReplyCap = 5000;     // replies of a segment upload
constexpr int kTimeoutS = 20;             // every exchange
constexpr size_t kSegDataMax = 4096;      // payload bytes of one data message
constexpr size_t kLoginSize = 76;
constexpr size_t kFinalizeSize = 72;
constexpr size_t kSegQuerySize = 22;
constexpr size_t kSegLinkSize = 22;
constexpr size_t kUploadHeaderSize = 28;
constexpr size_t kCatalogIdRequestSize = 6;

void put_le32(uint8_t* p, uint32_t v);
uint32_t get_le32(const uint8_t* p);
// Two 32-bit halves, low first.
void put_le64(uint8_t* p, uint64_t v);

// True when a reply of n bytes is at least min_len long and starts with group, code.
bool reply_is(const uint8_t* buf, int n, uint8_t group, uint8_t code, int min_len);

// Login: header, 0x01 0x01, 16-bit 0, 16-bit 9, two zero bytes, then login and password in
// 33-byte NUL-padded fields (at most 32 bytes of each are copied; bytes 42 and 75 stay 0).
std::array<uint8_t, kLoginSize> login_message_build(const std::string& login,
                                                    const std::string& password);

// Profile ID request: header, the tag and its NUL (tag length + 3 bytes).
std::vector<uint8_t> profile_id_request_build(const std::string& tag);

// Catalog ID request: header and the server's profile id.
std::array<uint8_t, kCatalogIdRequestSize> catalog_id_request_build(uint32_t server_profile_id);

// Segment query (digest, uncompressed size) and segment link (digest, catalog id).
std::array<uint8_t, kSegQuerySize> seg_query_build(const uint8_t digest[16], uint32_t size);
std::array<uint8_t, kSegLinkSize> seg_link_build(const uint8_t digest[16], uint32_t catalog_id);

// Upload header: digest, uncompressed size, compressed flag with level 9 (or 0, 0), payload
// length.
std::array<uint8_t, kUploadHeaderSize> upload_header_build(const uint8_t digest[16], uint32_t size,
                                                           bool compressed, uint32_t payload_len);

// The run's summary as the catalog finalize message carries it.
struct FinalizeFields {
  uint32_t catalog_id = 0;
  uint8_t digest[16] = {};
  uint64_t catalog_size = 0;
  uint32_t time = 0;
  uint32_t files = 0;
  uint32_t directories = 0;
  uint32_t special_files = 0;
  uint64_t bytes_total = 0;
  uint64_t bytes_stored = 0;
  uint64_t bytes_compressed = 0;
};
std::array<uint8_t, kFinalizeSize> finalize_message_build(const FinalizeFields& f);

}  // namespace vl
