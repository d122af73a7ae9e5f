// The Last Run text: how a run ended, read from its log, and which log is the newest.
#include "run/last_run.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>

#include <cstdlib>
#include <ctime>

#include "run/run_texts.h"
#include "support/test_support.h"

namespace vl {
namespace {

const char kHeader[] =
    "Corvantis Network Backup Log\nBackup Set:  daily\nDescription: Backup Stats:\n\n"
    "Commencing backup..\n\n/home/a : 0 : Dir ()\n";

std::string stats(uint32_t warnings, uint32_t errors) {
  RunStats s;
  s.warnings = warnings;
  s.errors = errors;
  return completion_block(s, 60);
}

TEST(RunLogEnding, FromTheLogText) {
  const std::string h = kHeader;
  struct Case {
    const char* name;
    std::string log;
    const char* ending;
  } cases[] = {
      {"clean", h + stats(0, 0), "completed"},
      {"one warning", h + stats(1, 0), "1 warning"},
      {"warnings", h + stats(3, 0), "3 warnings"},
      {"errors win over warnings", h + stats(3, 2), "2 errors"},
      {"one error", h + stats(0, 1), "1 error"},
      {"catalog not written",
       h + "Error: The catalog could not be written completely; it was not stored on the server.\n" +
           stats(0, 0),
       "1 error"},
      {"cancelled", h + "\n\nBackup cancelled!\n", "cancelled"},
      {"ended before its statistics", h, "failed"},
      {"empty log", "", "failed"},
      {"statistics cut short", h + stats(2, 0).substr(0, 60), "failed"},
      // Only whole lines count: an item named like a statistics line is not one.
      {"item lines", h + "/x/Backup cancelled! : 3 : File (A)\nWarnings:       9\n", "failed"},
  };
  for (const Case& c : cases) EXPECT_EQ(run_log_ending(c.log), c.ending) << c.name;
}

class LastRun : public test::StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    const char* tz = std::getenv("TZ");
    if (tz) saved_tz_ = tz;
    had_tz_ = tz != nullptr;
    ::setenv("TZ", "UTC", 1);
    ::tzset();
  }
  void TearDown() override {
    if (had_tz_)
      ::setenv("TZ", saved_tz_.c_str(), 1);
    else
      ::unsetenv("TZ");
    ::tzset();
    StoreTest::TearDown();
  }
  void log(const std::string& name, const std::string& text, time_t t_end) {
    test::write_file(dir_ / name, text);
    struct utimbuf times = {t_end, t_end};
    ASSERT_EQ(::utime((dir_ / name).c_str(), &times), 0);
  }
  bool had_tz_ = false;
  std::string saved_tz_;
};

TEST_F(LastRun, NewestLogByTheTimeItsRunEnded) {
  EXPECT_EQ(last_run_text(dir_ / "missing"), "");
  EXPECT_EQ(last_run_text(dir_.path()), "") << "no log yet";

  const time_t t = 1796678040;  // 2026-12-07 21:14 UTC
  // The newest by time, not by name: catalog ids come from the server in any order.
  log("ffffffff.log", std::string(kHeader) + stats(0, 0), t - 86400);
  log("0000002a.log", std::string(kHeader) + stats(3, 0), t);
  log("00000001.log", std::string(kHeader), t - 3600);
  // Other files of the folder are not run logs.
  log("daily.cfg", "", t + 60);
  log("0000002b.cat", "", t + 60);
  log("notes.log", "", t + 60);
  EXPECT_EQ(last_run_text(dir_.path()), "2026-12-07 21:14 \xC2\xB7 3 warnings");

  // A long log is judged by its end.
  std::string big(kHeader);
  while (big.size() < 300000) big += "/home/a/some/file : 1234 : File (A)\n";
  log("0000002c.log", big + "\n\nBackup cancelled!\n", t + 120);
  EXPECT_EQ(last_run_text(dir_.path()), "2026-12-07 21:16 \xC2\xB7 cancelled");
}

}  // namespace
}  // namespace vl
