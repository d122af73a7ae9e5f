// The run dialog running real backups: the engine's worker against the reference server over TLS
// on 127.0.0.1, its writes reaching the widgets through the Qt back-end, and the buttons.
#include <sched.h>
#include <sys/stat.h>

#include <QFontInfo>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QComboBox>
#include <QThread>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "connection/connect.h"
#include "engine/run_session.h"
#include "platform/dirs.h"
#include "run/run_texts.h"
#include "qt_test_support.h"
#include "engine/open_profile.h"
#include "stores/config_db.h"
#include "stores/md5cache.h"
#include "stores/profile_db.h"
#include "run_fixture.h"
#include "support/refserver_process.h"
#include "port/controls.h"
#include "ui/qt/profile_list_dialog.h"
#include "ui/qt/qt_frontend.h"
#include "ui/qt/run_dialog.h"
#include "ui/qt/throttling_dialog.h"

namespace vl::test {
namespace {

using RunDialogTest = RunFixture;

TEST_F(RunDialogTest, CompletedRunEndsWithCloseAndTheServerHoldsTheCatalog) {
  RefServer server;
  start(server);
  // Initial state, written through the run view as the dialog opened.
  EXPECT_EQ(dialog_->windowTitle(), "Corvantis Online Backup");
  EXPECT_EQ(text(kCtlVersion), "v0.09.0001");
  EXPECT_EQ(text(kCtlProfileName), "Documents");
  EXPECT_EQ(text(kCtlTagName), "daily");
  EXPECT_FALSE(enabled(kCtlButtonLogs));
  EXPECT_EQ(text(kCtlButtonCancel), "Cancel");
  QFontInfo status_font(ctl<QLabel>(dialog_.get(), kCtlStatus)->font());
  EXPECT_EQ(status_font.pixelSize(), 22);
  EXPECT_TRUE(status_font.family() == "Arial" || status_font.family() == "Liberation Sans")
      << status_font.family().toStdString();

  ASSERT_TRUE(wait_until([this] { return finished(); }));
  ASSERT_EQ(box_texts(), std::vector<std::string>{"Corvantis Online Backup|Backup Completed!"});
  EXPECT_EQ(boxes_[0].owner, dialog_.get()) << "the completion box is owned by the run dialog";
  QApplication::processEvents();
  EXPECT_EQ(text(kCtlStatus), "Backup Completed!");
  EXPECT_EQ(text(kCtlButtonCancel), "Close");
  EXPECT_TRUE(enabled(kCtlButtonCancel));
  EXPECT_FALSE(enabled(kCtlButtonPause));
  EXPECT_FALSE(enabled(kCtlButtonThrottling));
  EXPECT_EQ(text(kCtlFiles), "41 ");
  EXPECT_EQ(text(kCtlBytesTotal).endsWith(' '), true);
  EXPECT_EQ(text(kCtlBlocksTotal), QString::number(run_context().stats.segs.load()) + " ");
  EXPECT_GE(run_context().stats.segs.load(), 44u);
  EXPECT_FALSE(text(kCtlStartTime).isEmpty());
  EXPECT_EQ(run_context().outcome.load(), kRunCompleted);

  // The 1-second timer shows the network totals and the elapsed time.
  EXPECT_TRUE(wait_until([this] { return text(kCtlNetTx) != "0 " && !text(kCtlElapsed).isEmpty(); }, 5000));
  EXPECT_TRUE(text(kCtlElapsed).endsWith(" sec")) << text(kCtlElapsed).toStdString();

  char name[32];
  std::snprintf(name, sizeof name, "/catalogs/%08x/finalize", run_context().catalog_id);
  EXPECT_TRUE(file_exists(server.store() + name));

  // Logs, enabled once the log existed, hands its file to the desktop's viewer.
  EXPECT_TRUE(enabled(kCtlButtonLogs));
  std::vector<QUrl> opened;
  dialog_->log_opener_set([&opened](const QUrl& url) { opened.push_back(url); return true; });
  press(dialog_.get(), kCtlButtonLogs);
  const std::string log = run_log_path("daily", run_context().catalog_id);
  EXPECT_EQ(opened, std::vector<QUrl>{QUrl::fromLocalFile(qs(log))});
  EXPECT_TRUE(file_exists(log));
  // A desktop with no viewer for it: the path, to copy.
  dialog_->log_opener_set([](const QUrl&) { return false; });
  on_box_ = [&log](const QtBox& b) { EXPECT_EQ(b.copy, log); };
  press(dialog_.get(), kCtlButtonLogs);
  on_box_ = nullptr;
  ASSERT_FALSE(boxes_.empty());
  EXPECT_EQ(boxes_.back().caption, "Log Viewer Error");
  EXPECT_NE(boxes_.back().text.find(log), std::string::npos);
  boxes_.pop_back();

  // The last attempt's cause shows under the status line while there is one; the reason behind
  // the status line is its tooltip.
  auto* status = ctl<QLabel>(dialog_.get(), kCtlStatus);
  auto* last_attempt = ctl<QLabel>(dialog_.get(), kCtlLastAttempt);
  EXPECT_TRUE(last_attempt->isHidden());
  run_view_text(kCtlLastAttempt, "Last attempt: localhost:7421 refused the connection");
  EXPECT_FALSE(last_attempt->isHidden());
  run_view_text(kCtlLastAttempt, "");
  EXPECT_TRUE(last_attempt->isHidden());
  run_view_text(kCtlStatusReason, "certificate verify failed");
  EXPECT_NE(status->toolTip().indexOf(QStringLiteral("certificate verify failed")), -1);
  // A final status with a second line shows both, the longest one included, without a third.
  const char* two_lines = "Backup completed, but the catalog could not be stored on the server!\n"
                          "2 errors; see the run log.";
  run_view_text(kCtlStatus, two_lines);
  EXPECT_EQ(ss(status->text()), two_lines);
  EXPECT_LE(status->heightForWidth(status->width()), status->height());

  press(dialog_.get(), kCtlButtonCancel);
  EXPECT_FALSE(dialog_->isVisible());
  EXPECT_EQ(dialog_->result(), 2);
}

TEST_F(RunDialogTest, CancelWhilePausedTakesTheCancelPath) {
  RefServer server({"--delay-ms", "30"});
  start(server);
  ASSERT_TRUE(wait_until([this] { return enabled(kCtlButtonPause); })) << "enabled once connected";
  ASSERT_TRUE(wait_until([this] { return status_is("Kicking Ass!") || finished(); }));
  ASSERT_FALSE(finished()) << "the run ended before it could be paused";

  press(dialog_.get(), kCtlButtonPause);
  EXPECT_EQ(text(kCtlButtonPause), "Resume");
  EXPECT_EQ(run_context().pause.load(), 1);
  EXPECT_TRUE(wait_until([this] { return text(kCtlStatus).startsWith("Paused"); }));
  press(dialog_.get(), kCtlButtonPause);
  EXPECT_EQ(text(kCtlButtonPause), "Pause");
  EXPECT_EQ(run_context().pause.load(), 0);
  press(dialog_.get(), kCtlButtonPause);

  // Cancel asks nothing and does not close the dialog while the worker runs.
  press(dialog_.get(), kCtlButtonCancel);
  EXPECT_TRUE(dialog_->isVisible());
  ASSERT_TRUE(wait_until([this] { return finished(); }));
  QApplication::processEvents();
  EXPECT_EQ(box_texts(), std::vector<std::string>{"Corvantis Online Backup|Backup Cancelled!"});
  EXPECT_EQ(boxes_[0].owner, nullptr);
  EXPECT_EQ(text(kCtlStatus), "Backup Cancelled!");
  EXPECT_EQ(text(kCtlButtonCancel), "Close");
  EXPECT_FALSE(enabled(kCtlButtonThrottling));
  EXPECT_EQ(run_context().outcome.load(), kRunCancelled);
  EXPECT_TRUE(dialog_->isVisible());
  press(dialog_.get(), kCtlButtonCancel);
  EXPECT_FALSE(dialog_->isVisible());
}

TEST_F(RunDialogTest, ThrottlingAppliesToTheRunningWorkerAtOnce) {
  RefServer server({"--delay-ms", "30"});
  start(server);
  ASSERT_TRUE(wait_until([this] { return status_is("Kicking Ass!") || finished(); }));
  ASSERT_FALSE(finished());

  bool opened = false;
  on_next_modal([&opened](QWidget* w) {
    opened = true;
    EXPECT_NE(qobject_cast<ThrottlingDialog*>(w), nullptr);
    EXPECT_EQ(w->parentWidget()->windowTitle(), "Corvantis Online Backup") << "owned by the run dialog";
    ctl<QComboBox>(w, 1035)->setCurrentIndex(4);  // Idle
    ctl<QLineEdit>(w, 1042)->setText("3");
    press(w, 1);
  });
  press(dialog_.get(), kCtlButtonThrottling);
  ASSERT_TRUE(opened);
  EXPECT_EQ(run_context().profile->thread_priority.load(), 0u);
  EXPECT_EQ(run_context().profile->file_delay_ms.load(), 3);
  pid_t tid = run_context().worker_tid.load();
  ASSERT_GT(tid, 0);
  if (!finished()) {
    EXPECT_EQ(::sched_getscheduler(tid), SCHED_IDLE);
  }

  press(dialog_.get(), kCtlButtonCancel);
  ASSERT_TRUE(wait_until([this] { return finished(); }));
  // The stored profile keeps its own values: the dialog changes the running record only.
  auto stored = profile_load("daily", true);
  ASSERT_NE(stored, nullptr);
  EXPECT_EQ(stored->thread_priority.load(), 1u);
  EXPECT_EQ(stored->file_delay_ms.load(), 0);
}

TEST_F(RunDialogTest, CancelDuringTheFinalBoxChangesNothing) {
  RefServer server;
  bool pressed = false;
  on_box_ = [this, &pressed](const QtBox&) {
    // The worker is waiting for this box: Cancel must neither close the dialog nor matter.
    pressed = true;
    EXPECT_TRUE(run_worker_running(run_context()));
    press(dialog_.get(), kCtlButtonCancel);
    EXPECT_TRUE(dialog_->isVisible());
  };
  start(server);
  ASSERT_TRUE(wait_until([this] { return finished(); }));
  EXPECT_TRUE(pressed);
  EXPECT_EQ(run_context().outcome.load(), kRunCompleted);
  EXPECT_TRUE(dialog_->isVisible());
  press(dialog_.get(), kCtlButtonCancel);
  EXPECT_FALSE(dialog_->isVisible());
}

TEST_F(RunDialogTest, OtherThreadsReachTheWidgetsOnlyThroughTheGuiThread) {
  RefServer server({"--delay-ms", "30"});
  start(server);
  ASSERT_TRUE(wait_until([this] { return enabled(kCtlButtonPause); }));
  bool hook_on_gui = false;
  on_box_ = [&hook_on_gui](const QtBox& box) {
    if (box.caption == "Probe") hook_on_gui = QThread::currentThread() == qApp->thread();
  };
  std::atomic<bool> returned{false};
  // A folder named like markup: shown as it is, its image never loaded (a FIFO would hang).
  const std::string marked = "/x/<img src=\"/proc/self/fd/0\">/";
  std::thread other([&returned, &marked] {
    run_view_text(kCtlButtonLogs, "probe");  // a control nothing else writes
    run_view_text(kCtlDirectory, marked);
    run_view_text(kCtlStatusReason, marked);  // the status line's tooltip
    message_box(BoxOwner::run_dialog, "from another thread", "Probe");
    returned = true;
  });
  // The box waits for the GUI thread, which has not looked at its events yet.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(returned.load());
  EXPECT_EQ(text(kCtlButtonLogs), "Logs");
  ASSERT_TRUE(wait_until([&returned] { return returned.load(); }));
  other.join();
  EXPECT_TRUE(hook_on_gui);
  EXPECT_EQ(boxes_.front().owner, dialog_.get());
  EXPECT_EQ(text(kCtlButtonLogs), "probe");
  EXPECT_EQ(ctl<QLabel>(dialog_.get(), kCtlDirectory)->textFormat(), Qt::PlainText);
  EXPECT_NE(ctl<QLabel>(dialog_.get(), kCtlStatus)->toolTip().indexOf(QStringLiteral("&lt;img")), -1);
  press(dialog_.get(), kCtlButtonCancel);
  ASSERT_TRUE(wait_until([this] { return finished(); }));
}

TEST_F(RunDialogTest, ClosingTheDialogEndsTheRunView) {
  RefServer server({"--delay-ms", "30"});
  start(server);
  EXPECT_TRUE(run_view_exists());
  ASSERT_TRUE(wait_until([this] { return enabled(kCtlButtonPause); }));
  // Destroyed while the worker runs (as at a test's end): the worker is cancelled and waited for.
  dialog_.reset();
  EXPECT_FALSE(run_view_exists());
  EXPECT_TRUE(finished());
  // Cancelled while connecting or allocating, the run ends as that step's failure.
  int32_t outcome = run_context().outcome.load();
  EXPECT_TRUE(outcome == kRunCancelled || outcome == kRunFailed) << outcome;
  EXPECT_EQ(boxes_.size(), 1u);
  EXPECT_EQ(qt_run_dialog(), nullptr);
}

// An interactive start comes back to the list after each run, the run's row selected and its
// Last Run written; a refused login offers the profile's editor there.
TEST_F(RunDialogTest, InteractiveStartReturnsToTheListAfterEachRun) {
  RefServer server({"--login-refuse", "1"});
  store(server);
  answer_ = false;
  std::vector<std::string> last_runs;
  std::function<void(QWidget*)> in_list = [&](QWidget* list) {
    auto* rows = ctl<QTreeWidget>(list, 1001);
    ASSERT_EQ(rows->topLevelItemCount(), 1);
    last_runs.push_back(ss(rows->topLevelItem(0)->text(2)));
    if (last_runs.size() == 3) {
      EXPECT_TRUE(rows->topLevelItem(0)->isSelected());
      qobject_cast<QDialog*>(list)->reject();
      return;
    }
    on_next_modal([&](QWidget* run) {
      EXPECT_NE(qobject_cast<RunDialog*>(run), nullptr);
      EXPECT_TRUE(wait_until([] { return !run_worker_running(run_context()); }));
      on_next_modal(in_list);
      press(run, kCtlButtonCancel);  // Close
    });
    click_row(rows, 0);
    press(list, 1);
  };
  on_next_modal(in_list);
  EXPECT_EQ(qt_run_interactive(), 0);
  ASSERT_EQ(last_runs.size(), 3u);
  EXPECT_EQ(last_runs[0], "");
  EXPECT_NE(last_runs[1].find(" \xC2\xB7 login failed"), std::string::npos) << last_runs[1];
  EXPECT_NE(last_runs[2].find(" \xC2\xB7 completed"), std::string::npos) << last_runs[2];
  const std::vector<std::string> boxes = box_texts();
  ASSERT_GE(boxes.size(), 3u);
  EXPECT_EQ(boxes[0], "Backup Failure|Login failed!");
  EXPECT_EQ(boxes[1].rfind("Login Failed|The server refused the login or password of the backup "
                           "profile daily.", 0), 0u) << boxes[1];
}

// A run that ends while none of the program's windows is active tells the desktop.
TEST_F(RunDialogTest, RunEndingUnwatchedSendsTheNotification) {
  RefServer server({"--delay-ms", "30"});
  start(server);
  std::vector<DesktopNotice> sent;
  dialog_->notifier_set([&sent](const DesktopNotice& n) { sent.push_back(n); });
  dialog_->showMinimized();
  ASSERT_TRUE(wait_until([this] { return finished(); }));
  ASSERT_TRUE(wait_until([&sent] { return !sent.empty(); }, 3000));
  EXPECT_EQ(sent[0].summary, "Backup daily completed");
  wait_until([] { return false; }, 300);
  EXPECT_EQ(sent.size(), 1u) << "once";
}

}  // namespace
}  // namespace vl::test
