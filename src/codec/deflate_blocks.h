// The block coder of a level-9 zlib stream: takes the literal and match symbols that the
// matcher (deflate_parse.h) found, in order, and writes the deflate blocks exactly as zlib's
// deflate does for them: a block every 16383 symbols, each coded with the cheapest of a stored,
// a fixed or a dynamic block by zlib's own Huffman construction and cost rules.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace vl {

// A symbol as the matcher records it: a literal byte (below 256), or a match of length 3..258 at
// distance 1..32768 with the top bit set.
inline uint32_t deflate_literal(uint8_t c) { return c; }
inline uint32_t deflate_match(unsigned len, unsigned dist) {
  return 0x80000000u | ((len - 3) << 15) | (dist - 1);
}
inline bool deflate_is_match(uint32_t sym) { return (sym & 0x80000000u) != 0; }
inline unsigned deflate_match_len(uint32_t sym) { return ((sym >> 15) & 0xff) + 3; }
inline unsigned deflate_match_dist(uint32_t sym) { return (sym & 0x7fff) + 1; }
inline unsigned deflate_symbol_len(uint32_t sym) {
  return deflate_is_match(sym) ? deflate_match_len(sym) : 1;
}

// The symbols a block holds at most before it is written.
constexpr size_t kDeflateBlockSymbols = 16383;

class DeflateBlocks {
 public:
  DeflateBlocks();

  // Adds a symbol to the open block. Returns true when the block is full and must be ended.
  bool add(uint32_t sym);
  size_t symbols() const { return count_; }

  // The input bytes a block's symbols cover, asked for only when the block is stored; null when
  // they cannot be had.
  using RawFetch = std::function<const uint8_t*()>;

  // Writes the open block, whose symbols cover raw_len input bytes. in_window says whether the
  // deflate window still holds the block's start (a stored block is an option only then). last
  // ends the stream's deflate data (byte-aligned). Returns false only when fetch fails.
  bool end_block(bool in_window, uint64_t raw_len, const RawFetch& fetch, bool last);

  // The bytes written so far; the caller takes them away with clear().
  std::vector<uint8_t>& out() { return out_; }

 private:
  struct Tree {
    uint16_t freq[573] = {};
    uint16_t code[573] = {};
    uint16_t len[573] = {};
    uint16_t dad[573] = {};
    int max_code = 0;
  };
  void build_tree(Tree& t, int elems, const Tree* stree, const int* extra, int extra_base, int max_length);
  void gen_bitlen(Tree& t, const Tree* stree, const int* extra, int extra_base, int max_length);
  void scan_tree(Tree& t, int max_code);
  void send_tree(Tree& t, int max_code);
  int build_bl_tree();
  void compress_block(const Tree& lt, const Tree& dt);
  void send_bits(uint32_t value, int length);
  void send_code(const Tree& t, int c) { send_bits(t.code[c], t.len[c]); }
  void windup();
  void init_block();

  uint32_t syms_[kDeflateBlockSymbols + 1];
  size_t count_ = 0;
  Tree lt_, dt_, bt_;
  int heap_[573] = {};
  int heap_len_ = 0, heap_max_ = 0;
  uint8_t depth_[573] = {};
  uint16_t bl_count_[16] = {};
  uint64_t opt_len_ = 0, static_len_ = 0;
  uint64_t bitbuf_ = 0;
  int bits_ = 0;
  std::vector<uint8_t> out_;
};

}  // namespace vl
