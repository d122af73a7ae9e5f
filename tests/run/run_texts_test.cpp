// Texts of a run fixed to the byte: the statistics block, the log path, the Start Time text.
#include "run/run_texts.h"

#include <gtest/gtest.h>

#include "platform/dirs.h"
#include "support/test_support.h"

namespace vl {
namespace {

using test::StoreTest;

class RunTexts : public StoreTest {};

TEST_F(RunTexts, CompletionBlockPrintsCountersInFull) {
  RunStats s;
  s.directories = 2;
  s.files = 3;
  s.bytes_total = 5000000000ULL;
  s.bytes_stored = 4294967296ULL;
  s.segs = 7;
  s.files_scanned = 1;
  std::string block = completion_block(s, 30);
  EXPECT_EQ(block,
            "\nBackup completed!\n\nBackup Stats:\n----------------------------------------------\n"
            "Directories:    2\nSpecial Files:  0\nFiles:          3\n\n"
            "Bytes:          5000000000\nBytes Skipped:  0\nBytes Stored:   4294967296\n"
            "Bytes Compr'd:  0\n\nSegs:           7\nSegs Stored:    0\nSegs Duped:     0\n\n"
            "Files Scanned:  1\nFiles Skipped:  0\nWarnings:       0\nErrors:         0\n\n"
            "Backup completed in 0.5 minutes.\n\n");
  EXPECT_NE(completion_block(s, 2).find("Backup completed in 0.0 minutes.\n"), std::string::npos);
}

TEST_F(RunTexts, LogPathAndStartTime) {
  data_dir_set("/var/lib/vl");
  EXPECT_EQ(run_log_path("daily", 42), "/var/lib/vl/Profiles/daily/0000002a.log");
  std::string t = start_time_text(0);
  EXPECT_EQ(t.size(), 24u);
  EXPECT_EQ(t.find('\n'), std::string::npos);
}

TEST(LogName, ControlCharactersAreShownNotWritten) {
  EXPECT_EQ(log_name("/home/a b/\xc3\xbc.txt"), "/home/a b/\xc3\xbc.txt") << "UTF-8 and blanks stay";
  EXPECT_EQ(log_name("a\nWarning: x"), "a\\x0AWarning: x") << "no forged line";
  EXPECT_EQ(log_name("\x1b[31m\t\r"), "\\x1B[31m\\x09\\x0D") << "no terminal control";
  EXPECT_EQ(log_name("\x01\x1f\x20\x7e\x7f"), "\\x01\\x1F \x7e\\x7F") << "the edges of the range";
  EXPECT_EQ(log_name("a\\x41"), "a\\x41") << "a backslash stays";
  EXPECT_EQ(log_name("\xc2\x9b" "2J\xc2\xa0\xc2\x80"), "\\xC2\\x9B2J\xc2\xa0\\xC2\\x80") << "C1 in UTF-8";
  EXPECT_EQ(log_name("\x9b" "1m\xe9\xc3"), "\\x9B1m\xe9\xc3") << "a lone 0x9B is escaped, others stay";
  EXPECT_EQ(log_name("\xe2\x82\xac\xf0\x9f\x98\x80"), "\xe2\x82\xac\xf0\x9f\x98\x80") << "continuation bytes stay";
}

}  // namespace
}  // namespace vl
