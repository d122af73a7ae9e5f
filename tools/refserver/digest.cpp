#include "digest.h"

#include <openssl/evp.h>

#include <cstdio>
#include <stdexcept>

#include "platform/fs.h"

namespace vl::ref {

// Fetched once: EVP_md5() would look the method up in the providers for every segment.
static const EVP_MD* md5_method() {
  static EVP_MD* md = EVP_MD_fetch(nullptr, "MD5", nullptr);
  return md;
}

Md5::Md5() : ctx_(EVP_MD_CTX_new()) {
  if (!ctx_ || !md5_method() ||
      EVP_DigestInit_ex(static_cast<EVP_MD_CTX*>(ctx_), md5_method(), nullptr) != 1) {
    EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(ctx_));
    throw std::runtime_error("MD5 unavailable");
  }
}

Md5::~Md5() { EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(ctx_)); }

void Md5::update(const void* data, size_t size) {
  if (size) EVP_DigestUpdate(static_cast<EVP_MD_CTX*>(ctx_), data, size);
}

Digest Md5::finish() {
  Digest d{};
  unsigned int len = 0;
  EVP_DigestFinal_ex(static_cast<EVP_MD_CTX*>(ctx_), d.data(), &len);
  return d;
}

void Md5::reset() { EVP_DigestInit_ex(static_cast<EVP_MD_CTX*>(ctx_), md5_method(), nullptr); }

Digest md5_of(const void* data, size_t size) {
  Md5 md5;
  md5.update(data, size);
  return md5.finish();
}

FileRead md5_of_file(const std::string& path, Digest* out, uint64_t* size,
                     const std::function<bool(const char*, size_t)>& sink) {
  FilePtr f = file_open(path, "rb");
  if (!f) return FileRead::cannot_open;
  Md5 md5;
  uint64_t total = 0;
  char buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f.get())) > 0) {
    md5.update(buf, n);
    total += n;
    if (sink && !sink(buf, n)) return FileRead::sink_failed;
  }
  if (std::ferror(f.get())) return FileRead::cannot_read;
  *out = md5.finish();
  *size = total;
  return FileRead::ok;
}

std::string bytes_hex(const uint8_t* p, size_t size) {
  static const char digits[] = "0123456789abcdef";
  std::string s;
  s.reserve(size * 2);
  for (size_t i = 0; i < size; ++i) {
    s.push_back(digits[p[i] >> 4]);
    s.push_back(digits[p[i] & 15]);
  }
  return s;
}

std::string digest_hex(const Digest& d) { return bytes_hex(d.data(), d.size()); }

bool digest_parse(std::string_view hex, Digest* out) {
  if (hex.size() != 32) return false;
  auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  };
  for (size_t i = 0; i < 16; ++i) {
    int hi = nibble(hex[2 * i]), lo = nibble(hex[2 * i + 1]);
    if (hi < 0 || lo < 0) return false;
    (*out)[i] = static_cast<uint8_t>(hi << 4 | lo);
  }
  return true;
}

}  // namespace vl::ref
