// The string matcher of a level-9 zlib stream: finds the literals and matches that zlib's deflate
// finds (lazy evaluation, chains of up to 4096, its window and hash), starting anywhere in the
// input. A parse started at a later point agrees with the one from the start once both reach a
// loop step in the same plain state; parallel_deflate.h uses that to parse pieces at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vl {

constexpr uint64_t kDeflateWindow = 32768;

// A step of the matcher in a plain state: no pending match, and either no pending literal
// (after a match) or the byte before pos pending as a literal. Two parses plain in the same way
// at the same position go on alike.
struct DeflatePlain {
  uint64_t pos;
  bool pending;       // the byte at pos - 1 waits as a literal
  uint64_t window;    // where zlib's window begins at that step
};

// The input as the matcher sees it: bytes [base, base + len) of a whole of total bytes. It must
// hold the 32 KiB before the parse's start and the 262 bytes after its stop (or up to total).
struct DeflateInput {
  const uint8_t* data;
  uint64_t base;
  uint64_t len;
  uint64_t total;
};

struct DeflateParse {
  uint64_t first = 0;              // input position of the first symbol
  uint64_t stop = 0;               // the step it stopped at (total when the input ended)
  std::vector<uint32_t> symbols;   // as in deflate_blocks.h
  std::vector<DeflatePlain> plain; // plain steps in [start, head_end) and [tail_begin, stop]
};

// Parses from `from` (a plain state) until the first step at or after stop, or the input's end.
// Records the plain steps before head_end and from tail_begin on. The symbols are those emitted
// by the steps before the one it stopped at. Returns false only for input too large (4 GiB) or
// out of memory.
bool deflate_parse(const DeflateInput& in, const DeflatePlain& from, uint64_t stop,
                   uint64_t head_end, uint64_t tail_begin, DeflateParse* out);

// zlib's window start at a position that is a multiple of 32 KiB, for a parse that starts there.
uint64_t deflate_window_at(uint64_t pos);

// zlib's window at a step of its loop at pos: slides *window by half (and moves *fill, the end of
// the input it holds) when the lookahead runs short and the window's upper half is reached.
void deflate_window_step(uint64_t pos, uint64_t total, uint64_t* window, uint64_t* fill);

// The end of the input zlib's window holds when it starts at window.
inline uint64_t deflate_window_fill(uint64_t window, uint64_t total) {
  return total < window + 2 * kDeflateWindow ? total : window + 2 * kDeflateWindow;
}

}  // namespace vl
