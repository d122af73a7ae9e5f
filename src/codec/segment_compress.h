// Compression of segment payloads: the bytes zlib's compress2 produces at level 9, from one
// deflate state kept per thread and reset per segment (compress2 sets up and frees about 270 KiB
// of state on every call, which dominated runs over many small files).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <stop_token>

namespace vl {

// The capacity of a compression buffer for size bytes: size + size/128 + 16, more than zlib's
// bound, so a level-9 stream of any content fits.
size_t compress_capacity(uint32_t size);

// Compresses data[0..size) into out[0..cap) as one zlib stream at level 9. Returns true and the
// stream's length in *out_len; false when zlib fails or the stream does not fit. Any thread; each
// thread has its own state.
bool segment_compress(const uint8_t* data, uint32_t size, uint8_t* out, size_t cap, size_t* out_len);

// Compresses everything `in` holds from its current position into `out` as one zlib stream at
// level 9, a piece at a time: the same bytes one-shot compression of the whole content gives,
// without holding the content in memory. Returns true with the stream's length in *out_len;
// false when reading, writing or zlib fails, or once `stop` is requested (seen between pieces of
// 64 KiB). Any thread.
bool stream_compress(FILE* in, FILE* out, uint64_t* out_len, std::stop_token stop = {});

}  // namespace vl
