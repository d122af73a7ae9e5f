// The profile database: the file format, loading with defaults and clamps, the required
// fields, the quiet flag, and how saving and deleting keep the previous file.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "platform/dirs.h"
#include "platform/fs.h"
#include "stores/config_db.h"
#include "stores/profile_db.h"
#include "stores/store_db.h"
#include "store_test_util.h"
#include "support/test_support.h"

namespace vl::test {
namespace {

using Boxes = std::vector<std::pair<std::string, std::string>>;

class ProfileDbTest : public StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    ASSERT_EQ(config_open(), 0);
  }
  void TearDown() override {
    store_fault_set(StoreCall::prepare, 0);
    store_fault_set(StoreCall::step, 0);
    store_fault_set(StoreCall::exec, 0);
    config_close();
    StoreTest::TearDown();
  }

  // Writes a profile database by hand: the tables as the client makes them and the given
  // (type, parm) rows in order.
  void write_rows(const std::string& tag, const std::vector<std::pair<std::string, std::string>>& rows) {
    dir_create_all_private(profile_dir(tag));
    std::string sql =
        "create table config ( id integer not null primary key autoincrement, type varchar(256) "
        "not null, parm varchar(256) not null, parm2 varchar(256) not null );" +
        std::string(kVornlakeInfoCreateSql) + ";insert into vornlake_info values (null,32,1,0,9,1);";
    ASSERT_EQ(sql_exec(profile_db_path(tag), sql), SQLITE_OK);
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(profile_db_path(tag).c_str(), &db), SQLITE_OK);
    sqlite3_stmt* stmt = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "insert into config (type, parm, parm2) values (?,?,'')", -1,
                                 &stmt, nullptr),
              SQLITE_OK);
    for (const auto& [type, parm] : rows) {
      sqlite3_bind_text(stmt, 1, type.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(stmt, 2, parm.c_str(), -1, SQLITE_TRANSIENT);
      EXPECT_EQ(sqlite3_step(stmt), SQLITE_DONE);
      sqlite3_reset(stmt);
    }
    sqlite3_finalize(stmt);
    sqlite3_close(db);
  }
  // The three rows every loadable profile needs, followed by extra ones.
  void write_loadable(const std::string& tag, std::vector<std::pair<std::string, std::string>> extra) {
    std::vector<std::pair<std::string, std::string>> rows = {{"1", "srv"}, {"3", "bob"}, {"4", "pw"}};
    rows.insert(rows.end(), extra.begin(), extra.end());
    write_rows(tag, rows);
  }
};

TEST_F(ProfileDbTest, SaveAndLoadRoundTripInFileOrder) {
  ProfileSettings p = sample_profile("daily");
  ASSERT_EQ(profile_create(p), 0);
  EXPECT_TRUE(ui_.boxes().empty());
  std::string file = profile_db_path("daily");
  EXPECT_EQ(file, dir_ / "Profiles/daily/daily.cfg");
  EXPECT_EQ(sql_column(file, "select type from config order by id"),
            (std::vector<std::string>{"1", "2", "3", "4", "5", "6", "7", "8", "10", "11", "12",
                                      "13", "14", "15", "16", "17", "18", "19", "20", "128", "128",
                                      "128", "129"}));
  EXPECT_EQ(sql_column(file, "select parm from config where cast(type as integer) between 2 and 8 order by id"),
            (std::vector<std::string>{"6000", "alice", "s3cret pass", "1", "0", "9", "1"}));
  EXPECT_EQ(sql_value(file, "select count(*) from config where parm2 <> ''"), "0");
  EXPECT_EQ(sql_rows(file, "select type, client_type, ver_major, ver_minor, ver_build from "
                           "vornlake_info"),
            (Rows{{"32", "1", "0", "9", "1"}}));
  EXPECT_EQ(sql_value(dir_ / "vornlake.dat", "select status from profiles where profile='daily'"),
            "2");

  auto loaded = profile_load("daily", false);
  ASSERT_NE(loaded, nullptr);
  EXPECT_TRUE(ui_.boxes().empty());
  EXPECT_EQ(loaded->tag, "daily");
  EXPECT_EQ(loaded->description, p.description);
  EXPECT_EQ(loaded->server, p.server);
  EXPECT_EQ(loaded->port, 6000);
  EXPECT_EQ(loaded->login, "alice");
  EXPECT_EQ(loaded->password, "s3cret pass");
  EXPECT_EQ(loaded->thread_priority, 3u);
  EXPECT_EQ(loaded->file_delay_ms, 25);
  EXPECT_EQ(loaded->block_delay_ms, 7);
  EXPECT_EQ(loaded->tx_throttle, 1);
  EXPECT_EQ(loaded->tx_rate_unit, 2u);
  EXPECT_EQ(loaded->tx_rate, 80);
  EXPECT_EQ(loaded->rx_throttle, 0);
  EXPECT_EQ(loaded->rx_rate_unit, 4u);
  EXPECT_EQ(loaded->rx_rate, 50);
  EXPECT_EQ(loaded->tx_allowance, 0);
  ASSERT_EQ(loaded->include_rules.size(), 3u);
  EXPECT_EQ(loaded->include_rules[0].path, "/home/alice");
  EXPECT_EQ(loaded->include_rules[1].path, "/etc");
  EXPECT_EQ(loaded->include_rules[2].path, "/srv/Data");
  ASSERT_EQ(loaded->exclude_rules.size(), 1u);
  EXPECT_EQ(loaded->exclude_rules[0].path, "/home/alice/.cache/");

  std::string description = "unchanged";
  EXPECT_EQ(profile_load_description("daily", &description, false), 0);
  EXPECT_EQ(description, p.description);
}

// Values as stored, against what profile_load makes of them.
TEST_F(ProfileDbTest, DefaultsAndClamps) {
  struct Case {
    const char* name;
    std::vector<std::pair<std::string, std::string>> rows;
    uint16_t port;
    uint32_t priority, tx_unit, rx_unit;
    int32_t file_delay;
  };
  const Case cases[] = {
      {"absent rows", {}, 5420, 1, 1, 1, 0},
      {"port 0", {{"2", "0"}}, 5420, 1, 1, 1, 0},
      {"port 65536 wraps to 0", {{"2", "65536"}}, 5420, 1, 1, 1, 0},
      {"port 70000 keeps its low 16 bits", {{"2", "70000"}}, 4464, 1, 1, 1, 0},
      {"priority 7", {{"12", "7"}}, 5420, 1, 1, 1, 0},
      {"priority 4 kept", {{"12", "4"}}, 5420, 4, 1, 1, 0},
      {"priority 0 kept", {{"12", "0"}}, 5420, 0, 1, 1, 0},
      {"unit -1 is above 5", {{"16", "-1"}, {"19", "-1"}}, 5420, 1, 1, 1, 0},
      {"unit 6", {{"16", "6"}, {"19", "5"}}, 5420, 1, 1, 5, 0},
      {"not a number counts as 0", {{"12", "high"}, {"13", "soon"}}, 5420, 0, 1, 1, 0},
      {"leading digits count", {{"13", "250ms"}}, 5420, 1, 1, 1, 250},
      {"ignored codes", {{"0", "x"}, {"5", "9"}, {"6", "x"}, {"7", "x"}, {"8", "x"}, {"9", "x"},
                         {"11", "other"}}, 5420, 1, 1, 1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    write_loadable("t", c.rows);
    auto p = profile_load("t", false);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->port, c.port);
    EXPECT_EQ(p->thread_priority, c.priority);
    EXPECT_EQ(p->tx_rate_unit, c.tx_unit);
    EXPECT_EQ(p->rx_rate_unit, c.rx_unit);
    EXPECT_EQ(p->file_delay_ms, c.file_delay);
    EXPECT_EQ(p->tag, "t");  // the tag row is not read
    EXPECT_TRUE(ui_.boxes().empty());
    test::remove_tree(profile_dir("t"));
  }
}

TEST_F(ProfileDbTest, RequiredFieldsAreReportedFirstMissingFirst) {
  struct Case {
    std::vector<std::pair<std::string, std::string>> rows;
    const char* message;
  };
  const Case cases[] = {
      {{}, "No server specified in backup profile!"},
      {{{"3", "bob"}}, "No server specified in backup profile!"},
      {{{"1", "srv"}}, "No login specified in backup profile!"},
      {{{"1", "srv"}, {"3", "bob"}}, "No password specified in backup profile!"},
      {{{"1", "srv"}, {"3", "bob"}, {"4", ""}}, "No password specified in backup profile!"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    write_rows("t", c.rows);
    ui_.clear();
    EXPECT_EQ(profile_load("t", false), nullptr);
    EXPECT_EQ(boxes_of(ui_), (Boxes{{"Backup Profile Error", c.message}}));
    ui_.clear();
    EXPECT_EQ(profile_load("t", true), nullptr);
    EXPECT_TRUE(ui_.boxes().empty());
    test::remove_tree(profile_dir("t"));
  }
}

TEST_F(ProfileDbTest, UnknownCodesWarnUnlessQuiet) {
  write_loadable("t", {{"21", "x"}, {"128", "/a"}, {"130", "y"}, {"129", "/a/b"}});
  auto p = profile_load("t", false);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(boxes_of(ui_), (Boxes{{"Warning loading profile", "Unrecognized profile parameter!"},
                                  {"Warning loading profile", "Unrecognized profile parameter!"}}));
  EXPECT_EQ(p->include_rules.size(), 1u);
  EXPECT_EQ(p->exclude_rules.size(), 1u);
  ui_.clear();
  EXPECT_NE(profile_load("t", true), nullptr);
  EXPECT_TRUE(ui_.boxes().empty());
}

TEST_F(ProfileDbTest, MissingAndUnreadableFilesRespectTheQuietFlag) {
  std::string dest = "keep";
  EXPECT_EQ(profile_load("ghost", true), nullptr);
  EXPECT_EQ(profile_load_description("ghost", &dest, true), 1);
  EXPECT_TRUE(ui_.boxes().empty());
  EXPECT_EQ(profile_load("ghost", false), nullptr);
  EXPECT_EQ(boxes_of(ui_), (Boxes{{"Backup Profile Missing!", profile_db_path("ghost")}}));
  // Asking never creates the file.
  EXPECT_FALSE(file_exists(profile_db_path("ghost")));

  dir_create_all_private(profile_dir("junk"));
  write_file(profile_db_path("junk"), std::string(2048, 'j'));
  ui_.clear();
  EXPECT_EQ(profile_load("junk", true), nullptr);
  EXPECT_EQ(profile_load_description("junk", &dest, true), 1);
  EXPECT_TRUE(ui_.boxes().empty());
  EXPECT_EQ(profile_load("junk", false), nullptr);
  EXPECT_EQ(profile_load_description("junk", &dest, false), 1);
  EXPECT_EQ(boxes_of(ui_), (Boxes{{"Blah!", "Can't read profile's database!"},
                                  {"Blah!", "Can't read profile's database!"}}));
  EXPECT_EQ(dest, "keep");
}

TEST_F(ProfileDbTest, QuietDoesNotHideFailedQueries) {
  // A database that has its version record but no config table.
  dir_create_all_private(profile_dir("bare"));
  ASSERT_EQ(sql_exec(profile_db_path("bare"), kVornlakeInfoCreateSql), SQLITE_OK);
  std::string dest = "keep";
  EXPECT_EQ(profile_load("bare", true), nullptr);
  EXPECT_EQ(profile_load_description("bare", &dest, true), 0);
  EXPECT_EQ(dest, "keep");

  write_loadable("t", {{"10", "described"}});
  store_fault_set(StoreCall::step, 1);
  EXPECT_EQ(profile_load_description("t", &dest, true), 1);
  EXPECT_EQ(dest, "keep");
  EXPECT_EQ(boxes_of(ui_),
            (Boxes{{"SQL Error in profile_load", "Couldn't prepare SQL statement"},
                   {"SQL Error in profile_load_description", "Couldn't prepare SQL statement"},
                   {"SQL Error in profile_load_description", "Error executing statement"}}));
}

TEST_F(ProfileDbTest, DescriptionAbsentLeavesTheDestination) {
  write_loadable("t", {});
  std::string dest = "prepared";
  EXPECT_EQ(profile_load_description("t", &dest, false), 0);
  EXPECT_EQ(dest, "prepared");
  EXPECT_TRUE(ui_.boxes().empty());
}

TEST_F(ProfileDbTest, LoadedTextsAreCutToTheirFields) {
  std::string long_text(400, 'L');
  write_rows("t", {{"1", long_text}, {"3", long_text}, {"4", long_text}, {"10", long_text},
                   {"128", long_text}, {"129", long_text}});
  auto p = profile_load("t", false);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->server.size(), kServerMax);
  EXPECT_EQ(p->login.size(), kLoginMax);
  EXPECT_EQ(p->password.size(), kPasswordMax);
  EXPECT_EQ(p->description.size(), kDescriptionMax);
  EXPECT_EQ(p->include_rules.at(0).path.size(), kRulePathMax);
  EXPECT_EQ(p->exclude_rules.at(0).path.size(), kRulePathMax);
  std::string dest;
  EXPECT_EQ(profile_load_description("t", &dest, false), 0);
  EXPECT_EQ(dest.size(), kDescriptionMax);
}

TEST_F(ProfileDbTest, SavingKeepsThePreviousFileDeletingRemovesBoth) {
  std::string cfg = profile_db_path("daily");
  ProfileSettings p = sample_profile("daily");
  ASSERT_EQ(profile_create(p), 0);
  p.description = "second";
  ASSERT_EQ(profile_create(p), 0);
  EXPECT_EQ(sql_value(cfg, "select parm from config where type=10"), "second");
  EXPECT_EQ(sql_value(cfg + ".bak", "select parm from config where type=10"),
            "Nightly documents of daily");

  // Deleting takes both copies of the password; the run logs stay unless asked for too.
  write_file(profile_dir("daily") + "/0000002a.log", "log");
  EXPECT_EQ(profile_delete("daily"), 0);
  EXPECT_FALSE(file_exists(cfg));
  EXPECT_FALSE(file_exists(cfg + ".bak"));
  EXPECT_TRUE(file_exists(profile_dir("daily") + "/0000002a.log"));
  EXPECT_EQ(sql_value(dir_ / "vornlake.dat", "select count(*) from profiles"), "0");
  ASSERT_EQ(profile_create(p), 0);
  EXPECT_TRUE(file_exists(cfg));
  EXPECT_EQ(profile_delete("daily", true), 0);
  EXPECT_FALSE(file_exists(profile_dir("daily")));
  EXPECT_TRUE(ui_.boxes().empty());
}

TEST_F(ProfileDbTest, FilesAreOwnerOnlyWhateverTheUmask) {
  mode_t old = ::umask(022);
  int rc = profile_create(sample_profile("daily"));
  ::umask(old);
  ASSERT_EQ(rc, 0);
  EXPECT_EQ(file_mode(profile_db_path("daily")), 0600u);
  EXPECT_EQ(file_mode(profile_dir("daily")), 0700u);
  EXPECT_EQ(file_mode(dir_ / "Profiles"), 0700u);
}

// A save whose rows cannot all be written fails, instead of registering a profile that lacks
// part of its settings; the previous settings stay in ".cfg.bak".
TEST_F(ProfileDbTest, SaveThatCannotWriteItsRowsFails) {
  ASSERT_EQ(profile_create(sample_profile("daily")), 0);
  // Step 1 is the configuration removal; step 2 the server row; 3 the login row.
  store_fault_set(StoreCall::step, 3);
  EXPECT_EQ(profile_create(sample_profile("daily")), 1);
  EXPECT_EQ(boxes_of(ui_), (Boxes{{"SQL Error in profile_create", "Error executing statement"}}));
  EXPECT_EQ(sql_value(dir_ / "vornlake.dat", "select count(*) from profiles"), "0");
  EXPECT_EQ(sql_value(profile_db_path("daily"), "select count(*) from config"), "0");
  EXPECT_EQ(sql_value(profile_db_path("daily") + ".bak", "select parm from config where type=3"),
            "alice");

  ui_.clear();
  store_fault_set(StoreCall::prepare, 2);  // 1: configuration removal; 2: the server row
  EXPECT_EQ(profile_create(sample_profile("other")), 1);
  EXPECT_EQ(boxes_of(ui_), (Boxes{{"SQL Error in profile_create", "Couldn't prepare SQL statement"}}));
  EXPECT_EQ(profile_load("other", true), nullptr);
}

}  // namespace
}  // namespace vl::test
