// Open-or-create of the two long-lived databases: new files, files that are kept as they are,
// files that are not databases, files that lost their version record, failing creation steps.
#include <gtest/gtest.h>
#include <unistd.h>

#include <tuple>

#include "platform/dirs.h"
#include "stores/config_db.h"
#include "stores/md5cache.h"
#include "stores/store_db.h"
#include "store_test_util.h"
#include "support/test_support.h"

namespace vl::test {
namespace {

// The two databases that start-up opens, with what tells them apart.
struct LongLived {
  const char* name;
  int (*open)();
  int (*close)();
  const char* file;
  const char* type;
  const char* open_fail_text;
  std::vector<std::string> tables;
  bool malformed_is_replaced;  // only a cache: moved aside instead of stopping the start
};

const LongLived kConfig{"config", config_open, config_close, "vornlake.dat", "1",
                        "Can't open configuration database!", {"profiles", "vornlake_info"}, false};
const LongLived kCache{"cache", md5cache_open, md5cache_close, "md5cache.dat", "16",
                       "Can't open MD5 database!", {"filespec", "segs", "vornlake_info"}, true};

void PrintTo(const LongLived& db, std::ostream* os) { *os << db.file; }

class OpenOrCreateTest : public StoreTest, public ::testing::WithParamInterface<LongLived> {
 protected:
  void TearDown() override {
    GetParam().close();
    StoreTest::TearDown();
  }
  std::string file() const { return dir_ / GetParam().file; }
};

TEST_P(OpenOrCreateTest, NewFileGetsTablesAndOneVersionRow) {
  ASSERT_EQ(GetParam().open(), 0);
  GetParam().close();
  EXPECT_TRUE(ui_.boxes().empty());
  EXPECT_EQ(sql_column(file(), "select name from sqlite_master where type='table' and "
                               "name not like 'sqlite_%' order by name"),
            GetParam().tables);
  EXPECT_EQ(sql_rows(file(), "select type, client_type, ver_major, ver_minor, ver_build "
                             "from vornlake_info"),
            (Rows{{GetParam().type, "1", "0", "9", "1"}}));
  EXPECT_EQ(file_mode(file()), 0600u);

  // A second start finds the version table and writes nothing.
  std::string before = read_file(file());
  ASSERT_EQ(GetParam().open(), 0);
  GetParam().close();
  EXPECT_EQ(read_file(file()), before);
  EXPECT_TRUE(ui_.boxes().empty());
}

TEST_P(OpenOrCreateTest, VersionRowOfAnotherKindIsAcceptedUnchanged) {
  ASSERT_EQ(sql_exec(file(), std::string(kVornlakeInfoCreateSql) +
                                 "; insert into vornlake_info values (null, 77, 5, 3, 2, 1);"
                                 "create table keepme (x); insert into keepme values (42);"),
            SQLITE_OK);
  ASSERT_EQ(GetParam().open(), 0);
  GetParam().close();
  EXPECT_EQ(sql_rows(file(), "select type, client_type, ver_major from vornlake_info"),
            (Rows{{"77", "5", "3"}}));
  EXPECT_EQ(sql_value(file(), "select x from keepme"), "42");
  EXPECT_EQ(sql_value(file(), "select count(*) from sqlite_master where name='segs' or "
                              "name='profiles'"),
            "0");
}

// Malformed files: not a database at all, or one whose schema page is damaged.
TEST_P(OpenOrCreateTest, MalformedFile) {
  ASSERT_EQ(GetParam().open(), 0);
  GetParam().close();
  std::string damaged = read_file(file());
  damaged.replace(100, 8, 8, '\xff');  // page 1's tree header
  const std::tuple<std::string, std::string, std::string> cases[] = {
      {"this is no database\n" + std::string(4000, 'x'), "file is not a database", "26"},
      {damaged, "database disk image is malformed", "11"}};
  for (const auto& [content, sqlite_text, code] : cases) {
    SCOPED_TRACE(sqlite_text);
    ui_.clear();
    write_file(file(), content);
    if (GetParam().malformed_is_replaced) {
      // Moved aside over an older one, a new cache started, one notice.
      write_file(file() + ".damaged", "an older one");
      EXPECT_EQ(GetParam().open(), 0);
      GetParam().close();
      EXPECT_TRUE(ui_.boxes().empty());
      EXPECT_EQ(read_file(file() + ".damaged"), content);
      EXPECT_EQ(md5cache_notice_take(), "The block-hash cache " + file() + " was damaged; it was "
                                        "moved aside to " + file() + ".damaged and a new one started.");
      EXPECT_EQ(md5cache_notice_take(), "");
      EXPECT_EQ(sql_value(file(), "select type from vornlake_info"), GetParam().type);
      continue;
    }
    // Left untouched; the boxes name the file, which the user has to find.
    EXPECT_EQ(GetParam().open(), 1);
    EXPECT_EQ(boxes_of(ui_), (std::vector<std::pair<std::string, std::string>>{
                                 {"SQL Error", sqlite_text + ": " + file()},
                                 {"SQL Error", "result = " + code}}));
    EXPECT_EQ(read_file(file()), content);
  }
}

TEST_P(OpenOrCreateTest, FileThatLostItsVersionTableIsCreatedEmpty) {
  // Tables of the database's own names lose their rows; other tables stay.
  ASSERT_EQ(sql_exec(file(), "create table profiles (a, b); insert into profiles values (1, 2);"
                             "create table filespec (a); insert into filespec values (1);"
                             "create table segs (a); insert into segs values (1);"
                             "create table other (a); insert into other values (5);"),
            SQLITE_OK);
  ASSERT_EQ(GetParam().open(), 0);
  GetParam().close();
  EXPECT_TRUE(ui_.boxes().empty());
  for (const auto& table : GetParam().tables)
    EXPECT_EQ(sql_value(file(), "select count(*) from " + table), table == "vornlake_info" ? "1" : "0")
        << table;
  EXPECT_EQ(sql_value(file(), "select a from other"), "5");
}

TEST_P(OpenOrCreateTest, MissingDirectoryGivesTheOpenFailureBox) {
  data_dir_set(dir_ / "no/such/dir");
  EXPECT_EQ(GetParam().open(), 1);
  EXPECT_EQ(boxes_of(ui_), (std::vector<std::pair<std::string, std::string>>{
                               {"Blah!", GetParam().open_fail_text}}));
}

// A link planted at the database's name is refused, its target untouched.
TEST_P(OpenOrCreateTest, LinkAtTheNameIsRefused) {
  write_file(dir_ / "target", "kept\n");
  ::symlink((dir_ / "target").c_str(), file().c_str());
  EXPECT_EQ(GetParam().open(), 1);
  EXPECT_EQ(read_file(dir_ / "target"), "kept\n");
}

INSTANTIATE_TEST_SUITE_P(Stores, OpenOrCreateTest, ::testing::Values(kConfig, kCache),
                         [](const auto& info) { return std::string(info.param.name); });

// A creation step that fails shows that step's text and the open fails; nothing later is run.
TEST_F(StoreTest, FailingCreationStepsNameTheirStep) {
  // A view of the table's name survives "drop table" and blocks "create table".
  ASSERT_EQ(sql_exec(dir_ / "vornlake.dat", "create view profiles as select 1;"), SQLITE_OK);
  EXPECT_EQ(config_open(), 1);
  // An index of the same name on another table blocks the cache's segs indexes.
  ASSERT_EQ(sql_exec(dir_ / "md5cache.dat", "create table t (a); create index offset_idx on t(a);"),
            SQLITE_OK);
  EXPECT_EQ(md5cache_open(), 1);
  EXPECT_EQ(boxes_of(ui_), (std::vector<std::pair<std::string, std::string>>{
                               {"SQL Error", "Error initializing vornlake.dat / profiles"},
                               {"SQL Error", "Error creating indexes on md5cache.dat / segs"}}));
  EXPECT_EQ(sql_value(dir_ / "md5cache.dat", "select count(*) from sqlite_master where "
                                             "name='vornlake_info'"),
            "0");
}

// A statement that fails after creation is reported under its operation's name.
TEST_F(StoreTest, ClosedConfigurationReportsInsteadOfCrashing) {
  EXPECT_EQ(config_remove_profile("x"), 1);
  EXPECT_EQ(config_load_profiles(), 0);
  EXPECT_EQ(boxes_of(ui_), (std::vector<std::pair<std::string, std::string>>{
                               {"SQL Error in config_remove_profile", "Couldn't prepare SQL statement"},
                               {"SQL Error in config_load_profiles", "Couldn't prepare SQL statement"}}));
}

}  // namespace
}  // namespace vl::test
