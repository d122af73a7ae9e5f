// The Last Run text: how a run ended, read from its log, and which log is the newest.
#include "run/last_run.h"

#include <gtest/gtest.h>
#include <utime.h>

#include <cstdlib>
#include <ctime>

#include "platform/dirs.h"
#include "platform/fs.h"
#include "run/run_texts.h"
#include "support/test_support.h"

namespace vl {
namespace {

const std::string kHeader =
    "Corvantis Network Backup Log\nBackup Set:  daily\n\n/home/a : 0 : Dir ()\n";

std::string stats(uint32_t warnings, uint32_t errors) {
  RunStats s;
  s.warnings = warnings;
  s.errors = errors;
  return kHeader + completion_block(s, 60);
}

TEST(LastRun, EndingFromTheLogAndTheNewestLog) {
  const std::string lost =
      "Error: The catalog could not be written completely; it was not stored on the server.\n";
  const std::pair<std::string, const char*> cases[] = {
      {stats(0, 0), "completed"},
      {stats(1, 0), "1 warning"},
      {stats(3, 2), "2 errors"},
      {stats(0, 1), "1 error"},
      {kHeader + lost + completion_block(RunStats(), 6), "1 error"},
      {kHeader + "\n\nBackup cancelled!\n", "cancelled"},
      {kHeader, "failed"},
      {stats(2, 0).substr(0, kHeader.size() + 60), "failed"},  // statistics cut short
      // Only whole lines count: items named like them are not.
      {kHeader + "/x/Backup cancelled! : 3 : File (A)\nWarnings:       9\n", "failed"},
  };
  for (const auto& [log, ending] : cases) EXPECT_EQ(run_log_ending(log), ending) << log;

  test::TempDir dir;
  EXPECT_EQ(last_run_text(dir / "missing"), "");
  EXPECT_EQ(last_run_text(dir.path()), "");
  ::setenv("TZ", "UTC", 1);
  ::tzset();
  const time_t t = 1796678040;  // 2026-12-07 21:14 UTC
  // The newest by time, not by name (catalog ids come in any order); other files are no logs.
  for (auto [name, text, t_end] : {std::tuple{"ffffffff.log", stats(0, 0), t - 60},
                                   std::tuple{"0000002a.log", stats(3, 0), t},
                                   std::tuple{"0000002b.cat", std::string(), t + 60},
                                   std::tuple{"notes.log", std::string(), t + 60}}) {
    test::write_file(dir / name, text);
    struct utimbuf times = {t_end, t_end};
    ::utime((dir / name).c_str(), &times);
  }
  EXPECT_EQ(last_run_text(dir.path()), "2026-12-07 21:14 \xC2\xB7 3 warnings");
  // A long log is judged by its end.
  std::string big = kHeader;
  while (big.size() < 300000) big += "/home/a/some/file : 1234 : File (A)\n";
  test::write_file(dir / "0000002c.log", big + "\n\nBackup cancelled!\n");
  EXPECT_NE(last_run_text(dir.path()).find("cancelled"), std::string::npos);
  // The record of each run's end comes first, also for runs that ended before their log existed;
  // a log newer than the record (a run of an older version) still tells.
  const struct {
    RunOutcome outcome;
    bool login_refused, server_lost;
    uint32_t warnings, errors;
    const char* word;
  } ends[] = {{kRunFailed, false, true, 0, 0, "could not connect"},
              {kRunFailed, true, true, 0, 0, "login failed"},
              {kRunFailed, false, false, 0, 0, "failed"},
              {kRunCancelled, true, false, 0, 0, "cancelled"},
              {kRunCompleted, false, false, 0, 0, "completed"},
              {kRunCompleted, false, false, 12, 0, "12 warnings"},
              {kRunCompleted, false, false, 1, 1, "1 error"},
              {kRunCatalogFailed, false, false, 0, 0, "1 error"}};
  for (const auto& e : ends)
    EXPECT_EQ(run_end_word(e.outcome, e.login_refused, e.server_lost, e.warnings, e.errors), e.word);
  data_dir_set(dir.path());
  const std::string profile = profile_dir("daily");
  ASSERT_TRUE(dir_create_all_private(profile));
  test::write_file(profile + "/0000002a.log", stats(0, 0));
  struct utimbuf times = {t - 60, t - 60};
  ::utime((profile + "/0000002a.log").c_str(), &times);
  RunContext ctx;
  ctx.entry_tag = "daily";
  ctx.outcome = kRunFailed;
  ctx.abort = kAbortServerLost;
  ctx.t_end = static_cast<int32_t>(t);
  ASSERT_EQ(run_end_record(ctx), 0);
  EXPECT_EQ(last_run_text(profile), "2026-12-07 21:14 \xC2\xB7 could not connect");
  FileStat st;
  ASSERT_TRUE(file_stat(profile + "/" + kLastRunFile, &st));
  EXPECT_EQ(st.mode & 0777, 0600u);
  times = {t + 60, t + 60};
  ::utime((profile + "/0000002a.log").c_str(), &times);
  EXPECT_EQ(last_run_text(profile), "2026-12-07 21:15 \xC2\xB7 completed");
  ::unsetenv("TZ");
  ::tzset();
}

}  // namespace
}  // namespace vl
