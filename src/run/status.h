// The run view's status line and counter fields. The worker and the connection write them through
// these functions; the controls' numbers stay in the UI port.
#pragma once

#include <cstdint>
#include <string>

#include "run/run_context.h"

namespace vl {

// Writes text into the status line (control 1034) and remembers it in ctx.status_text (pause_wait
// restores it). The write does nothing while no run view exists; the text is remembered anyway.
// Worker thread.
void status_set(RunContext& ctx, const std::string& text);

// Writes count_format(value) followed by one blank into control. Nothing without a run view.
// Any thread.
void counter_show(int control, uint64_t value);

// The counters of RunStats that have a field of their own in the run view.
enum class StatField {
  directories,
  files,
  files_skipped,
  bytes_total,
  bytes_skipped,
  bytes_stored,
  bytes_compressed,
  segs,
  segs_stored,
  segs_duped,
  file_bytes_sent,
};

// Shows the current value of one counter in its field (counter_show). Any thread.
void stat_show(const RunStats& stats, StatField field);

// The reason behind the current status (e.g. why the TLS handshake failed): the run dialog shows it
// as the status line's tooltip, the console prints it once. "" clears it. Worker thread.
void status_reason_set(const std::string& reason);

// The last failed connection attempt's cause and target, shown under the status line while a
// connection is retried ("Last attempt: localhost:7421 refused the connection"); "" hides it.
// Worker thread.
void last_attempt_show(const std::string& text);

// Enables or disables the Pause button (a run is paused only while connected). Worker thread.
void pause_button_enable(bool enabled);

}  // namespace vl
