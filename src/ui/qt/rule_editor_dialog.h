// The include/exclude rule editor: one rule's path and mode, checked on OK and written straight
// into the profile editor's rules list. Browse File and Browse Path fill the path box from the
// file and folder choosers. GUI thread.
#pragma once

#include <QDialog>
#include <string>

class QComboBox;
class QLineEdit;
class QTreeWidget;

namespace vl {

enum class RuleAction { add, change };

class RuleEditorDialog : public QDialog {
  Q_OBJECT

 public:
  // rules: the profile editor's rules list (column 0 mode, column 1 path). For a change,
  // changed_row is the row being changed; for add it is ignored.
  RuleEditorDialog(QWidget* owner, QTreeWidget* rules, RuleAction action, bool include,
                   const std::string& path, int changed_row);

  // OK: the three checks (first failure: its box, the dialog stays open), then the row is
  // appended (add) or rewritten (change) and the dialog closes.
  void accept() override;

 private:
  void browse_file();
  void browse_path();

  QTreeWidget* rules_;
  RuleAction action_;
  int changed_row_;
  QLineEdit* path_;
  QComboBox* mode_;
};

}  // namespace vl
