// Helpers shared by the test suites: temporary directories, whole-file reads and writes, running
// a child process, and a fixture that installs the recording UI back-end and a data directory.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <string>
#include <vector>

#include "support/recording_port.h"

namespace vl::test {

// A fresh directory below $TMPDIR (or /tmp), removed with everything in it on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

void remove_tree(const std::string& path);
void write_file(const std::string& path, const std::string& content);
std::string read_file(const std::string& path);
// Waits, polling every millisecond for at most timeout_ms, until path exists: the reference
// server answers an upload before its writer puts the segment in place. True when it did.
bool file_appears(const std::string& path, int timeout_ms = 10000);
std::vector<std::string> read_lines(const std::string& path);

// Path of a built executable (build/bin/<name>).
std::string bin_path(const std::string& name);
// Path below the source tree.
std::string source_path(const std::string& relative);

// Runs argv[0] with argv (no shell), with extra "NAME=value" environment entries, waits for it.
// Captures stdout and stderr. Returns the exit status (or 128 + signal).
struct ProcessResult {
  int status = -1;
  std::string out;
  std::string err;
};
ProcessResult run_process(const std::vector<std::string>& argv,
                          const std::vector<std::string>& env = {}, const std::string& stdin_text = "");

// Runs argv[0] with argv (no shell, environment as for run_process) on a new pseudo-terminal,
// as a person at a terminal would: once the terminal shows `prompt`, `typed` is typed. Returns
// everything the terminal showed (the program's output and whatever the terminal echoed) in
// out, and the exit status; a program still running after 10 seconds is killed (status -1).
ProcessResult run_at_terminal(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                              const std::string& prompt, const std::string& typed);

// The process environment with "NAME=value" entries set (replacing earlier values of NAME).
std::vector<std::string> environment_with(const std::vector<std::string>& extra);

// Starts argv[0] without waiting (stdout and stderr to files, extra environment as for
// run_process); returns its pid.
pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env,
            const std::string& out_file, const std::string& err_file);
// Waits for pid; returns its exit status (128 + signal when killed).
int wait_exit(pid_t pid);

// Fixture: a temporary data directory set as the data directory, the recording UI back-end,
// and the fast clock. Restores the silent back-end and the real clock afterwards.
class StoreTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  TempDir dir_;
  RecordingBackend ui_;
};

}  // namespace vl::test
