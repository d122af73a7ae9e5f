// The console front-end's UI back-end: message boxes and status texts on stderr, and a line of
// counters every few seconds (redrawn in place on a terminal). For headless unattended runs and
// the command-line tools; it knows the run's records but not the engine.
#pragma once

#include <cstdio>
#include <mutex>
#include <string>

#include "run/run_context.h"
#include "port/port.h"

namespace vl {

class ConsoleBackend : public UiBackend {
 public:
  explicit ConsoleBackend(FILE* out = stderr);
  void message_box(BoxOwner owner, const std::string& text, const std::string& caption) override;
  void set_text(int control, const std::string& text) override;
  void set_enabled(int control, bool enabled) override;
  void set_progress_range(int control, uint32_t low, uint32_t high) override;
  void set_progress_pos(int control, uint32_t pos) override;
  // The status, its reason and the last attempt: the counters print from the run's figures.
  bool shows_text(int control) const override;

  // Prints the counter line of ctx's run. UI thread.
  void counters_print(const RunContext& ctx);
  // Ends a redrawn counter line so that what follows starts on a line of its own.
  void line_finish();

 private:
  void print_line(const std::string& line);

  FILE* out_;
  bool tty_;
  std::mutex mu_;
  std::string last_status_;
  std::string last_reason_;
  std::string last_attempt_;
  bool redrawn_line_open_ = false;
};

// The counter line (without line break): "dirs 3, files 1,024 (skipped 2), bytes ..., stored ...
// (compressed ...), blocks ... (stored ..., duped ...), tx 12 KB/sec, elapsed 4 sec". Any thread.
std::string console_counters_text(const RunContext& ctx);

}  // namespace vl
