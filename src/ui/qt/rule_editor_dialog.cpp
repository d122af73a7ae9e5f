#include "ui/qt/rule_editor_dialog.h"

#include <QComboBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "ui/qt/folder_chooser.h"
#include "ui/qt/qt_backend.h"
#include "ui/qt/qt_util.h"
#include "ui/qt/rule_validation.h"

namespace vl {

RuleEditorDialog::RuleEditorDialog(QWidget* owner, QTreeWidget* rules, RuleAction action,
                                   bool include, const std::string& path, int changed_row)
    : QDialog(owner, dialog_flags(true)), rules_(rules), action_(action), changed_row_(changed_row) {
  setWindowTitle(QStringLiteral("Include / Exclude"));

  auto* filespec = new QGroupBox(QStringLiteral("Filespec"), this);
  path_ = new QLineEdit(this);
  path_->setObjectName(ctl_name(1059));
  path_->setText(qs(path));
  path_->setMinimumWidth(dlu_x(this, 220));
  auto* browse_file_button = new QPushButton(QStringLiteral("Browse File"), this);
  browse_file_button->setObjectName(ctl_name(1063));
  auto* browse_path_button = new QPushButton(QStringLiteral("Browse Path"), this);
  browse_path_button->setObjectName(ctl_name(1060));
  mode_ = new QComboBox(this);
  mode_->setObjectName(ctl_name(1061));
  mode_->addItem(QString::fromUtf8(kModeInclude));
  mode_->addItem(QString::fromUtf8(kModeExclude));
  mode_->setCurrentIndex(include ? 0 : 1);

  auto* path_grid = new QGridLayout(filespec);
  path_grid->addWidget(path_, 0, 0, 1, 4);
  path_grid->addWidget(new QLabel(QStringLiteral("Mode:")), 1, 0);
  path_grid->addWidget(mode_, 1, 1);
  path_grid->setColumnStretch(2, 1);
  auto* browse = new QHBoxLayout;
  browse->addWidget(browse_file_button);
  browse->addWidget(browse_path_button);
  path_grid->addLayout(browse, 1, 3);

  auto* ok = new QPushButton(QStringLiteral("OK"), this);
  ok->setObjectName(ctl_name(1));
  ok->setDefault(true);
  auto* cancel = new QPushButton(QStringLiteral("Cancel"), this);
  cancel->setObjectName(ctl_name(2));
  auto* buttons = new QVBoxLayout;
  buttons->addWidget(ok);
  buttons->addWidget(cancel);
  buttons->addStretch(1);
  auto* top = new QHBoxLayout(this);
  top->addWidget(filespec, 1);
  top->addLayout(buttons);

  for (QPushButton* b : {browse_file_button, browse_path_button, cancel}) b->setAutoDefault(true);
  // Tab goes as the eye reads: the path, then its mode, the two browse buttons, OK, Cancel.
  QWidget::setTabOrder(path_, mode_);
  QWidget::setTabOrder(mode_, browse_file_button);
  QWidget::setTabOrder(browse_file_button, browse_path_button);
  QWidget::setTabOrder(browse_path_button, ok);
  QWidget::setTabOrder(ok, cancel);
  connect(ok, &QPushButton::clicked, this, &RuleEditorDialog::accept);
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
  connect(browse_file_button, &QPushButton::clicked, this, [this] { browse_file(); });
  connect(browse_path_button, &QPushButton::clicked, this, [this] { browse_path(); });
  resize(sizeHint().expandedTo(QSize(dlu_x(this, 359), dlu_y(this, 69))));
}

void RuleEditorDialog::accept() {
  std::vector<RuleRow> rows;
  for (int i = 0; i < rules_->topLevelItemCount(); ++i) {
    QTreeWidgetItem* item = rules_->topLevelItem(i);
    rows.push_back({ss(item->text(0)), ss(item->text(1))});
  }
  bool include = mode_->currentIndex() == 0;
  int skipped = action_ == RuleAction::change ? changed_row_ : -1;
  std::string path;
  DialogMessage error;
  if (!rule_check(ss(path_->text()), include, rows, skipped, &path, &error)) {
    qt_message_box(this, error.text, error.caption);
    return;
  }
  QString mode = QString::fromUtf8(include ? kModeInclude : kModeExclude);
  QTreeWidgetItem* item = nullptr;
  if (action_ == RuleAction::add) {
    item = new QTreeWidgetItem(rules_);
  } else {
    item = rules_->topLevelItem(changed_row_);
  }
  if (item) {
    item->setText(0, mode);
    item->setText(1, qs(path));
  }
  QDialog::accept();
}

void RuleEditorDialog::browse_file() {
  // Any file, which need not exist; the platform's own chooser is not used so that the dialog
  // looks and behaves the same on every desktop.
  QFileDialog chooser(this, QStringLiteral("Browse Path / File"));
  chooser.setOption(QFileDialog::DontUseNativeDialog, true);
  chooser.setFileMode(QFileDialog::AnyFile);
  chooser.setAcceptMode(QFileDialog::AcceptOpen);
  // The one file type reads "*.*" as on the desktop the product came from, but matches every
  // name: "*.*" itself would hide files without a dot here.
  chooser.setNameFilter(QStringLiteral("*.* (*)"));
  chooser.setObjectName(QStringLiteral("browse_file_chooser"));
  if (chooser.exec() != QDialog::Accepted) return;
  QStringList files = chooser.selectedFiles();
  if (!files.isEmpty()) path_->setText(files.first());
}

void RuleEditorDialog::browse_path() {
  std::string folder;
  if (folder_choose(this, ss(path_->text()), &folder)) path_->setText(qs(folder));
}

}  // namespace vl
