#include "codec/deflate_parse.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <memory>
#include <new>

#include "codec/deflate_blocks.h"

namespace vl {

namespace {

// zlib's level-9 settings and window geometry (window bits 15, memory level 8).
constexpr uint64_t kMinLookahead = 258 + 3 + 1;
constexpr uint64_t kMaxDist = kDeflateWindow - kMinLookahead;
constexpr unsigned kMaxMatch = 258, kMaxLazy = 258, kGoodLength = 32, kNiceLength = 258;
constexpr unsigned kMaxChain = 4096, kTooFar = 4096;
constexpr uint32_t kMask = kDeflateWindow - 1;

// The number of equal bytes at a and b, up to n.
inline unsigned common(const uint8_t* a, const uint8_t* b, unsigned n) {
  unsigned i = 0;
  while (i + 8 <= n) {
    uint64_t x, y;
    std::memcpy(&x, a + i, 8);
    std::memcpy(&y, b + i, 8);
    if (x != y) return i + (static_cast<unsigned>(__builtin_ctzll(x ^ y)) >> 3);
    i += 8;
  }
  while (i < n && a[i] == b[i]) i++;
  return i;
}

inline uint16_t load16(const uint8_t* p) {
  uint16_t v;
  std::memcpy(&v, p, 2);
  return v;
}

class Matcher {
 public:
  explicit Matcher(const DeflateInput& in)
      : in_(in), head_(new (std::nothrow) uint32_t[kDeflateWindow]()),
        prev_(new (std::nothrow) uint16_t[kDeflateWindow]()) {}
  bool ok() const { return head_ && prev_; }
  const uint8_t* at(uint64_t p) const { return in_.data + (p - in_.base); }

  // Adds the string at p to its hash chain; returns the chain's previous head (0: none).
  uint32_t insert(uint64_t p) {
    const uint8_t* s = at(p);
    uint32_t h = ((static_cast<uint32_t>(s[0]) << 10) ^ (static_cast<uint32_t>(s[1]) << 5) ^ s[2]) & kMask;
    uint32_t old = head_[h];
    // The chain keeps the distance back to the string before (0: none within reach), which
    // halves the table that every step of a chain reads.
    prev_[p & kMask] = old != 0 && p - old <= UINT16_MAX ? static_cast<uint16_t>(p - old) : 0;
    head_[h] = static_cast<uint32_t>(p);
    return old;
  }
  // The string before cur in its chain (0 or a position beyond every limit: none).
  uint64_t before(uint64_t cur) const {
    uint16_t back = prev_[cur & kMask];
    return back != 0 ? cur - back : 0;
  }

  // The longest match at p better than best, along the chain from cur; sets *start.
  unsigned longest(uint64_t p, uint64_t cur, unsigned best, uint64_t lookahead, uint64_t window,
                   uint64_t* start) {
    unsigned chain = kMaxChain;
    if (best >= kGoodLength) chain >>= 2;
    const unsigned avail = lookahead < kMaxMatch ? static_cast<unsigned>(lookahead) : kMaxMatch;
    const unsigned nice = kNiceLength < avail ? kNiceLength : avail;
    const uint64_t limit = p - window > kMaxDist ? p - kMaxDist : window;
    const uint8_t* scan = at(p);
    if (best < avail) {
      uint16_t scan_start = load16(scan), scan_end = load16(scan + best - 1);
      do {
        const uint8_t* m = at(cur);
        if (load16(m + best - 1) != scan_end || load16(m) != scan_start) continue;
        // The third byte is equal: the hash and the first two bytes fix it.
        unsigned len = 3 + common(scan + 3, m + 3, avail - 3);
        if (len > best) {
          *start = cur;
          best = len;
          if (len >= nice) break;
          scan_end = load16(scan + best - 1);
        }
      } while ((cur = before(cur)) > limit && --chain != 0);
    }
    return best <= lookahead ? best : static_cast<unsigned>(lookahead);
  }

 private:
  const DeflateInput& in_;
  std::unique_ptr<uint32_t[]> head_;
  std::unique_ptr<uint16_t[]> prev_;
};

}  // namespace

uint64_t deflate_window_at(uint64_t pos) { return pos >= 2 * kDeflateWindow ? pos - kDeflateWindow : 0; }

void deflate_window_step(uint64_t pos, uint64_t total, uint64_t* window, uint64_t* fill) {
  if (*fill - pos < kMinLookahead && pos - *window >= kDeflateWindow + kMaxDist) {
    *window += kDeflateWindow;
    *fill = deflate_window_fill(*window, total);
  }
}

bool deflate_parse(const DeflateInput& in, const DeflatePlain& from, uint64_t stop,
                   uint64_t head_end, uint64_t tail_begin, DeflateParse* out) {
  if (in.total > UINT32_MAX) return false;
  assert((in.base == 0 || in.base + kDeflateWindow <= from.pos) &&
         in.base + in.len >= std::min(in.total, stop + kMinLookahead) && "the input the parse reads");
  Matcher mt(in);
  if (!mt.ok()) return false;
  const uint64_t total = in.total;
  uint64_t p = from.pos;
  // Every string before the start is in the chains, as it is when zlib gets here.
  for (uint64_t q = p > kDeflateWindow ? p - kDeflateWindow : 0; q < p && q + 3 <= total; q++) mt.insert(q);

  uint64_t window = from.window;
  uint64_t fill = deflate_window_fill(window, total);
  unsigned match_length = 2;
  uint64_t match_start = 0;
  bool pending = from.pending;
  out->first = p - (pending ? 1 : 0);
  out->symbols.clear();
  out->plain.clear();
  try {
    // A catalog takes about a symbol per three or four bytes.
    out->symbols.reserve((stop > p ? stop - p : 0) / 3 + 16);
    for (;;) {
      deflate_window_step(p, total, &window, &fill);
      const uint64_t lookahead = fill - p;
      if (lookahead == 0) break;
      if (match_length == 2 && (p < head_end || p >= tail_begin)) out->plain.push_back({p, pending, window});
      if (p >= stop) {
        out->stop = p;
        return true;
      }
      uint64_t hash_head = 0;
      if (lookahead >= 3) hash_head = mt.insert(p);
      const unsigned prev_length = match_length;
      const uint64_t prev_match = match_start;
      match_length = 2;
      // A chain head at the window's first byte counts as none, as in zlib.
      if (hash_head > window && prev_length < kMaxLazy && p - hash_head <= kMaxDist) {
        match_length = mt.longest(p, hash_head, prev_length, lookahead, window, &match_start);
        if (match_length == 3 && p - match_start > kTooFar) match_length = 2;
      }
      if (prev_length >= 3 && match_length <= prev_length) {
        const uint64_t max_insert = p + lookahead - 3;
        out->symbols.push_back(deflate_match(prev_length, static_cast<unsigned>(p - 1 - prev_match)));
        uint64_t q = p;
        for (unsigned n = prev_length - 2; n > 0; --n) {
          if (++q <= max_insert) mt.insert(q);
        }
        pending = false;
        match_length = 2;
        p = q + 1;
      } else if (pending) {
        out->symbols.push_back(deflate_literal(*mt.at(p - 1)));
        p++;
      } else {
        pending = true;
        p++;
      }
    }
    if (pending) out->symbols.push_back(deflate_literal(*mt.at(p - 1)));
  } catch (const std::bad_alloc&) {
    return false;
  }
  out->stop = p;
  return true;
}

}  // namespace vl
