#include "ui/qt/throttling_dialog.h"

#include <QHBoxLayout>
#include <QPushButton>
#include <QVBoxLayout>

#include "run/run_control.h"
#include "ui/qt/qt_backend.h"
#include "ui/qt/qt_util.h"
#include "ui/qt/throttling_fields.h"

namespace vl {

ThrottlingDialog::ThrottlingDialog(RunContext& ctx, QWidget* owner)
    : QDialog(owner, dialog_flags(false)), ctx_(ctx) {
  setWindowTitle(QStringLiteral("Backup Throttling"));
  fields_ = new ThrottlingFields(this);
  fields_->show_values(throttle_values_of(*ctx_.profile));

  auto* ok = new QPushButton(QStringLiteral("OK"), this);
  ok->setObjectName(ctl_name(1));
  ok->setDefault(true);
  auto* apply_button = new QPushButton(QStringLiteral("Apply"), this);
  apply_button->setObjectName(ctl_name(1044));
  auto* cancel = new QPushButton(QStringLiteral("Cancel"), this);
  cancel->setObjectName(ctl_name(2));

  auto* buttons = new QVBoxLayout;
  buttons->addWidget(ok);
  buttons->addWidget(apply_button);
  buttons->addWidget(cancel);
  buttons->addStretch(1);
  auto* top = new QHBoxLayout(this);
  top->addWidget(fields_, 1);
  top->addLayout(buttons);

  connect(ok, &QPushButton::clicked, this, [this] {
    if (apply()) accept();
  });
  connect(apply_button, &QPushButton::clicked, this, [this] { apply(); });
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
  resize(sizeHint().expandedTo(QSize(dlu_x(this, 278), dlu_y(this, 135))));
}

bool ThrottlingDialog::apply() {
  ThrottleValues values = throttle_read(fields_->input());
  DialogMessage error;
  if (!throttle_validate(values, &error)) {
    qt_message_box(this, error.text, error.caption);
    focus_control(this, error.control);
    return false;
  }
  throttle_store(*ctx_.profile, values);
  thread_priority_apply(ctx_, values.thread_priority);
  return true;
}

}  // namespace vl
