// The profile editor: creates a profile or changes one, on a record the caller owns. OK collects
// and checks every field and stores the whole profile with profile_create. GUI thread.
#pragma once

#include <QDialog>

#include "run/profile_records.h"
#include "ui/qt/profile_validation.h"

class QLineEdit;
class QPushButton;
class QTreeWidget;

namespace vl {

class ThrottlingFields;

class ProfileEditorDialog : public QDialog {
  Q_OBJECT

 public:
  // Shows *profile; in edit mode the tag box is disabled.
  ProfileEditorDialog(QWidget* owner, ProfileSettings* profile, EditorMode mode);

  // Whether OK stored the profile.
  bool stored() const { return stored_; }

  // OK: collect and check in order (first failure: its box, nothing stored, dialog stays open);
  // then profile_create, closing the dialog only when it succeeded.
  void accept() override;
  // Cancel, Esc and the close box: when anything differs from what the dialog showed at first
  // (a box typed in, a rule added, changed or removed), asks before throwing it away; No keeps
  // the dialog open. Nothing changed: closes at once.
  void reject() override;

  // The rules list's rows, in order.
  std::vector<RuleRow> rows() const;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void rule_add();
  void rule_edit();
  void rule_remove();
  int selected_row() const;
  // What the controls hold now.
  ProfileEditorInput input() const;

  ProfileSettings* profile_;
  EditorMode mode_;
  bool stored_ = false;
  QLineEdit* tag_;
  QLineEdit* description_;
  QLineEdit* login_;
  QLineEdit* password_;
  QLineEdit* server_;
  QLineEdit* port_;
  ThrottlingFields* throttling_;
  QTreeWidget* rules_;
  QPushButton* edit_;
  QPushButton* remove_;
  // What the controls held when the dialog opened.
  ProfileEditorInput shown_;
};

// Opens the editor modally on *profile; returns whether it stored the profile.
bool profile_editor_run(QWidget* owner, ProfileSettings* profile, EditorMode mode);

}  // namespace vl
