// The rule editor's checks without widgets, and which folders the folder chooser returns.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/test_support.h"
#include "ui/qt/rule_validation.h"

namespace vl {
namespace {

const std::string kEmpty =
    "Can't Add Include/Exclude|Error - A filespec must be entered.  If you don't want to\nadd a "
    "filespec, use the Cancel button instead.";
const std::string kDuplicate =
    "Can't Add Include/Exclude|Error - An existing include/exclude rule already has this\npath or "
    "filename listed as an include or exclude.";
const std::string kWildcard =
    "Can't Add Include/Exclude|Error - Wildcards (* and ?) are supported only in exclude "
    "rules.\nInclude rules do not yet support wildcards.";

TEST(RuleCompare, FoldsOnlyAsciiLetters) {
  EXPECT_EQ(text_compare_nocase("/Home/Data", "/home/data"), 0);
  EXPECT_EQ(text_compare_nocase("", ""), 0);
  EXPECT_LT(text_compare_nocase("/abc", "/abd"), 0);
  EXPECT_GT(text_compare_nocase("/abc/", "/abc"), 0);
  EXPECT_LT(text_compare_nocase("/abc", "/abc/"), 0) << "the terminator takes part";
  EXPECT_NE(text_compare_nocase("/\xc3\x84", "/\xc3\xa4"), 0) << "no folding outside ASCII";
  EXPECT_NE(text_compare_nocase("[", "{"), 0) << "only A to Z are folded";
}

std::string check(const std::string& typed, bool include, const std::vector<RuleRow>& rows,
                  int changed_row = -1, std::string* path = nullptr) {
  std::string out;
  DialogMessage error;
  if (!rule_check(typed, include, rows, changed_row, path ? path : &out, &error))
    return error.caption + "|" + error.text;
  return "ok";
}

TEST(RuleCheck, EmptyRefusedBlanksAccepted) {
  EXPECT_EQ(check("", true, {}), kEmpty);
  EXPECT_EQ(check("", false, {}), kEmpty);
  EXPECT_EQ(check("   ", true, {}), "ok") << "blanks are not empty";
}

TEST(RuleCheck, DuplicatesAcrossModesIgnoringCase) {
  std::vector<RuleRow> rows = {{"Include", "/home/data"}, {"Exclude", "/home/Data/Cache"}};
  EXPECT_EQ(check("/HOME/DATA", true, rows), kDuplicate);
  EXPECT_EQ(check("/home/data", false, rows), kDuplicate) << "a path cannot be both";
  EXPECT_EQ(check("/home/data/cache", true, rows), kDuplicate);
  EXPECT_EQ(check("/home/data/", true, rows), "ok");
  // Changing a row without altering its path: the row itself is skipped.
  EXPECT_EQ(check("/home/data", true, rows, 0), "ok");
  EXPECT_EQ(check("/home/data", false, rows, 1), kDuplicate) << "only the changed row is skipped";
}

TEST(RuleCheck, RowsComparedOnTheirFirst254Characters) {
  std::string long_path = "/" + std::string(299, 'x');
  std::vector<RuleRow> rows = {{"Include", long_path}};
  EXPECT_EQ(check(long_path.substr(0, 254), true, rows), kDuplicate);
  std::string path;
  EXPECT_EQ(check(long_path, false, {}, -1, &path), "ok");
  EXPECT_EQ(path.size(), 259u) << "the path box is read up to 259 characters";
}

TEST(RuleCheck, WildcardsOnlyInExcludes) {
  EXPECT_EQ(check("/home/*.tmp", true, {}), kWildcard);
  EXPECT_EQ(check("/home/file?", true, {}), kWildcard);
  EXPECT_EQ(check("/home/*.tmp", false, {}), "ok");
  EXPECT_EQ(check("/home/file?", false, {}), "ok");
  std::vector<RuleRow> rows = {{"Exclude", "*.TMP"}};
  EXPECT_EQ(check("*.tmp", true, rows), kDuplicate) << "the duplicate test comes first";
}

TEST(FolderChoice, OnlyExistingFoldersThatAreNotLinks) {
  test::TempDir dir;
  ::mkdir((dir / "folder").c_str(), 0700);
  test::write_file(dir / "file", "x");
  ASSERT_EQ(::symlink((dir / "folder").c_str(), (dir / "link").c_str()), 0);
  ::mkdir((dir / "gone").c_str(), 0700);
  ::rmdir((dir / "gone").c_str());
  EXPECT_TRUE(folder_choice_acceptable(dir / "folder"));
  EXPECT_TRUE(folder_choice_acceptable("/"));
  EXPECT_FALSE(folder_choice_acceptable(dir / "file"));
  EXPECT_FALSE(folder_choice_acceptable(dir / "link"));
  EXPECT_FALSE(folder_choice_acceptable(dir / "gone"));
  EXPECT_FALSE(folder_choice_acceptable(""));

  // Where the chooser opens for the text of the path box.
  const std::string home = dir / "home";
  for (auto [typed, start] : {std::pair{std::string(), home}, {dir / "folder/", dir / "folder"},
                              {dir / "folder/not-yet/file.txt", dir / "folder"},
                              {dir / "link", dir.path()}, {std::string("/"), std::string("/")},
                              {std::string("*.tmp"), home}})
    EXPECT_EQ(folder_chooser_start(typed, home), start) << typed;
}

}  // namespace
}  // namespace vl
