#include "ui/console/console_port.h"

#include <unistd.h>

#include "ui/controls.h"

namespace vl {

static std::string trimmed(std::string s) {
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

ConsoleBackend::ConsoleBackend(FILE* out) : out_(out), tty_(::isatty(::fileno(out)) != 0) {}

void ConsoleBackend::print_line(const std::string& line) {
  std::lock_guard<std::mutex> lock(mu_);
  if (redrawn_line_open_) {
    std::fputs("\n", out_);
    redrawn_line_open_ = false;
  }
  std::fputs(line.c_str(), out_);
  std::fputs("\n", out_);
  std::fflush(out_);
}

void ConsoleBackend::message_box(BoxOwner, const std::string& text, const std::string& caption) {
  print_line(caption + ": " + text);
}

void ConsoleBackend::set_text(int control, const std::string& text) {
  bool print = false;
  {
    std::lock_guard<std::mutex> lock(mu_);
    texts_[control] = text;
    if (control == kCtlStatus && !text.empty() && text != last_status_) {
      last_status_ = text;
      print = true;
    }
  }
  if (print) print_line(text);
}

void ConsoleBackend::set_enabled(int, bool) {}
void ConsoleBackend::set_progress_range(int, uint32_t, uint32_t) {}
void ConsoleBackend::set_progress_pos(int, uint32_t) {}

std::string ConsoleBackend::control_text(int control) const {
  auto it = texts_.find(control);
  return it == texts_.end() ? std::string("0") : trimmed(it->second);
}

std::string ConsoleBackend::counters_text() const {
  std::lock_guard<std::mutex> lock(mu_);
  return "dirs " + control_text(kCtlDirectories) + ", files " + control_text(kCtlFiles) +
         " (skipped " + control_text(kCtlFilesSkipped) + "), bytes " +
         control_text(kCtlBytesTotal) + ", stored " + control_text(kCtlBytesStored) +
         " (compressed " + control_text(kCtlBytesCompressed) + "), blocks " +
         control_text(kCtlBlocksTotal) + " (stored " + control_text(kCtlBlocksStored) +
         ", duped " + control_text(kCtlBlocksDuped) + "), tx " + control_text(kCtlTxRate) +
         ", elapsed " + control_text(kCtlElapsed);
}

void ConsoleBackend::counters_print() {
  std::string line = counters_text();
  std::lock_guard<std::mutex> lock(mu_);
  if (tty_) {
    std::fprintf(out_, "\r\033[K%s", line.c_str());
    redrawn_line_open_ = true;
  } else {
    std::fprintf(out_, "%s\n", line.c_str());
  }
  std::fflush(out_);
}

void ConsoleBackend::line_finish() {
  std::lock_guard<std::mutex> lock(mu_);
  if (redrawn_line_open_) {
    std::fputs("\n", out_);
    redrawn_line_open_ = false;
    std::fflush(out_);
  }
}

}  // namespace vl
