// The folder chooser of the rule editor: a tree of the file system's folders, larger than a
// default dialog, with a box to type or paste a path and a Home button. It opens at the folder
// of the rule being edited (home for a new rule); OK is enabled only while the chosen path is an
// existing folder that is not a symbolic link. GUI thread.
#pragma once

#include <QDialog>
#include <string>

class QFileSystemModel;
class QLineEdit;
class QPushButton;
class QTreeView;

namespace vl {

class FolderChooser : public QDialog {
  Q_OBJECT

 public:
  // Opens at folder_chooser_start(start, home).
  FolderChooser(QWidget* owner, const std::string& start);
  // The folder chosen when OK was pressed (valid after exec() returned Accepted).
  std::string chosen() const { return chosen_; }
  // Selects path in the tree and shows it in the path box (and re-tests OK), as a click on it
  // would.
  void select(const std::string& path);

 private:
  void selection_changed();
  void path_typed(const QString& text);
  void ok_clicked();

  QFileSystemModel* model_;
  QTreeView* tree_;
  QLineEdit* path_;
  QPushButton* ok_;
  std::string chosen_;
  // While the tree follows what is being typed, the box keeps the typed text as it is.
  bool typing_ = false;
};

// Opens the chooser owned by owner at start (see FolderChooser); on OK returns true with *path
// set to the folder, otherwise false with *path untouched.
bool folder_choose(QWidget* owner, const std::string& start, std::string* path);

}  // namespace vl
