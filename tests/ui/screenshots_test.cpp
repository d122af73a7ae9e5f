// Renders every dialog to PNG files for a person to look at (scripts/screenshots). Runs only when
// VL_SCREENSHOT_DIR names the output folder; skipped in the normal suite.
#include <sys/stat.h>
#include <utime.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QFontDatabase>
#include <QMessageBox>
#include <QPixmap>
#include <QPlainTextEdit>
#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <tuple>

#include "run_fixture.h"
#include "platform/dirs.h"
#include "stores/config_db.h"
#include "stores/profile_db.h"
#include "port/controls.h"
#include "connection/ca_source.h"
#include "ui/qt/folder_chooser.h"
#include "ui/qt/main_window.h"
#include "ui/qt/profile_editor_dialog.h"
#include "ui/qt/profile_list_dialog.h"
#include "ui/qt/rule_editor_dialog.h"
#include "ui/qt/schedule.h"
#include "ui/qt/schedule_dialog.h"
#include "ui/qt/throttling_dialog.h"

namespace vl::test {
namespace {

class Screenshots : public RunFixture {
 protected:
  void SetUp() override {
    const char* dir = std::getenv("VL_SCREENSHOT_DIR");
    if (!dir || !*dir) GTEST_SKIP() << "VL_SCREENSHOT_DIR not set";
    out_ = dir;
    RunFixture::SetUp();
  }
  void shot(QWidget* w, const char* name) {
    w->show();
    QApplication::processEvents();
    std::string path = out_ + "/" + name + ".png";
    EXPECT_TRUE(w->grab().save(QString::fromStdString(path))) << path;
  }
  // The next box any dialog shows, as the user would see it.
  void shot_next_box(const char* name) {
    on_box_ = [this, name](const QtBox& b) {
      std::unique_ptr<QMessageBox> box = qt_message_box_make(b.owner, b);
      shot(box.get(), name);
      on_box_ = nullptr;
    };
  }
  std::string out_;
};

TEST_F(Screenshots, EveryDialog) {
  // The first start on a machine where no CA can be found: every place is named.
  {
    const CaPlaces places{"", "/usr/share/vornlake/ca.crt", "/home/alice/.config/corvantis/ca.crt",
                          "/usr/lib/ssl/cert.pem", "/usr/lib/ssl/certs"};
    std::unique_ptr<QMessageBox> box = qt_message_box_make(
        nullptr, QtBox{nullptr, ca_error_text(places, CaPresence{}, CaChoice{}), "OpenSSL Init Error"});
    shot(box.get(), "first-start-no-ca");
  }
  // vornlake-mkprofile at a terminal: the prompt, and nothing of what was typed.
  {
    write_file(dir_ / "s.conf", "Install_Dir=" + dir_.path() + "\nData_Dir=" + data_dir() + "\n");
    const std::vector<std::string> args = {"--tag", "mail", "--server", "backup.example.com",
                                           "--login", "alice", "--include", "/home/alice/Mail"};
    std::vector<std::string> argv = {bin_path("vornlake-mkprofile")};
    argv.insert(argv.end(), args.begin(), args.end());
    ProcessResult typed = run_at_terminal(argv, {"VORNLAKE_SETTINGS=" + (dir_ / "s.conf")}, "Password: ",
                                          "correct horse\n");
    EXPECT_EQ(typed.status, 0) << typed.out;
    std::string shown = "alice@desktop:~$ vornlake-mkprofile";
    for (const std::string& a : args) shown += " " + a;
    shown += "\n" + typed.out + "alice@desktop:~$ ";
    shown.erase(std::remove(shown.begin(), shown.end(), '\r'), shown.end());
    QPlainTextEdit terminal;
    terminal.setPlainText(qs(shown));
    terminal.setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    terminal.setStyleSheet(QStringLiteral("background: #1e1e1e; color: #e0e0e0;"));
    terminal.setWindowTitle(QStringLiteral("Terminal"));
    terminal.resize(QFontMetrics(terminal.font()).horizontalAdvance(QString(100, QLatin1Char('m'))), 120);
    shot(&terminal, "mkprofile-prompt");
    profile_delete("mail", true);
  }
  ASSERT_EQ(config_load_profiles(), 0);
  {
    ProfileListDialog empty;
    shot(&empty, "profile-list-empty");
  }
  // Two profiles, each with a run log behind its Last Run column.
  const time_t now = std::time(nullptr);
  for (auto [tag, description, warnings] :
       {std::tuple{"daily", "Documents and mail, every night", "3"},
        std::tuple{"weekly-full", "The whole home folder", "0"}}) {
    ProfileSettings p;
    p.tag = tag;
    p.description = description;
    p.server = "localhost";
    p.login = "alice";
    p.password = "secret";
    ASSERT_EQ(profile_create(p), 0);
    const std::string path = profile_dir(tag) + "/0000002a.log";
    write_file(path, std::string("Backup Stats:\nWarnings:       ") + warnings +
                         "\nErrors:         0\n");
    struct utimbuf times = {now - 86400, now - 86400 * (tag[0] == 'd' ? 1 : 5)};
    ::utime(path.c_str(), &times);
  }
  // A third profile whose last run could not reach its server: no log, only the record.
  {
    ProfileSettings p;
    p.tag = "photos";
    p.description = "Photos, to the office server";
    p.server = "backup.example.com";
    p.login = "alice";
    p.password = "secret";
    ASSERT_EQ(profile_create(p), 0);
    write_file(profile_dir("photos") + "/last-run", std::to_string(now - 3600) + " could not connect\n");
  }
  ASSERT_EQ(config_load_profiles(), 0);
  FakeSystemd systemd(dir_ / "systemd");
  ASSERT_EQ(schedule_set("daily", Schedule::daily).status, 0);
  ASSERT_EQ(schedule_set("photos", Schedule::weekly).status, 0);
  {
    ProfileListDialog list;
    auto* rows = ctl<QTreeWidget>(&list, 1001);
    list.show();
    QApplication::processEvents();
    click_row(rows, 0);
    shot(&list, "profile-list");
    AboutDialog about(&list);
    shot(&about, "about");
    ScheduleDialog schedule(&list, "daily", Schedule::daily);
    shot(&schedule, "schedule");
    // Delete: what goes, what stays, and the box for the logs and catalogs.
    click_row(rows, 1);
    answer_ = false;
    shot_next_box("delete-confirmation");
    list.profile_delete_selected();
    answer_ = true;
  }
  {
    FakeSystemd none(dir_ / "no-manager", true);
    ScheduleDialog schedule(nullptr, "daily", Schedule::daily);
    schedule.findChild<QComboBox*>("schedule_choice")->setCurrentIndex(3);
    shot_next_box("schedule-no-manager");
    schedule.accept();
  }
  {
    auto rec = profile_load("daily", true);
    rec->include_rules = {{"/home/alice/Documents"}, {"/home/alice/Mail"}};
    rec->exclude_rules = {{"*.tmp"}, {"/home/alice/Documents/cache/"}};
    rec->tx_throttle = 1;
    rec->tx_rate = 512;
    ProfileEditorDialog editor(nullptr, rec.get(), EditorMode::edit);
    shot(&editor, "profile-editor");
    // OK with folders that are not there (nor is the home of this example).
    answer_ = false;
    shot_next_box("editor-missing-folder");
    editor.accept();
    answer_ = true;
    auto* rules = ctl<QTreeWidget>(&editor, 1001);
    RuleEditorDialog rule(&editor, rules, RuleAction::change, true, "/home/alice/Documents", 0);
    shot(&rule, "rule-editor");
    FolderChooser chooser(&rule, source_);
    shot(&chooser, "folder-chooser");
  }
  RefServer server({"--delay-ms", "40"});
  start(server, "Documents and mail, every night");
  ASSERT_NE(dialog_, nullptr);
  ASSERT_TRUE(wait_until([this] { return text(kCtlFiles) != "0 " || finished(); }));
  wait_until([this] { return text(kCtlNetTx) != "0 "; }, 3000);
  shot(dialog_.get(), "run-dialog-running");
  {
    ThrottlingDialog throttling(run_context(), dialog_.get());
    shot(&throttling, "throttling");
  }
  press(dialog_.get(), kCtlButtonPause);
  wait_until([this] { return text(kCtlStatus).startsWith("Paused"); }, 3000);
  shot(dialog_.get(), "run-dialog-paused");
  press(dialog_.get(), kCtlButtonPause);
  ASSERT_TRUE(wait_until([this] { return finished(); }, 120000));
  wait_until([this] { return !text(kCtlElapsed).isEmpty(); }, 3000);
  shot(dialog_.get(), "run-dialog-done");
  dialog_->control_text(kCtlStatus,
                        "Backup completed, but the catalog could not be stored on the server!\n"
                        "1 error; see the run log.");
  shot(dialog_.get(), "run-dialog-long-status");
  dialog_->control_text(kCtlStatus,
                        "Backup Completed!\n3 items could not be backed up; see the run log.");
  shot(dialog_.get(), "run-dialog-warnings");
  // Logs on a desktop with no program for text files.
  dialog_->log_opener_set([](const QUrl&) { return false; });
  shot_next_box("logs-fallback");
  press(dialog_.get(), kCtlButtonLogs);

  // A server that is not there: the run retries, and says what the last attempt ran into.
  dialog_.reset();
  run_context_clear(run_context());
  profile_entry_running = nullptr;
  RefServer gone;
  gone.stop();
  start(gone, "Documents and mail, every night");
  ASSERT_TRUE(wait_until([this] { return text(kCtlStatus).startsWith("Retry"); }));
  run_view_text(kCtlLastAttempt, "Last attempt: localhost:" + std::to_string(gone.port()) +
                                     " refused the connection");
  shot(dialog_.get(), "run-dialog-retrying");
  press(dialog_.get(), kCtlButtonCancel);
  ASSERT_TRUE(wait_until([this] { return finished(); }));
}

}  // namespace
}  // namespace vl::test
