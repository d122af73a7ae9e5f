// The run log: one text file per run, written only by the worker.
//
// Requests to the server are answered later than the walk goes on, so a block's outcome
// (" exists.\n", " upload... OK\n") is known only after later items have been logged. A slot
// reserves the place of such a text: everything logged after an open slot waits until the slot
// is closed, so the log reads in walk order whatever the number of requests in flight.
#pragma once

#include <cstdint>
#include <string>

#include "run/run_context.h"

namespace vl {

// printf-style append to ctx.log (after any open slot); writes nothing while no log is open.
// Worker thread.
void run_log(RunContext& ctx, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// A reserved place in the run log; kNoLogSlot is none (its texts are dropped).
using LogSlot = uint64_t;
constexpr LogSlot kNoLogSlot = 0;

// Reserves the next place in the log. Worker thread.
LogSlot run_log_reserve(RunContext& ctx);

// Appends text to an open slot (nothing for kNoLogSlot or a closed slot). Worker thread.
void run_log_append(RunContext& ctx, LogSlot slot, const std::string& text);

// Closes a slot: its text and whatever waited behind it is written as far as the next open slot.
// Worker thread.
void run_log_close(RunContext& ctx, LogSlot slot);

// Closes every open slot, in order (the end of a run, a cancel). Worker thread.
void run_log_close_all(RunContext& ctx);

}  // namespace vl
