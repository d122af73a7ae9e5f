#include "run/status.h"

#include "base/format.h"
#include "port/controls.h"
#include "port/port.h"

namespace vl {

void status_set(RunContext& ctx, const std::string& text) {
  ctx.status_text = text;
  run_view_text(kCtlStatus, text);
}

void counter_show(int control, uint64_t value) {
  if (run_view_shows(control)) run_view_text(control, count_format(value) + " ");
}

void stat_show(const RunStats& s, StatField field) {
  switch (field) {
    case StatField::directories: return counter_show(kCtlDirectories, s.directories);
    case StatField::files: return counter_show(kCtlFiles, s.files);
    case StatField::files_skipped: return counter_show(kCtlFilesSkipped, s.files_skipped);
    case StatField::bytes_total: return counter_show(kCtlBytesTotal, s.bytes_total);
    case StatField::bytes_skipped: return counter_show(kCtlBytesSkipped, s.bytes_skipped);
    case StatField::bytes_stored: return counter_show(kCtlBytesStored, s.bytes_stored);
    case StatField::bytes_compressed: return counter_show(kCtlBytesCompressed, s.bytes_compressed);
    case StatField::segs: return counter_show(kCtlBlocksTotal, s.segs);
    case StatField::segs_stored: return counter_show(kCtlBlocksStored, s.segs_stored);
    case StatField::segs_duped: return counter_show(kCtlBlocksDuped, s.segs_duped);
    case StatField::file_bytes_sent: return counter_show(kCtlSent, s.file_bytes_sent);
  }
}

void status_reason_set(const std::string& reason) { run_view_text(kCtlStatusReason, reason); }

void last_attempt_show(const std::string& text) { run_view_text(kCtlLastAttempt, text); }

void pause_button_enable(bool enabled) { run_view_enable(kCtlButtonPause, enabled); }

}  // namespace vl
