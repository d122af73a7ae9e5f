// Segment query, upload and link against the reference server: payload forms, counters, run-log
// texts, the server's answers and a connection dropped inside an upload.
#include "connection/segment_upload.h"

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>

#include "connection/identifiers.h"
#include "base/md5.h"
#include "connection/messages.h"
#include "connection/retry.h"
#include "codec/segment_compress.h"
#include "base/format.h"
#include "platform/clock.h"
#include "run/run_control.h"
#include "net_fixture.h"

namespace vl {
namespace {

using test::RefServer;
using test::trace_of;

constexpr uint32_t kBlock = 1048576;

std::vector<uint8_t> random_block(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = static_cast<uint8_t>(rng());
  return v;
}

std::string hex_of(const uint8_t* d, size_t n) {
  std::string s;
  char b[3];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(b, sizeof b, "%02x", d[i]);
    s += b;
  }
  return s;
}

class SegmentUploadTest : public test::NetTest {
 protected:
  void start(const RefServer& server) { start_run(server); }
  std::string log_text() {
    std::fflush(ctx_.log.get());
    return test::read_file(dir_.path() + "/run.log");
  }
  std::string segment_file(const uint8_t digest[16]) {
    std::string hex = hex_of(digest, 16);
    std::string path = server_store_ + "/segments/" + hex.substr(0, 2) + "/" + hex;
    return test::file_appears(path) ? test::read_file(path) : std::string("<not stored>");
  }
  std::string links(const RefServer& server) {
    char id[16];
    std::snprintf(id, sizeof id, "%08x", ctx_.catalog_id);
    return test::read_file(server.store() + "/catalogs/" + id + "/links");
  }
  int store(const std::vector<uint8_t>& data, uint8_t digest[16]) {
    md5_digest(data.data(), data.size(), digest);
    return server_seg_store(ctx_, digest, data.data(), static_cast<uint32_t>(data.size()));
  }
  std::string server_store_;
};

TEST_F(SegmentUploadTest, ZeroBlockGoesCompressedAtLevel9) {
  RefServer server;
  server_store_ = server.store();
  start(server);
  std::vector<uint8_t> zeros(kBlock, 0);
  uint8_t digest[16];
  ASSERT_EQ(store(zeros, digest), 0);

  uLongf ref_len = compressBound(kBlock);
  std::vector<uint8_t> ref(ref_len);
  ASSERT_EQ(compress2(ref.data(), &ref_len, zeros.data(), kBlock, 9), Z_OK);

  auto headers = trace_of(server, 'C', "8010");
  ASSERT_EQ(headers.size(), 1u);
  auto h = test::hex_bytes(headers[0].hex);
  ASSERT_EQ(h.size(), 28u);
  EXPECT_EQ(0, std::memcmp(&h[2], digest, 16));
  EXPECT_EQ(get_le32(&h[18]), kBlock);
  EXPECT_EQ(h[22], 1);
  EXPECT_EQ(h[23], 9);
  EXPECT_EQ(get_le32(&h[24]), ref_len);
  auto data = trace_of(server, 'C', "8012");
  ASSERT_EQ(data.size(), (ref_len + 4095) / 4096);
  int total = 0;
  for (const auto& m : data) {
    EXPECT_LE(m.len, 4098);
    total += m.len - 2;
  }
  EXPECT_EQ(static_cast<uLongf>(total), ref_len);
  EXPECT_EQ(segment_file(digest), std::string(kBlock, '\0'));

  EXPECT_EQ(ctx_.stats.segs.load(), 1u);
  EXPECT_EQ(ctx_.stats.segs_stored.load(), 1u);
  EXPECT_EQ(ctx_.stats.segs_duped.load(), 0u);
  EXPECT_EQ(ctx_.stats.bytes_stored.load(), kBlock);
  EXPECT_EQ(ctx_.stats.bytes_compressed.load(), ref_len);
  EXPECT_EQ(ctx_.stats.file_bytes_sent.load(), ref_len);
  EXPECT_EQ(ui_.text(kCtlBlocksTotal), "1 ");
  EXPECT_EQ(ui_.text(kCtlBlocksStored), "1 ");
  EXPECT_EQ(ui_.text(kCtlBytesStored), "1,048,576 ");
  EXPECT_EQ(ui_.text(kCtlBytesCompressed), count_format(ref_len) + " ");
  EXPECT_EQ(ui_.text(kCtlSent), count_format(ref_len) + " ");
  EXPECT_EQ(log_text(), " upload... OK\n");
  EXPECT_EQ(links(server), hex_of(digest, 16) + "\n");
}

TEST_F(SegmentUploadTest, RandomBlockGoesRawInto256MessagesThenCountsAsDuplicate) {
  RefServer server;
  server_store_ = server.store();
  start(server);
  auto block = random_block(kBlock, 11);
  uint8_t digest[16];
  ASSERT_EQ(store(block, digest), 0);
  auto h = test::hex_bytes(trace_of(server, 'C', "8010").at(0).hex);
  EXPECT_EQ(h[22], 0);
  EXPECT_EQ(h[23], 0);
  EXPECT_EQ(get_le32(&h[24]), kBlock);
  auto data = trace_of(server, 'C', "8012");
  ASSERT_EQ(data.size(), 256u);
  for (const auto& m : data) EXPECT_EQ(m.len, 4098);
  EXPECT_EQ(ctx_.stats.bytes_compressed.load(), kBlock);
  EXPECT_EQ(ui_.texts(kCtlSent).size(), 256u);
  EXPECT_EQ(segment_file(digest), std::string(block.begin(), block.end()));

  // Offered again: the query finds it; link only, counted as duped.
  ASSERT_EQ(store(block, digest), 0);
  EXPECT_EQ(trace_of(server, 'C', "8010").size(), 1u);
  EXPECT_EQ(trace_of(server, 'C', "801e").size(), 2u);
  EXPECT_EQ(ctx_.stats.segs.load(), 2u);
  EXPECT_EQ(ctx_.stats.segs_stored.load(), 1u);
  EXPECT_EQ(ctx_.stats.segs_duped.load(), 1u);
  EXPECT_EQ(ctx_.stats.bytes_duped.load(), kBlock);
  EXPECT_EQ(ui_.text(kCtlBlocksDuped), "1 ");
  EXPECT_EQ(log_text(), " upload... OK\n exists.\n");
}

TEST_F(SegmentUploadTest, ZeroLengthSegmentIsRawWithoutDataMessage) {
  RefServer server;
  server_store_ = server.store();
  start(server);
  uint8_t digest[16];
  ASSERT_EQ(store({}, digest), 0);
  auto h = test::hex_bytes(trace_of(server, 'C', "8010").at(0).hex);
  EXPECT_EQ(h[22], 0);
  EXPECT_EQ(get_le32(&h[18]), 0u);
  EXPECT_EQ(get_le32(&h[24]), 0u);
  EXPECT_TRUE(trace_of(server, 'C', "8012").empty());
  EXPECT_EQ(trace_of(server, 'S', "8013").size(), 1u);
  EXPECT_EQ(log_text(), " upload... OK\n");
  EXPECT_EQ(ctx_.stats.segs_stored.load(), 1u);
  EXPECT_EQ(ctx_.stats.bytes_compressed.load(), 0u);
}

TEST_F(SegmentUploadTest, HeaderAnsweredExistsCountsAsStored) {
  RefServer server({"--upload-exists", "1"});
  server_store_ = server.store();
  start(server);
  auto block = random_block(5000, 3);
  uint8_t digest[16];
  // The server said it had the segment and did not: its link is refused, and that is reported.
  EXPECT_EQ(store(block, digest), 2);
  EXPECT_EQ(log_text(), " exists (blah!)\n");
  EXPECT_EQ(ctx_.stats.segs_stored.load(), 1u);
  EXPECT_EQ(ctx_.stats.segs_duped.load(), 0u);
  EXPECT_EQ(ctx_.stats.bytes_duped.load(), 0u);
  EXPECT_TRUE(trace_of(server, 'C', "8012").empty());
  EXPECT_EQ(trace_of(server, 'S', "801f").size(), 1u);
}

TEST_F(SegmentUploadTest, UnknownHeaderStatusAndShortHeaderReplyRetryTheBlock) {
  // A server that answers the query but fails the upload again right after a reconnect is not
  // reconnected to at once each time: from the second failure in a row on, a countdown comes
  // first, growing.
  struct Case {
    const char* fault;
    const char* value;
    const char* log;
    size_t attempts;
    std::vector<std::string> countdowns;
  } cases[] = {{"--upload-error", "1", " Unknown error\n upload... OK\n", 2, {}},
               {"--short-reply", "8011:1", " upload... OK\n", 2, {}},
               {"--upload-error", "3", " Unknown error\n Unknown error\n Unknown error\n upload... OK\n", 4,
                {"Reconnect Try #2 in 5s", "Reconnect Try #3 in 10s"}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.fault) + " " + c.value);
    RefServer server({c.fault, c.value});
    server_store_ = server.store();
    ctx_.stats = RunStats();
    ctx_.conn.failed_exchanges = 0;
    start(server);
    auto block = random_block(9000, 4);
    uint8_t digest[16];
    ASSERT_EQ(store(block, digest), 0);
    EXPECT_EQ(segment_file(digest), std::string(block.begin(), block.end()));
    // The failed upload starts again from its query after the reconnect, and no goodbye went
    // out while its header was unanswered; the block is counted once.
    EXPECT_EQ(trace_of(server, 'C', "8000").size(), c.attempts);
    if (std::string(c.fault) == "--short-reply") {
      EXPECT_TRUE(trace_of(server, 'C', "000f").empty());
    }
    EXPECT_EQ(ctx_.stats.segs.load(), 1u);
    EXPECT_EQ(ctx_.stats.segs_stored.load(), 1u);
    EXPECT_EQ(ctx_.stats.bytes_stored.load(), 9000u);
    EXPECT_EQ(log_text(), c.log);
    auto st = statuses();
    EXPECT_EQ(static_cast<size_t>(std::count(st.begin(), st.end(), "Reconnected!")), c.attempts - 1);
    std::vector<std::string> countdowns;  // each one's first second
    for (size_t i = 1; i < st.size(); ++i)
      if (st[i - 1] == "Reconnect Failed!") countdowns.push_back(st[i]);
    EXPECT_EQ(countdowns, c.countdowns);
    EXPECT_EQ(st.back(), "Kicking Ass!");
    EXPECT_EQ(ctx_.conn.failed_exchanges, 0);  // the upload went through: the back-off starts over
    connection_drop(ctx_.conn);
  }
}

TEST_F(SegmentUploadTest, ConnectionDroppedInsideAnUploadSendsTheUploadAgain) {
  RefServer server({"--drop-in-upload", "1"});
  server_store_ = server.store();
  start(server);
  auto block = random_block(kBlock, 5);
  uint8_t digest[16];
  ASSERT_EQ(store(block, digest), 0);
  EXPECT_EQ(segment_file(digest), std::string(block.begin(), block.end()));
  // A failed upload attempt starts again from its query, as the strict dialogue promises.
  EXPECT_EQ(trace_of(server, 'C', "8000").size(), 2u);
  EXPECT_EQ(trace_of(server, 'C', "8010").size(), 2u);
  EXPECT_EQ(ctx_.stats.segs.load(), 1u);
  EXPECT_EQ(ctx_.stats.segs_stored.load(), 1u);
  EXPECT_EQ(links(server), hex_of(digest, 16) + "\n");
  EXPECT_EQ(statuses().back(), "Kicking Ass!");
}

TEST_F(SegmentUploadTest, QueryClaimAndLinkRefusal) {
  RefServer server({"--query-has", "1", "--link-refuse", "1"});
  server_store_ = server.store();
  start(server);
  uint8_t digest[16];
  auto block = random_block(100, 6);
  EXPECT_EQ(store(block, digest), 2);  // claimed as held, then the link refused
  EXPECT_EQ(store(block, digest), 0);  // not held after all: uploaded and linked
  EXPECT_EQ(log_text(), " exists.\n upload... OK\n");
  EXPECT_EQ(trace_of(server, 'C', "801e").size(), 2u);
  EXPECT_EQ(segment_file(digest), std::string(block.begin(), block.end()));
}

TEST_F(SegmentUploadTest, CancelAtThePausePointAfterADataMessage) {
  RefServer server;
  server_store_ = server.store();
  start(server);
  auto block = random_block(kBlock, 7);
  uint8_t digest[16];
  md5_digest(block.data(), block.size(), digest);
  ui_.on_text = [&](int control, const std::string& text) {
    if (control == kCtlSent && text == "8,192 ") ctx_.cancel = 1;
  };
  EXPECT_EQ(server_seg_store(ctx_, digest, block.data(), kBlock), 1);
  ui_.on_text = nullptr;
  EXPECT_EQ(ctx_.stats.file_bytes_sent.load(), 8192u);
  EXPECT_EQ(log_text(), " upload... ");
}

// A server that takes every reconnection and fails every upload all the same: an unattended run
// gives it up after the retry limit, counted from the first failure, as one it cannot reach.
TEST_F(SegmentUploadTest, AnUnattendedRunGivesUpAServerThatFailsEveryUpload) {
  RefServer server({"--upload-error", "100000"});
  server_store_ = server.store();
  start(server);
  ctx_.unattended = true;
  retry_limit_minutes_set(2);
  auto block = random_block(5000, 12);
  uint8_t digest[16];
  EXPECT_EQ(store(block, digest), 1);
  retry_limit_minutes_set(60);
  EXPECT_EQ(ctx_.abort.load(), kAbortServerLost);
  EXPECT_EQ(run_abort_text(ctx_).rfind("The server kept failing for 2 minutes; the run gave up.", 0), 0u)
      << run_abort_text(ctx_);
  EXPECT_GE(clock_fast_elapsed_ms(), 120000u);
  EXPECT_LT(clock_fast_elapsed_ms(), 600000u);
  EXPECT_EQ(segment_file(digest), "<not stored>");
}

// A pause long enough to give the connections up, met between an upload's data messages: the
// server reads data next, so the connection closes without a goodbye, and the upload goes again.
TEST_F(SegmentUploadTest, LongPauseInsideAnUploadClosesWithoutAGoodbye) {
  RefServer server;
  server_store_ = server.store();
  start(server);
  auto block = random_block(kBlock, 8);
  uint8_t digest[16];
  int paused_sleeps = 0;
  ui_.on_text = [&](int control, const std::string& text) {
    if (control == kCtlSent && text == "8,192 ") ctx_.pause = 1;
  };
  clock_sleep_observer_set([&](uint32_t) {
    if (ctx_.pause == 1 && ++paused_sleeps == 1250) ctx_.pause = 0;
  });
  EXPECT_EQ(store(block, digest), 0);
  clock_sleep_observer_set(nullptr);
  ui_.on_text = nullptr;
  EXPECT_GE(paused_sleeps, 1250);
  EXPECT_TRUE(trace_of(server, 'C', "000f").empty());
  EXPECT_EQ(trace_of(server, 'C', "8010").size(), 2u);
  EXPECT_EQ(segment_file(digest), std::string(block.begin(), block.end()));
}

}  // namespace
}  // namespace vl
