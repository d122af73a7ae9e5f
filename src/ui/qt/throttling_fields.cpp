#include "ui/qt/throttling_fields.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QRegularExpressionValidator>
#include <QVBoxLayout>

#include "ui/qt/qt_util.h"

namespace vl {
namespace {

// An edit box that takes digits only, right-aligned.
QLineEdit* number_box(QWidget* parent, int id) {
  auto* e = new QLineEdit(parent);
  e->setObjectName(ctl_name(id));
  e->setAlignment(Qt::AlignRight);
  e->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), e));
  e->setMaximumWidth(dlu_x(parent, 40));
  return e;
}

QComboBox* drop_list(QWidget* parent, int id, const char* const* entries, int count) {
  auto* c = new QComboBox(parent);
  c->setObjectName(ctl_name(id));
  for (int i = 0; i < count; ++i) c->addItem(QString::fromUtf8(entries[i]));
  c->setSizeAdjustPolicy(QComboBox::AdjustToContents);
  return c;
}

}  // namespace

ThrottlingFields::ThrottlingFields(QWidget* parent) : QWidget(parent) {
  task_group_ = new QGroupBox(QStringLiteral("Backup Task Throttling"), this);
  priority_ = drop_list(this, 1035, kPriorityEntries, 5);
  file_delay_ = number_box(this, 1042);
  block_delay_ = number_box(this, 1043);
  auto* task = new QGridLayout(task_group_);
  task->addWidget(new QLabel(QStringLiteral("Thread Priority:")), 0, 0);
  task->addWidget(priority_, 0, 1, 1, 2, Qt::AlignLeft);
  task->addWidget(new QLabel(QStringLiteral("Delay Between Files:")), 1, 0);
  task->addWidget(file_delay_, 1, 1);
  task->addWidget(new QLabel(QStringLiteral("milliseconds")), 1, 2);
  task->addWidget(new QLabel(QStringLiteral("Delay Between Blocks:")), 2, 0);
  task->addWidget(block_delay_, 2, 1);
  task->addWidget(new QLabel(QStringLiteral("milliseconds")), 2, 2);
  task->setColumnStretch(3, 1);

  network_group_ = new QGroupBox(QStringLiteral("Network Bandwidth Throttling"), this);
  tx_enable_ = new QCheckBox(QStringLiteral("Enable -"), this);
  tx_enable_->setObjectName(ctl_name(1040));
  tx_rate_ = number_box(this, 1036);
  tx_unit_ = drop_list(this, 1038, kRateUnitEntries, 6);
  rx_enable_ = new QCheckBox(QStringLiteral("Enable -"), this);
  rx_enable_->setObjectName(ctl_name(1041));
  rx_rate_ = number_box(this, 1037);
  rx_unit_ = drop_list(this, 1039, kRateUnitEntries, 6);
  auto* net = new QGridLayout(network_group_);
  net->addWidget(tx_enable_, 0, 0);
  net->addWidget(new QLabel(QStringLiteral("Network TX Rate Limit:")), 0, 1);
  net->addWidget(tx_rate_, 0, 2);
  net->addWidget(tx_unit_, 0, 3);
  net->addWidget(rx_enable_, 1, 0);
  net->addWidget(new QLabel(QStringLiteral("Network RX Rate Limit:")), 1, 1);
  net->addWidget(rx_rate_, 1, 2);
  net->addWidget(rx_unit_, 1, 3);
  net->setColumnStretch(4, 1);

  auto* box = new QVBoxLayout(this);
  box->setContentsMargins(0, 0, 0, 0);
  box->addWidget(task_group_);
  box->addWidget(network_group_);
}

void ThrottlingFields::show_values(const ThrottleValues& values) {
  ThrottleInput in = throttle_show(values);
  priority_->setCurrentIndex(in.priority_entry);
  file_delay_->setText(qs(in.file_delay));
  block_delay_->setText(qs(in.block_delay));
  tx_enable_->setChecked(in.tx_checked);
  tx_rate_->setText(qs(in.tx_rate));
  tx_unit_->setCurrentIndex(in.tx_unit_entry);
  rx_enable_->setChecked(in.rx_checked);
  rx_rate_->setText(qs(in.rx_rate));
  rx_unit_->setCurrentIndex(in.rx_unit_entry);
}

ThrottleInput ThrottlingFields::input() const {
  ThrottleInput in;
  in.priority_entry = priority_->currentIndex();
  in.file_delay = ss(file_delay_->text());
  in.block_delay = ss(block_delay_->text());
  in.tx_checked = tx_enable_->isChecked();
  in.tx_rate = ss(tx_rate_->text());
  in.tx_unit_entry = tx_unit_->currentIndex();
  in.rx_checked = rx_enable_->isChecked();
  in.rx_rate = ss(rx_rate_->text());
  in.rx_unit_entry = rx_unit_->currentIndex();
  return in;
}

}  // namespace vl
