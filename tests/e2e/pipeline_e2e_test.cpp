// Cancel in every state of a run, and the pipelined dialogue: requests in flight, compression
// beside it, a connection lost in the middle of a window, the strict one-at-a-time dialogue.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <csignal>
#include <sstream>
#include <thread>

#include "e2e_support.h"

namespace vl::test {
namespace {

using Clock = std::chrono::steady_clock;

// A port whose listener never accepts and whose queue is full: a connect to it never completes.
class BlackHole {
 public:
  BlackHole() {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(listener_, 0);
    socklen_t len = sizeof a;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    for (int& fd : fill_) {
      fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
      ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
  }
  ~BlackHole() {
    for (int fd : fill_) ::close(fd);
    ::close(listener_);
  }
  int port() const { return port_; }

 private:
  int listener_ = -1;
  int fill_[3] = {-1, -1, -1};
  int port_ = 0;
};

// Every state a run can be cancelled in: the client exits (3) within two seconds of the signal,
// and any cancel before the server answered the catalog's finalize reads as a cancel.
TEST(EndToEndCancel, EveryWaitHonoursCancel) {
  struct Case {
    const char* what;
    std::vector<std::string> server;  // extra server options ("" for none: a black hole instead)
    int tx_rate_bps;                  // a rate limit in B/s, 0 for none
    const char* wait_for;             // stderr or stdout text after which the signal goes
    int signal;
    const char* ending;               // in stderr
  } cases[] = {
      {"throttled to 1 B/s", {}, 1, "Kicking Ass!", SIGINT, "Backup Cancelled!"},
      {"connecting to a server that never answers", {""}, 0, "Connecting...", SIGTERM,
       "Backup Cancelled!"},
      {"a full queue behind a slow server", {"--delay-ms", "100"}, 0, "Kicking Ass!", SIGINT,
       "Backup Cancelled!"},
      {"the catalog upload", {"--stall-reply", "8001:1"}, 0, "Catalog", SIGINT,
       "Backup Cancelled!"},
      {"the finalize's reply", {"--stall-reply", "0224:1"}, 0, "Finalizing catalog", SIGINT,
       "Backup Cancelled!"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Installation inst;
    const bool finalizing = std::string(c.wait_for) == "Finalizing catalog";
    const bool catalog_only = std::string(c.wait_for) == "Catalog" || finalizing;
    write_file(inst.source() + "/data.bin", catalog_only ? "" : random_bytes(20 * 1048576, 21));
    std::unique_ptr<RefServer> server;
    std::unique_ptr<BlackHole> hole;
    int port = 0;
    if (!c.server.empty() && c.server[0].empty()) {
      hole = std::make_unique<BlackHole>();
      port = hole->port();
    } else {
      std::vector<std::string> args{"--account", "alice:secret", "--profile", "daily:7"};
      args.insert(args.end(), c.server.begin(), c.server.end());
      server = std::make_unique<RefServer>(args);
      port = server->port();
    }
    inst.profile("daily", port, {inst.source()}, {}, 0, [&](ProfileSettings& p) {
      if (c.tx_rate_bps == 0) return;
      p.tx_throttle = 1;
      p.tx_rate = c.tx_rate_bps;
      p.tx_rate_unit = 0;
    });
    const std::string out = inst.root() + "/out.txt", err = inst.root() + "/err.txt";
    pid_t pid = spawn({bin_path("vornlake"), "/run:daily"}, inst.env(), out, err);
    const std::string watched = catalog_only ? out : err;
    ASSERT_TRUE(wait_for_text(watched, c.wait_for, 60000)) << read_file(err);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto signalled = Clock::now();
    ::kill(pid, c.signal);
    EXPECT_EQ(wait_exit(pid), 3) << read_file(err);
    EXPECT_LT(Clock::now() - signalled, std::chrono::seconds(2)) << read_file(err);
    EXPECT_NE(read_file(err).find(c.ending), std::string::npos) << read_file(err);
    EXPECT_EQ(read_file(err).find("errors"), std::string::npos) << read_file(err);
    if (server) {
      EXPECT_EQ(count_trace(server->trace(), 0, "0223"), finalizing ? 1u : 0u);
    }
    if (finalizing) {
      RunResult r;
      r.log_lines = read_lines(inst.data() + "/Profiles/daily/00000001.log");
      EXPECT_TRUE(has_line(r, "The catalog's finalize was sent but not answered: the server may "
                              "hold the catalog all the same."));
    }
  }
}

// The run's threads: one that cannot be started, one that runs out of memory, and a cancel while
// the worker would wait for a writer that is stuck. Each run ends at once, as failed or
// cancelled, and a failure is named in the box and the run log.
TEST(EndToEndCancel, PipelineFaultsEndTheRun) {
  struct Case {
    const char* what;
    const char* fault;  // VORNLAKE_TEST_THREAD_FAULT
    int files;          // small files in the tree
    bool lock_cache;    // a second connection holds the cache's write lock once the walk began
    bool cancel;        // SIGINT a second and a half into the walk
    const char* ending;    // in stderr
    const char* log_line;  // in the run log (nullptr: none looked for)
  } cases[] = {
      {"a helper thread that cannot be started", "cache writer=start", 20, false,
       false, "Backup failed!\nCould not start the cache writer thread: Resource temporarily unavailable",
       "Error: Could not start the cache writer thread: Resource temporarily unavailable"},
      {"a worker that cannot be started", "worker=start", 20, false, false,
       "Backup failed!\nCould not start the worker thread", nullptr},
      {"a worker that cannot be started for want of memory", "worker=alloc", 20, false, false,
       "Backup failed!\nCould not start the worker thread: out of memory", nullptr},
      {"an allocation that fails on a writer thread", "catalog writer=alloc", 20, false, false,
       "Backup failed!\nThe catalog writer thread failed: out of memory",
       "Error: The catalog writer thread failed: out of memory"},
      {"a cancel while the cache writer waits for a cache another connection holds", "", 400, true,
       true, "Backup Cancelled!", "Backup cancelled!"},
      {"a cancel while the catalog writer's queue is full", "catalog writer=stall", 6000, false,
       true, "Backup Cancelled!", "Backup cancelled!"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Installation inst;
    ::mkdir((inst.source() + "/d").c_str(), 0700);
    for (int i = 0; i < c.files; ++i) {
      char name[16];
      std::snprintf(name, sizeof name, "/d/f%05d", i);
      write_file(inst.source() + name, std::string(name) + "\n");
    }
    RefServer server({"--account", "alice:secret", "--profile", "daily:7", "--delay-ms",
                      c.lock_cache ? "5" : "0"});
    inst.profile("daily", server.port(), {inst.source()});
    // One session keeps the slow server slow: the walk is still going when the cancel comes.
    if (c.lock_cache) write_file(inst.settings(), read_file(inst.settings()) + "Upload_Sessions=1\n");
    std::vector<std::string> env = with(inst.env(), "VORNLAKE_TEST_THREAD_FAULT=" + std::string(c.fault));
    if (c.lock_cache) env = with(env, "VORNLAKE_TEST_CACHE_BATCH_FILES=1");
    const std::string log = inst.data() + "/Profiles/daily/00000001.log";
    const std::string err = inst.root() + "/err.txt";
    pid_t pid = spawn({bin_path("vornlake"), "/run:daily"}, env, inst.root() + "/out.txt", err);
    // A case that fails half-way must not leave its client running.
    struct Reaper {
      pid_t pid;
      ~Reaper() {
        if (pid > 0 && ::kill(pid, SIGKILL) == 0) wait_exit(pid);
      }
    } reaper{pid};
    sqlite3* holder = nullptr;
    auto signalled = Clock::now();
    if (c.cancel) {
      ASSERT_TRUE(wait_for_text(log, "Commencing backup", 60000)) << read_file(err);
      if (c.lock_cache) {
        ASSERT_EQ(sqlite3_open((inst.data() + "/md5cache.dat").c_str(), &holder), SQLITE_OK);
        sqlite3_busy_timeout(holder, 10000);  // the client's own batch may hold it just now
        ASSERT_EQ(sqlite3_exec(holder, "begin immediate", nullptr, nullptr, nullptr), SQLITE_OK);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1500));
      signalled = Clock::now();
      ::kill(pid, SIGINT);
    }
    EXPECT_EQ(wait_exit(pid), 3) << read_file(err);
    reaper.pid = 0;
    EXPECT_LT(Clock::now() - signalled, std::chrono::seconds(c.cancel ? 2 : 30)) << read_file(err);
    if (holder) sqlite3_close(holder);
    EXPECT_NE(read_file(err).find(c.ending), std::string::npos) << read_file(err);
    if (c.log_line) {
      RunResult r;
      r.log_lines = read_lines(log);
      EXPECT_TRUE(has_line(r, c.log_line)) << read_file(log);
    }
    EXPECT_EQ(count_trace(server.trace(), 0, "0223"), 0u) << "no finalize";
  }
}

// A server whose certificate the CA did not sign: the console says why once, and what the last
// attempt met, while the connection is retried.
TEST(EndToEndCancel, ConsoleTellsWhyTheTlsSessionFailed) {
  Installation inst;
  RefServer server({"--account", "alice:secret", "--profile", "daily:7"}, "", true);
  inst.profile("daily", server.port(), {inst.source()});
  const std::string err = inst.root() + "/err.txt";
  pid_t pid = spawn({bin_path("vornlake"), "/run:daily"}, inst.env(), inst.root() + "/out.txt", err);
  ASSERT_TRUE(wait_for_text(err, "Retry connect #3", 60000)) << read_file(err);
  ::kill(pid, SIGTERM);
  EXPECT_EQ(wait_exit(pid), 3);
  const std::string text = read_file(err);
  const std::string reason = "  (unable to get local issuer certificate)\n";
  EXPECT_NE(text.find(reason), std::string::npos) << text;
  EXPECT_EQ(text.find(reason), text.rfind(reason)) << "once, however often it is met";
  EXPECT_NE(text.find("Last attempt: the server's certificate was not accepted (unable to get local "
                      "issuer certificate)"),
            std::string::npos)
      << text;
}

// A rate limit that converts to 2^31 bytes/s or more is clamped, not negative: the run ends.
TEST(EndToEndCancel, HugeRateLimitIsClamped) {
  Installation inst;
  write_file(inst.source() + "/data.bin", random_bytes(3 * 1048576, 22));
  RefServer server({"--account", "alice:secret", "--profile", "daily:7"});
  inst.profile("daily", server.port(), {inst.source()}, {}, 0, [](ProfileSettings& p) {
    p.tx_throttle = 1;
    p.tx_rate = 3000;
    p.tx_rate_unit = 2;  // MB/s
  });
  RunResult r = inst.run({"/run:daily"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(inst.restore_and_verify(server, r.catalog_id), "");
}

std::string settings_with_window(const Installation& inst, int window, int sessions = 1) {
  return "Install_Dir=" + inst.install() + "\nData_Dir=" + inst.data() + "\nRequest_Window=" +
         std::to_string(window) + "\nUpload_Sessions=" + std::to_string(sessions) + "\n";
}

// The tree of the dialogue tests: small files, duplicate blocks within and across files.
void small_tree(const Installation& inst, int files) {
  const std::string s = inst.source();
  const std::string shared = random_bytes(1048576, 30);
  write_file(s + "/twice.bin", shared + shared + "tail");
  write_file(s + "/again.bin", shared);
  for (int f = 0; f < files; ++f)
    write_file(s + "/f" + std::to_string(f) + ".txt", "small file " + std::to_string(f % 40));
}

// The messages of a trace without what differs between two runs of one tree (connection numbers,
// the catalog segment and the finalize, whose bytes carry times).
std::vector<std::string> dialogue_of(const RefServer& server) {
  std::vector<std::string> out;
  for (const std::string& line : server.trace()) {
    std::istringstream in(line);
    std::string conn, dir, type, len, hex;
    in >> conn >> dir >> type >> len >> hex;
    out.push_back(dir + " " + type + " " + len + " " + hex);
  }
  // Everything from the catalog's query on is the catalog upload and the finalize.
  for (size_t i = out.size(); i-- > 0;) {
    if (out[i].rfind("C 8000 ", 0) == 0) {
      out.resize(i);
      break;
    }
  }
  return out;
}

// The run log without what differs between two installations (the source folder, the server's
// port) and the lines that carry times or the catalog's own size.
std::vector<std::string> log_without_times(const RunResult& r, const std::string& source) {
  std::vector<std::string> out;
  for (std::string l : r.log_lines) {
    if (l.rfind("Backup completed in", 0) == 0 || l.rfind("Preparing catalog", 0) == 0 ||
        l.rfind("Bytes:", 0) == 0 || l.rfind("Bytes Compr'd:", 0) == 0 || l.rfind("Server:", 0) == 0)
      continue;
    if (l.rfind(source, 0) == 0) l = "SOURCE" + l.substr(source.size());
    out.push_back(l);
  }
  return out;
}

// With one request in flight on one session, the run with compression threads says and records
// exactly what the one-thread run does, and never has a request ahead of a reply. The cache's
// entries go out in batches of four files during the walk, and every file reaches the cache. A
// run over four sessions with their windows says and records the same.
TEST(EndToEndPipeline, OneAtATimeEqualsTheOneThreadRun) {
  struct Run {
    std::vector<std::string> dialogue;
    std::vector<std::string> log;
    int64_t rows, segs, cached;
    size_t logins;
  };
  auto run = [](const char* threads, int window, int sessions) {
    Installation inst;
    small_tree(inst, 60);
    // Several sessions are for a server at a distance: this one answers 2 ms late.
    RefServer server({"--account", "alice:secret", "--profile", "daily:7", "--delay-ms",
                      sessions > 1 ? "2" : "0"});
    inst.profile("daily", server.port(), {inst.source()});
    write_file(inst.settings(), settings_with_window(inst, window, sessions));
    ProcessResult p = run_process(
        {bin_path("vornlake"), "/run:daily"},
        with(with(inst.env(), std::string("VORNLAKE_TEST_COMPRESS_THREADS=") + threads),
             "VORNLAKE_TEST_CACHE_BATCH_FILES=4"));
    EXPECT_EQ(p.status, 0) << p.err;
    RunResult r;
    r.log_lines = read_lines(inst.data() + "/Profiles/daily/00000001.log");
    if (window == 1) {
      for (const std::string& line : server.trace())
        EXPECT_EQ(line.find(" ahead"), std::string::npos) << "a request went out before a reply: " << line;
    }
    EXPECT_EQ(inst.restore_and_verify(server, 1), "");
    const std::string cat = catalog_file(inst, 1);
    std::vector<std::string> dialogue = dialogue_of(server);
    const size_t logins = static_cast<size_t>(std::count_if(
        dialogue.begin(), dialogue.end(), [](const std::string& l) { return l.rfind("C 0008", 0) == 0; }));
    return Run{dialogue, log_without_times(r, inst.source()),
               query_int(cat, "select count(*) from filespec"), query_int(cat, "select count(*) from segs"),
               query_int(inst.data() + "/md5cache.dat", "select count(*) from filespec"), logins};
  };
  Run one = run("0", 1, 1);
  Run pool = run("2", 1, 1);
  Run sessions = run("2", 32, 4);
  EXPECT_EQ(pool.dialogue, one.dialogue);
  EXPECT_EQ(one.logins, 1u);
  EXPECT_EQ(sessions.logins, 4u);
  for (const Run* other : {&pool, &sessions}) {
    ASSERT_EQ(other->log.size(), one.log.size());
    for (size_t i = 0; i < one.log.size(); ++i) EXPECT_EQ(other->log[i], one.log[i]) << "log line " << i;
    EXPECT_EQ(other->rows, one.rows);
    EXPECT_EQ(other->segs, one.segs);
    EXPECT_EQ(other->cached, 62);
  }
  EXPECT_EQ(one.cached, 62);
  EXPECT_NE(std::find(one.log.begin(), one.log.end(), "(2/3)  exists."), one.log.end());
}

// Extra sessions that cannot be opened, or that fail every upload, are left out, and a server that
// links only on the session that allocated the catalog gets every link there: each run completes and restores, and so does
// the next, which links the blocks the cache names.
TEST(EndToEndPipeline, SessionsRefusedOrTiedToTheCatalogStillBackUpEverything) {
  const struct {
    std::vector<std::string> server;
    std::string log_text;  // in the first run's log
  } rows[] = {
      {{"--login-refuse-nth", "2"}, " of 4 could not be opened (localhost:"},
      {{"--links-on-allocating-session"}, "Note: The server links segments only on the session"},
      // Every upload fails on the extra sessions, again after each reconnects: they are dropped.
      {{"--uploads-on-allocating-session"}, "(it failed again before a request went through); its requests"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.log_text);
    Installation inst;
    small_tree(inst, 40);
    // A server 2 ms away: next door a run keeps to one session.
    std::vector<std::string> args = {"--account", "alice:secret", "--profile", "daily:7", "--delay-ms", "2"};
    args.insert(args.end(), row.server.begin(), row.server.end());
    RefServer server(args);
    inst.profile("daily", server.port(), {inst.source()});
    write_file(inst.settings(), settings_with_window(inst, 32, 4));
    // The second run links what the cache names, all of it over the main session when it must.
    for (int run = 0; run < 2; ++run) {
      RunResult r = inst.run({"/run:daily"});
      EXPECT_EQ(r.status, 0) << r.err;
      if (run == 0) {
        EXPECT_NE(r.log.find(row.log_text), std::string::npos) << r.log;
      }
      EXPECT_TRUE(has_line(r, "Warnings:       0"));
      EXPECT_TRUE(has_line(r, "Errors:         0"));
      EXPECT_EQ(inst.restore_and_verify(server, r.catalog_id), "");
    }
  }
}

// Requests in flight when a session drops are sent again after it reconnects; the run's log reads
// as a one-at-a-time run's would and the backup restores byte for byte. With one session the
// main session reconnects in sight; with four, whichever session the drop meets.
TEST(EndToEndPipeline, ConnectionLostInTheMiddleOfAWindow) {
  for (int sessions : {1, 4}) {
    SCOPED_TRACE(sessions);
    Installation inst;
    small_tree(inst, 200);
    RefServer server({"--account", "alice:secret", "--profile", "daily:7", "--drop-after-messages", "120",
                      "--delay-ms", sessions > 1 ? "2" : "0"});
    inst.profile("daily", server.port(), {inst.source()});
    write_file(inst.settings(), settings_with_window(inst, 32, sessions));
    RunResult r = inst.run({"/run:daily"});
    ASSERT_EQ(r.status, 0) << r.err << r.log;
    if (sessions == 1) {
      EXPECT_NE(r.err.find("Reconnected!"), std::string::npos);
    }
    bool ahead = false;
    for (const std::string& line : server.trace()) ahead = ahead || line.find(" ahead") != std::string::npos;
    EXPECT_TRUE(ahead) << "the default window keeps requests in flight";
    EXPECT_TRUE(has_line(r, "Files:          202"));
    EXPECT_TRUE(has_line(r, "Errors:         0"));
    EXPECT_EQ(inst.restore_and_verify(server, r.catalog_id), "");
  }
}

}  // namespace
}  // namespace vl::test
