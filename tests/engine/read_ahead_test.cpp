// The read-ahead thread's results on a real folder: small files read whole, with the digest and
// payload the worker would have made itself; larger files and other kinds left to the worker;
// results the worker passed by let go.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstring>
#include <random>
#include <thread>

#include "base/md5.h"
#include "codec/segment_compress.h"
#include "connection/segment_upload.h"
#include "engine/read_ahead.h"
#include "support/test_support.h"

namespace vl {
namespace {

// The thread's result for path, once it has one (nullptr after five seconds).
std::unique_ptr<PreparedFile> take_when_ready(ReadAhead& read_ahead, const std::string& path) {
  for (int i = 0; i < 5000; ++i) {
    if (auto f = read_ahead.take(path)) return f;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return nullptr;
}

TEST(ReadAhead, SmallFilesAreReadWholeAndTheRestLeftToTheWorker) {
  test::TempDir dir;
  const std::string root = dir / "tree";
  ::mkdir(root.c_str(), 0700);
  const std::string text(3000, 'a');
  std::string noise;
  std::mt19937 gen(5);
  for (int i = 0; i < 200; ++i) noise += static_cast<char>(gen());
  test::write_file(root + "/text.txt", text);
  test::write_file(root + "/noise.bin", noise);
  test::write_file(root + "/big.bin", std::string(kPreparedFileMax + 1, 'b'));
  test::write_file(root + "/skipped.txt", "skipped");
  test::write_file(root + "/last.txt", "last");
  ::mkfifo((root + "/fifo").c_str(), 0600);

  RunContext ctx;
  ReadAhead read_ahead(ctx);
  std::string error;
  ASSERT_TRUE(read_ahead.start(&error)) << error;
  read_ahead.reading();
  read_ahead.folder(root, {"text.txt", "fifo", "big.bin", "noise.bin", "skipped.txt", "last.txt"},
                    {1, 0, 1, 1, 1, 1});

  // The result carries the bytes the worker would send: the same digest and payload.
  for (const std::string& content : {text, noise}) {
    const std::string path = root + (content == text ? "/text.txt" : "/noise.bin");
    std::unique_ptr<PreparedFile> f = take_when_ready(read_ahead, path);
    ASSERT_TRUE(f) << path;
    EXPECT_EQ(f->size, content.size());
    EXPECT_EQ(f->opened.size, content.size());
    EXPECT_EQ(f->after.size, content.size());
    uint8_t digest[16];
    md5_digest(reinterpret_cast<const uint8_t*>(content.data()), content.size(), digest);
    EXPECT_EQ(std::memcmp(f->digest, digest, 16), 0);
    std::vector<uint8_t> scratch(compress_capacity(static_cast<uint32_t>(content.size())));
    SegmentPayload p;
    segment_payload_make(reinterpret_cast<const uint8_t*>(content.data()),
                         static_cast<uint32_t>(content.size()), scratch.data(), scratch.size(), &p);
    EXPECT_EQ(f->compressed, p.compressed);
    EXPECT_EQ(f->compressed, content == text);
    EXPECT_EQ(std::vector<uint8_t>(p.bytes, p.bytes + p.len), f->payload);
    // The large file in between was never read whole.
    if (content == text) {
      EXPECT_FALSE(read_ahead.take(root + "/big.bin"));
    }
  }
  // Taking a later result lets go of those the worker passed by.
  std::unique_ptr<PreparedFile> last = take_when_ready(read_ahead, root + "/last.txt");
  ASSERT_TRUE(last);
  EXPECT_EQ(last->size, 4u);
  EXPECT_FALSE(read_ahead.take(root + "/skipped.txt"));
  EXPECT_FALSE(read_ahead.take(root + "/fifo"));
  read_ahead.folder_done();
  read_ahead.stop();
}

}  // namespace
}  // namespace vl
