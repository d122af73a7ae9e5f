// The catalog upload: the file as a segment, the finalize message, its resending after a
// reconnection, and what goes to standard output.
#include "connection/catalog_upload.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <random>

#include "connection/identifiers.h"
#include "base/md5.h"
#include "connection/messages.h"
#include "net_fixture.h"

namespace vl {
namespace {

using test::RefServer;
using test::trace_of;

class CatalogUploadTest : public test::NetTest {
 protected:
  void start(const RefServer& server) {
    ctx_.catalog_path = dir_.path() + "/catalog.cat";
    start_run(server);
  }
  std::string log_text() {
    std::fflush(ctx_.log.get());
    return test::read_file(dir_.path() + "/run.log");
  }
  std::string catalog_dir(const RefServer& server) {
    char id[16];
    std::snprintf(id, sizeof id, "%08x", ctx_.catalog_id);
    return server.store() + "/catalogs/" + id;
  }
};

std::string catalog_bytes(size_t n) {
  std::mt19937 rng(21);
  std::string s;
  while (s.size() < n) s += "filespec row " + std::to_string(rng() % 1000) + "\n";
  s.resize(n);
  return s;
}

TEST_F(CatalogUploadTest, StoresTheCatalogAndFinalizes) {
  RefServer server;
  start(server);
  std::string content = catalog_bytes(200000);
  test::write_file(ctx_.catalog_path, content);
  RunStats& st = ctx_.stats;
  st.files = 3;
  st.directories = 4;
  st.special_files = 0;
  st.bytes_total = 5000000000ULL;
  st.bytes_stored = 77;
  st.bytes_compressed = 66;
  int32_t before = clock_now();

  testing::internal::CaptureStdout();
  // The run's other ending steps go on while the stream is made into its scratch file.
  const std::string scratch = ctx_.catalog_path + ".z";
  bool meanwhile_ran = false;
  ASSERT_EQ(server_catalog_upload(ctx_, nullptr, [&] {
              meanwhile_ran = true;
              EXPECT_EQ(::access(scratch.c_str(), F_OK), 0);
            }), 0);
  EXPECT_TRUE(meanwhile_ran);
  EXPECT_NE(::access(scratch.c_str(), F_OK), 0) << "the scratch file goes with the upload";
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "\nCatalogFinalizing catalog... ");
  EXPECT_EQ(ctx_.helper_tids[kHelperSlotCatalogDigest], 0);
  EXPECT_EQ(ctx_.helper_tids[kHelperSlotCatalogPack], 0);
  // The steps shown on standard output are in the run log too.
  EXPECT_EQ(log_text(),
            "\nPreparing catalog (200000 bytes)... \nCatalog upload... OK\nFinalizing catalog... ");

  uint8_t digest[16];
  md5_digest(content.data(), content.size(), digest);
  auto finals = trace_of(server, 'C', "0223");
  ASSERT_EQ(finals.size(), 1u);
  EXPECT_EQ(finals[0].len, 72);
  auto m = test::hex_bytes(finals[0].hex);
  ASSERT_EQ(m.size(), 72u);
  EXPECT_EQ(get_le32(&m[2]), ctx_.catalog_id);
  EXPECT_EQ(0, std::memcmp(&m[6], digest, 16));
  EXPECT_EQ(get_le32(&m[22]), 200000u);
  EXPECT_EQ(get_le32(&m[26]), 0u);
  EXPECT_GE(static_cast<int32_t>(get_le32(&m[30])), before);
  EXPECT_LE(static_cast<int32_t>(get_le32(&m[30])), clock_now());
  EXPECT_EQ(get_le32(&m[34]), 3u);
  EXPECT_EQ(get_le32(&m[38]), 4u);
  EXPECT_EQ(get_le32(&m[42]), 0u);
  // bytes_total without the catalog; stored and compressed with it.
  EXPECT_EQ(get_le32(&m[46]), static_cast<uint32_t>(5000000000ULL));
  EXPECT_EQ(get_le32(&m[50]), 1u);
  EXPECT_EQ(get_le32(&m[54]), 77u + 200000u);
  EXPECT_EQ(get_le32(&m[62]), static_cast<uint32_t>(st.bytes_compressed.load()));
  EXPECT_EQ(m[70], 1);
  EXPECT_EQ(m[71], 1);
  EXPECT_EQ(test::read_file(catalog_dir(server) + "/finalize"), std::string(m.begin(), m.end()));

  EXPECT_EQ(st.bytes_total.load(), 5000000000ULL + 200000);
  EXPECT_EQ(ui_.text(kCtlBytesTotal), "5,000,200,000 ");
}

TEST_F(CatalogUploadTest, FinalizeResentUnchangedAfterReconnection) {
  RefServer server({"--short-reply", "0224:1"});
  start(server);
  test::write_file(ctx_.catalog_path, catalog_bytes(3000));
  testing::internal::CaptureStdout();
  ASSERT_EQ(server_catalog_upload(ctx_), 0);
  testing::internal::GetCapturedStdout();
  auto finals = trace_of(server, 'C', "0223");
  ASSERT_EQ(finals.size(), 2u);
  EXPECT_NE(finals[0].conn, finals[1].conn);
  // The reconnection took seconds of the clock; the time field was not renewed.
  EXPECT_EQ(finals[0].hex, finals[1].hex);
  EXPECT_GE(clock_fast_elapsed_ms(), 1000u);
  EXPECT_EQ(statuses().back(), "Kicking Ass!");
  EXPECT_EQ(ctx_.stats.bytes_total.load(), 3000u);
}

TEST_F(CatalogUploadTest, CatalogTheServerHoldsIsNotSentAgain) {
  RefServer server;
  start(server);
  std::string content = catalog_bytes(5000);
  test::write_file(ctx_.catalog_path, content);
  testing::internal::CaptureStdout();
  ASSERT_EQ(server_catalog_upload(ctx_), 0);
  ASSERT_EQ(server_alloc_catalog_id(ctx_), 0);
  ctx_.log.reset();
  ctx_.log = file_open(dir_.path() + "/run.log", "w+");
  ASSERT_EQ(server_catalog_upload(ctx_), 0);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(log_text(),
            "\nPreparing catalog (5000 bytes)... \nCatalog exists.\nFinalizing catalog... ");
  EXPECT_EQ(trace_of(server, 'C', "8010").size(), 1u);
  EXPECT_EQ(trace_of(server, 'C', "0223").size(), 2u);
  EXPECT_EQ(ctx_.stats.segs_duped.load(), 1u);
}

TEST_F(CatalogUploadTest, UnreadableCatalogAndCancel) {
  RefServer server;
  start(server);
  testing::internal::CaptureStdout();
  EXPECT_EQ(server_catalog_upload(ctx_), 1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Failed to open catalog!\n");
  EXPECT_TRUE(trace_of(server, 'C', "8000").empty());

  // Cancelled: the digest and the stream stop (on one thread or on every core), the run ends
  // as cancelled with no failure named, and neither the segment nor a finalize is sent.
  ctx_.cancel = 1;
  for (size_t n : {size_t{100}, size_t{6} << 20}) {
    test::write_file(ctx_.catalog_path, catalog_bytes(n));
    testing::internal::CaptureStdout();
    EXPECT_EQ(server_catalog_upload(ctx_), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << n;
  }
  EXPECT_EQ(ctx_.stats.bytes_total.load(), 0u);
  EXPECT_TRUE(trace_of(server, 'C', "0223").empty());
  EXPECT_TRUE(trace_of(server, 'C', "8000").empty());
}

}  // namespace
}  // namespace vl
