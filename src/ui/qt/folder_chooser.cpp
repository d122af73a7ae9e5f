#include "ui/qt/folder_chooser.h"

#include <QDir>
#include <QFileSystemModel>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeView>
#include <QVBoxLayout>

#include "ui/qt/qt_util.h"
#include "ui/qt/rule_validation.h"

namespace vl {

FolderChooser::FolderChooser(QWidget* owner, const std::string& start)
    : QDialog(owner, dialog_flags(false)) {
  setWindowTitle(QStringLiteral("Browse For Folder"));
  model_ = new QFileSystemModel(this);
  model_->setFilter(QDir::AllDirs | QDir::NoDotAndDotDot | QDir::Hidden);
  model_->setRootPath(QStringLiteral("/"));
  model_->setReadOnly(true);

  path_ = new QLineEdit(this);
  path_->setObjectName(QStringLiteral("folder_path"));

  tree_ = new QTreeView(this);
  tree_->setObjectName(QStringLiteral("folder_tree"));
  tree_->setModel(model_);
  tree_->setRootIndex(model_->index(QStringLiteral("/")).parent());
  for (int column = 1; column < model_->columnCount(); ++column) tree_->hideColumn(column);
  tree_->header()->hide();
  tree_->setSelectionMode(QAbstractItemView::SingleSelection);
  tree_->setSortingEnabled(true);
  tree_->sortByColumn(0, Qt::AscendingOrder);

  auto* home = new QPushButton(QStringLiteral("Home"), this);
  home->setObjectName(QStringLiteral("folder_home"));
  home->setAutoDefault(true);
  ok_ = new QPushButton(QStringLiteral("OK"), this);
  ok_->setObjectName(ctl_name(1));
  ok_->setDefault(true);
  auto* cancel = new QPushButton(QStringLiteral("Cancel"), this);
  cancel->setObjectName(ctl_name(2));
  cancel->setAutoDefault(true);
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(home);
  buttons->addStretch(1);
  buttons->addWidget(ok_);
  buttons->addWidget(cancel);
  auto* top = new QVBoxLayout(this);
  top->setContentsMargins(5, 5, 5, 5);
  top->addWidget(path_);
  top->addWidget(tree_, 1);
  top->addLayout(buttons);

  connect(tree_->selectionModel(), &QItemSelectionModel::currentChanged, this,
          [this] { selection_changed(); });
  connect(path_, &QLineEdit::textEdited, this, [this](const QString& text) { path_typed(text); });
  connect(home, &QPushButton::clicked, this, [this] { select(ss(QDir::homePath())); });
  connect(ok_, &QPushButton::clicked, this, [this] { ok_clicked(); });
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);

  // Larger than the platform's default chooser, so that deep trees can be read.
  resize(dlu_x(this, 320), dlu_y(this, 300));
  select(folder_chooser_start(start, ss(QDir::homePath())));
  path_->setFocus();
}

void FolderChooser::select(const std::string& path) {
  QModelIndex index = model_->index(qs(path));
  tree_->setCurrentIndex(index);
  tree_->scrollTo(index);
  selection_changed();
}

void FolderChooser::selection_changed() {
  if (typing_) return;
  QModelIndex index = tree_->currentIndex();
  QString path = index.isValid() ? model_->filePath(index) : QString();
  path_->setText(path);
  ok_->setEnabled(index.isValid() && folder_choice_acceptable(ss(path)));
}

void FolderChooser::path_typed(const QString& text) {
  std::string path = ss(text);
  bool acceptable = folder_choice_acceptable(path);
  ok_->setEnabled(acceptable);
  if (!acceptable) return;
  // The tree follows a typed folder, leaving the box as typed (a trailing "/" included).
  typing_ = true;
  QModelIndex index = model_->index(text);
  tree_->setCurrentIndex(index);
  tree_->scrollTo(index);
  typing_ = false;
}

void FolderChooser::ok_clicked() {
  std::string path = ss(path_->text());
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  // The folder may have gone since it was selected or typed.
  if (!folder_choice_acceptable(path)) {
    ok_->setEnabled(false);
    return;
  }
  chosen_ = path;
  accept();
}

bool folder_choose(QWidget* owner, const std::string& start, std::string* path) {
  FolderChooser chooser(owner, start);
  if (chooser.exec() != QDialog::Accepted) return false;
  *path = chooser.chosen();
  return true;
}

}  // namespace vl
