#include "codec/deflate_blocks.h"

#include <cstring>

namespace vl {

namespace {

constexpr int kLCodes = 286, kDCodes = 30, kBlCodes = 19, kHeapSize = 573;
constexpr int kEndBlock = 256, kRep3to6 = 16, kRepZ3to10 = 17, kRepZ11to138 = 18;

const int kExtraLBits[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                             2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
const int kExtraDBits[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                             6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
const int kExtraBlBits[19] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 3, 7};
const uint8_t kBlOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

unsigned bit_reverse(unsigned code, int len) {
  unsigned res = 0;
  do {
    res |= code & 1;
    code >>= 1, res <<= 1;
  } while (--len > 0);
  return res >> 1;
}

// Canonical codes for the lengths len[0..max_code], counted per length in count.
void assign_codes(uint16_t* code, const uint16_t* len, int max_code, const uint16_t* count) {
  uint16_t next[16];
  unsigned c = 0;
  for (int bits = 1; bits <= 15; bits++) {
    c = (c + count[bits - 1]) << 1;
    next[bits] = static_cast<uint16_t>(c);
  }
  for (int n = 0; n <= max_code; n++) {
    if (len[n] != 0) code[n] = static_cast<uint16_t>(bit_reverse(next[len[n]]++, len[n]));
  }
}

// The fixed tables of the format: length and distance codes, and the fixed Huffman codes.
struct Tables {
  uint8_t length_code[256];
  int base_length[29] = {};
  uint8_t dist_code[512];
  int base_dist[30] = {};
  uint16_t fixed_lcode[288], fixed_llen[288];
  uint16_t fixed_dcode[30], fixed_dlen[30];

  Tables() {
    int length = 0, code = 0;
    for (code = 0; code < 28; code++) {
      base_length[code] = length;
      for (int n = 0; n < (1 << kExtraLBits[code]); n++) length_code[length++] = static_cast<uint8_t>(code);
    }
    length_code[length - 1] = static_cast<uint8_t>(code);  // length 258 has a code of its own
    int dist = 0;
    for (code = 0; code < 16; code++) {
      base_dist[code] = dist;
      for (int n = 0; n < (1 << kExtraDBits[code]); n++) dist_code[dist++] = static_cast<uint8_t>(code);
    }
    dist >>= 7;
    for (; code < kDCodes; code++) {
      base_dist[code] = dist << 7;
      for (int n = 0; n < (1 << (kExtraDBits[code] - 7)); n++)
        dist_code[256 + dist++] = static_cast<uint8_t>(code);
    }
    uint16_t count[16] = {};
    for (int n = 0; n < 288; n++) {
      fixed_llen[n] = n <= 143 ? 8 : n <= 255 ? 9 : n <= 279 ? 7 : 8;
      count[fixed_llen[n]]++;
    }
    assign_codes(fixed_lcode, fixed_llen, 287, count);
    for (int n = 0; n < kDCodes; n++) {
      fixed_dlen[n] = 5;
      fixed_dcode[n] = static_cast<uint16_t>(bit_reverse(static_cast<unsigned>(n), 5));
    }
  }
  int d_code(unsigned dist) const { return dist < 256 ? dist_code[dist] : dist_code[256 + (dist >> 7)]; }
};

const Tables& tables() {
  static const Tables t;
  return t;
}

// A tree made once of fixed codes and lengths.
template <typename Tree, size_t N>
const Tree* fixed_tree(const uint16_t (&code)[N], const uint16_t (&len)[N]) {
  static const Tree* const tree = [&] {
    static Tree f;
    std::memcpy(f.code, code, sizeof code);
    std::memcpy(f.len, len, sizeof len);
    return &f;
  }();
  return tree;
}

}  // namespace

DeflateBlocks::DeflateBlocks() { init_block(); }

void DeflateBlocks::init_block() {
  for (int n = 0; n < kLCodes; n++) lt_.freq[n] = 0;
  for (int n = 0; n < kDCodes; n++) dt_.freq[n] = 0;
  for (int n = 0; n < kBlCodes; n++) bt_.freq[n] = 0;
  lt_.freq[kEndBlock] = 1;
  opt_len_ = static_len_ = 0;
  count_ = 0;
}

bool DeflateBlocks::add(uint32_t sym) {
  const Tables& t = tables();
  syms_[count_++] = sym;
  if (!deflate_is_match(sym)) {
    lt_.freq[sym]++;
  } else {
    lt_.freq[t.length_code[deflate_match_len(sym) - 3] + 257]++;
    dt_.freq[t.d_code(deflate_match_dist(sym) - 1)]++;
  }
  return count_ == kDeflateBlockSymbols;
}

void DeflateBlocks::send_bits(uint32_t value, int length) {
  bitbuf_ |= static_cast<uint64_t>(value) << bits_;
  bits_ += length;
  if (bits_ >= 32) {
    for (int i = 0; i < 4; i++) out_.push_back(static_cast<uint8_t>(bitbuf_ >> (8 * i)));
    bitbuf_ >>= 32;
    bits_ -= 32;
  }
}

void DeflateBlocks::windup() {
  while (bits_ > 0) {
    out_.push_back(static_cast<uint8_t>(bitbuf_));
    bitbuf_ >>= 8;
    bits_ -= 8;
  }
  bitbuf_ = 0;
  bits_ = 0;
}

// Huffman construction as zlib does it, tie-breaks included: the heap orders by frequency, then
// by depth, and an over-long code is mended by zlib's own redistribution.
namespace {
struct Heap {
  int* heap;
  int& len;
  const uint16_t* freq;
  const uint8_t* depth;
  bool smaller(int n, int m) const {
    return freq[n] < freq[m] || (freq[n] == freq[m] && depth[n] <= depth[m]);
  }
  void down(int k) {
    int v = heap[k];
    int j = k << 1;
    while (j <= len) {
      if (j < len && smaller(heap[j + 1], heap[j])) j++;
      if (smaller(v, heap[j])) break;
      heap[k] = heap[j];
      k = j;
      j <<= 1;
    }
    heap[k] = v;
  }
};
}  // namespace

void DeflateBlocks::build_tree(Tree& t, int elems, const Tree* stree, const int* extra,
                               int extra_base, int max_length) {
  heap_len_ = 0;
  heap_max_ = kHeapSize;
  int max_code = -1;
  for (int n = 0; n < elems; n++) {
    if (t.freq[n] != 0) {
      heap_[++heap_len_] = max_code = n;
      depth_[n] = 0;
    } else {
      t.len[n] = 0;
    }
  }
  // At least two codes, so that every tree is a proper one.
  while (heap_len_ < 2) {
    int node = heap_[++heap_len_] = (max_code < 2 ? ++max_code : 0);
    t.freq[node] = 1;
    depth_[node] = 0;
    opt_len_--;
    if (stree) static_len_ -= stree->len[node];
  }
  t.max_code = max_code;
  Heap h{heap_, heap_len_, t.freq, depth_};
  for (int n = heap_len_ / 2; n >= 1; n--) h.down(n);
  int node = elems;
  do {
    int n = heap_[1];
    heap_[1] = heap_[heap_len_--];
    h.down(1);
    int m = heap_[1];
    heap_[--heap_max_] = n;
    heap_[--heap_max_] = m;
    t.freq[node] = static_cast<uint16_t>(t.freq[n] + t.freq[m]);
    depth_[node] = static_cast<uint8_t>((depth_[n] >= depth_[m] ? depth_[n] : depth_[m]) + 1);
    t.dad[n] = t.dad[m] = static_cast<uint16_t>(node);
    heap_[1] = node++;
    h.down(1);
  } while (heap_len_ >= 2);
  heap_[--heap_max_] = heap_[1];
  gen_bitlen(t, stree, extra, extra_base, max_length);
  assign_codes(t.code, t.len, max_code, bl_count_);
}

void DeflateBlocks::gen_bitlen(Tree& t, const Tree* stree, const int* extra, int extra_base,
                               int max_length) {
  for (auto& c : bl_count_) c = 0;
  t.len[heap_[heap_max_]] = 0;  // the root
  int overflow = 0;
  int h;
  for (h = heap_max_ + 1; h < kHeapSize; h++) {
    int n = heap_[h];
    int bits = t.len[t.dad[n]] + 1;
    if (bits > max_length) bits = max_length, overflow++;
    t.len[n] = static_cast<uint16_t>(bits);
    if (n > t.max_code) continue;  // not a leaf
    bl_count_[bits]++;
    int xbits = n >= extra_base ? extra[n - extra_base] : 0;
    uint64_t f = t.freq[n];
    opt_len_ += f * static_cast<unsigned>(bits + xbits);
    if (stree) static_len_ += f * static_cast<unsigned>(stree->len[n] + xbits);
  }
  if (overflow == 0) return;
  do {
    int bits = max_length - 1;
    while (bl_count_[bits] == 0) bits--;
    bl_count_[bits]--;
    bl_count_[bits + 1] += 2;
    bl_count_[max_length]--;
    overflow -= 2;
  } while (overflow > 0);
  for (int bits = max_length; bits != 0; bits--) {
    int n = bl_count_[bits];
    while (n != 0) {
      int m = heap_[--h];
      if (m > t.max_code) continue;
      if (t.len[m] != bits) {
        opt_len_ += (static_cast<uint64_t>(bits) - t.len[m]) * t.freq[m];
        t.len[m] = static_cast<uint16_t>(bits);
      }
      n--;
    }
  }
}

namespace {

// zlib's runs of code lengths in a tree's description: calls run(curlen, count, prevlen) for each
// run of count codes of length curlen (the one before being of length prevlen), where run codes
// repeats of up to 6 lengths, or of up to 138 zeros.
template <typename Run>
void length_runs(uint16_t* len, int max_code, Run&& run) {
  int prevlen = -1, nextlen = len[0], count = 0, max_count = 7, min_count = 4;
  if (nextlen == 0) max_count = 138, min_count = 3;
  len[max_code + 1] = 0xffff;  // guard
  for (int n = 0; n <= max_code; n++) {
    int curlen = nextlen;
    nextlen = len[n + 1];
    if (++count < max_count && curlen == nextlen) continue;
    run(curlen, count, count < min_count, prevlen);
    count = 0;
    prevlen = curlen;
    if (nextlen == 0) {
      max_count = 138, min_count = 3;
    } else if (curlen == nextlen) {
      max_count = 6, min_count = 3;
    } else {
      max_count = 7, min_count = 4;
    }
  }
}

}  // namespace

void DeflateBlocks::scan_tree(Tree& t, int max_code) {
  length_runs(t.len, max_code, [&](int curlen, int count, bool short_run, int prevlen) {
    if (short_run) {
      bt_.freq[curlen] = static_cast<uint16_t>(bt_.freq[curlen] + count);
    } else if (curlen != 0) {
      if (curlen != prevlen) bt_.freq[curlen]++;
      bt_.freq[kRep3to6]++;
    } else if (count <= 10) {
      bt_.freq[kRepZ3to10]++;
    } else {
      bt_.freq[kRepZ11to138]++;
    }
  });
}

void DeflateBlocks::send_tree(Tree& t, int max_code) {
  length_runs(t.len, max_code, [&](int curlen, int count, bool short_run, int prevlen) {
    if (short_run) {
      do send_code(bt_, curlen);
      while (--count != 0);
    } else if (curlen != 0) {
      if (curlen != prevlen) {
        send_code(bt_, curlen);
        count--;
      }
      send_code(bt_, kRep3to6);
      send_bits(static_cast<uint32_t>(count - 3), 2);
    } else if (count <= 10) {
      send_code(bt_, kRepZ3to10);
      send_bits(static_cast<uint32_t>(count - 3), 3);
    } else {
      send_code(bt_, kRepZ11to138);
      send_bits(static_cast<uint32_t>(count - 11), 7);
    }
  });
}

int DeflateBlocks::build_bl_tree() {
  scan_tree(lt_, lt_.max_code);
  scan_tree(dt_, dt_.max_code);
  build_tree(bt_, kBlCodes, nullptr, kExtraBlBits, 0, 7);
  int max_blindex;
  for (max_blindex = kBlCodes - 1; max_blindex >= 3; max_blindex--) {
    if (bt_.len[kBlOrder[max_blindex]] != 0) break;
  }
  opt_len_ += 3 * (static_cast<uint64_t>(max_blindex) + 1) + 5 + 5 + 4;
  return max_blindex;
}

void DeflateBlocks::compress_block(const Tree& lt, const Tree& dt) {
  const Tables& t = tables();
  for (size_t i = 0; i < count_; i++) {
    uint32_t sym = syms_[i];
    if (!deflate_is_match(sym)) {
      send_code(lt, static_cast<int>(sym));
      continue;
    }
    unsigned lc = deflate_match_len(sym) - 3;
    int code = t.length_code[lc];
    send_code(lt, code + 257);
    if (kExtraLBits[code] != 0) send_bits(lc - static_cast<unsigned>(t.base_length[code]), kExtraLBits[code]);
    unsigned dist = deflate_match_dist(sym) - 1;
    code = t.d_code(dist);
    send_code(dt, code);
    if (kExtraDBits[code] != 0) send_bits(dist - static_cast<unsigned>(t.base_dist[code]), kExtraDBits[code]);
  }
  send_code(lt, kEndBlock);
}

bool DeflateBlocks::end_block(bool in_window, uint64_t raw_len, const RawFetch& fetch, bool last) {
  const Tables& t = tables();
  const Tree* fixed_l = fixed_tree<Tree>(t.fixed_lcode, t.fixed_llen);
  const Tree* fixed_d = fixed_tree<Tree>(t.fixed_dcode, t.fixed_dlen);
  build_tree(lt_, kLCodes, fixed_l, kExtraLBits, 257, 15);
  build_tree(dt_, kDCodes, fixed_d, kExtraDBits, 0, 15);
  int max_blindex = build_bl_tree();
  uint64_t opt_lenb = (opt_len_ + 3 + 7) >> 3;
  uint64_t static_lenb = (static_len_ + 3 + 7) >> 3;
  if (static_lenb <= opt_lenb) opt_lenb = static_lenb;
  const uint32_t last_bit = last ? 1 : 0;
  if (raw_len + 4 <= opt_lenb && in_window) {
    const uint8_t* raw = fetch ? fetch() : nullptr;
    if (!raw) return false;
    send_bits(last_bit, 3);
    windup();
    out_.push_back(static_cast<uint8_t>(raw_len));
    out_.push_back(static_cast<uint8_t>(raw_len >> 8));
    out_.push_back(static_cast<uint8_t>(~raw_len));
    out_.push_back(static_cast<uint8_t>(~raw_len >> 8));
    out_.insert(out_.end(), raw, raw + raw_len);
  } else if (static_lenb == opt_lenb) {
    send_bits(2 + last_bit, 3);
    compress_block(*fixed_l, *fixed_d);
  } else {
    send_bits(4 + last_bit, 3);
    send_bits(static_cast<uint32_t>(lt_.max_code + 1 - 257), 5);
    send_bits(static_cast<uint32_t>(dt_.max_code + 1 - 1), 5);
    send_bits(static_cast<uint32_t>(max_blindex + 1 - 4), 4);
    for (int rank = 0; rank <= max_blindex; rank++) send_bits(bt_.len[kBlOrder[rank]], 3);
    send_tree(lt_, lt_.max_code);
    send_tree(dt_, dt_.max_code);
    compress_block(lt_, dt_);
  }
  init_block();
  if (last) windup();
  return true;
}

}  // namespace vl
