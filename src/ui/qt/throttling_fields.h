// The throttling fields: the group boxes "Backup Task Throttling" and "Network Bandwidth
// Throttling" with their nine controls (1035 to 1043), shared by the profile editor and the
// throttling dialog. GUI thread.
#pragma once

#include <QWidget>

#include "ui/qt/throttle_values.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLineEdit;

namespace vl {

class ThrottlingFields : public QWidget {
  Q_OBJECT

 public:
  explicit ThrottlingFields(QWidget* parent = nullptr);

  // Fills the nine controls from a set of values.
  void show_values(const ThrottleValues& values);
  // What the controls hold, as typed.
  ThrottleInput input() const;

 private:
  QGroupBox* task_group_;
  QGroupBox* network_group_;
  QComboBox* priority_;
  QLineEdit* file_delay_;
  QLineEdit* block_delay_;
  QCheckBox* tx_enable_;
  QLineEdit* tx_rate_;
  QComboBox* tx_unit_;
  QCheckBox* rx_enable_;
  QLineEdit* rx_rate_;
  QComboBox* rx_unit_;
};

}  // namespace vl
