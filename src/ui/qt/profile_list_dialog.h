// The profile list (dialog 129): the first window of an interactive start. Lists the profiles
// with when each last ran and how each is scheduled; runs, creates, edits, deletes and schedules
// them, shows the About box and the desktop help. GUI thread.
#pragma once

#include <QDialog>

#include "run/profile_records.h"

class QLabel;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

namespace vl {

// The Schedule button's control identifier.
constexpr int kCtlSchedule = 1090;

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
  // Delete: asks "Delete the backup profile <tag>?", saying what is removed and what is kept,
  // with a box to tick for the run logs and catalogs too (unticked); on Yes turns its timer
  // off, removes the profile (profile_delete) and its row, and disables the row's buttons.
  void profile_delete_selected();
  // Schedule: the Schedule dialog for the selected profile, then its row again.
  void schedule_selected();
  void about();
  // Help: the desktop help in a window of its own (help_window.h).
  void help();

  // Selects the row of tag (none when it is not listed) and gives the list the focus.
  void select_tag(const std::string& tag);
  // After a run that ended with a refused login: selects tag's row and offers to open its editor.
  void login_failed_offer(const std::string& tag);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void buttons_enable(bool enabled);
  // Last Run and Schedule of a row, read again.
  void row_update(QTreeWidgetItem* item);
  // Shows "No backup profiles yet: ..." in the list while it has no rows.
  void empty_hint_update();
  int selected_row() const;

  QTreeWidget* list_;
  QLabel* empty_hint_;
  QPushButton* ok_;
  QPushButton* edit_;
  QPushButton* delete_;
  QPushButton* schedule_;
};

}  // namespace vl
