// Level-9 compression of a large file on every core, to exactly the bytes one-shot compress2
// gives. Pieces of 512 KiB are parsed at once (deflate_parse.h), each from a plain start; where a
// piece's parse meets the parse of the piece before it in the same plain state, the two agree
// from there on, so the stream is spliced there and coded in order (deflate_blocks.h).
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <stop_token>

namespace vl {

// What the caller of a long compression controls: `stop` ends it before the next piece, and each
// parsing thread calls on_thread_start (when given) with its index (0 to threads-1) as it starts,
// so that the caller can keep it in its table of threads.
struct CompressControl {
  std::stop_token stop;
  std::function<void(unsigned)> on_thread_start;
};

// Compresses bytes [0, size) of the file fd (read with pread) into out as one zlib stream, with
// `threads` parsing threads (0: on the calling thread), in pieces of `piece` bytes (a multiple of
// 32 KiB, at least 64 KiB). Returns true with the stream's length in *out_len; false when
// reading, writing or memory fails or the file is 4 GiB or more, or once control.stop is
// requested (seen before each piece), with out partly written.
bool parallel_deflate(int fd, uint64_t size, FILE* out, uint64_t* out_len, unsigned threads,
                      uint64_t piece = 1 << 19, const CompressControl& control = {});

// Whether the zlib this program runs with makes the same stream as parallel_deflate: checked
// once, on a sample of mixed content. Any thread.
bool parallel_deflate_agrees();

// Compresses bytes [0, size) of `in` into out as one level-9 zlib stream, the same bytes as
// compress2: on every core when the file is large and parallel_deflate_agrees(), else (or when
// that fails) on this thread with zlib. Returns true with the length in *out_len; false when
// reading, writing or zlib fails, or soon after control.stop is requested (a piece's work at
// most). At most four parsing threads.
bool file_compress(FILE* in, uint64_t size, FILE* out, uint64_t* out_len,
                   const CompressControl& control = {});

}  // namespace vl
