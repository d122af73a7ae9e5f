// The folder chooser of the rule editor: a tree of the file system's folders that always opens at
// "/", larger than a default dialog, whose OK is enabled only while the selected item is an
// existing folder that is not a symbolic link. GUI thread.
#pragma once

#include <QDialog>
#include <string>

class QFileSystemModel;
class QPushButton;
class QTreeView;

namespace vl {

class FolderChooser : public QDialog {
  Q_OBJECT

 public:
  explicit FolderChooser(QWidget* owner);
  // The folder selected when OK was pressed (valid after exec() returned Accepted).
  std::string chosen() const { return chosen_; }
  // Selects path in the tree (and re-tests OK), as a click on it would.
  void select(const std::string& path);

 private:
  void selection_changed();

  QFileSystemModel* model_;
  QTreeView* tree_;
  QPushButton* ok_;
  std::string chosen_;
};

// Opens the chooser owned by owner; on OK returns true with *path set to the folder, otherwise
// false with *path untouched.
bool folder_choose(QWidget* owner, std::string* path);

}  // namespace vl
