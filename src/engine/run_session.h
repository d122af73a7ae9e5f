// What a front-end's run dialog does with a run: fill its initial texts, start the backup worker,
// pass on Cancel and Pause, and wait for the worker at the end. Called on the UI thread.
#pragma once

#include "run/run_context.h"
#include "run/profile_records.h"

namespace vl {

// Writes the initial texts of the run dialog through the run view: the version label, the
// description and tag of `entry` (or of ctx.profile when entry is null), "0 " in every counter,
// "0 B/sec " in both rates, and an empty status line. Call right after run_view_open().
void run_dialog_init(RunContext& ctx, const ProfileListEntry* entry);

// Starts the backup worker thread for ctx (which holds the opened profile); the worker takes the
// profile's thread priority as it starts. ctx.worker_active stays true until the worker has shown
// its final message box. A worker that cannot be started ends the run as failed at once, with
// its box (the outcome kRunFailed).
void run_worker_start(RunContext& ctx);

// True while the worker runs (the Cancel button cancels rather than closes).
bool run_worker_running(RunContext& ctx);

// Waits up to ms milliseconds for the worker to end, so that a front-end ticking in steps of
// that length sees the end at once. True once the worker has ended.
bool run_worker_wait(RunContext& ctx, int ms);

// The Cancel button while the worker runs: requests cancellation (no confirmation).
void run_cancel(RunContext& ctx);

// The Pause button: toggles the pause and relabels the button ("Resume" while paused, "Pause"
// otherwise). Returns true when the run is now paused.
bool run_pause_toggle(RunContext& ctx);

// Waits for the worker thread to end (after run_worker_running has turned false).
void run_worker_join(RunContext& ctx);

}  // namespace vl
