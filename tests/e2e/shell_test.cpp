// Start-up and ending decisions without processes: the command line, the choice of front-end, the
// settings file that stands in for the installer's registry key, the notification of an ended run.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/settings.h"
#include "platform/std_descriptors.h"
#include "shell/command_line.h"
#include "support/test_support.h"
#include "run/run_notice.h"

namespace vl {
namespace {

CommandLine parse(std::vector<const char*> args) {
  args.insert(args.begin(), "vornlake");
  return command_line_parse(static_cast<int>(args.size()), args.data());
}

TEST(CommandLine, RunIsRecognisedOnlyExactly) {
  CommandLine daily = parse({"/run:daily"});
  EXPECT_TRUE(daily.unattended);
  EXPECT_EQ(daily.tag, "daily");
  EXPECT_FALSE(parse({"/RUN:daily"}).unattended);
  EXPECT_FALSE(parse({"run:daily"}).unattended);
  CommandLine empty = parse({"/run:"});
  EXPECT_TRUE(empty.unattended);
  EXPECT_EQ(empty.tag, "");
  // The arguments are joined with single blanks; the tag is kept unchanged, blanks included.
  EXPECT_EQ(parse({"/run:daily "}).tag, "daily ");
  EXPECT_EQ(parse({"/run:my", "set"}).tag, "my set");
  EXPECT_EQ(parse({"/run:\"daily\""}).tag, "\"daily\"");
}

TEST(CommandLine, HelpAndVersionOnlyAsTheWholeLine) {
  EXPECT_TRUE(parse({"--help"}).help && parse({"-h"}).help);
  EXPECT_TRUE(parse({"--version"}).version && parse({"-V"}).version);
  EXPECT_FALSE(parse({"--help", "x"}).help);
  CommandLine none = parse({});
  EXPECT_FALSE(none.help || none.version || none.unattended);
}

TEST(FrontendChoice, VariableFirstThenDisplay) {
  EXPECT_EQ(frontend_choose("console", ":0", nullptr), FrontendKind::console);
  EXPECT_EQ(frontend_choose("qt", nullptr, nullptr), FrontendKind::qt);
  EXPECT_EQ(frontend_choose(nullptr, ":0", nullptr), FrontendKind::qt);
  EXPECT_EQ(frontend_choose(nullptr, nullptr, "wayland-0"), FrontendKind::qt);
  EXPECT_EQ(frontend_choose(nullptr, "", nullptr), FrontendKind::console);
  EXPECT_EQ(frontend_choose(nullptr, nullptr, nullptr), FrontendKind::console);
  EXPECT_EQ(frontend_choose("other", nullptr, nullptr), FrontendKind::console);
}

// Started with stderr closed, descriptor 2 is /dev/null before anything else can be given it.
TEST(StartUp, AClosedStandardDescriptorIsDevNull) {
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::close(2);
    const bool ensured = std_descriptors_ensure();
    struct stat fd2, null;
    const bool on_null = ::fstat(2, &fd2) == 0 && ::stat("/dev/null", &null) == 0 &&
                         fd2.st_rdev == null.st_rdev && S_ISCHR(fd2.st_mode);
    ::_exit(ensured && on_null ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST(SettingsFile, BothValuesAreNeeded) {
  test::TempDir dir;
  Settings s;
  test::write_file(dir / "ok.conf", "# comment\n\nInstall_Dir=/opt/vl\r\nData_Dir=/var/lib/vl\nOther=x\n");
  ASSERT_TRUE(settings_read_file(dir / "ok.conf", &s));
  EXPECT_EQ(s.install_dir, "/opt/vl");
  EXPECT_EQ(s.data_dir, "/var/lib/vl");
  test::write_file(dir / "no-data.conf", "Install_Dir=/opt/vl\n");
  EXPECT_FALSE(settings_read_file(dir / "no-data.conf", &s));
  test::write_file(dir / "long.conf", "Install_Dir=/opt/vl\nData_Dir=/" + std::string(255, 'd') + "\n");
  EXPECT_FALSE(settings_read_file(dir / "long.conf", &s)) << "a value of 256 bytes is unreadable";
  test::write_file(dir / "edge.conf", "Install_Dir=/opt/vl\nData_Dir=/" + std::string(254, 'd') + "\n");
  EXPECT_TRUE(settings_read_file(dir / "edge.conf", &s));
  EXPECT_FALSE(settings_read_file(dir / "missing.conf", &s));
  test::write_file(dir / "empty.conf", "Install_Dir=/opt/vl\nData_Dir=\n");
  EXPECT_FALSE(settings_read_file(dir / "empty.conf", &s)) << "an empty value counts as missing";
}

TEST(SettingsFile, HomeExpansionAndRequestWindow) {
  test::TempDir dir;
  Settings s;
  ::setenv("HOME", "/home/ann", 1);
  test::write_file(dir / "home.conf", "Install_Dir=/usr/share/vornlake\nData_Dir=~/.local/share/x\n");
  ASSERT_TRUE(settings_read_file(dir / "home.conf", &s));
  EXPECT_EQ(s.data_dir, "/home/ann/.local/share/x");
  EXPECT_EQ(s.install_dir, "/usr/share/vornlake") << "only a leading ~/ is expanded";
  EXPECT_EQ(s.request_window, kRequestWindowDefault);
  EXPECT_EQ(s.keep_runs, 10);
  const struct {
    const char* line;
    bool ok;
    int window;
  } windows[] = {{"Request_Window=1", true, 1},   {"Request_Window=256", true, 256},
                 {"Request_Window=0", false, 0},  {"Request_Window=257", false, 0},
                 {"Request_Window=x", false, 0},  {"Request_Window=", false, 0},
                 {"Retry_Limit_Minutes=0", true, 32}, {"Retry_Limit_Minutes=-5", false, 0},
                 {"Upload_Sessions=32", true, 32},    {"Upload_Sessions=0", false, 0},
                 {"Upload_Sessions=33", false, 0},    {"CA_File=", true, 32},
                 {"CA_File=~/ca.pem", true, 32},
                 {"Keep_Runs=0", true, 32},        {"Keep_Runs=100001", false, 0}};

  test::write_file(dir / "ca.conf", "Install_Dir=/i\nData_Dir=/d\nCA_File=/" + std::string(255, 'c') + "\n");
  std::string bad;
  EXPECT_FALSE(settings_read_file(dir / "ca.conf", &s, &bad));
  EXPECT_EQ(bad.rfind("CA_File=", 0), 0u) << "named, not taken for a missing settings file";
  for (const auto& w : windows) {
    test::write_file(dir / "w.conf", std::string("Install_Dir=/i\nData_Dir=/d\n") + w.line + "\n");
    Settings t;
    std::string bad;
    EXPECT_EQ(settings_read_file(dir / "w.conf", &t, &bad), w.ok) << w.line;
    if (w.ok) {
      EXPECT_EQ(t.request_window, w.window) << w.line;
      EXPECT_EQ(t.ca_file, std::string(w.line) == "CA_File=~/ca.pem" ? "/home/ann/ca.pem" : "") << w.line;
    } else {
      // Named with its value and range, not taken for a missing settings file.
      EXPECT_EQ(bad.rfind(std::string(w.line) + " in ", 0), 0u) << bad;
      EXPECT_NE(bad.find("must be a whole number from "), std::string::npos) << bad;
    }
  }
}

TEST(SettingsFile, TheVariableNamesTheOnlyFile) {
  test::TempDir dir;
  Settings s;
  test::write_file(dir / "a.conf", "Install_Dir=/i\nData_Dir=/d\n");
  ::setenv("VORNLAKE_SETTINGS", (dir / "a.conf").c_str(), 1);
  EXPECT_TRUE(settings_load(&s));
  ::setenv("VORNLAKE_SETTINGS", (dir / "absent.conf").c_str(), 1);
  ::setenv("XDG_CONFIG_HOME", dir.path().c_str(), 1);
  EXPECT_FALSE(settings_load(&s)) << "no fall-back when the variable names a missing file";
  ::unsetenv("VORNLAKE_SETTINGS");
  ::mkdir((dir / "corvantis").c_str(), 0700);
  test::write_file(dir / "corvantis/online-backup.conf", "Install_Dir=/x\nData_Dir=/y\n");
  ASSERT_TRUE(settings_load(&s));
  EXPECT_EQ(s.data_dir, "/y");
  ::unsetenv("XDG_CONFIG_HOME");
}

TEST(RunEndNotice, SummaryBodyAndUrgencyFollowTheOutcome) {
  const std::string counts = "2 files, 1,234 bytes, ", log = "\nRun log: /d/0000002a.log";
  const struct {
    RunOutcome outcome;
    uint32_t warnings, errors;
    std::string status, summary, body;
    bool urgent;
  } cases[] = {
      {kRunCompleted, 0, 0, "Backup Completed!", "completed", counts + "0 warnings, 0 errors", false},
      {kRunCompleted, 1, 0, "", "completed with 1 warning", counts + "1 warning, 0 errors" + log, false},
      {kRunCompleted, 3, 2, "", "completed with 2 errors and 3 warnings",
       counts + "3 warnings, 2 errors" + log, true},
      {kRunCatalogFailed, 0, 1, "Catalog!", "failed", "Catalog!\n" + counts + "0 warnings, 1 error" + log,
       true},
      {kRunFailed, 0, 0, "Connect Failed!", "failed", "Connect Failed!\n" + counts + "0 warnings, 0 errors",
       true},
      {kRunCancelled, 0, 0, "Backup Cancelled!", "cancelled", counts + "0 warnings, 0 errors", false},
  };
  for (const auto& c : cases) {
    RunContext ctx;
    ctx.entry_tag = "daily";
    ctx.outcome = c.outcome;
    ctx.stats.files = 2;
    ctx.stats.bytes_total = 1234;
    ctx.stats.warnings = c.warnings;
    ctx.stats.errors = c.errors;
    ctx.status_text = c.status;
    ctx.log_path = "/d/0000002a.log";
    DesktopNotice n = run_end_notice(ctx);
    EXPECT_EQ(n.summary, "Backup daily " + c.summary);
    EXPECT_EQ(n.body, c.body) << c.summary;
    EXPECT_EQ(n.urgent, c.urgent) << c.summary;
  }
}

// vornlake-mkprofile at a terminal asks for the password and does not show it; its help and its
// refusals say what they are about.
TEST(Mkprofile, AsksAtATerminalWithoutEchoAndNamesWhatIsWrong) {
  test::TempDir dir;
  test::write_file(dir / "s.conf", "Install_Dir=" + dir.path() + "\nData_Dir=" + (dir / "data") + "\n");
  const std::vector<std::string> env = {"VORNLAKE_SETTINGS=" + (dir / "s.conf")};
  const std::string mk = test::bin_path("vornlake-mkprofile");
  test::ProcessResult typed =
      test::run_at_terminal({mk, "--tag", "t", "--server", "s", "--login", "l"}, env, "Password: ", "hunter2\n");
  EXPECT_EQ(typed.status, 0) << typed.out;
  EXPECT_EQ(typed.out.rfind("Password: ", 0), 0u) << typed.out;
  EXPECT_EQ(typed.out.find("hunter2"), std::string::npos) << "echoed: " << typed.out;
  EXPECT_TRUE(test::file_appears(dir / "data/Profiles/t/t.cfg", 0));
  test::ProcessResult help = test::run_process({mk, "--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("usage: vornlake-mkprofile", 0), 0u);
  EXPECT_EQ(help.err, "");
  const struct {
    std::vector<std::string> args;
    const char* named;
  } refusals[] = {{{"--port", "70000"}, "vornlake-mkprofile: --port 70000: must be a whole number from 1 to 65535\n"},
                  {{"--colour", "red"}, "vornlake-mkprofile: unknown option --colour\n"},
                  {{"--include"}, "vornlake-mkprofile: --include needs a value\n"}};
  for (const auto& r : refusals) {
    std::vector<std::string> argv = {mk, "--tag", "t", "--server", "s", "--login", "l"};
    argv.insert(argv.end(), r.args.begin(), r.args.end());
    test::ProcessResult refused = test::run_process(argv, env, "pw\n");
    EXPECT_EQ(refused.status, 2);
    EXPECT_EQ(refused.err.rfind(r.named, 0), 0u) << refused.err;
  }
}

}  // namespace
}  // namespace vl
