// The end-to-end set-up: an installation (ca.crt), a data directory, a settings file, a profile
// written with the client's own store code, the real vornlake binary run against the real
// reference server, and the server's restore and verify as the proof.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
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

  // Writes the profile `tag` (server localhost:port, alice/secret) with the given rules; tweak
  // (when given) changes the record before it is written.
  void profile(const std::string& tag, int port, const std::vector<std::string>& includes,
               const std::vector<std::string>& excludes = {}, int block_delay_ms = 0,
               const std::function<void(ProfileSettings&)>& tweak = nullptr);

  // Environment for the client: the settings file, the console front-end, the fast clock, no
  // session bus.
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

// n seeded pseudo-random bytes.
std::string random_bytes(size_t n, unsigned seed);

// Whether the run log holds `line`; the log line of an item (the one that begins with path + " : ").
bool has_line(const RunResult& r, const std::string& line);
std::string line_of(const RunResult& r, const std::string& path);

// The first column of the first row of sql in the database at db_path (read only), -1 when none.
int64_t query_int(const std::string& db_path, const std::string& sql);

// The catalog file of run `id` of profile `tag`.
std::string catalog_file(const Installation& inst, uint32_t id, const std::string& tag = "daily");

// Client messages of type `kind` (4 hexadecimal digits) in the trace from line `from` on.
size_t count_trace(const std::vector<std::string>& trace, size_t from, const std::string& kind);

// env with one more "NAME=value" entry.
std::vector<std::string> with(std::vector<std::string> env, const std::string& extra);

// Waits (real time, at most max_ms) until the file holds text.
bool wait_for_text(const std::string& file, const std::string& text, int max_ms);

// A client run (/run:daily) started without waiting, never left behind: killed when the test
// leaves before it ended. Standard error goes to err, standard output to err + ".out".
struct ClientRun {
  ClientRun(const Installation& inst, const std::string& name);
  ~ClientRun();
  ClientRun(const ClientRun&) = delete;
  ClientRun& operator=(const ClientRun&) = delete;
  // The exit status once the run has ended, -1 when it has not within max_ms.
  int wait(int max_ms = 120000);
  std::string err;
  pid_t pid;
};

}  // namespace vl::test
