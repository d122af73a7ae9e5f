#include "connection/identifiers.h"

#include "connection/messages.h"
#include "connection/retry.h"
#include "connection/transport.h"
#include "run/status.h"

namespace vl {

// Replies shorter than these are malformed.
constexpr int kProfileIdReplyMin = 138;
constexpr int kProfileUnknownMin = 2;
constexpr int kCatalogIdReplyMin = 7;

int server_get_profile_id(RunContext& ctx) {
  if (!ctx.profile) return 1;
  std::vector<uint8_t> request = profile_id_request_build(ctx.profile->tag);
  uint8_t buf[kReplyCap];
  auto unknown = [](const uint8_t* b, int n) {
    return reply_is(b, n, kGroupProfile, kCodeProfileUnknown, kProfileUnknownMin);
  };
  auto check = [&](const uint8_t* b, int n) {
    return unknown(b, n) || reply_is(b, n, kGroupProfile, kCodeProfileIdReply, kProfileIdReplyMin);
  };
  int n = server_request(ctx, request.data(), static_cast<int>(request.size()), buf, kReplyCap,
                         check, "Retrieving Profile ID...");
  if (n < 0) return 1;
  if (unknown(buf, n)) {
    if (ctx.cancel != 1) server_disconnect(ctx);
    return 1;
  }
  ctx.server_profile_id = get_le32(&buf[2]);
  return 0;
}

int server_alloc_catalog_id(RunContext& ctx) {
  auto request = catalog_id_request_build(ctx.server_profile_id);
  uint8_t buf[kReplyCap];
  for (;;) {
    server_send(ctx, request.data(), static_cast<int>(request.size()), kTimeoutS);
    int n = server_receive(ctx, buf, kReplyCap, kTimeoutS);
    if (reply_is(buf, n, kGroupCatalog, kCodeCatalogIdReply, kCatalogIdReplyMin) && buf[2] == 0x00) {
      server_reply_accepted(ctx);
      ctx.catalog_id = get_le32(&buf[3]);
      return 0;
    }
    // Refused, or no valid reply: ask again on a new connection.
    if (server_recover(ctx, "Allocating Catalog ID...") != kReconnectOk) return 1;
  }
}

}  // namespace vl
