// The block-hash cache: exact-byte path keys, replacing a file's knowledge, the pending queue and
// its flush thresholds, digests as text.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <tuple>

#include "stores/md5cache.h"
#include "stores/store_db.h"
#include "store_test_util.h"
#include "support/test_support.h"

namespace vl::test {
namespace {

using Boxes = std::vector<std::pair<std::string, std::string>>;
constexpr uint32_t kBlock = 1048576;

struct Digest {
  uint8_t b[16];
};

Digest digest_of(int seed) {
  Digest d;
  for (int i = 0; i < 16; ++i) d.b[i] = static_cast<uint8_t>(seed * 31 + i * 17);
  return d;
}

class Md5CacheTest : public StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    ASSERT_EQ(md5cache_open(), 0);
  }
  void TearDown() override {
    store_fault_set(StoreCall::prepare, 0);
    store_fault_set(StoreCall::commit, 0);
    md5cache_close();
    md5cache_flush();  // a queue left by a failed test is released with the cache closed
    StoreTest::TearDown();
  }
  // Queues a file read in full with `blocks` blocks (digests from seed on), marks it complete and
  // has the complete entries written when due, as a run does: on the cache's second connection.
  void read_in_full(const std::string& path, int blocks, int seed, uint32_t t_lastcheck = 1000) {
    PendingCacheFile* f = md5cache_pending_file_new(path, uint64_t(blocks) * kBlock, kBlock, 500,
                                                    t_lastcheck);
    for (int i = 0; i < blocks; ++i) {
      Digest d = digest_of(seed + i);
      md5cache_pending_block_add(f, uint64_t(i) * kBlock, kBlock, d.b);
    }
    md5cache_pending_file_done(f);
    if (!md5cache_flush_due()) return;
    CacheBatch batch = md5cache_pending_take();
    md5cache_read_end();
    md5cache_batch_write(batch);
  }
  std::string db() const { return dir_ / "md5cache.dat"; }
  std::string rows_of(uint32_t id) const {
    return sql_value(db(), "select count(*) from segs where file_id=" + std::to_string(id));
  }
};

TEST_F(Md5CacheTest, PathsDifferingOnlyInCaseAreTwoRows) {
  uint32_t upper = md5cache_filespec_insert("/data/A.TXT", 10, kBlock, 1, 2);
  uint32_t lower = md5cache_filespec_insert("/data/a.txt", 20, kBlock, 3, 4);
  ASSERT_NE(upper, 0u);
  ASSERT_NE(lower, 0u);
  EXPECT_NE(upper, lower);
  EXPECT_EQ(md5cache_filespec_find("/data/A.TXT"), upper);
  EXPECT_EQ(md5cache_filespec_find("/data/a.txt"), lower);
  EXPECT_EQ(md5cache_filespec_find("/Data/a.txt"), 0u);
  EXPECT_EQ(sql_column(db(), "select filespec from filespec order by id"),
            (std::vector<std::string>{"/data/A.TXT", "/data/a.txt"}));
}

TEST_F(Md5CacheTest, LongPathsAreKeptInFull) {
  std::string base = "/" + std::string(300, 'p');
  read_in_full(base + "/one", 1, 1);
  read_in_full(base + "/two", 1, 2);
  md5cache_flush();
  uint32_t one = md5cache_filespec_find(base + "/one");
  uint32_t two = md5cache_filespec_find(base + "/two");
  EXPECT_NE(one, 0u);
  EXPECT_NE(two, 0u);
  EXPECT_NE(one, two);
}

TEST_F(Md5CacheTest, SecondFullReadKeepsTheIdAndReplacesTheBlocks) {
  read_in_full("/f", 3, 10, 1000);
  md5cache_flush();
  uint32_t id = md5cache_filespec_find("/f");
  ASSERT_NE(id, 0u);
  EXPECT_EQ(rows_of(id), "3");

  PendingCacheFile* f = md5cache_pending_file_new("/f", kBlock + 5, kBlock, 777, 2000);
  Digest a = digest_of(50), b = digest_of(51);
  md5cache_pending_block_add(f, 0, kBlock, a.b);
  md5cache_pending_block_add(f, kBlock, 5, b.b);
  md5cache_pending_file_done(f);
  md5cache_flush();

  EXPECT_EQ(md5cache_filespec_find("/f"), id);
  CacheFileInfo info;
  EXPECT_EQ(md5cache_filespec_getdata(id, &info), 0);
  EXPECT_EQ(info.size, kBlock + 5);
  EXPECT_EQ(info.t_modify, 777u);
  EXPECT_EQ(info.t_lastcheck, 2000u);
  EXPECT_EQ(info.blocksize, kBlock);
  EXPECT_EQ(rows_of(id), "2");
  uint8_t got[16];
  EXPECT_EQ(md5cache_segs_get_md5(id, kBlock, got), 0);
  EXPECT_EQ(std::memcmp(got, b.b, 16), 0);
  EXPECT_EQ(md5cache_segs_get_size(id, kBlock), 5u);
  EXPECT_NE(md5cache_segs_get_md5(id, 2 * uint64_t(kBlock), got), 0);
  EXPECT_TRUE(ui_.boxes().empty());

  // A flush that cannot take the write lock lets its entries go whole: a new size and time
  // written beside the old blocks would pass those off as the new content's.
  md5cache_read_end();
  store_fault_set(StoreCall::exec, 1);  // "begin immediate"
  f = md5cache_pending_file_new("/f", 3, kBlock, 888, 3000);
  md5cache_pending_block_add(f, 0, 3, digest_of(52).b);
  md5cache_pending_file_done(f);
  md5cache_flush();
  EXPECT_EQ(md5cache_pending_files(), 0u);
  EXPECT_EQ(md5cache_filespec_getdata(id, &info), 0);
  EXPECT_EQ(info.t_modify, 777u);
  EXPECT_EQ(rows_of(id), "2");

  // A statement that fails inside the flush (a full disk), here the removal of the old blocks,
  // ends that file's writing before its row takes the new size and time; the others are written.
  md5cache_read_end();
  f = md5cache_pending_file_new("/f", 3, kBlock, 999, 4000);
  md5cache_pending_block_add(f, 0, 3, digest_of(53).b);
  md5cache_pending_file_done(f);
  read_in_full("/g", 1, 60, 4000);
  store_fault_set(StoreCall::exec, 2);  // "begin immediate", then the removal
  md5cache_flush();
  EXPECT_EQ(ui_.boxes().size(), 1u);
  EXPECT_EQ(md5cache_filespec_getdata(id, &info), 0);
  EXPECT_EQ(info.t_modify, 777u);
  EXPECT_EQ(rows_of(id), "2");
  EXPECT_NE(md5cache_filespec_find("/g"), 0u);
}

TEST_F(Md5CacheTest, IncompleteEntriesAreDroppedByTheFlush) {
  read_in_full("/kept", 2, 1, 1000);
  md5cache_flush();
  uint32_t id = md5cache_filespec_find("/kept");

  // A reading of /kept that was cancelled, and a new file that never completed.
  PendingCacheFile* f = md5cache_pending_file_new("/kept", 1, kBlock, 9, 9999);
  Digest d = digest_of(7);
  md5cache_pending_block_add(f, 0, 1, d.b);
  PendingCacheFile* g = md5cache_pending_file_new("/new", 1, kBlock, 9, 9999);
  md5cache_pending_block_add(g, 0, 1, d.b);
  EXPECT_EQ(md5cache_pending_block_add(nullptr, 0, 1, d.b), nullptr);
  EXPECT_EQ(md5cache_pending_files(), 2u);
  EXPECT_EQ(md5cache_pending_blocks(), 2u);
  md5cache_flush();

  EXPECT_EQ(md5cache_pending_files(), 0u);
  EXPECT_EQ(md5cache_pending_blocks(), 0u);
  EXPECT_EQ(md5cache_filespec_find("/new"), 0u);
  CacheFileInfo info;
  md5cache_filespec_getdata(id, &info);
  EXPECT_EQ(info.t_lastcheck, 1000u);
  EXPECT_EQ(rows_of(id), "2");
}

// A run hands the complete entries to another thread while files are still being read: those
// stay queued (their entries valid), dropped ones are let go, and the batch is written as a
// flush would write it. A walk that began on an empty cache looks nothing up until the flush.
TEST_F(Md5CacheTest, TakeLeavesFilesStillBeingReadQueued) {
  md5cache_walk_begin();
  Digest d = digest_of(3);
  PendingCacheFile* reading = md5cache_pending_file_new("/reading", 2, kBlock, 9, 900);
  md5cache_pending_block_add(reading, 0, 1, d.b);
  PendingCacheFile* done = md5cache_pending_file_new("/done", 1, kBlock, 9, 900);
  md5cache_pending_block_add(done, 0, 1, d.b);
  md5cache_pending_file_done(done);
  PendingCacheFile* changed = md5cache_pending_file_new("/changed", 1, kBlock, 9, 900);
  md5cache_pending_block_add(changed, 0, 1, d.b);
  md5cache_pending_file_drop(changed);

  CacheBatch batch = md5cache_pending_take();
  ASSERT_EQ(batch.size(), 1u);
  EXPECT_EQ(md5cache_pending_files(), 1u);
  EXPECT_EQ(md5cache_pending_blocks(), 1u);
  md5cache_pending_block_add(reading, kBlock, 1, d.b);
  md5cache_pending_file_done(reading);
  md5cache_batch_write(batch);
  EXPECT_EQ(sql_value(db(), "select group_concat(filespec) from filespec"), "/done");
  EXPECT_EQ(md5cache_filespec_find("/done"), 0u);

  md5cache_flush();
  EXPECT_NE(md5cache_filespec_find("/done"), 0u);
  uint32_t id = md5cache_filespec_find("/reading");
  ASSERT_NE(id, 0u);
  EXPECT_EQ(rows_of(id), "2");
  EXPECT_TRUE(ui_.boxes().empty());
}

TEST_F(Md5CacheTest, FlushThresholds) {
  // One file short of the threshold, with fewer blocks than theirs, stays queued.
  for (uint32_t i = 0; i + 1 < kFlushFiles; ++i) read_in_full("/small/" + std::to_string(i), 1, 0);
  EXPECT_EQ(md5cache_pending_files(), kFlushFiles - 1);
  EXPECT_EQ(md5cache_filespec_find("/small/0"), 0u);
  // The next file's completion writes the batch.
  read_in_full("/small/last", 1, 0);
  EXPECT_EQ(md5cache_pending_files(), 0u);
  EXPECT_EQ(sql_value(db(), "select count(*) from filespec"), std::to_string(kFlushFiles));

  // One large file collects all its blocks; one block short is not enough.
  const int blocks = static_cast<int>(kFlushBlocks);
  read_in_full("/big-short", blocks - 1, 0);
  EXPECT_EQ(md5cache_pending_blocks(), kFlushBlocks - 1);
  md5cache_flush();
  read_in_full("/big", blocks, 0);
  EXPECT_EQ(md5cache_pending_blocks(), 0u);
  EXPECT_EQ(rows_of(md5cache_filespec_find("/big")), std::to_string(blocks));
  // Blocks of earlier files count too: the test is made when a file completes.
  read_in_full("/a", blocks - 2, 0);
  read_in_full("/b", 1, 0);
  EXPECT_EQ(md5cache_pending_blocks(), kFlushBlocks - 1);
  read_in_full("/c", 1, 0);
  EXPECT_EQ(md5cache_pending_blocks(), 0u);
}

// md5cache_blocks_get reads a file's blocks with one query; it must give exactly what the
// per-offset look-ups give, or a reused file would be backed up with other blocks. A digest that
// is not 32 hexadecimal characters is never taken for a block.
TEST_F(Md5CacheTest, BlocksOfAFileInOneQueryMatchThePerOffsetLookUps) {
  const std::string a = "'" + std::string(32, 'a') + "'", b = "'" + std::string(32, 'B') + "'";
  struct Case {
    const char* name;
    std::vector<std::tuple<int, int, std::string>> rows;  // offset, size, md5 (SQL) of file 1
    uint32_t blocksize;
    size_t blocks;
  };
  const Case cases[] = {
      {"in order", {{0, 8, a}, {8, 3, b}}, 8, 2},
      {"out of order", {{0, 8, a}, {16, 8, b}, {8, 8, a}}, 8, 3},
      {"gap", {{0, 8, a}, {16, 8, b}}, 8, 1},
      {"none at 0", {{8, 8, a}}, 8, 0},
      {"between boundaries", {{0, 8, a}, {4, 8, b}, {8, 3, b}}, 8, 2},
      {"two at 0, the first damaged", {{0, 8, "'abc'"}, {0, 9, a}}, 8, 0},
      {"two at 0, the first good", {{0, 8, a}, {0, 9, b}, {8, 8, b}}, 8, 2},
      {"other block size", {{0, 16, a}, {8, 8, b}, {16, 4, b}}, 16, 2},
      {"not hexadecimal", {{0, 8, a}, {8, 8, "'" + std::string(31, 'a') + "z'"}}, 8, 1},
      {"too long", {{0, 8, "'" + std::string(34, 'a') + "'"}}, 8, 0},
      {"empty blob", {{0, 8, "x''"}}, 8, 0},
  };
  auto text = [](uint64_t offset, uint32_t size, const uint8_t digest[16]) {
    return std::to_string(offset) + ":" + std::to_string(size) + ":" + std::to_string(digest[0]);
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string sql = "delete from segs;";
    for (const auto& [offset, size, md5] : c.rows)
      sql += "insert into segs (file_id, offset, size, md5) values (1, " + std::to_string(offset) +
             ", " + std::to_string(size) + ", " + md5 + ");";
    ASSERT_EQ(sql_exec(db(), sql), SQLITE_OK);
    std::vector<std::string> per_offset, one_query;
    uint8_t digest[16];
    for (uint64_t off = 0; md5cache_segs_get_md5(1, off, digest) == 0; off += c.blocksize)
      per_offset.push_back(text(off, md5cache_segs_get_size(1, off), digest));
    EXPECT_EQ(std::memcmp(digest, std::string(16, '\0').data(), 16), 0);
    for (const CacheBlock& block : md5cache_blocks_get(1, c.blocksize))
      one_query.push_back(text(block.offset, block.size, block.digest));
    EXPECT_EQ(per_offset.size(), c.blocks);
    EXPECT_EQ(one_query, per_offset);
    md5cache_read_end();  // the next case is written by another connection
  }
  EXPECT_TRUE(ui_.boxes().empty());
}

TEST_F(Md5CacheTest, DigestsAreStoredAsLowerCaseHex) {
  uint32_t id = md5cache_filespec_insert("/d", 3, kBlock, 1, 1);
  const uint8_t digest[16] = {0x00, 0x01, 0xAB, 0xCD, 0xEF, 0x10, 0x99, 0xFF,
                              0x7f, 0x80, 0x0a, 0xa0, 0x55, 0x5a, 0xa5, 0xfe};
  EXPECT_EQ(md5cache_segs_insert(id, 0, 3, digest), 0);
  EXPECT_EQ(sql_rows(db(), "select md5, typeof(md5), size, offset from segs"),
            (Rows{{"0001abcdef1099ff7f800aa0555aa5fe", "blob", "3", "0"}}));
  uint8_t got[16];
  EXPECT_EQ(md5cache_segs_get_md5(id, 0, got), 0);
  EXPECT_EQ(std::memcmp(got, digest, 16), 0);
  // Inserting at the same offset replaces the row.
  Digest other = digest_of(3);
  EXPECT_EQ(md5cache_segs_insert(id, 0, 2, other.b), 0);
  EXPECT_EQ(rows_of(id), "1");
  EXPECT_EQ(md5cache_segs_get_size(id, 0), 2u);
}

TEST_F(Md5CacheTest, LookupsOfWhatIsNotThere) {
  uint8_t got[16];
  std::memset(got, 0xAA, sizeof got);
  uint32_t id = md5cache_filespec_insert("/d", 3, kBlock, 1, 1);
  Digest d = digest_of(1);
  md5cache_segs_insert(id, 0, 3, d.b);
  EXPECT_NE(md5cache_segs_get_md5(id, kBlock, got), 0);
  EXPECT_EQ(std::memcmp(got, std::string(16, '\0').data(), 16), 0);
  EXPECT_EQ(md5cache_segs_get_size(id, kBlock), 0u);
  CacheFileInfo info{1, 2, 3, 4};
  EXPECT_EQ(md5cache_filespec_getdata(id + 100, &info), 1);
  EXPECT_EQ(info.size, 0u);
  EXPECT_EQ(info.blocksize, 0u);
  EXPECT_EQ(md5cache_filespec_find("/none"), 0u);
  // Offsets beyond 4 GiB are keys in full.
  md5cache_segs_insert(id, 5ull << 32, 9, d.b);
  EXPECT_EQ(md5cache_segs_get_size(id, 5ull << 32), 9u);
  EXPECT_EQ(md5cache_segs_get_size(id, 0), 3u);
  EXPECT_TRUE(ui_.boxes().empty());
}

TEST_F(Md5CacheTest, FlushGoesOnAfterAFailureAndCloseWritesTheQueue) {
  // The first entry's insert cannot be prepared (its look-up is prepare 1).
  store_fault_set(StoreCall::prepare, 2);
  read_in_full("/first", 1, 1);
  read_in_full("/second", 2, 2);
  md5cache_flush();
  EXPECT_EQ(boxes_of(ui_), (Boxes{{"SQL Error in md5cache_filespec_insert",
                                   "Couldn't prepare SQL statement"}}));
  EXPECT_EQ(md5cache_filespec_find("/first"), 0u);
  uint32_t second = md5cache_filespec_find("/second");
  ASSERT_NE(second, 0u);
  EXPECT_EQ(rows_of(second), "2");

  // A commit that fails loses its batch, is reported, and does not keep the write lock: the
  // other run sharing the file writes at once.
  ui_.clear();
  md5cache_read_end();  // so that the flush's commit is the next one
  store_fault_set(StoreCall::commit, 1);
  read_in_full("/lost", 1, 4);
  md5cache_flush();
  EXPECT_EQ(boxes_of(ui_), (Boxes{{"SQL Error in md5cache_flush", "database or disk is full"}}));
  EXPECT_EQ(md5cache_filespec_find("/lost"), 0u);
  EXPECT_EQ(sql_exec(db(), "insert into segs values (null, 9, 0, 1, 'x')"), SQLITE_OK);

  // Shutdown writes what is pending; the next start finds it.
  read_in_full("/third", 1, 3);
  EXPECT_EQ(md5cache_pending_files(), 1u);
  md5cache_close();
  EXPECT_EQ(md5cache_pending_files(), 0u);
  ASSERT_EQ(md5cache_open(), 0);
  EXPECT_NE(md5cache_filespec_find("/third"), 0u);
}

// Every file has a block at offset 0: a look-up that went through offset_idx would walk the
// blocks of every cached file, and a run over many files would slow to a crawl.
TEST_F(Md5CacheTest, BlockLookupsGoThroughTheFileIndex) {
  const char* plan = "explain query plan select md5 from segs where file_id=1 and offset=0";
  EXPECT_EQ(sql_rows(db(), plan).at(0).at(3), "SEARCH segs USING INDEX file_id_idx (file_id=?)");
  // A cache written without statistics gets them when it is opened; a second open adds nothing.
  md5cache_close();
  ASSERT_EQ(sql_exec(db(), "drop table sqlite_stat1"), SQLITE_OK);
  EXPECT_EQ(sql_rows(db(), plan).at(0).at(3), "SEARCH segs USING INDEX offset_idx (offset=?)");
  ASSERT_EQ(md5cache_open(), 0);
  md5cache_close();
  std::string before = read_file(db());
  ASSERT_EQ(md5cache_open(), 0);
  EXPECT_EQ(sql_rows(db(), plan).at(0).at(3), "SEARCH segs USING INDEX file_id_idx (file_id=?)");
  EXPECT_EQ(read_file(db()), before);
}

// The look-ups keep one read transaction between calls. Another process sharing the file must
// still write at once (sql_exec waits for no lock); the look-ups see its rows once their batch
// ends: by md5cache_read_end, or after kReadBatchLookups look-ups.
TEST_F(Md5CacheTest, ReadBatchNeverHoldsUpAnotherWriter) {
  const std::string insert = "insert into filespec (filespec, size, blocksize, t_modify, "
                             "t_lastcheck) values ('/x', 1, 1, 1, 1)";
  EXPECT_EQ(md5cache_filespec_find("/x"), 0u);
  ASSERT_EQ(sql_exec(db(), insert), SQLITE_OK);
  for (uint32_t i = 1; i < kReadBatchLookups; ++i) EXPECT_EQ(md5cache_filespec_find("/x"), 0u);
  EXPECT_NE(md5cache_filespec_find("/x"), 0u);
  ASSERT_EQ(sql_exec(db(), "delete from filespec"), SQLITE_OK);
  md5cache_read_end();
  EXPECT_EQ(md5cache_filespec_find("/x"), 0u);
}

// Two runs of two profiles share the cache: each writes its batches and reads the other's
// entries at the same time. Neither may meet a lock error or lose an entry.
TEST_F(Md5CacheTest, TwoProcessesWriteAndReadTheCacheAtOnce) {
  md5cache_close();
  auto run = [this](const std::string& mine, const std::string& theirs) {
    if (md5cache_open() != 0) return 1;
    for (int i = 0; i < 800; ++i) {
      read_in_full(mine + std::to_string(i), 2, i);
      if (i % 4 != 3) continue;  // a flush of four files, then look-ups of the other's four
      md5cache_flush();
      for (int k = i - 3; k <= i; ++k)
        md5cache_blocks_get(md5cache_filespec_find(theirs + std::to_string(k)), kBlock);
    }
    md5cache_close();
    for (const auto& [caption, text] : boxes_of(ui_))
      std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
    return ui_.boxes().empty() ? 0 : 2;
  };
  pid_t a = ::fork();
  if (a == 0) ::_exit(run("/a/", "/b/"));
  pid_t b = ::fork();
  if (b == 0) ::_exit(run("/b/", "/a/"));
  EXPECT_EQ(wait_exit(a), 0);
  EXPECT_EQ(wait_exit(b), 0);
  EXPECT_EQ(sql_rows(db(), "select count(*), (select count(*) from segs) from filespec"),
            (Rows{{"1600", "3200"}}));
}

TEST(Md5Text, HexConversions) {
  struct Case {
    uint8_t first, last;
    const char* hex;
  };
  const Case cases[] = {{0x00, 0x00, "00000000000000000000000000000000"},
                        {0xff, 0x0f, "ff00000000000000000000000000000f"},
                        {0x9a, 0xb0, "9a0000000000000000000000000000b0"}};
  for (const Case& c : cases) {
    uint8_t d[16] = {};
    d[0] = c.first;
    d[15] = c.last;
    char hex[33];
    std::memset(hex, 'z', sizeof hex);
    md5_to_hex(d, hex);
    EXPECT_STREQ(hex, c.hex);
    uint8_t back[16];
    hex_to_md5(hex, back);
    EXPECT_EQ(std::memcmp(back, d, 16), 0);
  }
  uint8_t d[16];
  hex_to_md5("FF", d);  // capitals read too; a short text stops at its end
  EXPECT_EQ(d[0], 0xff);
  EXPECT_EQ(d[1], 0);
}

}  // namespace
}  // namespace vl::test
