#include "codec/parallel_deflate.h"

#include <zlib.h>

#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>
#include <random>
#include <system_error>
#include <thread>
#include <vector>

#include "codec/deflate_blocks.h"
#include "codec/deflate_parse.h"
#include "codec/segment_compress.h"
#include "platform/file_read.h"
#include "platform/fs.h"

namespace vl {

namespace {

constexpr uint64_t kPiece = 1 << 19;  // the default
// How far a piece's parse runs into the next piece, looking for the step where they agree.
constexpr uint64_t kOverlap = 16384;
// Beyond this many bytes the parallel coder pays for its start; below, zlib does it alone.
constexpr uint64_t kParallelMin = 4 << 20;

bool read_at(int fd, uint64_t offset, uint8_t* buf, size_t n) { return fd_read_at(fd, offset, buf, n) == n; }

struct Piece {
  std::vector<uint8_t> bytes;  // input [base, base + bytes.size())
  uint64_t base = 0;
  DeflateParse parse;
  uLong adler = 1;             // of the piece's own bytes
  bool ok = false;
  DeflateInput input(uint64_t total) const { return {bytes.data(), base, bytes.size(), total}; }
};

class Coder {
 public:
  Coder(int fd, uint64_t size, FILE* out, uint64_t piece, const CompressControl& control)
      : fd_(fd), size_(size), out_(out), piece_(piece), control_(control) {
    count_ = static_cast<size_t>((size + piece - 1) / piece);
  }
  bool run(unsigned threads, uint64_t* out_len);

 private:
  uint64_t piece_start(size_t k) const { return k * piece_; }
  uint64_t piece_end(size_t k) const { return std::min(size_, (k + 1) * piece_); }
  std::unique_ptr<Piece> make_piece(size_t k);
  void work(unsigned index);
  std::unique_ptr<Piece> take(size_t k);
  bool emit_from(Piece& p, uint64_t until);
  bool emit(uint32_t sym, uint64_t pos);
  bool end_block(bool last, uint64_t end);
  bool flush_out();

  const int fd_;
  const uint64_t size_;
  FILE* const out_;
  const uint64_t piece_;
  const CompressControl& control_;  // its stop ends the work before the next piece
  size_t count_ = 0;

  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<std::unique_ptr<Piece>> done_;  // parsed pieces not yet taken, by index
  size_t next_ = 0;                           // the next piece to parse
  size_t taken_ = 0;                          // pieces the coder has taken
  size_t ahead_ = 0;                          // pieces parsed ahead of the coder at most
  bool failed_ = false;

  // The coder's walk over the spliced symbols (its thread only).
  size_t sym_index_ = 0;      // next symbol of the current piece's parse
  uint64_t sym_pos_ = 0;      // its input position
  DeflateBlocks blocks_;
  uint64_t block_start_ = 0;
  uint64_t window_ = 0, fill_ = 0;  // zlib's window, for the stored-block test
  uint64_t written_ = 0;
};

std::unique_ptr<Piece> Coder::make_piece(size_t k) {
  auto p = std::make_unique<Piece>();
  const uint64_t start = piece_start(k);
  const uint64_t stop = std::min(size_, piece_end(k) + (k + 1 < count_ ? kOverlap : 0));
  p->base = start > kDeflateWindow ? start - kDeflateWindow : 0;
  const uint64_t end = std::min(size_, stop + 1024);
  p->bytes.resize(static_cast<size_t>(end - p->base));
  if (!read_at(fd_, p->base, p->bytes.data(), p->bytes.size())) return p;
  const uint8_t* own = p->bytes.data() + (start - p->base);
  p->adler = adler32(1, own, static_cast<uInt>(piece_end(k) - start));
  DeflatePlain from{start, false, deflate_window_at(start)};
  p->ok = deflate_parse(p->input(size_), from, stop, start + kOverlap, piece_end(k), &p->parse);
  return p;
}

void Coder::work(unsigned index) {
  if (control_.on_thread_start) control_.on_thread_start(index);
  for (;;) {
    size_t k;
    {
      std::unique_lock<std::mutex> lock(mu_);
      cv_.wait(lock, [&] { return failed_ || next_ >= count_ || next_ < taken_ + ahead_; });
      if (control_.stop.stop_requested()) failed_ = true;
      if (failed_ || next_ >= count_) {
        cv_.notify_all();
        return;
      }
      k = next_++;
    }
    std::unique_ptr<Piece> p;
    try {
      p = make_piece(k);
    } catch (...) {  // out of memory: no exception may leave the thread
      p.reset();
    }
    std::lock_guard<std::mutex> lock(mu_);
    if (!p || !p->ok) failed_ = true;
    done_[k] = std::move(p);
    cv_.notify_all();
  }
}

std::unique_ptr<Piece> Coder::take(size_t k) {
  if (control_.stop.stop_requested()) return nullptr;
  std::unique_lock<std::mutex> lock(mu_);
  if (ahead_ == 0) {  // no parsing thread: the piece is parsed here
    lock.unlock();
    std::unique_ptr<Piece> p = make_piece(k);
    return p->ok ? std::move(p) : nullptr;
  }
  cv_.wait(lock, [&] { return failed_ || done_[k] != nullptr; });
  if (failed_) return nullptr;
  taken_ = k + 1;
  cv_.notify_all();
  return std::move(done_[k]);
}

bool Coder::flush_out() {
  std::vector<uint8_t>& b = blocks_.out();
  if (!b.empty() && std::fwrite(b.data(), 1, b.size(), out_) != b.size()) return false;
  written_ += b.size();
  b.clear();
  return true;
}

bool Coder::end_block(bool last, uint64_t end) {
  const uint64_t start = block_start_;
  std::vector<uint8_t> raw;
  auto fetch = [&]() -> const uint8_t* {
    raw.resize(static_cast<size_t>(end - start));
    return read_at(fd_, start, raw.data(), raw.size()) ? raw.data() : nullptr;
  };
  if (!blocks_.end_block(start >= window_, end - start, fetch, last)) return false;
  block_start_ = end;
  return flush_out();
}

bool Coder::emit(uint32_t sym, uint64_t pos) {
  // zlib's loop passes pos, and pos + 1 where it sends the symbol.
  deflate_window_step(pos, size_, &window_, &fill_);
  deflate_window_step(pos + 1, size_, &window_, &fill_);
  const uint64_t end = pos + deflate_symbol_len(sym);
  // The literal left pending when the input ends is sent after zlib's loop, into the last block
  // whether or not that block is full. A match that ends the input is sent inside the loop.
  const bool after_loop = end == size_ && !deflate_is_match(sym);
  if (blocks_.add(sym) && !after_loop) return end_block(false, end);
  return true;
}

// Sends the symbols of p's parse that zlib sends at steps before `until`.
bool Coder::emit_from(Piece& p, uint64_t until) {
  const std::vector<uint32_t>& syms = p.parse.symbols;
  while (sym_index_ < syms.size() && sym_pos_ + 1 < until) {
    uint32_t s = syms[sym_index_++];
    if (!emit(s, sym_pos_)) return false;
    sym_pos_ += deflate_symbol_len(s);
  }
  return true;
}

bool Coder::run(unsigned threads, uint64_t* out_len) {
  done_.resize(count_);
  std::vector<std::thread> workers;
  struct Joiner {
    Coder* c;
    std::vector<std::thread>& w;
    ~Joiner() {
      {
        std::lock_guard<std::mutex> lock(c->mu_);
        c->failed_ = true;  // ends the workers' waits; the result is already known
        c->cv_.notify_all();
      }
      for (auto& t : w) t.join();
    }
  } joiner{this, workers};
  // A piece for each thread and the one being coded: about 1.3 MB each, with its symbols.
  ahead_ = threads + 1;
  for (unsigned i = 0; i < threads; i++) {
    try {
      workers.emplace_back([this, i] { work(i); });
    } catch (const std::system_error&) {
      break;
    }
  }
  if (workers.empty()) ahead_ = 0;

  fill_ = deflate_window_fill(0, size_);
  const uint8_t header[2] = {0x78, 0xda};
  if (std::fwrite(header, 1, 2, out_) != 2) return false;
  written_ = 2;
  uLong adler = 1;
  if (count_ == 0) {  // no input: only the last, empty block
    if (!end_block(true, 0)) return false;
    const uint8_t empty[4] = {0, 0, 0, 1};
    if (std::fwrite(empty, 1, 4, out_) != 4) return false;
    *out_len = written_ + 4;
    return std::fflush(out_) == 0;
  }
  std::unique_ptr<Piece> cur = take(0);
  if (!cur) return false;
  adler = adler32_combine(adler, cur->adler, static_cast<z_off_t>(piece_end(0)));
  sym_pos_ = cur->parse.first;
  for (size_t k = 1; k < count_; k++) {
    std::unique_ptr<Piece> next = take(k);
    if (!next) return false;
    adler = adler32_combine(adler, next->adler, static_cast<z_off_t>(piece_end(k) - piece_start(k)));
    // A parse that ran into the input's end (the last piece is shorter than the overlap) is
    // whole already: a match may cover all of the last piece, leaving it no step to splice at.
    if (cur->parse.stop == size_) continue;
    // The first step, in the next piece, where both parses are plain in the same way.
    const std::vector<DeflatePlain>& a = cur->parse.plain;
    const std::vector<DeflatePlain>& b = next->parse.plain;
    const DeflatePlain* meet = nullptr;
    const DeflatePlain* last_a = nullptr;
    for (size_t i = 0, j = 0; i < a.size(); i++) {
      if (a[i].pos < piece_start(k)) continue;
      last_a = &a[i];
      while (j < b.size() && b[j].pos < a[i].pos) j++;
      if (!meet && j < b.size() && b[j].pos == a[i].pos && b[j].pending == a[i].pending) meet = &a[i];
    }
    if (!meet) {
      // They never agreed: the next piece is parsed again from the last plain step of this one.
      if (!last_a) return false;
      DeflatePlain from = *last_a;
      const uint64_t stop = std::min(size_, piece_end(k) + (k + 1 < count_ ? kOverlap : 0));
      if (!deflate_parse(next->input(size_), from, stop, from.pos, piece_end(k), &next->parse)) return false;
      meet = last_a;
    }
    const uint64_t at = meet->pos;
    if (!emit_from(*cur, at)) return false;
    // The next parse's symbols sent before that step are the current one's.
    sym_index_ = 0;
    sym_pos_ = next->parse.first;
    const std::vector<uint32_t>& syms = next->parse.symbols;
    while (sym_index_ < syms.size() && sym_pos_ + 1 < at) sym_pos_ += deflate_symbol_len(syms[sym_index_++]);
    cur = std::move(next);
  }
  if (!emit_from(*cur, UINT64_MAX) || sym_pos_ != size_) return false;
  // zlib's last step, at the end of the input, may slide its window once more.
  deflate_window_step(size_, size_, &window_, &fill_);
  if (!end_block(true, size_)) return false;
  const uint8_t trailer[4] = {static_cast<uint8_t>(adler >> 24), static_cast<uint8_t>(adler >> 16),
                              static_cast<uint8_t>(adler >> 8), static_cast<uint8_t>(adler)};
  if (std::fwrite(trailer, 1, 4, out_) != 4) return false;
  *out_len = written_ + 4;
  return std::fflush(out_) == 0;
}

// Content of many kinds in one sample: text, runs, random bytes, near-repeats far apart and
// records alike but for a counter, so that every kind of block and match is made.
std::vector<uint8_t> sample() {
  std::vector<uint8_t> v;
  std::mt19937 rng(12345);
  static const char* words[] = {"segment ", "catalog ", "/home/user/projects/", "filespec ", "\n", "md5 "};
  while (v.size() < 600000) {
    switch (rng() % 6) {
      case 0:
        for (int i = 0; i < 2000; i++) {
          const char* w = words[rng() % 6];
          while (*w) v.push_back(static_cast<uint8_t>(*w++));
        }
        break;
      case 1:
        v.insert(v.end(), 5000 + rng() % 70000, static_cast<uint8_t>(rng() % 3));
        break;
      case 2:
        for (int i = 0, n = 3000 + static_cast<int>(rng() % 40000); i < n; i++) v.push_back(static_cast<uint8_t>(rng()));
        break;
      case 3:
        if (v.size() > 40000) {
          size_t from = v.size() - 1000 - rng() % 39000;
          for (int i = 0; i < 3000; i++) v.push_back(static_cast<uint8_t>(v[from + i] ^ (rng() % 50 == 0)));
        }
        break;
      case 4:
        for (uint32_t i = 0; i < 3000; i++) {
          uint8_t rec[12] = {0x0d, 0x00, 0x00, 0x00, 0x01, 0x0f, 0x81};
          rec[7] = static_cast<uint8_t>(i);
          rec[8] = static_cast<uint8_t>(i >> 8);
          rec[9] = static_cast<uint8_t>(rng() % 16);
          v.insert(v.end(), rec, rec + 12);
        }
        break;
      default:
        for (int i = 0; i < 20000; i++) v.push_back(static_cast<uint8_t>('a' + rng() % 4));
        break;
    }
  }
  return v;
}

bool agrees_now() {
  std::vector<uint8_t> in = sample();
  uLongf len = compressBound(in.size());
  std::vector<uint8_t> want(len);
  if (compress2(want.data(), &len, in.data(), in.size(), 9) != Z_OK) return false;
  want.resize(len);
  FILE* src = std::tmpfile();
  FILE* dst = std::tmpfile();
  bool same = false;
  if (src && dst && std::fwrite(in.data(), 1, in.size(), src) == in.size() && std::fflush(src) == 0) {
    uint64_t got_len = 0;
    // Small pieces, so that the sample crosses many of them.
    if (parallel_deflate(fileno(src), in.size(), dst, &got_len, 2, 2 * kDeflateWindow) &&
        got_len == want.size()) {
      std::vector<uint8_t> got(want.size());
      std::rewind(dst);
      same = std::fread(got.data(), 1, got.size(), dst) == got.size() && got == want;
    }
  }
  if (src) std::fclose(src);
  if (dst) std::fclose(dst);
  return same;
}

}  // namespace

bool parallel_deflate(int fd, uint64_t size, FILE* out, uint64_t* out_len, unsigned threads,
                      uint64_t piece, const CompressControl& control) {
  if (piece < 2 * kDeflateWindow || piece % kDeflateWindow != 0) return false;
  try {
    Coder c(fd, size, out, piece, control);
    return c.run(threads, out_len);
  } catch (const std::bad_alloc&) {
    return false;
  }
}

bool parallel_deflate_agrees() {
  static const bool agrees = agrees_now();
  return agrees;
}

bool file_compress(FILE* in, uint64_t size, FILE* out, uint64_t* out_len,
                   const CompressControl& control) {
  // More threads than four add little and hold more pieces in memory.
  const unsigned cores = std::min(4u, std::thread::hardware_concurrency());
  if (size >= kParallelMin && cores > 1 && parallel_deflate_agrees()) {
    if (parallel_deflate(fileno(in), size, out, out_len, cores, kPiece, control)) return true;
    // Whatever else went wrong, zlib alone still makes the stream, from the start.
    if (control.stop.stop_requested() || !stream_empty(out)) return false;
  }
  std::rewind(in);
  return stream_compress(in, out, out_len, control.stop);
}

}  // namespace vl
