// End to end: the real client binary backs up a real tree to the real reference server over TLS;
// the server's restore proves that every byte arrived.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <csignal>
#include <cstring>
#include <random>
#include <thread>

#include "e2e_support.h"
#include "platform/unique_fd.h"

namespace vl::test {
namespace {

// The tree of the main test: edge sizes, nesting, hidden and read-only files, a link and a FIFO,
// and items for both kinds of exclude rule.
void build_tree(const Installation& inst) {
  const std::string s = inst.source();
  write_file(s + "/empty", "");
  write_file(s + "/one-block.bin", random_bytes(1048576, 1));
  write_file(s + "/one-block-plus.bin", random_bytes(1048577, 2));
  write_file(s + "/random.bin", random_bytes(3 * 1048576 + 12345, 3));
  write_file(s + "/zeros.bin", std::string(2 * 1048576, '\0'));
  ::mkdir((s + "/a").c_str(), 0700);
  ::mkdir((s + "/a/b").c_str(), 0700);
  ::mkdir((s + "/a/b/c").c_str(), 0700);
  write_file(s + "/a/b/c/deep.txt", "deep text\n");
  write_file(s + "/a/.hidden", "hidden\n");
  write_file(s + "/a/readonly.txt", "read only\n");
  ::chmod((s + "/a/readonly.txt").c_str(), 0400);
  write_file(s + "/a/dup-of-one-block.bin", random_bytes(1048576, 1));
  ::symlink("one-block.bin", (s + "/link").c_str());
  ::mkfifo((s + "/fifo").c_str(), 0600);
  write_file(s + "/scratch.tmp", "scratch\n");
  ::mkdir((s + "/skip").c_str(), 0700);
  write_file(s + "/skip/inner.bin", random_bytes(5000, 4));
}

void age_tree(const Installation& inst) {
  for (const char* f : {"empty", "one-block.bin", "one-block-plus.bin", "random.bin", "zeros.bin",
                        "a/b/c/deep.txt", "a/.hidden", "a/readonly.txt", "a/dup-of-one-block.bin"})
    age_file(inst.source() + "/" + f, 3600);
}

TEST(EndToEnd, BackupRestoresTheTreeAndTheCacheCarriesTheSecondRun) {
  Installation inst;
  build_tree(inst);
  age_tree(inst);
  RefServer server({"--account", "alice:secret", "--profile", "daily:7"});
  inst.profile("daily", server.port(), {inst.source()}, {"*.tmp", inst.source() + "/skip/"});
  const std::vector<std::string> ignore{"scratch.tmp", "skip/inner.bin", "link", "fifo"};
  const std::string s = inst.source();

  RunResult r1 = inst.run({"/run:daily"});
  ASSERT_EQ(r1.status, 0) << r1.err;
  EXPECT_NE(r1.err.find("Backup Completed!"), std::string::npos);
  // Reading a file for the backup leaves its access time as the tree was given it.
  struct stat read_file {};
  ASSERT_EQ(::stat((s + "/random.bin").c_str(), &read_file), 0);
  EXPECT_EQ(read_file.st_atim.tv_sec, read_file.st_mtim.tv_sec);
  EXPECT_EQ(inst.restore_and_verify(server, r1.catalog_id, ignore), "");

  // The log: header, one complete line per item, both exclusions, the statistics.
  ASSERT_GE(r1.log_lines.size(), 10u);
  EXPECT_EQ(r1.log_lines[0], "Corvantis Network Backup Log");
  EXPECT_EQ(r1.log_lines[1], "Backup Set:  daily");
  EXPECT_EQ(r1.log_lines[4], "Server:      localhost:" + std::to_string(server.port()));
  EXPECT_EQ(r1.log_lines[5], "Login:       alice");
  EXPECT_EQ(r1.log_lines[6].substr(0, 13), "Catalog ID:  ");
  EXPECT_TRUE(has_line(r1, "Commencing backup.."));
  EXPECT_EQ(line_of(r1, s + "/empty"), s + "/empty : 0 : File (A)");
  EXPECT_EQ(line_of(r1, s + "/one-block.bin"), s + "/one-block.bin : 1048576 : File (A)  upload... OK");
  EXPECT_EQ(line_of(r1, s + "/one-block-plus.bin"),
            s + "/one-block-plus.bin : 1048577 : File (A) (1/2)  upload... OK");
  EXPECT_TRUE(has_line(r1, "(2/2)  upload... OK"));
  EXPECT_EQ(line_of(r1, s + "/a/dup-of-one-block.bin"),
            s + "/a/dup-of-one-block.bin : 1048576 : File (A)  exists.");
  EXPECT_EQ(line_of(r1, s + "/a/readonly.txt"), s + "/a/readonly.txt : 10 : File (AR)  upload... OK");
  EXPECT_EQ(line_of(r1, s + "/a/.hidden"), s + "/a/.hidden : 7 : File (AH)  upload... OK");
  EXPECT_EQ(line_of(r1, s + "/fifo"), s + "/fifo : 0 : Unknown ()");
  EXPECT_EQ(line_of(r1, s + "/link").substr(0, (s + "/link : ").size()), s + "/link : ");
  EXPECT_TRUE(has_line(r1, "Excluding: " + s + "/scratch.tmp"));
  EXPECT_TRUE(has_line(r1, "Excluding files in this directory."));
  EXPECT_TRUE(has_line(r1, "Special Files:  2"));
  EXPECT_TRUE(has_line(r1, "Files:          9"));
  EXPECT_TRUE(has_line(r1, "Warnings:       0"));
  EXPECT_TRUE(has_line(r1, "Errors:         0"));
  EXPECT_TRUE(has_line(r1, "Files Scanned:  8"));
  EXPECT_TRUE(has_line(r1, "Files Skipped:  1"));

  // The catalog: finished, parent chains, the segments of a two-block file.
  const std::string cat = catalog_file(inst, r1.catalog_id);
  EXPECT_EQ(query_int(cat, "select type from vornlake_info"), 128);
  EXPECT_EQ(query_int(cat, "select count(*) from segs where filespec_id=(select id from filespec where "
                           "filename_full='" + s + "/one-block-plus.bin')"), 2);
  EXPECT_EQ(query_int(cat, "select parent_id from filespec where filename_full='" + s + "/a/b/c/deep.txt'"),
            query_int(cat, "select id from filespec where filename_full='" + s + "/a/b/c'"));
  EXPECT_EQ(query_int(cat, "select count(*) from filespec where filename_full like '%scratch.tmp'"), 0);
  EXPECT_EQ(query_int(cat, "select count(*) from config where type=4"), 0);
  // The cache: one row per file read, with its blocks.
  const std::string cache = inst.data() + "/md5cache.dat";
  EXPECT_EQ(query_int(cache, "select count(*) from filespec"), 8);
  EXPECT_EQ(query_int(cache, "select count(*) from segs where file_id=(select id from filespec where "
                             "filespec='" + s + "/random.bin')"), 4);

  // Links planted at the next run's names (catalog ids come in order) are replaced, not written through.
  const std::string precious = inst.root() + "/precious", next = inst.data() + "/Profiles/daily/00000002";
  write_file(precious, "precious\n");
  for (const char* ext : {".log", ".cat.z"}) ::symlink(precious.c_str(), (next + ext).c_str());

  // Second run, nothing changed: every file from the cache, only links for its blocks.
  const size_t trace_mark = server.trace().size();
  RunResult r2 = inst.run({"/run:daily"});
  ASSERT_EQ(r2.status, 0) << r2.err;
  EXPECT_EQ(r2.catalog_id, 2u);
  EXPECT_EQ(vl::test::read_file(precious), "precious\n");
  EXPECT_EQ(line_of(r2, s + "/random.bin"), s + "/random.bin : 3158073 : File (A) skipped.");
  EXPECT_TRUE(has_line(r2, "Files Skipped:  9"));
  EXPECT_TRUE(has_line(r2, "Files Scanned:  0"));
  std::vector<std::string> trace = server.trace();
  EXPECT_EQ(count_trace(trace, trace_mark, "8000"), 1u) << "only the catalog is queried";
  EXPECT_GE(count_trace(trace, trace_mark, "801e"), 12u);
  EXPECT_EQ(inst.restore_and_verify(server, r2.catalog_id, ignore), "");

  // A file changed with the same size and another with new content are read again and restored
  // with their new bytes.
  write_file(s + "/random.bin", random_bytes(3 * 1048576 + 12345, 99));
  age_file(s + "/random.bin", 1800);
  write_file(s + "/a/b/c/deep.txt", "new deeper text\n");
  age_file(s + "/a/b/c/deep.txt", 1800);
  // Folders others may write to are warned about at the start and in the log, not counted.
  ::chmod(inst.data().c_str(), 0777);
  ::chmod((inst.data() + "/Profiles/daily").c_str(), 0770);
  RunResult r3 = inst.run({"/run:daily"});
  ASSERT_EQ(r3.status, 0) << r3.err;
  const std::string w = " can be written by other users; run logs and catalogs there could be tampered with.";
  EXPECT_TRUE(has_line(r3, "Warning: The data folder " + inst.data() + w));
  EXPECT_NE(r3.err.find("Warning: The profile folder " + inst.data() + "/Profiles/daily" + w), std::string::npos);
  EXPECT_TRUE(has_line(r3, "Warnings:       0"));
  EXPECT_NE(line_of(r3, s + "/random.bin").find("(1/4)  upload... OK"), std::string::npos);
  EXPECT_TRUE(has_line(r3, "Files Scanned:  2"));
  EXPECT_EQ(inst.restore_and_verify(server, r3.catalog_id, ignore), "");
}

// Makes top/name/name/... `levels` deep from folder to folder (the whole path may be longer than
// the kernel takes at once) with `content` in `file` at the bottom; returns the file's path.
std::string make_chain(std::string top, const std::string& name, int levels, const char* file,
                       const std::string& content) {
  UniqueFd dir(::open(top.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  for (int i = 0; i < levels; ++i, top += "/" + name) {
    ::mkdirat(dir.get(), name.c_str(), 0700);
    dir.reset(::openat(dir.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  }
  UniqueFd f(::openat(dir.get(), file, O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
  EXPECT_EQ(::write(f.get(), content.data(), content.size()), static_cast<ssize_t>(content.size()));
  return top + "/" + file;
}

// The walk's hard cases in one tree: folders far deeper than the client's descriptor limit, a
// folder that cannot be opened, a path far longer than the kernel takes whole, and names with a
// line break and an escape sequence.
TEST(EndToEnd, DeepLongUnopenableAndStrangeItemsAreBackedUpOrWarnedAbout) {
  Installation inst;
  const std::string s = inst.source(), twin = random_bytes(70000, 11), far_name(250, 'L');
  const std::string bottom = make_chain(s, "d", 600, "bottom.txt", "at the bottom\n");
  const std::string far = make_chain(s, far_name, 40, "far.bin", twin);  // over 10,000 bytes
  write_file(s + "/twin.bin", twin);
  ::mkdir((s + "/locked").c_str(), 0700);
  write_file(s + "/locked/inner.bin", "inner\n");
  write_file(s + "/new\nline.txt", "forged?\n");
  write_file(s + "/esc\x1b[31mred.txt", "colour\n");
  RefServer server({"--account", "alice:secret", "--profile", "daily:7"});
  inst.profile("daily", server.port(), {s});

  RunResult r = inst.run({"/run:daily"}, "daily", {"VORNLAKE_TEST_OPEN_FAIL=" + s + "/locked"}, 64);
  ASSERT_EQ(r.status, 2) << "the locked folder was left out: " << r.err;
  EXPECT_EQ(line_of(r, bottom), bottom + " : 14 : File (A)  upload... OK");
  EXPECT_TRUE(line_of(r, far).starts_with(far + " : 70000 : File (A)  ")) << "no line of the far file";
  EXPECT_TRUE(has_line(r, "Warning: Failed to open directory: " + s + "/locked"));
  EXPECT_TRUE(has_line(r, "Warnings:       1"));
  // Control characters are shown, never written (no forged line, no escape sequence); the cache
  // keeps the real bytes.
  EXPECT_EQ(line_of(r, s + "/new\\x0Aline.txt"), s + "/new\\x0Aline.txt : 8 : File (A)  upload... OK");
  EXPECT_EQ(r.log.find('\x1b'), std::string::npos);
  EXPECT_EQ(query_int(inst.data() + "/md5cache.dat",
                      "select count(*) from filespec where filespec='" + s + "/esc\x1b[31mred.txt'"), 1);
  // The reference server cannot restore the long branch (its paths are too long for it): the far
  // file's row must carry the digest of its twin, whose restore proves that segment.
  auto id_of = [&](const std::string& path) { return "(select id from filespec where filename_full='" + path + "')"; };
  EXPECT_EQ(query_int(catalog_file(inst, r.catalog_id), "select count(*) from segs a join segs b on a.md5=b.md5 "
                      "where a.filespec_id=" + id_of(far) + " and b.filespec_id=" + id_of(s + "/twin.bin")), 1);
  EXPECT_EQ(inst.restore_and_verify(server, r.catalog_id, {"locked/inner.bin"}, far_name), "");
}

TEST(EndToEnd, ServerFaultsStillCompleteAndVerify) {
  Installation inst;
  write_file(inst.source() + "/big.bin", random_bytes(3 * 1048576, 5));
  write_file(inst.source() + "/small.txt", "small\n");
  RefServer server({"--account", "alice:secret", "--profile", "daily:7", "--drop-in-upload", "2",
                    "--login-busy", "1", "--catalog-refuse", "1"});
  inst.profile("daily", server.port(), {inst.source()});
  RunResult r = inst.run({"/run:daily"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("Server Busy!"), std::string::npos);
  EXPECT_NE(r.err.find("Reconnecting.."), std::string::npos);
  EXPECT_EQ(inst.restore_and_verify(server, r.catalog_id), "");
}

TEST(EndToEnd, CancelWithSigintTakesTheCancelPath) {
  Installation inst;
  write_file(inst.source() + "/slow.bin", random_bytes(24 * 1048576, 6));
  age_file(inst.source() + "/slow.bin", 3600);
  RefServer server({"--account", "alice:secret", "--profile", "daily:7", "--delay-ms", "20"});
  inst.profile("daily", server.port(), {inst.source()});
  std::vector<std::string> argv{bin_path("vornlake"), "/run:daily"};
  pid_t pid = spawn(argv, inst.env(), inst.root() + "/out.txt", inst.root() + "/err.txt");
  // Wait until the first block has gone out, then press Ctrl-C.
  bool started = false;
  for (int i = 0; i < 600 && !started; ++i) {
    started = read_file(inst.root() + "/err.txt").find("Kicking Ass!") != std::string::npos &&
              server.trace().size() > 20;
    if (!started) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_TRUE(started);
  ::kill(pid, SIGINT);
  EXPECT_EQ(wait_exit(pid), 3);
  std::string err = read_file(inst.root() + "/err.txt");
  EXPECT_NE(err.find("Backup Cancelled!"), std::string::npos) << err;
  // The log ends with the cancel line; the catalog stays unfinished; nothing was finalized; the
  // interrupted file left nothing in the cache.
  std::vector<std::string> logs;
  for (const auto& l : read_lines(inst.data() + "/Profiles/daily/00000001.log")) logs.push_back(l);
  ASSERT_GE(logs.size(), 2u);
  EXPECT_EQ(logs.back(), "Backup cancelled!");
  EXPECT_EQ(logs[logs.size() - 2], "");
  EXPECT_EQ(query_int(inst.data() + "/Profiles/daily/00000001.cat", "select type from vornlake_info"), 129);
  EXPECT_EQ(query_int(inst.data() + "/Profiles/daily/00000001.cat", "select count(*) from catinfo"), 4);
  EXPECT_EQ(count_trace(server.trace(), 0, "0223"), 0u);
  EXPECT_EQ(query_int(inst.data() + "/md5cache.dat", "select count(*) from filespec"), 0);
}

TEST(EndToEnd, StartUpFailuresEndWithExitCodeOne) {
  Installation inst;
  RefServer server({"--account", "alice:secret", "--profile", "daily:7"});
  inst.profile("daily", server.port(), {inst.source()});

  // No settings file: the registry message.
  ProcessResult none = run_process({bin_path("vornlake"), "/run:daily"},
                                   {"VORNLAKE_SETTINGS=" + inst.root() + "/missing.conf", "VORNLAKE_UI=console"});
  EXPECT_EQ(none.status, 1);
  EXPECT_NE(none.err.find("can not start because it can\nnot find the registry settings"), std::string::npos);

  // Unknown tag.
  RunResult unknown = inst.run({"/run:weekly"});
  EXPECT_EQ(unknown.status, 1);
  EXPECT_NE(unknown.err.find("Unable to automatically run backup profile: weekly\nProfile could not be loaded!"),
            std::string::npos);
  RunResult wrong_case = inst.run({"/run:Daily"});
  EXPECT_EQ(wrong_case.status, 1);

  // No CA anywhere (no ca.crt, no user's file, an empty trust store): every place is named.
  ::rename((inst.install() + "/ca.crt").c_str(), (inst.install() + "/ca.crt.off").c_str());
  const std::vector<std::string> no_store = {"SSL_CERT_FILE=/vl-none/cert.pem", "SSL_CERT_DIR=/vl-none",
                                             "XDG_CONFIG_HOME=" + inst.root()};
  RunResult no_ca = inst.run({"/run:daily"}, "daily", no_store);
  EXPECT_EQ(no_ca.status, 1);
  for (const std::string& place : std::vector<std::string>{"Failed to load CA list!", inst.install() + "/ca.crt: not found",
                                   inst.root() + "/corvantis/ca.crt: not found", "(/vl-none/cert.pem, /vl-none): empty"})
    EXPECT_NE(no_ca.err.find(place), std::string::npos) << no_ca.err;
  ::rename((inst.install() + "/ca.crt.off").c_str(), (inst.install() + "/ca.crt").c_str());
  // A CA_File that cannot be read is an error even where another place would do.
  const std::string settings = read_file(inst.settings());
  write_file(inst.settings(), settings + "CA_File=" + inst.root() + "/missing-ca.crt\n");
  RunResult bad_ca = inst.run({"/run:daily"});
  EXPECT_EQ(bad_ca.status, 1);
  EXPECT_NE(bad_ca.err.find("missing-ca.crt: could not be read as PEM certificates"), std::string::npos) << bad_ca.err;
  write_file(inst.settings(), settings);

  // A run lock that cannot be created (a folder or a link at its name: root passes permission bits)
  // is not a run already going on.
  const std::string lock = inst.data() + "/Profiles/daily/run.lock";
  for (const std::string reason : {"Is a directory", "Too many levels of symbolic links"}) {
    reason[0] == 'I' ? ::mkdir(lock.c_str(), 0700) : ::symlink("/vl-no-such-lock", lock.c_str());
    RunResult locked = inst.run({"/run:daily"});
    EXPECT_EQ(locked.status, 1);
    EXPECT_NE(locked.err.find("Cannot create the run lock " + lock + ": " + reason), std::string::npos) << locked.err;
    ::remove(lock.c_str());
  }

  // A configuration database that is not a database: two boxes, exit 1, the file untouched.
  const std::string garbage = "this is not an SQLite database, just text that must survive\n";
  write_file(inst.data() + "/vornlake.dat", garbage);
  RunResult bad_db = inst.run({"/run:daily"});
  EXPECT_EQ(bad_db.status, 1);
  EXPECT_NE(bad_db.err.find("result = 26"), std::string::npos) << bad_db.err;
  EXPECT_EQ(read_file(inst.data() + "/vornlake.dat"), garbage);
}

// Profiles scheduled at the same minute on a new installation all start, whichever of them
// creates the cache's tables; its data folder is reached through a link, as in a linked home.
TEST(EndToEnd, ProfilesStartedTogetherOnANewDataFolderAllRun) {
  RefServer server({"--account", "alice:secret", "--profile", "p0:1", "--profile", "p1:2", "--profile", "p2:3",
                    "--profile", "p3:4"});
  for (int round = 0; round < 4; ++round) {
    Installation inst;
    ::symlink(inst.data().c_str(), (inst.root() + "/linked").c_str());
    write_file(inst.settings(), "Install_Dir=" + inst.install() + "\nData_Dir=" + inst.root() + "/linked\n");
    std::vector<pid_t> pids;
    for (const std::string tag : {"p0", "p1", "p2", "p3"}) inst.profile(tag, server.port(), {inst.source()});
    for (const std::string tag : {"p0", "p1", "p2", "p3"})
      pids.push_back(spawn({bin_path("vornlake"), "/run:" + tag}, inst.env(), "/dev/null", inst.root() + "/" + tag));
    for (size_t i = 0; i < pids.size(); ++i)
      EXPECT_EQ(wait_exit(pids[i]), 0) << round << ": " << read_file(inst.root() + "/p" + std::to_string(i));
  }
}

TEST(EndToEnd, InteractiveConsoleStartListsTheProfiles) {
  Installation inst;
  inst.profile("daily", 5420, {inst.source()});
  inst.profile("a-weekly", 5420, {inst.source()});
  ProcessResult r = run_process({bin_path("vornlake")}, inst.env());
  EXPECT_EQ(r.status, 0);
  size_t a = r.out.find("a-weekly"), d = r.out.find("daily");
  EXPECT_NE(a, std::string::npos);
  EXPECT_NE(d, std::string::npos);
  EXPECT_LT(a, d);
  EXPECT_NE(r.out.find("vornlake /run:TAG"), std::string::npos);
  // A display named but not to be opened (the socket of an ended session, no X): the automatic
  // choice falls back to the console rather than the toolkit aborting the start.
  const std::string stale = inst.root() + "/wayland-stale";
  {
    UniqueFd sock(::socket(AF_UNIX, SOCK_STREAM, 0));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, stale.c_str(), sizeof addr.sun_path - 1);
    ASSERT_EQ(::bind(sock.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  }
  std::vector<std::string> stale_env = inst.env();
  for (const char* v : {"VORNLAKE_UI=", "DISPLAY=", "QT_QPA_PLATFORM="}) stale_env = with(stale_env, v);
  ProcessResult on_stale = run_process({bin_path("vornlake")}, with(stale_env, "WAYLAND_DISPLAY=" + stale));
  EXPECT_EQ(on_stale.status, 0) << on_stale.err;
  EXPECT_NE(on_stale.out.find("daily"), std::string::npos);
  // -h and -V as --help and --version: printed, exit 0, no start-up (no settings needed).
  for (const char* opt : {"--help", "-h"}) {
    ProcessResult help = run_process({bin_path("vornlake"), opt}, {"VORNLAKE_SETTINGS=/vl-none"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("Usage: vornlake", 0), 0u) << opt;
  }
  for (const char* opt : {"--version", "-V"}) {
    ProcessResult version = run_process({bin_path("vornlake"), opt}, {"VORNLAKE_SETTINGS=/vl-none"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "vornlake 0.9.1 (v0.09.0001)\n") << "the package's version, and the About box's";
  }
}

}  // namespace
}  // namespace vl::test

namespace vl::test {
namespace {


TEST(EndToEndFaults, UnopenableAndUnreadableFilesAreWarnedAboutAndLeftOutOfTheCache) {
  Installation inst;
  const std::string s = inst.source();
  write_file(s + "/locked.bin", random_bytes(4000, 8));
  write_file(s + "/broken.bin", random_bytes(2 * 1048576, 9));
  write_file(s + "/fine.txt", "fine\n");
  for (const char* f : {"locked.bin", "broken.bin", "fine.txt"}) age_file(s + "/" + f, 3600);
  RefServer server({"--account", "alice:secret", "--profile", "daily:7"});
  inst.profile("daily", server.port(), {s});
  std::vector<std::string> env = with(with(inst.env(), "VORNLAKE_TEST_OPEN_FAIL=" + s + "/locked.bin"),
                                      "VORNLAKE_TEST_READ_FAIL=" + s + "/broken.bin");
  ProcessResult p = run_process({bin_path("vornlake"), "/run:daily"}, env);
  ASSERT_EQ(p.status, 2) << "items were left out: " << p.err;
  std::vector<std::string> log = read_lines(inst.data() + "/Profiles/daily/00000001.log");
  auto has = [&](const std::string& l) { return std::find(log.begin(), log.end(), l) != log.end(); };
  // Each item's line is ended; the warnings stand on lines of their own and are counted.
  EXPECT_TRUE(has(s + "/locked.bin : 4000 : File (A)"));
  EXPECT_TRUE(has("Warning: Failed to open file: " + s + "/locked.bin"));
  EXPECT_TRUE(has(s + "/broken.bin : 2097152 : File (A) "));
  EXPECT_TRUE(has("Warning: Failed to read file: " + s + "/broken.bin"));
  EXPECT_TRUE(has("Warnings:       2"));
  // Neither file may be taken from the cache next time.
  const std::string cache = inst.data() + "/md5cache.dat";
  EXPECT_EQ(query_int(cache, "select count(*) from filespec"), 1);
  EXPECT_EQ(query_int(cache, "select count(*) from filespec where filespec='" + s + "/fine.txt'"), 1);
}

TEST(EndToEndFaults, CatalogThatCannotBeUploadedIsAFailure) {
  Installation inst;
  write_file(inst.source() + "/a.txt", "a\n");
  RefServer server({"--account", "alice:secret", "--profile", "daily:7"});
  inst.profile("daily", server.port(), {inst.source()});
  ProcessResult p = run_process(
      {bin_path("vornlake"), "/run:daily"},
      with(inst.env(), "VORNLAKE_TEST_OPEN_FAIL=" + inst.data() + "/Profiles/daily/00000001.cat"));
  EXPECT_EQ(p.status, 3);
  EXPECT_NE(p.err.find("Backup Failure: Backup completed, but the catalog could not be stored on the server!"),
            std::string::npos) << p.err;
  EXPECT_NE(p.out.find("Failed to open catalog!"), std::string::npos);
  std::vector<std::string> log = read_lines(inst.data() + "/Profiles/daily/00000001.log");
  EXPECT_NE(std::find(log.begin(), log.end(), "Errors:         1"), log.end());
  EXPECT_EQ(count_trace(server.trace(), 0, "0223"), 0u) << "no finalize for a catalog never sent";
}

}  // namespace
}  // namespace vl::test

namespace vl::test {
namespace {

void exec_sql(const std::string& db_path, const std::string& sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(db_path.c_str(), &db), SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sql;
  sqlite3_close(db);
}

TEST(EndToEndCache, DigestsThatDoNotCoverTheFileAreNotReused) {
  Installation inst;
  const std::string s = inst.source();
  for (const char* f : {"gap.bin", "tail.bin", "zero-bs.bin", "intact.bin"}) {
    write_file(s + "/" + f, random_bytes(3 * 1048576 + 7, static_cast<unsigned>(std::strlen(f))));
    age_file(s + "/" + f, 3600);
  }
  RefServer server({"--account", "alice:secret", "--profile", "daily:7"});
  inst.profile("daily", server.port(), {s});
  ASSERT_EQ(inst.run({"/run:daily"}).status, 0);

  const std::string cache = inst.data() + "/md5cache.dat";
  auto id_of = [&](const char* f) { return "(select id from filespec where filespec='" + s + "/" + f + "')"; };
  exec_sql(cache, "delete from segs where offset=1048576 and file_id=" + id_of("gap.bin"));
  exec_sql(cache, "delete from segs where offset=3145728 and file_id=" + id_of("tail.bin"));
  exec_sql(cache, "update filespec set blocksize=0 where filespec='" + s + "/zero-bs.bin'");

  RunResult r = inst.run({"/run:daily"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(line_of(r, s + "/intact.bin"), s + "/intact.bin : 3145735 : File (A) skipped.");
  for (const char* f : {"gap.bin", "tail.bin", "zero-bs.bin"})
    EXPECT_EQ(line_of(r, s + "/" + f), s + "/" + f + " : 3145735 : File (A) (1/4)  exists.") << f;
  EXPECT_TRUE(has_line(r, "Files Scanned:  3"));
  EXPECT_TRUE(has_line(r, "Files Skipped:  1"));
  // The catalog holds every block of every file, so the restore is whole.
  EXPECT_EQ(query_int(catalog_file(inst, r.catalog_id), "select count(*) from segs"), 16);
  EXPECT_EQ(inst.restore_and_verify(server, r.catalog_id), "");
  // The files read again are whole in the cache once more.
  EXPECT_EQ(query_int(cache, "select count(*) from segs where file_id=" + id_of("gap.bin")), 4);
}

}  // namespace
}  // namespace vl::test

namespace vl::test {
namespace {


TEST(EndToEndConsole, Sigusr1PausesAndResumes) {
  Installation inst;
  write_file(inst.source() + "/slow.bin", random_bytes(12 * 1048576, 10));
  RefServer server({"--account", "alice:secret", "--profile", "daily:7", "--delay-ms", "20"});
  inst.profile("daily", server.port(), {inst.source()});
  const std::string err = inst.root() + "/err.txt";
  pid_t pid = spawn({bin_path("vornlake"), "/run:daily"}, inst.env(), inst.root() + "/out.txt", err);
  ASSERT_TRUE(wait_for_text(err, "Kicking Ass!", 30000));
  ::kill(pid, SIGUSR1);
  // On the test clock the two minutes of pause pass at once: the connection is dropped.
  EXPECT_TRUE(wait_for_text(err, "Paused (Disconnected)...", 30000)) << read_file(err);
  ::kill(pid, SIGUSR1);
  EXPECT_EQ(wait_exit(pid), 0) << read_file(err);
  std::string text = read_file(err);
  EXPECT_LT(text.find("Paused..."), text.find("Paused (Disconnected)..."));
  EXPECT_NE(text.find("Reconnected!"), std::string::npos);
  EXPECT_NE(text.find("Backup Completed!"), std::string::npos);
  EXPECT_EQ(inst.restore_and_verify(server, 1), "");
}

}  // namespace
}  // namespace vl::test
