// The configuration database and the profile list built from it.
#include <gtest/gtest.h>

#include "platform/fs.h"
#include "stores/config_db.h"
#include "stores/profile_db.h"
#include "stores/store_db.h"
#include "store_test_util.h"
#include "support/test_support.h"

namespace vl::test {
namespace {

class ConfigDbTest : public StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    ASSERT_EQ(config_open(), 0);
  }
  void TearDown() override {
    store_fault_set(StoreCall::prepare, 0);
    store_fault_set(StoreCall::step, 0);
    config_free_profiles();
    config_close();
    StoreTest::TearDown();
  }
  void save(const std::string& tag) { ASSERT_EQ(profile_create(sample_profile(tag)), 0); }
  std::vector<std::string> listed_tags() const {
    std::vector<std::string> tags;
    for (const auto& e : profile_list) tags.push_back(e->tag);
    return tags;
  }
  std::string db() const { return dir_ / "vornlake.dat"; }
};

TEST_F(ConfigDbTest, ListIsOrderedByTagBytesWithDescriptions) {
  EXPECT_EQ(config_load_profiles(), 0);
  EXPECT_TRUE(profile_list.empty());
  save("b-1");
  save("a_2");
  save("a-3");
  ASSERT_EQ(config_load_profiles(), 0);
  EXPECT_EQ(listed_tags(), (std::vector<std::string>{"a-3", "a_2", "b-1"}));
  EXPECT_EQ(profile_list[0]->description, "Nightly documents of a-3");
  EXPECT_EQ(profile_list[0]->status, 2);
  EXPECT_TRUE(ui_.boxes().empty());
  EXPECT_EQ(sql_rows(db(), "select profile, status, t_last, t_last_completed, runs, "
                           "runs_completed, last_cat, last_cat_completed from profiles "
                           "where profile='a_2'"),
            (Rows{{"a_2", "2", "0", "0", "0", "0", "0", "0"}}));
}

TEST_F(ConfigDbTest, ProfileWhoseFileIsGoneIsLeftOutAfterOneBox) {
  save("alpha");
  save("beta");
  save("gamma");
  ASSERT_TRUE(file_remove(profile_db_path("beta")));
  EXPECT_EQ(config_load_profiles(), 0);
  EXPECT_EQ(listed_tags(), (std::vector<std::string>{"alpha", "gamma"}));
  EXPECT_EQ(boxes_of(ui_), (std::vector<std::pair<std::string, std::string>>{
                               {"Backup Profile Missing!", profile_db_path("beta")}}));
  // The row itself stays: the profile comes back once its file does.
  EXPECT_EQ(sql_value(db(), "select count(*) from profiles"), "3");
}

TEST_F(ConfigDbTest, SavingTwiceLeavesOneRowWithANewId) {
  save("daily");
  std::string first = sql_value(db(), "select id from profiles where profile='daily'");
  save("daily");
  EXPECT_EQ(sql_value(db(), "select count(*) from profiles where profile='daily'"), "1");
  EXPECT_GT(std::stoi(sql_value(db(), "select id from profiles where profile='daily'")),
            std::stoi(first));
  // Removing a tag without a row is no failure.
  EXPECT_EQ(config_remove_profile("nobody"), 0);
  EXPECT_TRUE(ui_.boxes().empty());
}

TEST_F(ConfigDbTest, ProfileWithoutDescriptionListsAnEmptyOne) {
  ProfileSettings p = sample_profile("plain");
  p.description.clear();
  ASSERT_EQ(profile_create(p), 0);
  // Without a description row at all, too.
  ASSERT_EQ(sql_exec(profile_db_path("plain"), "delete from config where type=10"), SQLITE_OK);
  ASSERT_EQ(config_load_profiles(), 0);
  ASSERT_EQ(profile_list.size(), 1u);
  EXPECT_EQ(profile_list[0]->description, "");
}

TEST_F(ConfigDbTest, RebuildingTheListClearsTheEntryBeingRun) {
  save("one");
  ASSERT_EQ(config_load_profiles(), 0);
  profile_entry_running = profile_list[0].get();
  ASSERT_EQ(config_load_profiles(), 0);
  EXPECT_EQ(profile_entry_running, nullptr);
}

TEST_F(ConfigDbTest, QueryFailuresAreReportedWithTheirResults) {
  save("one");
  // A failed prepare leaves the list empty with result 0.
  store_fault_set(StoreCall::prepare, 1);
  EXPECT_EQ(config_load_profiles(), 0);
  EXPECT_TRUE(profile_list.empty());
  // A failed first step gives 1.
  store_fault_set(StoreCall::step, 1);
  EXPECT_EQ(config_load_profiles(), 1);
  EXPECT_TRUE(profile_list.empty());
  // A failed insert after the removal step leaves the tag without a row.
  store_fault_set(StoreCall::step, 2);
  EXPECT_EQ(config_add_profile("one", 2), 1);
  EXPECT_EQ(sql_value(db(), "select count(*) from profiles"), "0");
  EXPECT_EQ(boxes_of(ui_), (std::vector<std::pair<std::string, std::string>>{
                               {"SQL Error in config_load_profiles", "Couldn't prepare SQL statement"},
                               {"SQL Error in config_load_profiles", "Error executing statement"},
                               {"SQL Error in config_add_profile", "Error executing statement"}}));
}

}  // namespace
}  // namespace vl::test
