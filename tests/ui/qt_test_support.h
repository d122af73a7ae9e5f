// Driving real Qt widgets from the UI tests: one offscreen QApplication for the process, a
// fixture with the Qt UI back-end whose boxes are recorded instead of shown, and helpers that
// click like a user and answer the next modal dialog.
#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QTreeWidget>
#include <QWidget>
#include <functional>
#include <string>
#include <vector>

#include "platform/fs.h"
#include "support/test_support.h"
#include "ui/qt/qt_backend.h"
#include "ui/qt/qt_util.h"

namespace vl::test {

// The process's QApplication on the offscreen platform, created on first use.
void qt_app();

// StoreTest (temporary data directory, fast clock) with the configuration database open and the
// Qt back-end installed; every box is recorded in boxes_ and counts as acknowledged, every
// question is answered with answer_.
class QtTest : public StoreTest {
 protected:
  void SetUp() override;
  void TearDown() override;
  // The recorded boxes, as "caption|text".
  std::vector<std::string> box_texts() const;

  std::vector<QtBox> boxes_;
  std::function<void(const QtBox&)> on_box_;  // called after each box is recorded
  bool answer_ = true;                         // the answer to every question: Yes
  std::unique_ptr<QtBackend> backend_;
};

// A user manager stood in for by a fake systemctl first on $PATH, for as long as it lives:
// "enable" makes the timer's link in $XDG_CONFIG_HOME/systemd/user/timers.target.wants,
// "disable" removes it, "show" answers the next run "Thu 2026-12-10 02:13:44 UTC", and with
// no_manager every call fails as without a user manager. $VORNLAKE_SETTINGS names a settings
// file of the test's data directory, so that vornlake-schedule finds the profiles.
class FakeSystemd {
 public:
  FakeSystemd(const std::string& dir, bool no_manager = false);
  ~FakeSystemd();
  FakeSystemd(const FakeSystemd&) = delete;
  FakeSystemd& operator=(const FakeSystemd&) = delete;

 private:
  std::string path_;
};

// Calls act with the next modal dialog that opens (other than the one active now), from the event
// loop of that dialog. act must close it.
void on_next_modal(std::function<void(QWidget*)> act);

// Processes events until done() holds or timeout_ms (real time) pass; returns done().
bool wait_until(const std::function<bool()>& done, int timeout_ms = 30000);

// Mouse clicks in a list: on a row, and on the empty space below the last row.
void click_row(QTreeWidget* list, int row);
void double_click_row(QTreeWidget* list, int row);
void click_empty(QTreeWidget* list);
void double_click_empty(QTreeWidget* list);

// The control of `dialog` named by its identifier; fails the test when absent.
template <class W>
W* control(const QWidget* dialog, int id) {
  W* w = ctl<W>(dialog, id);
  EXPECT_NE(w, nullptr) << "control " << id;
  return w;
}

// A key pressed and released on target (no modifiers).
void key(QWidget* target, int key);

// The object names of the widgets Tab visits from first on, in order, first included (enabled,
// shown widgets that take focus by Tab), up to its return to first.
std::vector<std::string> tab_chain(QWidget* first);

// Clicks the push button `id` of `dialog`.
void press(const QWidget* dialog, int id);

// The texts of every row of a list, column by column.
std::vector<std::vector<std::string>> rows_of(const QTreeWidget* list);

}  // namespace vl::test
