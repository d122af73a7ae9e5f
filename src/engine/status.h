// The run view's status line and counter fields, written by the worker.
#pragma once

#include <cstdint>
#include <string>

#include "engine/run_context.h"

namespace vl {

// Writes text into the status line (control 1034) and remembers it in ctx.status_text (pause_wait
// restores it). The write does nothing while no run view exists; the text is remembered anyway.
// Worker thread.
void status_set(RunContext& ctx, const std::string& text);

// Writes count_format(value) followed by one blank into control. Nothing without a run view.
// Any thread.
void counter_show(int control, uint64_t value);

}  // namespace vl
