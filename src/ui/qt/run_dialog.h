// The run dialog (dialog 130): the only window of a running backup. Opening it starts the
// worker; it routes the run view's writes to its controls, drives the three timers, and offers
// Pause/Resume, Cancel (Close once the worker has ended) and Throttling. GUI thread.
#pragma once

#include <QDialog>
#include <QHash>
#include <QTimer>
#include <QUrl>
#include <functional>

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

  // Tests: Logs hands the run log's file URL to opener instead of the desktop's viewer.
  void log_opener_set(std::function<void(const QUrl&)> opener) { log_opener_ = std::move(opener); }

 private:
  void build();
  void pause_clicked();
  void throttling_clicked();
  // Logs: opens the run log (ctx.log_path) with the desktop's viewer for text files; a box when
  // none can be started.
  void logs_clicked();
  template <class W>
  W* add(int id, W* widget);

  RunContext& ctx_;
  QHash<int, QWidget*> controls_;
  // Progress ranges above 32-bit signed are scaled down by this shift.
  int progress_shift_ = 0;
  QTimer refill_timer_;
  QTimer totals_timer_;
  QTimer rates_timer_;
  std::function<void(const QUrl&)> log_opener_;
};

}  // namespace vl
