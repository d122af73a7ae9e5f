// Level-9 compression of a large file on every core, to exactly the bytes one-shot compress2
// gives. Pieces of 512 KiB are parsed at once (deflate_parse.h), each from a plain start; where a
// piece's parse meets the parse of the piece before it in the same plain state, the two agree
// from there on, so the stream is spliced there and coded in order (deflate_blocks.h).
#pragma once

#include <cstdint>
#include <cstdio>
#include <stop_token>

namespace vl {

// Compresses bytes [0, size) of the file fd (read with pread) into out as one zlib stream, with
// `threads` parsing threads (0: on the calling thread), in pieces of `piece` bytes (a multiple of
// 32 KiB, at least 64 KiB). Returns true with the stream's length in *out_len; false when
// reading, writing or memory fails or the file is 4 GiB or more, or once `stop` is requested
// (seen before each piece), with out partly written.
bool parallel_deflate(int fd, uint64_t size, FILE* out, uint64_t* out_len, unsigned threads,
                      uint64_t piece = 1 << 19, std::stop_token stop = {});

// Whether the zlib this program runs with makes the same stream as parallel_deflate: checked
// once, on a sample of mixed content. Any thread.
bool parallel_deflate_agrees();

// Compresses bytes [0, size) of `in` into out as one level-9 zlib stream, the same bytes as
// compress2: on every core when the file is large and parallel_deflate_agrees(), else (or when
// that fails) on this thread with zlib. Returns true with the length in *out_len; false when
// reading, writing or zlib fails, or soon after `stop` is requested (a piece's work at most).
bool file_compress(FILE* in, uint64_t size, FILE* out, uint64_t* out_len, std::stop_token stop = {});

}  // namespace vl
