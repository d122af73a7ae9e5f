// The Qt implementation of the UI port. Message boxes and run-view writes from the worker thread
// reach the widgets only through invocations queued on the GUI thread; a box from the worker
// blocks the worker until it has been dismissed.
#pragma once

#include <QObject>
#include <functional>
#include <memory>
#include <string>

#include "port/port.h"

class QMessageBox;
class QWidget;

namespace vl {

class RunDialog;

// One message box as the front-end shows it.
struct QtBox {
  QWidget* owner;  // nullptr: no owner
  std::string text;
  std::string caption;
  bool question = false;  // Yes and No rather than OK
  // A check box under the text with this label ("" for none); its state is read from and
  // written back to *checked.
  std::string check{};
  bool* checked = nullptr;
  // A Copy button that puts this text on the clipboard and leaves the box open ("" for none).
  std::string copy{};
};

// Tests: while a hook is set, every box is handed to it on the GUI thread instead of being
// shown, and counts as acknowledged when the hook returns; for a question, its result is the
// answer (true: Yes). An empty function removes it.
void qt_box_hook_set(std::function<bool(const QtBox&)> hook);

// The box qt_message_box and qt_question show, not yet shown: plain text, no icon, OK (or Yes
// and No, No the default and Esc), and at least as wide as its caption needs in a title bar
// with the window's buttons, which the toolkit's own sizing leaves too narrow ("Corva… ackup").
// GUI thread.
std::unique_ptr<QMessageBox> qt_message_box_make(QWidget* owner, const QtBox& box);

// Shows a modal box with an OK button, owned by owner (nullptr: none); returns when it has been
// acknowledged. GUI thread.
void qt_message_box(QWidget* owner, const std::string& text, const std::string& caption);

// Asks a question in a modal box with Yes and No, owned by owner; returns true for Yes (No, Esc
// and the close box: false). GUI thread.
bool qt_question(QWidget* owner, const std::string& text, const std::string& caption);

// A question with a check box under its text, unchecked at first unless *checked; returns true
// for Yes and leaves the box's state in *checked. GUI thread.
bool qt_question_check(QWidget* owner, const std::string& text, const std::string& caption,
                       const std::string& check, bool* checked);

// A box with OK and a Copy button that puts copy on the clipboard (a path, a crontab line) for
// whoever has to type it elsewhere. GUI thread.
void qt_copy_box(QWidget* owner, const std::string& text, const std::string& caption,
                 const std::string& copy);

// The run dialog the run view writes into, or nullptr. Set by the run dialog itself while it
// exists. GUI thread.
void qt_run_dialog_set(RunDialog* dialog);
RunDialog* qt_run_dialog();

class QtBackend : public QObject, public UiBackend {
  Q_OBJECT

 public:
  // Created on the GUI thread, after the QApplication.
  QtBackend();

  // Any thread. Owners: BoxOwner::run_dialog is the run dialog, BoxOwner::dialog the active
  // modal dialog, BoxOwner::none no owner.
  void message_box(BoxOwner owner, const std::string& text, const std::string& caption) override;
  // Any thread; applied at once on the GUI thread, queued from others.
  void set_text(int control, const std::string& text) override;
  void set_enabled(int control, bool enabled) override;
  void set_progress_range(int control, uint32_t low, uint32_t high) override;
  void set_progress_pos(int control, uint32_t pos) override;

 private:
  template <class F>
  void on_gui(F&& f);
};

}  // namespace vl
