// The Schedule dialog: how often a profile runs by its systemd user timer (off, hourly, daily,
// weekly), set with vornlake-schedule. GUI thread.
#pragma once

#include <QDialog>
#include <string>

#include "ui/qt/schedule.h"

class QComboBox;

namespace vl {

class ScheduleDialog : public QDialog {
  Q_OBJECT

 public:
  // Shows tag's schedule now (current) in the list.
  ScheduleDialog(QWidget* owner, const std::string& tag, Schedule current);

  // OK: runs vornlake-schedule with the chosen schedule (unless it is the current one) and
  // closes when it succeeded. Without a user manager, says so and offers the crontab line to
  // copy (the dialog closes: nothing was changed); any other failure shows what the script said
  // and the dialog stays open.
  void accept() override;

  Schedule chosen() const;

 private:
  std::string tag_;
  Schedule current_;
  QComboBox* choice_;
};

}  // namespace vl
