#include "ui/qt/schedule_dialog.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "ui/qt/qt_backend.h"
#include "ui/qt/qt_util.h"

namespace vl {

ScheduleDialog::ScheduleDialog(QWidget* owner, const std::string& tag, Schedule current)
    : QDialog(owner, dialog_flags(false)), tag_(tag), current_(current) {
  setWindowTitle(QStringLiteral("Schedule"));
  choice_ = new QComboBox(this);
  choice_->setObjectName(QStringLiteral("schedule_choice"));
  for (Schedule s : {Schedule::off, Schedule::hourly, Schedule::daily, Schedule::weekly})
    choice_->addItem(QString::fromUtf8(schedule_name(s)), static_cast<int>(s));
  choice_->setCurrentIndex(choice_->findData(static_cast<int>(current)));
  auto* note = new QLabel(
      QStringLiteral("The run starts by itself while you are logged in, and a run missed while\n"
                     "the computer was off follows at the next start. Each run ends with a\n"
                     "desktop notification; its log is under Logs of the run and in Last Run."),
      this);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  auto* top = new QVBoxLayout(this);
  auto* heading = new QLabel(qs("Run the backup profile " + tag + ":"), this);
  heading->setTextFormat(Qt::PlainText);
  top->addWidget(heading);
  top->addWidget(choice_);
  top->addWidget(note);
  top->addWidget(buttons);
  connect(buttons, &QDialogButtonBox::accepted, this, &ScheduleDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
}

Schedule ScheduleDialog::chosen() const {
  return static_cast<Schedule>(choice_->currentData().toInt());
}

void ScheduleDialog::accept() {
  const Schedule s = chosen();
  if (s == current_) {
    QDialog::accept();
    return;
  }
  const ScheduleResult r = schedule_set(tag_, s);
  if (r.status == 0) {
    QDialog::accept();
    return;
  }
  if (r.status == kScheduleNoManager) {
    const std::string line = schedule_cron_line(tag_, s);
    qt_copy_box(this,
                "Timers cannot be set up now: the systemd user manager is not running for you "
                "(as in a session without a desktop).\n\nLog in to a desktop session and try "
                "again, or have an administrator run \"loginctl enable-linger\" for your user, or "
                "run the profile from cron: open your crontab with \"crontab -e\" and add this "
                "line:\n\n" + line,
                "Schedule", line);
    QDialog::reject();
    return;
  }
  qt_message_box(this, "The schedule could not be changed.\n\n" + r.errors, "Schedule Error");
}

}  // namespace vl
