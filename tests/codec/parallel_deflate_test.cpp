// The parallel coder gives exactly compress2's level-9 stream, whatever the pieces and threads.
#include "codec/parallel_deflate.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <stop_token>
#include <random>
#include <vector>

#include "codec/deflate_blocks.h"
#include "codec/deflate_parse.h"
#include "codec/segment_compress.h"
#include "zlib_reference.h"

namespace vl {
namespace {

struct Files {
  FILE* in = std::tmpfile();
  FILE* out = std::tmpfile();
  explicit Files(const std::vector<uint8_t>& data) {
    if (!data.empty()) std::fwrite(data.data(), 1, data.size(), in);
    std::fflush(in);
  }
  ~Files() {
    std::fclose(in);
    std::fclose(out);
  }
  std::vector<uint8_t> result(uint64_t len) {
    std::vector<uint8_t> v(len);
    std::rewind(out);
    EXPECT_EQ(std::fread(v.data(), 1, v.size(), out), v.size());
    return v;
  }
};

// Content whose parses meet rarely or late at piece borders: long runs (matches of 258 in step
// with the run's start), random bytes (no matches, so few plain steps), short repeats far apart
// (chains cut at the window's edge), and records alike but for a counter, like a catalog's pages.
std::vector<uint8_t> content(int kind, size_t n) {
  std::mt19937 rng(kind + 1);
  std::vector<uint8_t> v;
  while (v.size() < n) {
    switch (kind == 4 ? rng() % 4 : kind) {
      case 0: v.insert(v.end(), (kind == 4 ? 10 : 3000) + rng() % 70000, static_cast<uint8_t>(rng() % 2)); break;
      case 1: v.push_back(static_cast<uint8_t>(rng())); break;
      case 2:
        for (int i = 0; i < 9; i++) v.push_back(static_cast<uint8_t>('a' + (rng() % 3)));
        if (v.size() > 40000) v.insert(v.end(), v.end() - 32700 - rng() % 200, v.end() - 32600);
        break;
      default: {
        uint8_t rec[20] = {0x0d, 0x00, 0x81, 0x05, 0x01, 'p', 'a', 't', 'h', '/'};
        uint32_t id = static_cast<uint32_t>(v.size() / 20);
        std::memcpy(rec + 10, &id, 4);
        rec[14 + rng() % 6] = static_cast<uint8_t>(rng());
        v.insert(v.end(), rec, rec + 20);
      }
    }
  }
  v.resize(n);
  return v;
}

// Random bytes and a copy of ten of them at the end, as long as it takes for the symbols to fill
// a block exactly with that match: zlib then sends the block inside its loop, and an empty last
// block after it.
std::vector<uint8_t> match_fills_the_last_block() {
  std::vector<uint8_t> r = content(1, 20000);
  for (size_t m = 16000; m < r.size(); m++) {
    std::vector<uint8_t> v(r.begin(), r.begin() + static_cast<long>(m));
    v.insert(v.end(), r.begin() + static_cast<long>(m) - 1000, r.begin() + static_cast<long>(m) - 990);
    DeflateParse p;
    if (deflate_parse({v.data(), 0, v.size(), v.size()}, {0, false, 0}, v.size(), 0, v.size(), &p) &&
        p.symbols.size() == kDeflateBlockSymbols && deflate_is_match(p.symbols.back()))
      return v;
  }
  ADD_FAILURE() << "no such input";
  return {};
}

// Ten bytes at the base of zlib's window after its last slide, which comes at the input's end,
// and again 32,506 bytes on (its longest distance) with only a run between: zlib takes no match
// with the string at the window's base, so the match starts a byte later.
std::vector<uint8_t> match_at_the_window_base() {
  std::vector<uint8_t> v = content(1, 32768 + 65274 + 20);
  const size_t base = 65536, at = 32768 + 65274;
  for (size_t i = base + 10; i < at; i++) v[i] = 0x55;
  for (uint8_t i = 0; i < 10; i++) v[base + i] = v[at + i] = static_cast<uint8_t>(0x10 + i);
  return v;
}

// A last piece of 64 KiB pieces only 3 bytes long, inside a run that a match covers to the end.
std::vector<uint8_t> run_over_a_short_last_piece() {
  std::vector<uint8_t> v = content(1, 100000);
  v.resize(2 * 65536 + 3, 0);
  return v;
}

TEST(ParallelDeflate, SameBytesAsCompress2ForEveryPieceSizeAndThreadCount) {
  std::vector<std::vector<uint8_t>> inputs = {{}, {'x'}, match_fills_the_last_block(),
                                              match_at_the_window_base(), run_over_a_short_last_piece()};
  for (int kind = 0; kind < 5; kind++) inputs.push_back(content(kind, 200001 + kind * 30000));
  for (const auto& in : inputs) {
    const std::vector<uint8_t> want = zlib_reference(in);
    for (uint64_t piece : {65536u, 98304u}) {
      for (unsigned threads : {0u, 3u}) {
        Files f(in);
        uint64_t len = 0;
        ASSERT_TRUE(parallel_deflate(fileno(f.in), in.size(), f.out, &len, threads, piece));
        EXPECT_EQ(f.result(len), want) << in.size() << " bytes, pieces of " << piece << ", "
                                       << threads << " threads";
      }
    }
  }
}

TEST(ParallelDeflate, FileCompressUsesEveryCoreAndFallsBackToZlib) {
  EXPECT_TRUE(parallel_deflate_agrees());
  const std::vector<uint8_t> in = content(4, 5 * 1048576 + 17);
  Files f(in);
  uint64_t len = 0;
  ASSERT_TRUE(file_compress(f.in, in.size(), f.out, &len));
  EXPECT_EQ(f.result(len), zlib_reference(in));
  // A file shorter than announced fails the parallel coder halfway; zlib then codes what is there,
  // into an output emptied of the partial stream.
  Files g(in);
  EXPECT_FALSE(parallel_deflate(fileno(g.in), in.size() + 100, g.out, &len, 2));
  ASSERT_TRUE(file_compress(g.in, in.size() + 100, g.out, &len));
  EXPECT_EQ(g.result(len), zlib_reference(in));
  // A stop request ends either coder, and zlib does not start over after it.
  std::stop_source stop;
  stop.request_stop();
  for (unsigned threads : {0u, 2u}) {
    Files h(in);
    EXPECT_FALSE(parallel_deflate(fileno(h.in), in.size(), h.out, &len, threads, 1 << 19, {stop.get_token(), {}}));
  }
  Files h(in);
  EXPECT_FALSE(file_compress(h.in, in.size(), h.out, &len, {stop.get_token(), {}}));
  EXPECT_FALSE(stream_compress(h.in, h.out, &len, stop.get_token()));
  // Each parsing thread announces itself once, by its index.
  std::mutex mu;
  std::vector<unsigned> started;
  CompressControl control{{}, [&](unsigned i) {
                            std::lock_guard<std::mutex> lock(mu);
                            started.push_back(i);
                          }};
  Files k(in);
  ASSERT_TRUE(parallel_deflate(fileno(k.in), in.size(), k.out, &len, 3, 1 << 19, control));
  EXPECT_EQ(k.result(len), zlib_reference(in));
  std::sort(started.begin(), started.end());
  EXPECT_EQ(started, (std::vector<unsigned>{0, 1, 2}));
}

}  // namespace
}  // namespace vl
