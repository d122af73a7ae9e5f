// The reference server killed (kill -9) at points of a run and started again on the same store and
// port while the client retries: the run either ends as completed with every file restorable, or
// as failed with the next run completing it. Never completed with a file the server lost.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <thread>

#include "e2e_support.h"

namespace vl::test {
namespace {

TEST(EndToEndCrash, ServerKilledAndRestartedNeverLeavesACompletedRunUnrestorable) {
  struct Case {
    const char* what;
    std::vector<std::string> server;  // the first server's options: where it dies
  } cases[] = {
      {"in the middle of a segment's data", {"--die-after", "8012:300"}},
      {"at a link, the answered uploads still queued", {"--die-after", "801E:12", "--lazy-writer"}},
      {"at a link", {"--die-after", "801E:30"}},
      {"at the finalize, the answered uploads still queued", {"--die-after", "0223:1", "--lazy-writer"}},
      {"at the finalize", {"--die-after", "0223:1"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Installation inst;
    // Settled files: the next run takes their digests from the client's cache.
    for (int i = 0; i < 43; ++i) {
      const std::string path = inst.source() + (i < 3 ? "/big" : "/small") + std::to_string(i);
      write_file(path, i < 3 ? random_bytes(5 * 524288 + 7, 40 + i) : "small " + std::to_string(i));
      age_file(path, 3600);
    }
    TempDir store;
    RefServer first(c.server, store.path());  // the account and profile of the installation
    inst.profile("daily", first.port(), {inst.source()});
    ClientRun run(inst, "run1");
    ASSERT_TRUE(first.crash(60000)) << "not killed where asked:\n" << first.stderr_text() << read_file(run.err);
    RefServer second({"--port", std::to_string(first.port())}, store.path());
    const int status = run.wait();
    if (status == 0) {
      const std::string restored = inst.restore_and_verify(second, 1);
      EXPECT_EQ(restored, "") << "completed, but not restorable; the server: " << second.stderr_text();
      if (restored.empty()) continue;
    } else {
      ASSERT_EQ(status, 3) << read_file(run.err);
    }
    ClientRun next(inst, "run2");
    const int next_status = next.wait();
    EXPECT_EQ(next_status, 0) << "the next run: " << read_file(inst.data() + "/Profiles/daily/00000002.log")
                              << "the server: " << second.stderr_text();
    if (next_status == 0) {
      EXPECT_EQ(inst.restore_and_verify(second, 2), "");
    }
  }
}

}  // namespace
}  // namespace vl::test
