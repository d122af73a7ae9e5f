// Open-or-create of the two long-lived databases: new files, files that are kept as they are,
// files that are not databases, files that lost their version record, failing creation steps.
#include <gtest/gtest.h>

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

TEST_P(OpenOrCreateTest, FileThatIsNotADatabase) {
  std::string garbage(4096, 'x');
  garbage.replace(0, 20, "this is no database\n");
  write_file(file(), garbage);
  if (GetParam().malformed_is_replaced) {
    EXPECT_EQ(GetParam().open(), 0);
    EXPECT_TRUE(ui_.boxes().empty());
    EXPECT_EQ(read_file(file() + ".damaged"), garbage);
    EXPECT_NE(md5cache_notice_take(), "");
    return;
  }
  // The boxes name the file: the user has to find it.
  EXPECT_EQ(GetParam().open(), 1);
  EXPECT_EQ(boxes_of(ui_), (std::vector<std::pair<std::string, std::string>>{
                               {"SQL Error", "file is not a database: " + file()},
                               {"SQL Error", "result = 26"}}));
  EXPECT_EQ(read_file(file()), garbage);
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
