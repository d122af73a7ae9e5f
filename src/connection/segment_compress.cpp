#include "connection/segment_compress.h"

#include <zlib.h>

#include <climits>

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

}  // namespace vl
