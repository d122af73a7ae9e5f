#include "connection/md5.h"

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

}  // namespace vl
