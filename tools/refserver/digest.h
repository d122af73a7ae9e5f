// MD5 digests and the byte helpers of the wire format (little-endian integers, hexadecimal text).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace vl::ref {

using Digest = std::array<uint8_t, 16>;

// Incremental MD5 through OpenSSL's EVP interface. Any thread (one object per thread).
class Md5 {
 public:
  Md5();
  ~Md5();
  Md5(const Md5&) = delete;
  Md5& operator=(const Md5&) = delete;
  void update(const void* data, size_t size);
  // Returns the digest; the object must not be updated afterwards, until a reset.
  Digest finish();
  // Starts a new digest on the same context.
  void reset();

 private:
  void* ctx_;
};

Digest md5_of(const void* data, size_t size);

enum class FileRead { ok, cannot_open, cannot_read, sink_failed };
// Digest (*out) and length (*size) of a whole file; each piece read is also handed to sink when
// one is given, and a false return from it stops the read (sink_failed).
FileRead md5_of_file(const std::string& path, Digest* out, uint64_t* size,
                     const std::function<bool(const char*, size_t)>& sink = nullptr);

// 32 lower-case hexadecimal characters.
std::string digest_hex(const Digest& d);
// Parses exactly 32 hexadecimal characters (lower case only: the form the catalog stores).
bool digest_parse(std::string_view hex, Digest* out);

// Lower-case hexadecimal of size bytes.
std::string bytes_hex(const uint8_t* p, size_t size);

inline uint32_t le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
inline uint64_t le64(const uint8_t* p) {
  return static_cast<uint64_t>(le32(p)) | static_cast<uint64_t>(le32(p + 4)) << 32;
}
inline void put_le32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace vl::ref
