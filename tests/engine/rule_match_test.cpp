// The exclude-rule matcher: wildcard semantics and prefix matching of rules.
#include <gtest/gtest.h>

#include "engine/rule_match.h"

namespace vl {
namespace {

struct WildcardCase {
  const char* name;
  const char* text;
  const char* pattern;
  int expected;
};

TEST(WildcardMatch, Table) {
  const WildcardCase cases[] = {
      {"question mark matches one character", "abc", "a?c", 1},
      {"text runs out before the pattern", "ab", "abc", -1},
      {"differing character", "abd", "abc", 0},
      {"exact", "abc", "abc", 1},
      {"empty text and pattern", "", "", 1},
      {"text left over", "abcd", "abc", 0},
      {"star matches nothing", "abc", "abc*", 1},
      {"star matches a run", "a/b/c.tmp", "*.tmp", 1},
      {"leading star, no match", "a/b/c.txt", "*.tmp", -1},
      {"star in the middle", "/data/x/y.doc", "/data/*.doc", 1},
      {"consecutive stars", "abc", "a**c", 1},
      {"question mark needs a character", "", "?", -1},
      {"empty text against a star", "", "*", 1},
      {"backslash is an ordinary character", "a\\b", "a\\b", 1},
      {"no escape: star stays a wildcard", "a*b", "a*b", 1},
  };
  for (const auto& c : cases) EXPECT_EQ(wildcard_match(c.text, c.pattern), c.expected) << c.name;
}

TEST(RuleMatch, RulesArePrefixPatternsIgnoringCase) {
  EXPECT_EQ(rule_match("/data/pagefile.sys", "/DATA/PageFile.sys"), 1);
  EXPECT_EQ(rule_match("/data/pagefile.sys.old", "/data/pagefile.sys"), 1);
  EXPECT_EQ(rule_match("/data/pagefile.sysdir/x", "/data/pagefile.sys"), 1);
  EXPECT_EQ(rule_match("/data/a.tmpdir", "*.tmp"), 1);
  EXPECT_EQ(rule_match("/data/a.txt", "*.tmp"), 0);
  EXPECT_EQ(rule_match("/other/pagefile.sys", "/data/pagefile.sys"), 0);
}

TEST(RuleMatch, EmptyPathOrRuleNeverMatches) {
  EXPECT_EQ(rule_match("", "*"), 0);
  EXPECT_EQ(rule_match("/data", ""), 0);
}

TEST(RuleMatch, DirectoryRuleMatchesTheDirectoryPartOnly) {
  // A directory rule is tested against "<dir>/": the directory itself (tested with its parent's
  // part) does not match, its contents do.
  EXPECT_EQ(rule_match("/srv/", "/srv/cache/"), 0);
  EXPECT_EQ(rule_match("/srv/cache/", "/srv/cache/"), 1);
  EXPECT_EQ(rule_match("/srv/cache/sub/", "/srv/Cache/"), 1);
}

TEST(RuleMatch, LongPathsAreMatchedWhole) {
  std::string deep = "/d";
  for (int i = 0; i < 200; ++i) deep += "/segment";
  EXPECT_EQ(rule_match(deep + "/x.tmp", "*.tmp"), 1);
  EXPECT_EQ(rule_match(deep + "/x.tmp", deep + "/x.tm?"), 1);
}

}  // namespace
}  // namespace vl
