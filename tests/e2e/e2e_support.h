// The end-to-end set-up: an installation (ca.crt), a data directory, a settings file, a profile
// written with the client's own store code, the real vornlake binary run against the real
// reference server, and the server's restore and verify as the proof.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "run/profile_records.h"
#include "support/refserver_process.h"
#include "support/test_support.h"

namespace vl::test {

struct RunResult {
  int status = -1;
  std::string err;
  std::string out;
  uint32_t catalog_id = 0;
  std::string log;  // the run log's text
  std::vector<std::string> log_lines;
};

class Installation {
 public:
  Installation();
  const std::string& root() const { return dir_.path(); }
  std::string data() const { return dir_ / "data"; }
  std::string install() const { return dir_ / "install"; }
  std::string settings() const { return dir_ / "online-backup.conf"; }
  std::string source() const { return dir_ / "source"; }

  // Writes the profile `tag` (server localhost:port, alice/secret) with the given rules.
  void profile(const std::string& tag, int port, const std::vector<std::string>& includes,
               const std::vector<std::string>& excludes = {}, int block_delay_ms = 0);

  // Environment for the client: the settings file, the console front-end, the fast clock.
  std::vector<std::string> env() const;

  // Runs `vornlake <args>` (with extra "NAME=value" environment entries, and at most
  // `max_open_files` descriptors when non-zero) and reads the newest run log of `tag`.
  RunResult run(const std::vector<std::string>& args, const std::string& tag = "daily",
                const std::vector<std::string>& extra_env = {}, int max_open_files = 0);

  // restore + verify of catalog `id` against the source tree; returns "" when both succeed, else
  // their output. `unrestorable` (relative to the source) names a subtree the reference server's
  // restore cannot write, its paths being too long for it: restore problems there are accepted,
  // and it is left out of the comparison.
  std::string restore_and_verify(const RefServer& server, uint32_t id,
                                 const std::vector<std::string>& ignore = {},
                                 const std::string& unrestorable = "");

 private:
  TempDir dir_;
  int restores_ = 0;
};

// Sets a file's modification and access time `age` seconds into the past.
void age_file(const std::string& path, int age_seconds);

}  // namespace vl::test
