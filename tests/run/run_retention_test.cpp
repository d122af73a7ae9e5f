// Local retention: which of a profile's files go, which stay, and which are never touched.
#include "run/run_retention.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <algorithm>

#include "run/last_run.h"
#include "support/test_support.h"

namespace vl {
namespace {

using Names = std::vector<std::string>;

bool exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

Names sorted(Names v) {
  std::sort(v.begin(), v.end());
  return v;
}

TEST(RunRetention, TheNewestRunsStay) {
  // Runs 1..4 by age (4 newest); run 5 is in progress. A run is as new as its newest file.
  const std::vector<FolderFile> files = {
      {"00000001.cat", 100}, {"00000001.log", 110},   {"00000002.cat", 200},
      {"00000002.log", 210}, {"00000002.cat.z", 205}, {"00000003.log", 300},
      {"00000004.cat", 400}, {"00000004.log", 90},    {"00000005.cat", 50},
      {"00000005.log", 60},  {"00000003.cat-journal", 301},
      // Never a run's: another profile's database, names near a run's, other digits and cases.
      {"daily.cfg", 1},      {"run.lock", 1},         {"0000001.log", 1},   {"000000001.log", 1},
      {"0000000A.log", 1},   {"00000001.log.bak", 1}, {"00000001.txt", 1},  {"0000000g.cat", 1},
      {"00000001.cat-wal", 1}};
  const struct {
    int keep;
    Names doomed;
  } cases[] = {
      {0, {}},  // keep every run
      {1, {"00000001.cat", "00000001.log", "00000002.cat", "00000002.cat.z", "00000002.log",
           "00000003.cat-journal", "00000003.log"}},
      {2, {"00000001.cat", "00000001.log", "00000002.cat", "00000002.cat.z", "00000002.log"}},
      {3, {"00000001.cat", "00000001.log"}},
      {4, {}},
      {10, {}},
  };
  for (const auto& c : cases)
    EXPECT_EQ(sorted(retention_doomed(files, c.keep, 5)), c.doomed) << "keep " << c.keep;
  // Same times: the higher catalog id is the newer run.
  EXPECT_EQ(retention_doomed({{"0000000a.log", 7}, {"0000000b.log", 7}}, 1, 0),
            Names{"0000000a.log"});
}

TEST(RunRetention, AppliedToAFolderNeverReachesBeyondIt) {
  test::TempDir dir;
  const std::string profile = dir / "daily", outside = dir / "outside";
  ASSERT_EQ(::mkdir(profile.c_str(), 0700), 0);
  ASSERT_EQ(::mkdir(outside.c_str(), 0700), 0);
  test::write_file(outside + "/00000001.log", "theirs");
  int age = 0;
  auto put = [&](const std::string& name) {
    test::write_file(profile + "/" + name, "Backup Set:  daily\n");
    const time_t t = 1796678040 + 60 * age++;
    struct utimbuf times = {t, t};
    ::utime((profile + "/" + name).c_str(), &times);
  };
  for (const char* n : {"00000001.cat", "00000001.log", "00000002.cat", "00000002.log",
                        "00000003.cat", "00000003.log", "daily.cfg", "notes.txt"})
    put(n);
  // Planted at a run's names: a link out of the folder and a folder are never removed, nor
  // followed.
  ASSERT_EQ(::symlink((outside + "/00000001.log").c_str(), (profile + "/00000000.log").c_str()), 0);
  ASSERT_EQ(::mkdir((profile + "/00000000.cat").c_str(), 0700), 0);
  const std::string before = last_run_text(profile);

  keep_runs_set(2);
  EXPECT_EQ(retention_apply(profile, 0x7), 1);
  keep_runs_set(10);
  for (const char* gone : {"00000001.cat", "00000001.log"})
    EXPECT_FALSE(exists(profile + "/" + gone)) << gone;
  for (const char* kept : {"00000002.cat", "00000002.log", "00000003.cat", "00000003.log",
                           "daily.cfg", "notes.txt", "00000000.cat"})
    EXPECT_TRUE(exists(profile + "/" + kept)) << kept;
  EXPECT_TRUE(exists(profile + "/00000000.log"));
  EXPECT_EQ(test::read_file(outside + "/00000001.log"), "theirs");
  EXPECT_EQ(last_run_text(profile), before) << "Last Run reads the newest log, which stays";

  // A profile folder that is itself a link is left alone.
  const std::string linked = dir / "linked";
  ASSERT_EQ(::symlink(profile.c_str(), linked.c_str()), 0);
  keep_runs_set(1);
  EXPECT_EQ(retention_apply(linked, 0), 0);
  keep_runs_set(10);
  EXPECT_TRUE(exists(profile + "/00000002.log"));
}

}  // namespace
}  // namespace vl
