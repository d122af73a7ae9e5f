// The console front-end's UI back-end: message boxes and status texts on stderr, and a line of
// counters every few seconds (redrawn in place on a terminal). For headless unattended runs.
#pragma once

#include <cstdio>
#include <map>
#include <mutex>
#include <string>

#include "ui/port.h"

namespace vl {

class ConsoleBackend : public UiBackend {
 public:
  explicit ConsoleBackend(FILE* out = stderr);
  void message_box(BoxOwner owner, const std::string& text, const std::string& caption) override;
  void set_text(int control, const std::string& text) override;
  void set_enabled(int control, bool enabled) override;
  void set_progress_range(int control, uint32_t low, uint32_t high) override;
  void set_progress_pos(int control, uint32_t pos) override;

  // Prints the counter line from the current control texts. UI thread.
  void counters_print();
  // Ends a redrawn counter line so that what follows starts on a line of its own.
  void line_finish();
  // The counter line as printed (without line break).
  std::string counters_text() const;

 private:
  std::string control_text(int control) const;
  void print_line(const std::string& line);

  FILE* out_;
  bool tty_;
  mutable std::mutex mu_;
  std::map<int, std::string> texts_;
  std::string last_status_;
  bool redrawn_line_open_ = false;
};

}  // namespace vl
