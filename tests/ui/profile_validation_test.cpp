// The profile editor's OK without widgets: the tag rules, the existing-tag test of new mode, the
// order of the checks, and how rows become rules.
#include <gtest/gtest.h>

#include "platform/fs.h"
#include "stores/config_db.h"
#include "stores/profile_db.h"
#include "support/test_support.h"
#include "ui/qt/profile_validation.h"

namespace vl {
namespace {

std::string tag_result(const std::string& typed) {
  std::string tag = text_limit(typed, 30);
  DialogMessage error;
  if (!profile_tag_check(&tag, &error)) return error.caption + "|" + error.text;
  return tag;
}

TEST(ProfileTag, FoldedAndChecked) {
  const std::string bad =
      "Unable to create profile|Profile tags may only consist of letters, numbers,\ndashes or "
      "underscores.";
  EXPECT_EQ(tag_result("My-Backup_2"), "my-backup_2");
  EXPECT_EQ(tag_result(""), "Unable to create profile|A profile tag must be entered!");
  EXPECT_EQ(tag_result("my backup"), bad);
  EXPECT_EQ(tag_result(" daily"), bad);
  EXPECT_EQ(tag_result("caf\xc3\xa9"), bad) << "a letter outside ASCII";
  EXPECT_EQ(tag_result("a.b"), bad);
  EXPECT_EQ(tag_result("x/../y"), bad) << "a tag names a directory: no separators";
  // Only the first 30 characters are read, so what follows them is neither kept nor tested.
  EXPECT_EQ(tag_result(std::string(30, 'A') + " and more"), std::string(30, 'a'));
}

class ProfileCollect : public test::StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    ASSERT_EQ(config_open(), 0);
    in_.tag = "Daily";
    in_.description = "Home folders";
    in_.login = "alice";
    in_.password = "secret";
    in_.server = "localhost";
    in_.port = "5420";
    in_.throttle = throttle_show(ThrottleValues());
  }
  void TearDown() override {
    config_free_profiles();
    config_close();
    StoreTest::TearDown();
  }
  std::string collect(EditorMode mode = EditorMode::create) {
    DialogMessage error;
    if (!profile_editor_collect(in_, mode, &rec_, &error)) return error.caption + "|" + error.text;
    return "ok";
  }
  void store(const std::string& tag, const std::string& server) {
    ProfileSettings p;
    p.tag = tag;
    p.server = server;
    p.port = 5420;
    p.login = "alice";
    p.password = "secret";
    ASSERT_EQ(profile_create(p), 0);
  }

  ProfileEditorInput in_;
  ProfileSettings rec_;
};

TEST_F(ProfileCollect, FillsTheRecord) {
  in_.port = "65535";
  in_.throttle.tx_checked = true;
  in_.throttle.tx_rate = "128";
  in_.throttle.priority_entry = 4;
  ASSERT_EQ(collect(), "ok");
  EXPECT_EQ(rec_.tag, "daily");
  EXPECT_EQ(rec_.description, "Home folders");
  EXPECT_EQ(rec_.port, 65535);
  EXPECT_EQ(rec_.tx_throttle.load(), 1);
  EXPECT_EQ(rec_.tx_rate.load(), 128);
  EXPECT_EQ(rec_.thread_priority.load(), 0u);
  // A port that cannot be connected to is refused, not stored as 0 or modulo 65536.
  for (const char* port : {"70000", "65536", "0", "", "http", "-1"}) {
    in_.port = port;
    EXPECT_EQ(collect(), "Port Error|The port must be a number from 1 to 65535.") << port;
  }
  in_.port = "1";
  ASSERT_EQ(collect(), "ok");
  EXPECT_EQ(rec_.port, 1);
}

TEST_F(ProfileCollect, TextsCutToTheirFields) {
  in_.description = std::string(300, 'd');
  in_.server = std::string(300, 's');
  in_.login = std::string(40, 'l');
  in_.password = std::string(40, 'p');
  ASSERT_EQ(collect(), "ok");
  EXPECT_EQ(rec_.description.size(), 254u);
  EXPECT_EQ(rec_.server.size(), 254u);
  EXPECT_EQ(rec_.login.size(), 31u);
  EXPECT_EQ(rec_.password.size(), 31u);
}

TEST_F(ProfileCollect, ExistingTagRefusedOnlyWhenItLoadsAndOnlyInNewMode) {
  const std::string exists = "Unable to create profile|A profile with that tag name already exists!";
  store("daily", "localhost");
  EXPECT_EQ(collect(EditorMode::create), exists) << "compared after folding: Daily is daily";
  EXPECT_EQ(collect(EditorMode::edit), "ok");
  EXPECT_TRUE(ui_.boxes().empty()) << "the test for a free tag is quiet";

  // A database that does not load (no server) does not make the tag taken.
  store("broken", "");
  in_.tag = "broken";
  EXPECT_EQ(collect(EditorMode::create), "ok");
  EXPECT_TRUE(ui_.boxes().empty());
}

TEST_F(ProfileCollect, TagCheckedBeforeEverythingElse) {
  in_.tag = "";
  in_.throttle.file_delay = "20000";
  EXPECT_EQ(collect(), "Unable to create profile|A profile tag must be entered!");
  in_.tag = "ok";
  EXPECT_EQ(collect(), "Delay Error|Maximum delay between files is 10000ms (10 seconds)");
}

TEST_F(ProfileCollect, ThrottlingChecksInOrder) {
  in_.throttle.file_delay = "10001";
  in_.throttle.block_delay = "10001";
  EXPECT_EQ(collect(), "Delay Error|Maximum delay between files is 10000ms (10 seconds)");
  in_.throttle.file_delay = "10000";
  EXPECT_EQ(collect(), "Delay Error|Maximum delay between blocks is 10000ms (10 seconds)");
  in_.throttle.block_delay = "0";
  in_.throttle.tx_checked = true;
  in_.throttle.tx_rate = "0";
  in_.throttle.rx_checked = true;
  in_.throttle.rx_rate = "";
  EXPECT_EQ(collect(), "TX Rate Error|TX throttle rate value must be at least 1");
  in_.throttle.tx_rate = "1";
  EXPECT_EQ(collect(), "RX Rate Error|RX throttle rate value must be at least 1");
  in_.throttle.rx_checked = false;
  EXPECT_EQ(collect(), "ok");
  EXPECT_EQ(rec_.rx_throttle.load(), 0);
  EXPECT_EQ(rec_.rx_rate.load(), 0) << "an unchecked zero rate is stored as it is";
}

TEST_F(ProfileCollect, RowsBecomeRulesInRowOrder) {
  rec_.include_rules = {{"/old"}};
  rec_.exclude_rules = {{"/old/x"}};
  std::string long_path = "/" + std::string(300, 'p');
  in_.rows = {{"Exclude", "*.tmp"},  {"Include", "/home"},     {"Exclude", "/home/cache"},
              {"Include", "/etc"},   {"include", "/odd-mode"}, {"Include", long_path}};
  ASSERT_EQ(collect(), "ok");
  ASSERT_EQ(rec_.include_rules.size(), 3u);
  EXPECT_EQ(rec_.include_rules[0].path, "/home");
  EXPECT_EQ(rec_.include_rules[1].path, "/etc");
  EXPECT_EQ(rec_.include_rules[2].path, long_path.substr(0, 254)) << "cut to 254 characters";
  ASSERT_EQ(rec_.exclude_rules.size(), 3u);
  EXPECT_EQ(rec_.exclude_rules[0].path, "*.tmp");
  EXPECT_EQ(rec_.exclude_rules[1].path, "/home/cache");
  EXPECT_EQ(rec_.exclude_rules[2].path, "/odd-mode") << "any mode but exactly Include excludes";

  // Shown again: all includes first, then all excludes.
  std::vector<RuleRow> rows = profile_rule_rows(rec_);
  ASSERT_EQ(rows.size(), 6u);
  EXPECT_EQ(rows[0].mode, "Include");
  EXPECT_EQ(rows[0].path, "/home");
  EXPECT_EQ(rows[3].mode, "Exclude");
  EXPECT_EQ(rows[3].path, "*.tmp");
}

TEST_F(ProfileCollect, RulesUntouchedWhenACheckFails) {
  rec_.include_rules = {{"/kept"}};
  in_.rows = {{"Include", "/new"}};
  in_.throttle.block_delay = "-1";
  EXPECT_NE(collect(), "ok");
  ASSERT_EQ(rec_.include_rules.size(), 1u);
  EXPECT_EQ(rec_.include_rules[0].path, "/kept");
}

TEST(ProfileDefaults, NewProfile) {
  auto p = profile_new_defaults();
  EXPECT_EQ(p->server, kDefaultServerHost);
  EXPECT_FALSE(p->server.empty());
  EXPECT_EQ(p->port, 5420);
  EXPECT_EQ(p->thread_priority.load(), 1u);
  EXPECT_EQ(p->tx_throttle.load(), 0);
  EXPECT_EQ(p->tx_rate.load(), 50);
  EXPECT_EQ(p->tx_rate_unit.load(), 1u);
  EXPECT_EQ(p->rx_rate.load(), 50);
  EXPECT_EQ(p->rx_rate_unit.load(), 1u);
  EXPECT_TRUE(p->tag.empty());
  EXPECT_TRUE(p->login.empty());
  EXPECT_TRUE(p->include_rules.empty());
}

TEST(ProfileRowEntry, FoundByExactTag) {
  profile_list.clear();
  for (const char* tag : {"daily", "Daily", "weekly"}) {
    auto e = std::make_unique<ProfileListEntry>();
    e->tag = tag;
    profile_list.push_back(std::move(e));
  }
  EXPECT_EQ(profile_entry_of_row("Daily"), profile_list[1].get());
  EXPECT_EQ(profile_entry_of_row("weekly"), profile_list[2].get());
  EXPECT_EQ(profile_entry_of_row("WEEKLY"), nullptr);
  EXPECT_EQ(profile_entry_of_row(""), nullptr);
  profile_list.clear();
}

}  // namespace
}  // namespace vl
