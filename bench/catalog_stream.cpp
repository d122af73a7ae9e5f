// The level-9 stream of a catalog, on one thread with zlib and on every core: prints both times
// and whether the bytes are the same.   bench_catalog_stream FILE [ROUNDS]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "codec/parallel_deflate.h"
#include "codec/segment_compress.h"

namespace {

double seconds_of(bool (*code)(FILE*, uint64_t, FILE*, uint64_t*), FILE* in, uint64_t size, FILE* out,
                  uint64_t* len) {
  std::rewind(in);
  std::rewind(out);
  auto t0 = std::chrono::steady_clock::now();
  if (!code(in, size, out, len)) return -1;
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

bool one_thread(FILE* in, uint64_t, FILE* out, uint64_t* len) { return vl::stream_compress(in, out, len); }
bool every_core(FILE* in, uint64_t size, FILE* out, uint64_t* len) { return vl::file_compress(in, size, out, len); }

std::vector<char> contents(FILE* f, uint64_t len) {
  std::vector<char> v(len);
  std::rewind(f);
  if (std::fread(v.data(), 1, v.size(), f) != v.size()) v.clear();
  return v;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: bench_catalog_stream FILE [ROUNDS]\n");
    return 2;
  }
  FILE* in = std::fopen(argv[1], "rb");
  if (!in) return 1;
  std::fseek(in, 0, SEEK_END);
  const uint64_t size = static_cast<uint64_t>(std::ftell(in));
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 2;
  FILE* a = std::tmpfile();
  FILE* b = std::tmpfile();
  double best_one = 1e9, best_all = 1e9;
  uint64_t len_one = 0, len_all = 0;
  for (int r = 0; r < rounds; r++) {
    double one = seconds_of(one_thread, in, size, a, &len_one);
    double all = seconds_of(every_core, in, size, b, &len_all);
    if (one < 0 || all < 0) return 1;
    if (one < best_one) best_one = one;
    if (all < best_all) best_all = all;
  }
  const bool same = len_one == len_all && contents(a, len_one) == contents(b, len_all);
  std::printf("catalog stream of %.1f MB: one thread %.2f s, every core %.2f s (%.2fx), %s bytes\n",
              size / 1e6, best_one, best_all, best_one / best_all, same ? "same" : "DIFFERENT");
  return same ? 0 : 1;
}
