#include "connection/segment_upload.h"

#include <cstring>
#include <memory>
#include <new>

#include "connection/messages.h"
#include "connection/retry.h"
#include "connection/segment_compress.h"
#include "connection/transport.h"
#include "run/run_control.h"
#include "run/run_log.h"
#include "run/status.h"

namespace vl {

constexpr const char* kStatusWorking = "Kicking Ass!";
constexpr int kStatusReplyMin = 3;
constexpr int kUploadHeaderReplyMin = 7;

// One segment request (query or link) with its status reply, retried on a new connection until
// answered. Returns the status byte, or -1 when cancelled.
static int segment_status_request(RunContext& ctx, const uint8_t* request, int len, uint8_t code) {
  uint8_t buf[kReplyCap];
  int n = server_request(
      ctx, request, len, buf, kReplyCap,
      [code](const uint8_t* b, int got) { return reply_is(b, got, kGroupSegment, code, kStatusReplyMin); },
      kStatusWorking);
  return n < 0 ? -1 : buf[2];
}

int server_seg_query(RunContext& ctx, const uint8_t digest[16], uint32_t size) {
  auto request = seg_query_build(digest, size);
  int status = segment_status_request(ctx, request.data(), static_cast<int>(request.size()),
                                      kCodeSegQueryReply);
  return status == 0xFF ? 0 : 1;
}

int server_seg_link(RunContext& ctx, const uint8_t digest[16]) {
  auto request = seg_link_build(digest, ctx.catalog_id);
  int status = segment_status_request(ctx, request.data(), static_cast<int>(request.size()),
                                      kCodeSegLinkReply);
  return status == 0x00 ? 0 : 1;
}

// Sends the payload in data messages of at most 4096 bytes. Returns 0, or 1 when a message could
// not be sent or the run was cancelled at the pause point after a message.
static int send_payload(RunContext& ctx, const uint8_t* payload, uint32_t len) {
  uint8_t message[2 + kSegDataMax];
  message[0] = kGroupSegment;
  message[1] = kCodeSegData;
  for (uint32_t off = 0; off < len;) {
    uint32_t piece = len - off < kSegDataMax ? len - off : static_cast<uint32_t>(kSegDataMax);
    std::memcpy(message + 2, payload + off, piece);
    if (server_send(ctx, message, static_cast<int>(piece + 2), kTimeoutS) <= 0) return 1;
    off += piece;
    ctx.stats.file_bytes_sent += piece;
    stat_show(ctx.stats, StatField::file_bytes_sent);
    pause_wait(ctx);
    if (ctx.cancel == 1) return 1;
  }
  return 0;
}

int server_seg_upload(RunContext& ctx, const uint8_t digest[16], const uint8_t* data, uint32_t size) {
  RunStats& st = ctx.stats;
  ++st.segs;
  stat_show(st, StatField::segs);

  if (server_seg_query(ctx, digest, size) == 0) {
    run_log(ctx, " exists.\n");
    server_seg_link(ctx, digest);
    st.bytes_duped += size;
    ++st.segs_duped;
    stat_show(st, StatField::segs_duped);
    return 0;
  }

  // Sent raw unless the level-9 stream is no longer than the content.
  const size_t cap = compress_capacity(size);
  std::unique_ptr<uint8_t[]> packed(new (std::nothrow) uint8_t[cap]);
  size_t packed_len = 0;
  bool compressed = packed && segment_compress(data, size, packed.get(), cap, &packed_len) &&
                    packed_len <= size;
  if (!compressed) packed.reset();
  const uint8_t* payload = compressed ? packed.get() : data;
  const uint32_t payload_len = compressed ? static_cast<uint32_t>(packed_len) : size;

  st.bytes_stored += size;
  ++st.segs_stored;
  st.bytes_compressed += payload_len;
  stat_show(st, StatField::segs_stored);
  stat_show(st, StatField::bytes_compressed);
  stat_show(st, StatField::bytes_stored);

  auto header = upload_header_build(digest, size, compressed, payload_len);
  server_send(ctx, header.data(), static_cast<int>(header.size()), kTimeoutS);
  uint8_t reply[kUploadReplyCap];
  int n = server_receive(ctx, reply, kUploadReplyCap, kTimeoutS);
  if (!reply_is(reply, n, kGroupSegment, kCodeSegUploadHeaderReply, kUploadHeaderReplyMin))
    return 1;
  switch (reply[6]) {
    case 0x00:
      break;
    case 0xFF:
      run_log(ctx, " exists (blah!)\n");
      server_seg_link(ctx, digest);
      return 0;
    default:
      run_log(ctx, " Unknown error\n");
      return 1;
  }

  run_log(ctx, " upload... ");
  if (send_payload(ctx, payload, payload_len) != 0) return 1;
  n = server_receive(ctx, reply, kUploadReplyCap, kTimeoutS);
  if (!reply_is(reply, n, kGroupSegment, kCodeSegUploadComplete, kStatusReplyMin)) return 1;
  run_log(ctx, "OK\n");
  server_seg_link(ctx, digest);
  return 0;
}

int server_seg_store(RunContext& ctx, const uint8_t digest[16], const uint8_t* data, uint32_t size) {
  for (;;) {
    if (server_seg_upload(ctx, digest, data, size) == 0) return 0;
    if (ctx.cancel == 1) return 1;
    server_disconnect(ctx);
    server_reconnect(ctx);
    status_set(ctx, kStatusWorking);
  }
}

}  // namespace vl
