// The UI port: the only way the core talks to the user. A front-end (Qt, console, or the
// recording back-end of the tests) implements UiBackend and installs it with ui_backend_set.
//
// message_box is modal and callable from any thread. The run-view calls write into the run
// dialog's controls (identifiers in ui/controls.h) and do nothing while no run dialog exists.
#pragma once

#include <cstdint>
#include <string>

namespace vl {

// Who owns a message box: nobody, the run dialog, or another dialog (editor, profile list).
enum class BoxOwner { none, run_dialog, dialog };

class UiBackend {
 public:
  virtual ~UiBackend() = default;
  // Shows a modal box with an OK button; returns when it has been acknowledged.
  virtual void message_box(BoxOwner owner, const std::string& text, const std::string& caption) = 0;
  // Run view: only called while a run dialog exists.
  virtual void set_text(int control, const std::string& text) = 0;
  virtual void set_enabled(int control, bool enabled) = 0;
  virtual void set_progress_range(int control, uint32_t low, uint32_t high) = 0;
  virtual void set_progress_pos(int control, uint32_t pos) = 0;
  // False for a text control the front-end never shows: its text need not even be made.
  virtual bool shows_text(int control) const {
    (void)control;
    return true;
  }
};

// Installs the front-end (not owned). nullptr installs the silent back-end. Set before any
// thread uses the port.
void ui_backend_set(UiBackend* backend);

void message_box(BoxOwner owner, const std::string& text, const std::string& caption);

// The run dialog's existence: opened by the front-end when it shows the run dialog, closed when
// the dialog goes away. Any thread may ask.
void run_view_open();
void run_view_close();
bool run_view_exists();

void run_view_text(int control, const std::string& text);
// True while a run dialog exists and shows the text of control. The worker asks before it
// formats a text for every file.
bool run_view_shows(int control);
void run_view_enable(int control, bool enabled);
void run_view_progress_range(int control, uint32_t low, uint32_t high);
void run_view_progress_pos(int control, uint32_t pos);

}  // namespace vl
