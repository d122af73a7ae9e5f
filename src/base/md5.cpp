#include "base/md5.h"

#include <openssl/evp.h>

#include <cstring>

namespace vl {

// Fetched once: an implicit fetch on every digest costs a provider look-up per block.
static const EVP_MD* md5_method() {
  static EVP_MD* md = EVP_MD_fetch(nullptr, "MD5", nullptr);
  return md;
}

void md5_digest(const void* data, size_t size, uint8_t out[16]) {
  unsigned int len = 0;
  const EVP_MD* md = md5_method();
  if (!md || !EVP_Digest(data, size, out, &len, md, nullptr) || len != 16)
    std::memset(out, 0, 16);  // only when the library lacks MD5 altogether
}

Md5Stream::Md5Stream() : ctx_(EVP_MD_CTX_new()) {
  auto* c = static_cast<EVP_MD_CTX*>(ctx_);
  if (c && (!md5_method() || !EVP_DigestInit_ex(c, md5_method(), nullptr))) {
    EVP_MD_CTX_free(c);
    ctx_ = nullptr;
  }
}

Md5Stream::~Md5Stream() { EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(ctx_)); }

void Md5Stream::update(const void* data, size_t size) {
  if (ctx_ && !EVP_DigestUpdate(static_cast<EVP_MD_CTX*>(ctx_), data, size)) {
    EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(ctx_));
    ctx_ = nullptr;
  }
}

void Md5Stream::finish(uint8_t out[16]) {
  unsigned int len = 0;
  if (!ctx_ || !EVP_DigestFinal_ex(static_cast<EVP_MD_CTX*>(ctx_), out, &len) || len != 16)
    std::memset(out, 0, 16);
}

bool md5_available() {
  // A digest of known text proves more than a successful fetch: a provider may hand out the
  // method and still refuse to run it.
  static const uint8_t kEmptyDigest[16] = {0xd4, 0x1d, 0x8c, 0xd9, 0x8f, 0x00, 0xb2, 0x04,
                                           0xe9, 0x80, 0x09, 0x98, 0xec, 0xf8, 0x42, 0x7e};
  uint8_t out[16];
  md5_digest("", 0, out);
  return std::memcmp(out, kEmptyDigest, 16) == 0;
}

void md5_to_hex(const uint8_t digest[16], char out[33]) {
  static const char kDigits[] = "0123456789abcdef";
  for (int i = 0; i < 16; ++i) {
    out[2 * i] = kDigits[digest[i] >> 4];
    out[2 * i + 1] = kDigits[digest[i] & 0x0f];
  }
  out[32] = '\0';
}

int hex_digit_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void hex_to_md5(const char* hex, uint8_t digest[16]) {
  std::memset(digest, 0, 16);
  for (int i = 0; i < 32 && hex[i] != '\0'; ++i) {
    int v = hex_digit_value(hex[i]);
    if (v < 0) v = 0;
    digest[i / 2] = static_cast<uint8_t>(digest[i / 2] | (i % 2 == 0 ? v << 4 : v));
  }
}

}  // namespace vl
