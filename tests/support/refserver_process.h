// Starting the reference server (build/bin/vornlake-refserver) from a test, and the throw-away
// certificates it serves with.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace vl::test {

// Makes the certificates once per test process (scripts/make-certs in a temp dir removed at exit)
// and returns that dir: ca.crt, server.crt/key for localhost and 127.0.0.1, and other-ca.crt,
// other-server.crt/key from an unrelated CA. Throws when they cannot be made.
std::string test_certs_dir();

// A running reference server for the duration of a test.
class RefServer {
 public:
  // Starts `vornlake-refserver serve` on 127.0.0.1 with a fresh store (or `store` when given), a
  // trace file, and the extra arguments `args` (faults, accounts, profiles); the account
  // "alice:secret" and the profile "daily:7" are added unless `args` names accounts/profiles, and
  // "--port 0" unless it names a port. other_ca: serve the certificate of the unrelated CA.
  // Waits for the "listening" line; throws (with the server's stderr) when it does not come
  // within 20 s.
  explicit RefServer(std::vector<std::string> args = {}, std::string store = "",
                     bool other_ca = false);
  // stop(); a server that did not exit with 0 or whose stderr shows a sanitizer report adds a
  // test failure.
  ~RefServer();
  RefServer(const RefServer&) = delete;
  RefServer& operator=(const RefServer&) = delete;

  int port() const { return port_; }
  const std::string& store() const { return store_; }
  const std::string& trace_path() const { return trace_path_; }
  // Lines of the trace file so far.
  std::vector<std::string> trace() const;
  // What the server has written to stderr so far (its notes on refused and dropped requests).
  std::string stderr_text() const;
  // Sends SIGTERM and waits (SIGKILL after 20 s). Idempotent. Returns the exit status (128 +
  // signal when killed by one), or the status of the earlier stop.
  int stop();
  bool running() const { return pid_ > 0; }
  // A crash: kill -9 now, or (timeout_ms > 0) wait up to timeout_ms for the server to kill itself
  // (--die-after) before that. Returns true when it died by SIGKILL, which the destructor then
  // accepts; a server still running when the wait ends is killed and the result is false.
  bool crash(int timeout_ms = 0);

 private:
  std::unique_ptr<TempDir> dir_;  // holds the fresh store, the trace and stderr
  std::string store_;
  std::string trace_path_;
  std::string stderr_path_;
  pid_t pid_ = -1;
  int out_fd_ = -1;
  int port_ = 0;
  int status_ = -1;
  bool crashed_ = false;
};

}  // namespace vl::test
