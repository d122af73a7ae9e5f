// The profile list (dialog 129): the first window of an interactive start. Lists the profiles
// with when each last ran; runs, creates, edits and deletes them, shows the About box and the
// user manual. GUI thread.
#pragma once

#include <QDialog>

#include "run/profile_records.h"

class QLabel;
class QPushButton;
class QTreeWidget;

namespace vl {

class ProfileListDialog : public QDialog {
  Q_OBJECT

 public:
  // Fills the rows from profile_list, in list order, with each profile's last_run_text.
  explicit ProfileListDialog(QWidget* owner = nullptr);

  // OK and a double click on a row: the selected row's entry becomes profile_entry_running and
  // is opened with open_profile; on success the list closes with Accepted (the caller shows the
  // run dialog), on failure the entry is cleared and the list stays open.
  void accept() override;
  // Cancel, Esc and the close box: the list closes with Rejected (the program ends).

  // New and Edit: the profile editor on a new record or the selected profile's.
  void profile_new();
  void profile_edit();
  // Delete: asks "Delete the backup profile <tag>?"; on Yes removes the profile (its database
  // is moved aside) and its row, and disables OK, Edit and Delete.
  void profile_delete_selected();
  void about();
  // Help: the user manual in a window of its own (help_window.h).
  void help();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void buttons_enable(bool enabled);
  // Shows "No backup profiles yet: ..." in the list while it has no rows.
  void empty_hint_update();
  int selected_row() const;

  QTreeWidget* list_;
  QLabel* empty_hint_;
  QPushButton* ok_;
  QPushButton* edit_;
  QPushButton* delete_;
};

}  // namespace vl
