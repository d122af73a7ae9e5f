// Byte layouts of the client's messages.
#include "connection/messages.h"

#include <gtest/gtest.h>

#include <cstring>

#include "base/md5.h"

namespace vl {
namespace {

const uint8_t kDigest[16] = {0xd4, 0x1d, 0x8c, 0xd9, 0x8f, 0x00, 0xb2, 0x04,
                             0xe9, 0x80, 0x09, 0x98, 0xec, 0xf8, 0x42, 0x7e};

TEST(Md5Digest, KnownValues) {
  uint8_t out[16];
  md5_digest("", 0, out);
  EXPECT_EQ(0, std::memcmp(out, kDigest, 16));
  md5_digest("abc", 3, out);
  const uint8_t abc[16] = {0x90, 0x01, 0x50, 0x98, 0x3c, 0xd2, 0x4f, 0xb0,
                           0xd6, 0x96, 0x3f, 0x7d, 0x28, 0xe1, 0x7f, 0x72};
  EXPECT_EQ(0, std::memcmp(out, abc, 16));
}

TEST(Messages, LoginLayout) {
  std::string login32(32, 'L');
  auto m = login_message_build(login32, "pw");
  const uint8_t head[10] = {0x00, 0x08, 0x01, 0x01, 0x00, 0x00, 0x09, 0x00, 0x00, 0x00};
  EXPECT_EQ(0, std::memcmp(m.data(), head, 10));
  for (int i = 10; i <= 41; ++i) EXPECT_EQ(m[i], 'L') << i;
  EXPECT_EQ(m[42], 0);
  EXPECT_EQ(m[43], 'p');
  EXPECT_EQ(m[44], 'w');
  for (int i = 45; i < 76; ++i) EXPECT_EQ(m[i], 0) << i;

  // Longer texts are cut at 32 bytes; the last byte of each field stays NUL.
  auto cut = login_message_build(std::string(40, 'a'), std::string(40, 'b'));
  EXPECT_EQ(cut[41], 'a');
  EXPECT_EQ(cut[42], 0);
  EXPECT_EQ(cut[43], 'b');
  EXPECT_EQ(cut[74], 'b');
  EXPECT_EQ(cut[75], 0);
}

TEST(Messages, ProfileAndCatalogRequests) {
  auto p = profile_id_request_build(std::string(31, 't'));
  ASSERT_EQ(p.size(), 34u);
  EXPECT_EQ(p[0], 0x01);
  EXPECT_EQ(p[1], 0x02);
  EXPECT_EQ(p[32], 't');
  EXPECT_EQ(p[33], 0x00);
  EXPECT_EQ(profile_id_request_build("daily").size(), 8u);

  auto c = catalog_id_request_build(0x11223344);
  EXPECT_EQ(std::vector<uint8_t>(c.begin(), c.end()),
            (std::vector<uint8_t>{0x02, 0x21, 0x44, 0x33, 0x22, 0x11}));
}

TEST(Messages, SegmentQueryLinkAndUploadHeader) {
  auto q = seg_query_build(kDigest, 1048576);
  EXPECT_EQ(q[0], 0x80);
  EXPECT_EQ(q[1], 0x00);
  EXPECT_EQ(0, std::memcmp(&q[2], kDigest, 16));
  EXPECT_EQ(get_le32(&q[18]), 1048576u);

  auto l = seg_link_build(kDigest, 0x2A);
  EXPECT_EQ(l[1], 0x1E);
  EXPECT_EQ(0, std::memcmp(&l[2], kDigest, 16));
  EXPECT_EQ(get_le32(&l[18]), 0x2Au);

  auto h = upload_header_build(kDigest, 1048576, true, 1043);
  EXPECT_EQ(h[0], 0x80);
  EXPECT_EQ(h[1], 0x10);
  EXPECT_EQ(0, std::memcmp(&h[2], kDigest, 16));
  EXPECT_EQ(get_le32(&h[18]), 1048576u);
  EXPECT_EQ(h[22], 1);
  EXPECT_EQ(h[23], 9);
  EXPECT_EQ(get_le32(&h[24]), 1043u);
  auto raw = upload_header_build(kDigest, 77, false, 77);
  EXPECT_EQ(raw[22], 0);
  EXPECT_EQ(raw[23], 0);
  EXPECT_EQ(get_le32(&raw[24]), 77u);
}

TEST(Messages, FinalizeLayout) {
  FinalizeFields f;
  f.catalog_id = 0x0A0B0C0D;
  std::memcpy(f.digest, kDigest, 16);
  f.catalog_size = 123456;
  f.time = 0x5F000001;
  f.files = 3;
  f.directories = 4;
  f.special_files = 5;
  f.bytes_total = 0x100000002ULL;
  f.bytes_stored = 6;
  f.bytes_compressed = 0xFFFFFFFF00000007ULL;
  auto m = finalize_message_build(f);
  ASSERT_EQ(m.size(), 72u);
  EXPECT_EQ(m[0], 0x02);
  EXPECT_EQ(m[1], 0x23);
  EXPECT_EQ(get_le32(&m[2]), 0x0A0B0C0Du);
  EXPECT_EQ(0, std::memcmp(&m[6], kDigest, 16));
  EXPECT_EQ(get_le32(&m[22]), 123456u);
  EXPECT_EQ(get_le32(&m[26]), 0u);
  EXPECT_EQ(get_le32(&m[30]), 0x5F000001u);
  EXPECT_EQ(get_le32(&m[34]), 3u);
  EXPECT_EQ(get_le32(&m[38]), 4u);
  EXPECT_EQ(get_le32(&m[42]), 5u);
  EXPECT_EQ(get_le32(&m[46]), 2u);
  EXPECT_EQ(get_le32(&m[50]), 1u);
  EXPECT_EQ(get_le32(&m[54]), 6u);
  EXPECT_EQ(get_le32(&m[58]), 0u);
  EXPECT_EQ(get_le32(&m[62]), 7u);
  EXPECT_EQ(get_le32(&m[66]), 0xFFFFFFFFu);
  EXPECT_EQ(m[70], 0x01);
  EXPECT_EQ(m[71], 0x01);
}

TEST(Messages, ReplyCheckNeedsHeaderAndLength) {
  const uint8_t r[7] = {0x80, 0x11, 0, 0, 0, 0, 0};
  EXPECT_TRUE(reply_is(r, 7, 0x80, 0x11, 7));
  EXPECT_FALSE(reply_is(r, 6, 0x80, 0x11, 7));
  EXPECT_FALSE(reply_is(r, 7, 0x80, 0x13, 3));
  EXPECT_FALSE(reply_is(r, -1, 0x80, 0x11, 0));
  EXPECT_FALSE(reply_is(r, 1, 0x80, 0x11, 1));
}

}  // namespace
}  // namespace vl
