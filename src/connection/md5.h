// MD5 digests of segment contents and of the catalog file.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vl {

// Writes the 16-byte MD5 digest of data[0..size) into out. Any thread.
void md5_digest(const void* data, size_t size, uint8_t out[16]);

}  // namespace vl
