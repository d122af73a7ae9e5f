#include "connection/segment_upload.h"

#include <cstring>
#include <memory>
#include <new>

#include "codec/segment_compress.h"

namespace vl {

void segment_payload_make(const uint8_t* data, uint32_t size, uint8_t* out, size_t cap,
                          SegmentPayload* p) {
  size_t packed = 0;
  // Sent raw unless the level-9 stream is no longer than the content.
  p->compressed = out && segment_compress(data, size, out, cap, &packed) && packed <= size;
  p->bytes = p->compressed ? out : data;
  p->len = p->compressed ? static_cast<uint32_t>(packed) : size;
  p->file = nullptr;
}

int server_seg_store(RunContext& ctx, const uint8_t digest[16], const uint8_t* data, uint32_t size) {
  const size_t cap = compress_capacity(size);
  std::unique_ptr<uint8_t[]> packed(new (std::nothrow) uint8_t[cap]);
  auto seg = std::make_shared<Segment>();
  std::memcpy(seg->digest, digest, 16);
  seg->size = size;
  seg->payload = [&](SegmentPayload* p) {
    segment_payload_make(data, size, packed.get(), cap, p);
    return true;
  };
  seg->slot = run_log_reserve(ctx);
  SegmentEnd how = SegmentEnd::abandoned;
  seg->ended = [&how](Segment&, SegmentEnd end) { how = end; };
  {
    Dialogue dialogue(ctx, 1);
    if (dialogue.submit(seg) == 0) dialogue.drain();
  }
  if (how == SegmentEnd::linked) return 0;
  return how == SegmentEnd::link_refused ? 2 : 1;
}

}  // namespace vl
