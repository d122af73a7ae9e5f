// Honest endings, end to end: whatever leaves data out of the backup shows in the run log, the
// counters and the exit code, and the server's restore shows what it really holds.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <memory>
#include <filesystem>
#include <thread>

#include "e2e_support.h"
#include "platform/fs.h"

namespace vl::test {
namespace {

// Items that change under the reader or are swapped for something else between the walk and the
// read: each is warned about, left out of the cache, and the run ends with exit code 2.
TEST(EndToEndOutcomes, FilesThatChangeWhileReadAreWarnedAboutAndNeverCached) {
  Installation inst;
  const std::string s = inst.source();
  struct Case {
    const char* name;
    const char* hook;  // the test hook and its value ("%s" is the path)
  } cases[] = {
      {"grows.bin", "VORNLAKE_TEST_GROW_ON_READ=%s"},
      {"shrinks.bin", "VORNLAKE_TEST_SHRINK_ON_READ=%s"},
      {"rewritten.bin", "VORNLAKE_TEST_REWRITE_ON_READ=%s"},  // its modification time put back
      {"to-link.bin", "VORNLAKE_TEST_SWAP_ON_OPEN=%s=>/etc/hostname"},
      {"to-fifo.bin", "VORNLAKE_TEST_SWAP_ON_OPEN=%s=>fifo"},
  };
  std::vector<std::string> env = inst.env();
  std::string swaps;
  for (const Case& c : cases) {
    write_file(s + "/" + c.name, random_bytes(2 * 1048576 + 100, static_cast<unsigned>(c.name[0])));
    age_file(s + "/" + c.name, 3600);
    std::string hook = c.hook;
    hook.replace(hook.find("%s"), 2, s + "/" + c.name);
    if (hook.rfind("VORNLAKE_TEST_SWAP_ON_OPEN=", 0) == 0)
      swaps += (swaps.empty() ? "" : "\n") + hook.substr(hook.find('=') + 1);
    else
      env.push_back(hook);
  }
  env.push_back("VORNLAKE_TEST_SWAP_ON_OPEN=" + swaps);
  write_file(s + "/steady.txt", "steady\n");
  age_file(s + "/steady.txt", 3600);
  RefServer server({"--account", "alice:secret", "--profile", "daily:7"});
  inst.profile("daily", server.port(), {s});
  ProcessResult p = run_process({bin_path("vornlake"), "/run:daily"}, env);
  EXPECT_EQ(p.status, 2) << p.err;
  EXPECT_NE(p.err.find("Backup Completed!\n"), std::string::npos);
  EXPECT_NE(p.err.find("5 items could not be backed up; see the run log."), std::string::npos) << p.err;
  RunResult r;
  r.log_lines = read_lines(inst.data() + "/Profiles/daily/00000001.log");
  for (const Case& c : cases)
    EXPECT_TRUE(has_line(r, "Warning: File changed while being read: " + s + "/" + c.name)) << c.name;
  EXPECT_TRUE(has_line(r, "Warnings:       5"));
  // Nothing but the steady file reached the cache; every catalog row adds up to its segments.
  const std::string cache = inst.data() + "/md5cache.dat";
  EXPECT_EQ(query_int(cache, "select count(*) from filespec"), 1);
  EXPECT_EQ(query_int(catalog_file(inst, 1),
                      "select count(*) from filespec f where type=2 and size != (select "
                      "coalesce(sum(size), 0) from segs where filespec_id=f.id)"),
            0);
  // The restore holds every file as far as it was read: the grown file with the size the walk
  // saw, the shrunk one as it ended, the swapped ones without a byte (nothing was read through
  // them). Put the source in that shape and the server's restore must match it exactly.
  const std::string grown = read_file(s + "/grows.bin");
  write_file(s + "/grows.bin", grown.substr(0, 2 * 1048576 + 100));
  std::string rewritten = read_file(s + "/rewritten.bin");
  rewritten[0] = static_cast<char>(rewritten[0] ^ 0x20);  // as it was when its first block was read
  write_file(s + "/rewritten.bin", rewritten);
  for (const char* swapped : {"to-link.bin", "to-fifo.bin"}) {
    ::unlink((s + "/" + swapped).c_str());
    write_file(s + "/" + swapped, "");
  }
  EXPECT_EQ(inst.restore_and_verify(server, 1), "");
}

// The catalog and the server's answers: a run whose catalog or links are not whole never reads
// as completed, and no finalize goes out for a catalog that was not written whole.
TEST(EndToEndOutcomes, CatalogAndLinkFailuresEndAsFailures) {
  // A catalog that cannot be created: its path is taken by a folder.
  {
    Installation inst;
    write_file(inst.source() + "/a.txt", "a\n");
    RefServer server({"--account", "alice:secret", "--profile", "daily:7"});
    inst.profile("daily", server.port(), {inst.source()});
    dir_create_all_private(catalog_file(inst, 1));
    RunResult r = inst.run({"/run:daily"});
    EXPECT_EQ(r.status, 3) << r.err;
    EXPECT_NE(r.err.find("Backup Failure: Backup completed, but the catalog could not be stored on "
                         "the server!\n1 errors; see the run log."),
              std::string::npos)
        << r.err;
    EXPECT_TRUE(has_line(r, "Error: The catalog could not be written completely; it was not "
                            "stored on the server."));
    EXPECT_TRUE(has_line(r, "Errors:         1"));
    EXPECT_EQ(count_trace(server.trace(), 0, "0223"), 0u) << "no finalize";
  }
  // The packed catalog cannot be read back while it is sent (cut short here): no connection
  // would fare better, so the run ends at once as a failed catalog upload instead of reconnecting
  // and sending it again for ever.
  {
    Installation inst;
    write_file(inst.source() + "/a.txt", "a\n");
    RefServer server({"--account", "alice:secret", "--profile", "daily:7", "--delay-ms", "300"});
    inst.profile("daily", server.port(), {inst.source()});
    ClientRun run(inst, "unreadable");
    ASSERT_TRUE(wait_for_text(run.err + ".out", "Catalog", 60000)) << read_file(run.err);
    ASSERT_EQ(::truncate((catalog_file(inst, 1) + ".z").c_str(), 0), 0);
    EXPECT_EQ(run.wait(30000), 3) << read_file(run.err);
    EXPECT_NE(read_file(run.err + ".out").find("Failed to read catalog!"), std::string::npos);
    EXPECT_NE(read_file(run.err).find("the catalog could not be stored on the server!"),
              std::string::npos)
        << read_file(run.err);
    EXPECT_EQ(count_trace(server.trace(), 0, "0223"), 0u) << "no finalize";
    // Nor anything else after the catalog's upload header: the server would take it for data.
    const std::vector<std::string> trace = server.trace();
    size_t header = 0;
    for (size_t i = 0; i < trace.size(); ++i)
      if (trace[i].find(" C 8010 ") != std::string::npos) header = i;
    EXPECT_EQ(count_trace(trace, header, "000f"), 0u) << "no goodbye amid the upload's data";
  }
  // Every link refused: each block is an error, the file is not cached.
  {
    Installation inst;
    const std::string s = inst.source();
    write_file(s + "/b.bin", random_bytes(1048576 + 10, 3));
    RefServer server({"--account", "alice:secret", "--profile", "daily:7", "--link-refuse-all"});
    inst.profile("daily", server.port(), {s});
    RunResult r = inst.run({"/run:daily"});
    EXPECT_EQ(r.status, 3) << r.err;
    EXPECT_EQ(std::count(r.log_lines.begin(), r.log_lines.end(),
                         "Error: The server refused to link a segment of " + s + "/b.bin"),
              2);
    EXPECT_EQ(query_int(inst.data() + "/md5cache.dat", "select count(*) from filespec"), 0);
  }
  // A refused login never fixes itself: the run ends after its one box instead of retrying.
  {
    Installation inst;
    RefServer server({"--account", "alice:secret", "--profile", "daily:7", "--login-refuse", "5"});
    inst.profile("daily", server.port(), {inst.source()});
    RunResult r = inst.run({"/run:daily"});
    EXPECT_EQ(r.status, 3) << r.err;
    const std::string box = "Backup Failure: Login failed!";
    EXPECT_NE(r.err.find(box), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find(box), r.err.rfind(box)) << "one box";
    EXPECT_EQ(count_trace(server.trace(), 0, "0008"), 1u) << "one login";
  }
  // The same on a reconnection before the backup proper: the login is named, not the profile.
  {
    Installation inst;
    auto first = std::make_unique<RefServer>(std::vector<std::string>{
        "--account", "alice:secret", "--profile", "daily:7", "--stall-reply", "0110:1"});
    const int port = first->port();
    inst.profile("daily", port, {inst.source()});
    const std::string err = inst.root() + "/err.txt";
    pid_t pid = spawn({bin_path("vornlake"), "/run:daily"}, inst.env(), inst.root() + "/out.txt", err);
    ASSERT_TRUE(wait_for_text(err, "Retrieving Profile ID...", 60000)) << read_file(err);
    first.reset();
    RefServer changed({"--account", "alice:changed", "--profile", "daily:7", "--port",
                       std::to_string(port)});
    EXPECT_EQ(wait_exit(pid), 3) << read_file(err);
    const std::string text = read_file(err);
    const std::string box = "Backup Failure: Login failed!";
    EXPECT_NE(text.find(box), std::string::npos) << text;
    EXPECT_EQ(text.find(box), text.rfind(box)) << "one box";
    EXPECT_EQ(text.find("Unable to retrieve backup profile ID"), std::string::npos) << text;
  }
}

// The server no longer holds what the cache says it does (segments lost in a crash): the refused
// links are mended in the same run, which completes and restores in full. And a server that stays
// out of reach ends an unattended run after the retry limit instead of never.
TEST(EndToEndOutcomes, LostSegmentsAreSentAgainAndAnUnreachableServerIsGivenUp) {
  {
    Installation inst;
    const std::string s = inst.source();
    // More blocks than are sent again at a time.
    write_file(s + "/big.bin", random_bytes(12 * 1048576 + 300, 9));
    write_file(s + "/small.txt", "small\n");
    for (const char* f : {"/big.bin", "/small.txt"}) age_file(s + f, 3600);
    TempDir root;  // the store outlives the first server's own folder
    const std::string store = root / "store";
    {
      RefServer first({"--account", "alice:secret", "--profile", "daily:7"}, store);
      inst.profile("daily", first.port(), {s});
      ASSERT_EQ(inst.run({"/run:daily"}).status, 0);
    }
    std::filesystem::remove_all(store + "/segments");
    RefServer again({"--account", "alice:secret", "--profile", "daily:7"}, store);
    inst.profile("daily", again.port(), {s});
    RunResult r = inst.run({"/run:daily"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(has_line(r, "Sent again: a segment of " + s + "/big.bin the server no longer held"))
        << r.log;
    EXPECT_TRUE(has_line(r, "Errors:         0"));
    EXPECT_EQ(inst.restore_and_verify(again, r.catalog_id), "");
  }
  {
    Installation inst;
    int port = 0;
    {
      RefServer gone({"--account", "alice:secret", "--profile", "daily:7"});
      port = gone.port();
    }
    write_file(inst.settings(), read_file(inst.settings()) + "Retry_Limit_Minutes=2\n");
    inst.profile("daily", port, {inst.source()});
    RunResult r = inst.run({"/run:daily"});
    EXPECT_EQ(r.status, 3) << r.err;
    EXPECT_NE(r.err.find("Backup failed!\nThe server could not be reached for 2 minutes; the run "
                         "gave up."),
              std::string::npos)
        << r.err;
  }
  // Given up at the finalize, after the walk: failed with its reason, not a cancel.
  {
    Installation inst;
    write_file(inst.source() + "/a.txt", "hello\n");
    write_file(inst.settings(), read_file(inst.settings()) + "Retry_Limit_Minutes=1\n");
    RefServer first({"--account", "alice:secret", "--profile", "daily:7", "--die-after", "0223:1"});
    inst.profile("daily", first.port(), {inst.source()});
    ClientRun run(inst, "run1");
    ASSERT_TRUE(first.crash(60000));
    EXPECT_EQ(run.wait(), 3);
    const std::string err = read_file(run.err);
    EXPECT_NE(err.find("Backup failed!\nThe server"), std::string::npos) << err;
    EXPECT_EQ(err.find("Cancelled"), std::string::npos) << err;
  }
}

// A full data disk: the catalog cannot be committed, so it is neither uploaded nor finalized.
TEST(EndToEndOutcomes, FullDataDiskLeavesTheCatalogOffTheServer) {
  Installation inst;
  const std::string tiny = inst.root() + "/tiny";
  dir_create_private(tiny);
  if (::mount("tmpfs", tiny.c_str(), "tmpfs", 0, "size=768k,mode=0700") != 0)
    GTEST_SKIP() << "no tmpfs can be mounted here";
  struct Unmount {
    std::string path;
    ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
  } unmount{tiny};
  write_file(inst.settings(), "Install_Dir=" + inst.install() + "\nData_Dir=" + tiny + "\n");
  const std::string s = inst.source();
  for (int d = 0; d < 30; ++d) {
    dir_create_private(s + "/d" + std::to_string(d));
    for (int f = 0; f < 200; ++f)
      write_file(s + "/d" + std::to_string(d) + "/a-rather-long-file-name-" + std::to_string(f) + ".txt",
                 std::to_string(d * 1000 + f));
  }
  RefServer server({"--account", "alice:secret", "--profile", "daily:7"});
  ProcessResult mk = run_process({bin_path("vornlake-mkprofile"), "--tag", "daily", "--server", "localhost",
                                  "--port", std::to_string(server.port()), "--login", "alice",
                                  "--include", s},
                                 inst.env(), "secret\n");
  ASSERT_EQ(mk.status, 0) << mk.err;
  ProcessResult p = run_process({bin_path("vornlake"), "/run:daily"}, inst.env());
  EXPECT_EQ(p.status, 3) << p.err;
  EXPECT_NE(p.err.find("the catalog could not be stored on the server!"), std::string::npos) << p.err;
  EXPECT_EQ(count_trace(server.trace(), 0, "0223"), 0u) << "no finalize";
}

// Local state: two runs of one profile, two profiles at once, a damaged cache, no MD5, no memory.
TEST(EndToEndOutcomes, LocalState) {
  Installation inst;
  const std::string s = inst.source();
  const std::string t = inst.root() + "/other";
  dir_create_private(t);
  for (int f = 0; f < 100; ++f) {
    write_file(s + "/f" + std::to_string(f), "daily " + std::to_string(f));
    write_file(t + "/g" + std::to_string(f), "weekly " + std::to_string(f));
  }
  RefServer server({"--account", "alice:secret", "--profile", "daily:7", "--profile", "weekly:8",
                    "--delay-ms", "10"});
  inst.profile("daily", server.port(), {s});
  // The password from a file, not the command line.
  write_file(inst.root() + "/password", "secret\n");
  ProcessResult mk = run_process({bin_path("vornlake-mkprofile"), "--tag", "weekly", "--server", "localhost",
                                  "--port", std::to_string(server.port()), "--login", "alice",
                                  "--password-file", inst.root() + "/password", "--include", t},
                                 inst.env());
  ASSERT_EQ(mk.status, 0) << mk.err;

  // Two profiles at once share the cache without losing an entry.
  pid_t a = spawn({bin_path("vornlake"), "/run:daily"}, inst.env(), inst.root() + "/a.out", inst.root() + "/a.err");
  // While the first runs, a second run of the same profile refuses to start.
  ASSERT_TRUE(wait_for_text(inst.root() + "/a.err", "Kicking Ass!", 30000));
  ProcessResult twice = run_process({bin_path("vornlake"), "/run:daily"}, inst.env());
  EXPECT_EQ(twice.status, 1);
  EXPECT_NE(twice.err.find("Corvantis Online Backup: Backup profile daily is already running!"),
            std::string::npos)
      << twice.err;
  ProcessResult b = run_process({bin_path("vornlake"), "/run:weekly"}, inst.env());
  EXPECT_EQ(wait_exit(a), 0) << read_file(inst.root() + "/a.err");
  EXPECT_EQ(b.status, 0) << b.err;
  EXPECT_EQ(read_file(inst.root() + "/a.err").find("SQL Error"), std::string::npos);
  EXPECT_EQ(b.err.find("SQL Error"), std::string::npos);
  EXPECT_EQ(query_int(inst.data() + "/md5cache.dat", "select count(*) from filespec"), 200);

  // A damaged cache is moved aside, a new one started, and the run goes on.
  write_file(inst.data() + "/md5cache.dat", std::string(8192, 'x'));
  RunResult damaged = inst.run({"/run:daily"});
  EXPECT_EQ(damaged.status, 0) << damaged.err;
  EXPECT_TRUE(file_exists(inst.data() + "/md5cache.dat.damaged"));
  EXPECT_NE(damaged.log.find("md5cache.dat.damaged"), std::string::npos);

  // No MD5 in the cryptographic library (only its base provider loaded).
  write_file(inst.root() + "/openssl.cnf",
             "openssl_conf = init\n[init]\nproviders = prov\n[prov]\nbase = base\n[base]\nactivate = 1\n");
  ProcessResult no_md5 = run_process({bin_path("vornlake"), "/run:daily"},
                                     with(inst.env(), "OPENSSL_CONF=" + inst.root() + "/openssl.cnf"));
  EXPECT_EQ(no_md5.status, 1);
  EXPECT_NE(no_md5.err.find("Corvantis Online Backup: The MD5 digest is not available from the "
                            "cryptographic library!"),
            std::string::npos)
      << no_md5.err;

  // No memory for a block: the run fails with its box instead of ending the process.
  write_file(s + "/new.bin", random_bytes(5000, 11));
  ProcessResult no_memory = run_process({bin_path("vornlake"), "/run:daily"},
                                        with(inst.env(), "VORNLAKE_TEST_BLOCK_ALLOC_FAIL=1"));
  EXPECT_EQ(no_memory.status, 3);
  EXPECT_NE(no_memory.err.find("Backup Failure: Memory alloc failure for file buffer!"), std::string::npos)
      << no_memory.err;
}

}  // namespace
}  // namespace vl::test
