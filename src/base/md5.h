// MD5 digests: 16 bytes on the wire and in memory, 32 lower-case hexadecimal characters in the
// databases. Pure functions, any thread.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vl {

// Writes the 16-byte MD5 digest of data[0..size) into out (sixteen zero bytes when the
// cryptographic library offers no MD5; start-up refuses to run then, see md5_available).
void md5_digest(const void* data, size_t size, uint8_t out[16]);

// The digest of content that arrives in pieces (a file read in chunks). Any thread; one object
// per stream.
class Md5Stream {
 public:
  Md5Stream();
  ~Md5Stream();
  Md5Stream(const Md5Stream&) = delete;
  Md5Stream& operator=(const Md5Stream&) = delete;
  void update(const void* data, size_t size);
  // Writes the digest of everything so far (sixteen zero bytes without MD5).
  void finish(uint8_t out[16]);

 private:
  void* ctx_;
};

// Whether the cryptographic library offers MD5 (a FIPS-only configuration does not).
bool md5_available();

// 32 lower-case hexadecimal characters, high nibble first, and a terminating zero.
void md5_to_hex(const uint8_t digest[16], char out[33]);

// The inverse of md5_to_hex. Reads at most 32 characters and stops at a terminating zero;
// missing or non-hexadecimal characters count as 0.
void hex_to_md5(const char* hex, uint8_t digest[16]);

// The value of one hexadecimal digit (either case), -1 for any other character.
int hex_digit_value(char c);

}  // namespace vl
