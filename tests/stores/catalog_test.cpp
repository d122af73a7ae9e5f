// The catalog of a run: schema, facts of finished and cancelled runs, parent chains, exact-byte
// keys, batch commits, the settings copy, and a file that outside tools can read.
#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/resource.h>

#include <csignal>
#include <cstring>
#include <functional>

#include "platform/clock.h"
#include "platform/dirs.h"
#include "platform/fs.h"
#include "stores/catalog.h"
#include "stores/config_db.h"
#include "stores/profile_db.h"
#include "stores/store_db.h"
#include "catalog_fixture.h"
#include "store_test_util.h"
#include "support/test_support.h"

namespace vl::test {
namespace {

using Boxes = std::vector<std::pair<std::string, std::string>>;
constexpr uint32_t kBlock = 1048576;

FilespecRecord dir_record() { return FilespecRecord{1, 0x10, 040755, 1000, 100, 4096, 11, 12, 13}; }
FilespecRecord file_record(uint64_t size) {
  return FilespecRecord{2, 0, 0100644, 1000, 100, size, 21, 22, 23};
}

using CatalogTest = CatalogFixture;

TEST_F(CatalogTest, OpensWithItsSchemaAndOpeningFacts) {
  ASSERT_EQ(catalog_open(ctx_), 0);
  EXPECT_TRUE(catalog_is_open());
  EXPECT_EQ(ctx_.catalog_path, cat());
  EXPECT_EQ(file_mode(cat()), 0600u);
  EXPECT_EQ(sql_column(cat(), "select name from sqlite_master where type='table' and name not "
                              "like 'sqlite_%' order by name"),
            (std::vector<std::string>{"catinfo", "config", "filespec", "segs", "vornlake_info"}));
  EXPECT_EQ(sql_column(cat(), "select name from sqlite_master where type='index' and name not "
                              "like 'sqlite_%' order by name"),
            (std::vector<std::string>{"catinfo_type", "config_type", "filespec_filename",
                                      "filespec_filename_full", "filespec_parent_id",
                                      "segs_filespec_offset", "segs_md5"}));
  EXPECT_EQ(sql_value(cat(), "select count(*) from sqlite_master where sql like '%nocase%'"), "0");
  EXPECT_EQ(sql_rows(cat(), "select type, misc from catinfo order by type"),
            (Rows{{"1", "1"}, {"2", "1"}, {"3", "1"}, {"21", "12648430"}}));
  EXPECT_EQ(sql_rows(cat(), "select type, client_type, ver_major, ver_minor, ver_build from "
                            "vornlake_info"),
            (Rows{{"129", "1", "0", "9", "1"}}));
  EXPECT_TRUE(ui_.boxes().empty());
}

TEST_F(CatalogTest, SettingsCopyLeavesOutThePassword) {
  ASSERT_EQ(catalog_open(ctx_), 0);
  Rows profile = sql_rows(profile_db_path("daily"),
                          "select type, parm, parm2 from config where type <> 4 order by id");
  EXPECT_EQ(sql_rows(cat(), "select type, parm, parm2 from config order by id"), profile);
  EXPECT_EQ(profile.size(), 22u);
  EXPECT_EQ(sql_value(cat(), "select count(*) from config where type=4 or parm like '%s3cret%'"),
            "0");
}

TEST_F(CatalogTest, FinishedRunWritesItsFactsInFull) {
  ctx_.t_start = 1700000000;
  RunStats& s = ctx_.stats;
  s.files = 32;
  s.directories = 33;
  s.special_files = 34;
  s.bytes_total = 5000000000ull;
  s.bytes_stored = 36;
  s.bytes_compressed = 37;
  s.bytes_skipped = 4294967296ull * 3;
  s.bytes_duped = 39;
  s.files_skipped = 40;
  s.files_scanned = 41;
  s.segs = 48;
  s.segs_stored = 49;
  s.segs_duped = 50;
  s.warnings = 64;
  s.errors = 65;
  ASSERT_EQ(catalog_open(ctx_), 0);
  int32_t before = clock_now();
  EXPECT_EQ(catalog_finish(ctx_), 0);
  int32_t after = clock_now();
  EXPECT_EQ(catalog_close(), 0);
  EXPECT_FALSE(catalog_is_open());

  Rows rows = sql_rows(cat(), "select type, misc from catinfo order by type");
  std::vector<std::string> types;
  for (const auto& r : rows) types.push_back(r[0]);
  EXPECT_EQ(types, (std::vector<std::string>{"1", "2", "3", "21", "22", "23", "32", "33", "34",
                                             "35", "36", "37", "38", "39", "40", "41", "48", "49",
                                             "50", "64", "65"}));
  for (const auto& r : rows) {
    int type = std::stoi(r[0]);
    if (type == 22) {
      EXPECT_EQ(r[1], "1700000000");
    } else if (type == 23) {
      EXPECT_GE(std::stoll(r[1]), before);
      EXPECT_LE(std::stoll(r[1]), after);
    } else if (type == 35) {
      EXPECT_EQ(r[1], "5000000000");
    } else if (type == 38) {
      EXPECT_EQ(r[1], "12884901888");
    } else if (type >= 32) {
      EXPECT_EQ(r[1], r[0]) << "catinfo " << type;
    }
  }
  EXPECT_EQ(sql_value(cat(), "select type from vornlake_info"), "128");
}

TEST_F(CatalogTest, ParentChainsAndNames) {
  ASSERT_EQ(catalog_open(ctx_), 0);
  uint32_t root = catalog_filespec_insert("/", dir_record(), kBlock);
  uint32_t home = catalog_filespec_insert("/home", dir_record(), kBlock);
  uint32_t user = catalog_filespec_insert("/home/u", dir_record(), kBlock);
  uint32_t file = catalog_filespec_insert("/home/u/notes.txt", file_record(7), kBlock);
  uint32_t orphan = catalog_filespec_insert("/opt/x/y", file_record(1), kBlock);
  uint32_t bare = catalog_filespec_insert("relative.txt", file_record(1), kBlock);
  catalog_close();
  Rows rows = sql_rows(cat(), "select id, parent_id, filename, filename_full from filespec "
                              "order by id");
  EXPECT_EQ(rows, (Rows{{std::to_string(root), "0", "/", "/"},
                        {std::to_string(home), std::to_string(root), "home", "/home"},
                        {std::to_string(user), std::to_string(home), "u", "/home/u"},
                        {std::to_string(file), std::to_string(user), "notes.txt",
                         "/home/u/notes.txt"},
                        {std::to_string(orphan), "0", "y", "/opt/x/y"},
                        {std::to_string(bare), "0", "relative.txt", "relative.txt"}}));
  EXPECT_EQ(sql_rows(cat(), "select type, attr, mode, owner, _group, size, t_access, t_change, "
                            "t_modify, t_backup_start, t_backup_end, blocksize, extra from "
                            "filespec where filename='notes.txt'"),
            (Rows{{"2", "0", "33188", "1000", "100", "7", "21", "22", "23", "0", "0", "1048576",
                   ""}}));
}

TEST_F(CatalogTest, PathsAreKeysByTheirExactBytes) {
  ASSERT_EQ(catalog_open(ctx_), 0);
  uint32_t dir = catalog_filespec_insert("/D", dir_record(), kBlock);
  uint32_t upper = catalog_filespec_insert("/D/A.TXT", file_record(1), kBlock);
  uint32_t lower = catalog_filespec_insert("/D/a.txt", file_record(2), kBlock);
  EXPECT_NE(upper, 0u);
  EXPECT_NE(lower, 0u);
  EXPECT_EQ(catalog_filespec_find("/D/A.TXT"), upper);
  EXPECT_EQ(catalog_filespec_find("/D/a.txt"), lower);
  EXPECT_EQ(catalog_filespec_find("/d/a.txt"), 0u);
  // The parent is found by its exact bytes too.
  EXPECT_NE(catalog_filespec_insert("/d/b", file_record(1), kBlock), 0u);
  // Long paths are never cut: two that share a long prefix stay two rows.
  std::string deep = "/" + std::string(300, 'q');
  uint32_t deep_dir = catalog_filespec_insert(deep, dir_record(), kBlock);
  EXPECT_NE(catalog_filespec_insert(deep + "/f", file_record(1), kBlock), 0u);
  EXPECT_NE(catalog_filespec_insert(deep + "/g", file_record(1), kBlock), 0u);
  catalog_close();
  EXPECT_EQ(sql_value(cat(), "select parent_id from filespec where filename_full='/d/b'"), "0");
  EXPECT_EQ(sql_value(cat(), "select parent_id from filespec where filename_full='/D/a.txt'"),
            std::to_string(dir));
  EXPECT_EQ(sql_column(cat(), "select parent_id from filespec where filename_full like '/qqq%/_'"),
            (std::vector<std::string>{std::to_string(deep_dir), std::to_string(deep_dir)}));
  EXPECT_TRUE(ui_.boxes().empty());
}

TEST_F(CatalogTest, RepeatedPathGivesZeroAndItsBlocksAreNotRecorded) {
  ASSERT_EQ(catalog_open(ctx_), 0);
  uint8_t digest[16];
  std::memset(digest, 0xab, sizeof digest);
  uint32_t id = catalog_filespec_insert("/f", file_record(10), kBlock);
  ASSERT_NE(id, 0u);
  EXPECT_EQ(catalog_seg_insert(id, 0, 10, digest), 0);
  EXPECT_EQ(catalog_seg_insert(id, 6ull << 32, 10, digest), 0);
  uint32_t again = catalog_filespec_insert("/f", file_record(10), kBlock);
  EXPECT_EQ(again, 0u);
  EXPECT_EQ(catalog_seg_insert(again, kBlock, 10, digest), 0);
  EXPECT_TRUE(ui_.boxes().empty());
  // A second block at the same offset is refused by the unique index.
  EXPECT_EQ(catalog_seg_insert(id, 0, 10, digest), 0);
  EXPECT_EQ(boxes_of(ui_), (Boxes{{"SQL Error in catalog_seg_insert", "Couldn't process SQL query!"}}));
  catalog_close();
  EXPECT_EQ(sql_rows(cat(), "select filespec_id, offset, size, md5 from segs order by id"),
            (Rows{{std::to_string(id), "0", "10", "abababababababababababababababab"},
                  {std::to_string(id), "25769803776", "10", "abababababababababababababababab"}}));
  EXPECT_EQ(sql_value(cat(), "select count(*) from filespec"), "1");
}

// The catalog is a scratch file until it is uploaded: the rows of a run are committed together,
// by catalog_finish or, for a cancelled run, by catalog_close. Each open replaces the older file.
TEST_F(CatalogTest, RowsOfARunAreCommittedTogether) {
  uint8_t digest[16] = {};
  auto visible = [&] {
    return sql_value(cat(), "select (select count(*) from filespec) + (select count(*) from segs)");
  };
  for (bool cancelled : {false, true}) {
    ASSERT_EQ(catalog_open(ctx_), 0);
    for (int i = 0; i < 200; ++i)
      catalog_seg_insert(catalog_filespec_insert("/f" + std::to_string(i), file_record(1), kBlock),
                         0, 1, digest);
    EXPECT_EQ(visible(), "0");
    EXPECT_EQ(cancelled ? 0 : catalog_finish(ctx_), 0);
    EXPECT_EQ(catalog_close(), 0);
    EXPECT_EQ(visible(), "400");
    EXPECT_TRUE(catalog_complete());  // as long as nothing failed
  }
  // The cancelled run keeps its rows and only the opening facts, unfinished.
  EXPECT_EQ(sql_column(cat(), "select type from catinfo order by type"),
            (std::vector<std::string>{"1", "2", "3", "21"}));
  EXPECT_EQ(sql_value(cat(), "select type from vornlake_info"), "129");
}

// A catalog that lacks part of the run must not be uploaded as if it held all of it: every
// failure of the open, of a row, of a commit, of finishing or closing leaves it incomplete.
TEST_F(CatalogTest, CompletenessAfterEachKindOfFailure) {
  struct Case {
    const char* name;
    StoreCall call;
    int nth;  // < 0: armed before catalog_open
    bool cancelled;
    int open_rc, finish_rc, close_rc;
    const char* caption;  // of the one box, "" for none
    const char* text;
  };
  // Before the open, exec 5 is the first schema step (after the pragmas and "begin
  // transaction"), step 1 the profile's settings query and step 2 the first row of its copy. After it, steps 1 to 3 record
  // "/d" (its look-up, that of "/", the insert), 4 to 6 "/d/f", 7 its block; commit 1 holds the
  // run's rows, commit 2 the finished catalog.
  const Case cases[] = {
      {"schema", StoreCall::exec, -5, false, 1, 0, 0, "SQL Error", "Error initializing catalog / catinfo"},
      {"settings query", StoreCall::step, -1, false, 1, 0, 0, "SQL Error in catalog_init_config",
       "Error executing statement"},
      {"settings copy", StoreCall::step, -2, false, 1, 0, 0, "SQL Error in catalog_init_config",
       "Error copying config to catalog!"},
      {"file look-up", StoreCall::step, 4, false, 0, 0, 0, "SQL Error in catalog_filespec_find",
       "Error executing statement"},
      {"file row", StoreCall::step, 6, false, 0, 0, 0, "SQL Error in catalog_filespec_insert",
       "SQL Error executing insert"},
      {"block row", StoreCall::step, 7, false, 0, 0, 0, "SQL Error in catalog_seg_insert",
       "Couldn't process SQL query!"},
      {"commit of the rows", StoreCall::commit, 1, false, 0, 1, 0, "", ""},
      {"commit of the finished catalog", StoreCall::commit, 2, false, 0, 1, 0, "", ""},
      {"commit of a cancelled run", StoreCall::commit, 1, true, 0, 0, 1, "", ""},
  };
  uint8_t digest[16] = {};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ui_.clear();
    if (c.nth < 0) store_fault_set(c.call, -c.nth);
    EXPECT_EQ(catalog_open(ctx_), c.open_rc);
    if (c.nth > 0) store_fault_set(c.call, c.nth);
    catalog_filespec_insert("/d", dir_record(), kBlock);
    catalog_seg_insert(catalog_filespec_insert("/d/f", file_record(1), kBlock), 0, 1, digest);
    EXPECT_EQ(catalog_filespec_insert("/d", dir_record(), kBlock), 0u);  // no failure
    EXPECT_EQ(c.cancelled ? 0 : catalog_finish(ctx_), c.finish_rc);
    EXPECT_EQ(catalog_close(), c.close_rc);
    EXPECT_FALSE(catalog_complete());
    EXPECT_EQ(boxes_of(ui_), (*c.caption ? Boxes{{c.caption, c.text}} : Boxes{}));
    store_fault_set(c.call, 0);
  }
}

// A full disk, for real: the catalog's directory is a small file system of its own, or where
// mounting is refused, a file size limit refuses the writes the same way.
TEST_F(CatalogTest, FullDiskLeavesTheCatalogIncomplete) {
  const std::string dir = profile_dir("full");
  ASSERT_TRUE(dir_create_all_private(dir));
  const bool mounted = ::mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=128k,mode=0700") == 0;
  struct rlimit old_limit{}, limit{};
  ::getrlimit(RLIMIT_FSIZE, &old_limit);
  limit = {128 * 1024, old_limit.rlim_max};
  std::signal(SIGXFSZ, SIG_IGN);
  if (!mounted && ::setrlimit(RLIMIT_FSIZE, &limit) != 0) GTEST_SKIP() << "no mount, no limit";
  struct Undo {
    std::function<void()> f;
    ~Undo() { f(); }
  } undo{[&] { mounted ? ::umount2(dir.c_str(), MNT_DETACH) : ::setrlimit(RLIMIT_FSIZE, &old_limit); }};
  ASSERT_EQ(profile_create(sample_profile("full")), 0);
  ctx_.profile = profile_load("full", false);
  ASSERT_EQ(catalog_open(ctx_), 0);
  uint8_t digest[16] = {};
  for (int i = 0; i < 3000; ++i)
    catalog_seg_insert(catalog_filespec_insert("/f" + std::to_string(i), file_record(1), kBlock),
                       0, 1, digest);
  EXPECT_EQ(catalog_finish(ctx_), 1);
  catalog_close();
  EXPECT_FALSE(catalog_complete());
}

TEST_F(CatalogTest, OutsideToolsReadTheFile) {
  ASSERT_EQ(catalog_open(ctx_), 0);
  catalog_filespec_insert("/a", dir_record(), kBlock);
  catalog_filespec_insert("/a/b", file_record(3), kBlock);
  catalog_finish(ctx_);
  catalog_close();
  ProcessResult r = run_process({"/usr/bin/sqlite3", cat(), "select count(*) from filespec"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "2\n");
  r = run_process({"/usr/bin/sqlite3", cat(), "pragma integrity_check"});
  EXPECT_EQ(r.out, "ok\n");
}

TEST_F(CatalogTest, MissingProfileDatabaseFailsTheOpen) {
  ASSERT_TRUE(file_remove(profile_db_path("daily")));
  EXPECT_EQ(catalog_open(ctx_), 1);
  EXPECT_FALSE(catalog_is_open());
  EXPECT_EQ(boxes_of(ui_), (Boxes{{"Blah!", "Can't open profile's database!"}}));
  // The profile's database is not brought back as an empty file.
  EXPECT_FALSE(file_exists(profile_db_path("daily")));
  EXPECT_EQ(catalog_filespec_insert("/a", dir_record(), kBlock), 0u);
}

}  // namespace
}  // namespace vl::test
