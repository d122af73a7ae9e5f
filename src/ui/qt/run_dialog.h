// The run dialog (dialog 130): the only window of a running backup. Opening it starts the
// worker; it routes the run view's writes to its controls, drives the three timers, and offers
// Pause/Resume, Cancel (Close once the worker has ended), Throttling and Logs. A run that ends
// while none of the program's windows is active sends the end-of-run notification. GUI thread.
#pragma once

#include <QDialog>
#include <QHash>
#include <QTimer>
#include <QUrl>
#include <functional>
#include <thread>

#include "platform/desktop_notify.h"

#include "run/run_context.h"
#include "run/profile_records.h"

namespace vl {

class RunDialog : public QDialog {
  Q_OBJECT

 public:
  // Builds the controls, opens the run view, writes the first texts for entry
  // (run_dialog_init), starts the worker and the timers (100 ms allowance_refill, 1 s
  // totals_show, 5 s rates_show). ctx must hold the opened profile.
  RunDialog(RunContext& ctx, const ProfileListEntry* entry, QWidget* owner = nullptr);
  // Closes the run view. A worker still running (only when the dialog is destroyed early, as in
  // tests) is cancelled and waited for while its boxes are still served.
  ~RunDialog() override;

  // Run-view targets, by control identifier (ui/controls.h); unknown identifiers are ignored.
  // The text of kCtlStatusReason becomes the status line's tooltip; kCtlLastAttempt is hidden
  // while its text is empty.
  void control_text(int id, const QString& text);
  void control_enable(int id, bool enabled);
  void control_range(int id, uint32_t low, uint32_t high);
  void control_pos(int id, uint32_t pos);
  QWidget* control(int id) const { return controls_.value(id); }

  // Button 2, the close box and Esc: cancel while the worker runs (no question), else close the
  // dialog with result 2.
  void reject() override;

  // Tests: Logs hands the run log's file URL to opener instead of the desktop's viewer; opener
  // returns whether a viewer was started.
  void log_opener_set(std::function<bool(const QUrl&)> opener) { log_opener_ = std::move(opener); }
  // Tests: the end-of-run notification goes to notifier instead of the session bus.
  void notifier_set(std::function<void(const DesktopNotice&)> notifier) {
    notifier_ = std::move(notifier);
  }

 private:
  void build();
  void pause_clicked();
  void throttling_clicked();
  // Logs: opens the run log (ctx.log_path) with the desktop's viewer for text files; when the
  // desktop has none for it, a box with the log's path and a Copy button.
  void logs_clicked();
  // Every 100 ms: notes whether one of the program's windows is the active one while the run
  // goes on; when the run has ended and none was, sends the end-of-run notification (once).
  void end_watch();
  template <class W>
  W* add(int id, W* widget);

  RunContext& ctx_;
  QHash<int, QWidget*> controls_;
  // Progress ranges above 32-bit signed are scaled down by this shift.
  int progress_shift_ = 0;
  QTimer refill_timer_;
  QTimer totals_timer_;
  QTimer rates_timer_;
  std::function<bool(const QUrl&)> log_opener_;
  std::function<void(const DesktopNotice&)> notifier_;
  // The program had the active window at the last tick before the run ended.
  bool watched_ = true;
  bool notified_ = false;
  // Sends the notification: the session bus may take up to two seconds to answer.
  std::thread notify_thread_;
};

}  // namespace vl
