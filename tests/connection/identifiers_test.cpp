// Profile and catalog identifiers against the reference server.
#include "connection/identifiers.h"

#include "connection/messages.h"
#include "net_fixture.h"

namespace vl {
namespace {

using test::RefServer;
using test::trace_of;
using test::trace_wait;

class IdentifiersTest : public test::NetTest {};

TEST_F(IdentifiersTest, IdsAreLittleEndianOnTheWire) {
  RefServer server({"--account", "alice:secret", "--profile", "daily:16909060"});  // 0x01020304
  use(server);
  ASSERT_EQ(server_open(ctx_), 0);
  ASSERT_EQ(server_get_profile_id(ctx_), 0);
  EXPECT_EQ(ctx_.server_profile_id, 0x01020304u);
  auto requests = trace_of(server, 'C', "0102");
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].len, 8);  // "daily" + NUL + header
  EXPECT_EQ(requests[0].hex, "01026461696c7900");

  ASSERT_EQ(server_alloc_catalog_id(ctx_), 0);
  auto asked = trace_of(server, 'C', "0221");
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_EQ(asked[0].hex, "022104030201");
  auto replies = trace_of(server, 'S', "0222");
  ASSERT_EQ(replies.size(), 1u);
  auto reply = test::hex_bytes(replies[0].hex);
  ASSERT_GE(reply.size(), 7u);
  EXPECT_EQ(reply[2], 0x00);
  EXPECT_EQ(ctx_.catalog_id, get_le32(&reply[3]));
  EXPECT_NE(ctx_.catalog_id, 0u);
}

TEST_F(IdentifiersTest, ShortProfileIdReplyIsRetriedOnANewConnection) {
  RefServer server({"--short-reply", "0110:1"});
  use(server);
  ASSERT_EQ(server_open(ctx_), 0);
  ui_.clear();
  ASSERT_EQ(server_get_profile_id(ctx_), 0);
  EXPECT_EQ(ctx_.server_profile_id, 7u);
  auto replies = trace_of(server, 'S', "0110");
  ASSERT_EQ(replies.size(), 2u);
  EXPECT_EQ(replies[0].len, 137);
  EXPECT_NE(replies[0].conn, replies[1].conn);
  EXPECT_EQ(trace_wait(server, 'C', "000f", 1).size(), 1u);
  auto st = statuses();
  ASSERT_FALSE(st.empty());
  EXPECT_EQ(st.front(), "Reconnecting..");
  EXPECT_EQ(st.back(), "Retrieving Profile ID...");
  EXPECT_EQ(ui_.enabled(kCtlButtonPause), 1);
}

// Replies longer than the client's buffers (more than the protocol's minimum is allowed): the
// rest of each is dropped, not read as the next reply.
TEST_F(IdentifiersTest, LongRepliesAreReadWhole) {
  RefServer server({"--long-reply", "0000:1", "--long-reply", "0110:1", "--long-reply", "0222:1"});
  use(server);
  ASSERT_EQ(server_open(ctx_), 0);
  ASSERT_EQ(server_get_profile_id(ctx_), 0);
  EXPECT_EQ(ctx_.server_profile_id, 7u);
  ASSERT_EQ(server_alloc_catalog_id(ctx_), 0);
  EXPECT_NE(ctx_.catalog_id, 0u);
  EXPECT_EQ(trace_of(server, 'C', "0008").size(), 1u) << "one login";
  EXPECT_EQ(trace_of(server, 'C', "0102").size(), 1u) << "one profile ID request";
  EXPECT_EQ(trace_of(server, 'C', "0221").size(), 1u) << "one catalog request";
}

// The only test that waits through the real 20-second receive time-out.
TEST_F(IdentifiersTest, StalledReplyTimesOutAfterTwentySecondsAndIsAskedAgain) {
  RefServer server({"--stall-reply", "0110:1"});
  use(server);
  ASSERT_EQ(server_open(ctx_), 0);
  uint64_t t0 = clock_monotonic_ms();
  ASSERT_EQ(server_get_profile_id(ctx_), 0);
  uint64_t waited = clock_monotonic_ms() - t0;
  EXPECT_GE(waited, 19000u);
  EXPECT_LT(waited, 30000u);
  EXPECT_EQ(ctx_.server_profile_id, 7u);
  EXPECT_EQ(trace_of(server, 'C', "0102").size(), 2u);
}

TEST_F(IdentifiersTest, UnknownProfileClosesTheConnectionWithoutRetry) {
  RefServer server;
  use(server);
  ctx_.profile->tag = "weekly";
  ASSERT_EQ(server_open(ctx_), 0);
  EXPECT_EQ(server_get_profile_id(ctx_), 1);
  EXPECT_EQ(ctx_.conn.ssl, nullptr);
  EXPECT_EQ(ctx_.server_profile_id, 0u);
  EXPECT_EQ(trace_wait(server, 'C', "000f", 1).size(), 1u);
  EXPECT_EQ(trace_of(server, 'C', "0102").size(), 1u);
}

TEST_F(IdentifiersTest, CatalogRefusalReconnectsAndAsksAgain) {
  RefServer server({"--catalog-refuse", "2"});
  use(server);
  ASSERT_EQ(server_open(ctx_), 0);
  ASSERT_EQ(server_get_profile_id(ctx_), 0);
  ui_.clear();
  ASSERT_EQ(server_alloc_catalog_id(ctx_), 0);
  EXPECT_NE(ctx_.catalog_id, 0u);
  EXPECT_EQ(trace_of(server, 'C', "0221").size(), 3u);
  auto st = statuses();
  EXPECT_EQ(std::count(st.begin(), st.end(), "Allocating Catalog ID..."), 2);
  EXPECT_EQ(std::count(st.begin(), st.end(), "Reconnected!"), 2);
  EXPECT_EQ(st.back(), "Allocating Catalog ID...");
}

TEST_F(IdentifiersTest, CancelDuringRefusalsEndsTheRequest) {
  RefServer server({"--catalog-refuse", "100"});
  use(server);
  ASSERT_EQ(server_open(ctx_), 0);
  ASSERT_EQ(server_get_profile_id(ctx_), 0);
  int refusals = 0;
  ui_.on_text = [&](int control, const std::string& text) {
    if (control == kCtlStatus && text == "Allocating Catalog ID..." && ++refusals == 2) ctx_.cancel = 1;
  };
  EXPECT_EQ(server_alloc_catalog_id(ctx_), 1);
  ui_.on_text = nullptr;
  EXPECT_EQ(ctx_.catalog_id, 0u);
}

}  // namespace
}  // namespace vl
