#include "ui/console/console_port.h"

#include "base/format.h"
#include "platform/terminal.h"
#include "run/run_control.h"
#include "run/run_texts.h"
#include "port/controls.h"

namespace vl {

static std::string trimmed(std::string s) {
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

std::string console_counters_text(const RunContext& ctx) {
  const RunStats& s = ctx.stats;
  const std::string elapsed = ctx.t_start != 0 ? elapsed_text(run_elapsed_s(ctx)) : "0";
  return "dirs " + count_format(s.directories) + ", files " + count_format(s.files) +
         " (skipped " + count_format(s.files_skipped) + "), bytes " +
         count_format(s.bytes_total) + ", stored " + count_format(s.bytes_stored) +
         " (compressed " + count_format(s.bytes_compressed) + "), blocks " +
         count_format(s.segs) + " (stored " + count_format(s.segs_stored) + ", duped " +
         count_format(s.segs_duped) + "), tx " + trimmed(rate_text(s.net_tx_rate)) +
         ", elapsed " + elapsed;
}

ConsoleBackend::ConsoleBackend(FILE* out) : out_(out), tty_(is_terminal(out)) {}

// Control characters (a file name in a message) never reach the terminal as such.
static std::string terminal_safe(const std::string& text) {
  std::string out;
  size_t start = 0;
  for (;;) {
    size_t nl = text.find('\n', start);
    out += log_name(text.substr(start, nl == std::string::npos ? std::string::npos : nl - start));
    if (nl == std::string::npos) return out;
    out += '\n';
    start = nl + 1;
  }
}

void ConsoleBackend::print_line(const std::string& raw) {
  const std::string line = terminal_safe(raw);
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
  std::string* last = nullptr;
  std::string line = text;
  if (control == kCtlStatus) {
    last = &last_status_;
  } else if (control == kCtlStatusReason) {
    last = &last_reason_;
    line = "  (" + text + ")";
  } else if (control == kCtlLastAttempt) {
    last = &last_attempt_;
  }
  if (!last || text.empty()) return;
  {
    // Each text once: a retry that fails the same way does not repeat it.
    std::lock_guard<std::mutex> lock(mu_);
    if (text == *last) return;
    *last = text;
  }
  print_line(line);
}

bool ConsoleBackend::shows_text(int control) const {
  return control == kCtlStatus || control == kCtlStatusReason || control == kCtlLastAttempt;
}

void ConsoleBackend::set_enabled(int, bool) {}
void ConsoleBackend::set_progress_range(int, uint32_t, uint32_t) {}
void ConsoleBackend::set_progress_pos(int, uint32_t) {}

void ConsoleBackend::counters_print(const RunContext& ctx) {
  std::string line = console_counters_text(ctx);
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
