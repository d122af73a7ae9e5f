#include "ui/qt/folder_chooser.h"

#include <QFileSystemModel>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QPushButton>
#include <QTreeView>
#include <QVBoxLayout>

#include "ui/qt/qt_util.h"
#include "ui/qt/rule_validation.h"

namespace vl {

FolderChooser::FolderChooser(QWidget* owner) : QDialog(owner, dialog_flags(false)) {
  setWindowTitle(QStringLiteral("Browse For Folder"));
  model_ = new QFileSystemModel(this);
  model_->setFilter(QDir::AllDirs | QDir::NoDotAndDotDot | QDir::Hidden);
  model_->setRootPath(QStringLiteral("/"));
  model_->setReadOnly(true);

  tree_ = new QTreeView(this);
  tree_->setObjectName(QStringLiteral("folder_tree"));
  tree_->setModel(model_);
  tree_->setRootIndex(model_->index(QStringLiteral("/")).parent());
  for (int column = 1; column < model_->columnCount(); ++column) tree_->hideColumn(column);
  tree_->header()->hide();
  tree_->setSelectionMode(QAbstractItemView::SingleSelection);
  tree_->setSortingEnabled(true);
  tree_->sortByColumn(0, Qt::AscendingOrder);

  ok_ = new QPushButton(QStringLiteral("OK"), this);
  ok_->setObjectName(ctl_name(1));
  ok_->setDefault(true);
  auto* cancel = new QPushButton(QStringLiteral("Cancel"), this);
  cancel->setObjectName(ctl_name(2));
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(ok_);
  buttons->addWidget(cancel);
  auto* top = new QVBoxLayout(this);
  top->setContentsMargins(5, 5, 5, 5);
  top->addWidget(tree_, 1);
  top->addLayout(buttons);

  connect(tree_->selectionModel(), &QItemSelectionModel::currentChanged, this,
          [this] { selection_changed(); });
  connect(ok_, &QPushButton::clicked, this, [this] {
    std::string path = ss(model_->filePath(tree_->currentIndex()));
    // The folder may have gone since it was selected.
    if (!folder_choice_acceptable(path)) {
      ok_->setEnabled(false);
      return;
    }
    chosen_ = path;
    accept();
  });
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);

  // Larger than the platform's default chooser, so that deep trees can be read.
  resize(dlu_x(this, 320), dlu_y(this, 300));
  select("/");
}

void FolderChooser::select(const std::string& path) {
  QModelIndex index = model_->index(qs(path));
  tree_->setCurrentIndex(index);
  tree_->scrollTo(index);
  selection_changed();
}

void FolderChooser::selection_changed() {
  QModelIndex index = tree_->currentIndex();
  ok_->setEnabled(index.isValid() && folder_choice_acceptable(ss(model_->filePath(index))));
}

bool folder_choose(QWidget* owner, std::string* path) {
  FolderChooser chooser(owner);
  if (chooser.exec() != QDialog::Accepted) return false;
  *path = chooser.chosen();
  return true;
}

}  // namespace vl
