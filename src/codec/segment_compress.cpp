#include "codec/segment_compress.h"

#include <zlib.h>

#include <climits>
#include <memory>
#include <new>

namespace vl {
namespace {

// One deflate state per thread, set up on first use and ended with the thread. deflateInit
// at level 9 is compress2's own set-up (window 15, memory level 8, default strategy).
class Deflater {
 public:
  ~Deflater() {
    if (ready_) deflateEnd(&zs_);
  }
  z_stream* stream() {
    if (!ready_) {
      zs_ = z_stream{};
      if (deflateInit(&zs_, Z_BEST_COMPRESSION) != Z_OK) return nullptr;
      ready_ = true;
    } else if (deflateReset(&zs_) != Z_OK) {
      return nullptr;
    }
    return &zs_;
  }

 private:
  z_stream zs_{};
  bool ready_ = false;
};

}  // namespace

size_t compress_capacity(uint32_t size) { return size_t{size} + size / 128 + 16; }

bool segment_compress(const uint8_t* data, uint32_t size, uint8_t* out, size_t cap,
                      size_t* out_len) {
  thread_local Deflater deflater;
  z_stream* zs = deflater.stream();
  if (!zs || cap > UINT_MAX) return false;
  zs->next_in = const_cast<Bytef*>(data);
  zs->avail_in = size;
  zs->next_out = out;
  zs->avail_out = static_cast<uInt>(cap);
  if (deflate(zs, Z_FINISH) != Z_STREAM_END) return false;
  *out_len = zs->total_out;
  return true;
}

bool stream_compress(FILE* in, FILE* out, uint64_t* out_len, std::stop_token stop) {
  z_stream zs{};
  if (deflateInit(&zs, Z_BEST_COMPRESSION) != Z_OK) return false;
  constexpr size_t kChunk = 65536;
  std::unique_ptr<uint8_t[]> src(new (std::nothrow) uint8_t[kChunk]);
  std::unique_ptr<uint8_t[]> dst(new (std::nothrow) uint8_t[kChunk]);
  bool ok = src && dst;
  int flush = Z_NO_FLUSH;
  while (ok && flush != Z_FINISH) {
    if (stop.stop_requested()) {
      ok = false;
      break;
    }
    size_t got = std::fread(src.get(), 1, kChunk, in);
    if (std::ferror(in)) {
      ok = false;
      break;
    }
    flush = std::feof(in) ? Z_FINISH : Z_NO_FLUSH;
    zs.next_in = src.get();
    zs.avail_in = static_cast<uInt>(got);
    do {
      zs.next_out = dst.get();
      zs.avail_out = static_cast<uInt>(kChunk);
      int rc = deflate(&zs, flush);
      if (rc == Z_STREAM_ERROR) {
        ok = false;
        break;
      }
      size_t have = kChunk - zs.avail_out;
      if (have && std::fwrite(dst.get(), 1, have, out) != have) {
        ok = false;
        break;
      }
    } while (zs.avail_out == 0);
  }
  if (ok) *out_len = zs.total_out;
  deflateEnd(&zs);
  return ok && std::fflush(out) == 0;
}

}  // namespace vl
