// Run control: the worker's pause point, the worker's priority, and the work of the run view's
// three timers (rate-limit allowances, network totals with the elapsed time, transfer rates).
#pragma once

#include <cstdint>
#include <string>

#include "run/run_context.h"

namespace vl {

// Applies a stored priority code (0 idle .. 4 highest, others as 1) to the worker thread and the
// run's other threads. Returns -1 and does nothing while no worker runs; else the platform's
// result for the worker (1 accepted, 0 refused). UI thread (run view start, throttling dialog).
int thread_priority_apply(RunContext& ctx, uint32_t code);

// Called on a helper thread of the run as it starts: it takes slot `slot` of ctx.helper_tids,
// so that a later change of priority reaches it, and the profile's priority now.
void helper_thread_register(RunContext& ctx, int slot);

// The worker's pause point: returns at once unless ctx.pause is set. While paused (after
// ctx.long_wait_hook), shows "Paused...", polls every 100 ms until pause clears or cancel is 1,
// calls ctx.long_pause_hook (the engine's: close the connection) on the 1200th pass (about two
// minutes, "Paused (Disconnected)..."), then puts the saved status text back. Worker thread.
void pause_wait(RunContext& ctx);

// Ends the run from any of its threads: records why (RunAbort) and its words, unless a reason is
// recorded already (the first wins), and sets cancel, so that every wait ends as for the Cancel
// button while the run ends as failed. Any thread.
void run_abort(RunContext& ctx, RunAbort why, const std::string& text = {});

// The words recorded with the run's first abort ("" when none were given). Any thread.
std::string run_abort_text(const RunContext& ctx);

// Sleeps ms milliseconds (the platform's sleep, so on the fast test clock in tests), cut short
// when the run is cancelled. Any thread of the run.
void run_sleep_ms(RunContext& ctx, uint32_t ms);

// The profile's delay between files or blocks: sleeps ms milliseconds in steps of at most 100,
// cut short once the run is paused or cancelled, so that the caller's pause point takes over
// within 100 ms. Worker thread.
void run_delay_ms(RunContext& ctx, uint32_t ms);

// What one refill tick adds to an allowance under the limit (bytes per second): limit/10, at
// least 10, while the allowance is below limit/2 (signed divisions); else 0.
int32_t allowance_increment(int32_t allowance, uint32_t limit_bytes_per_sec);

// Timer 1 (every 100 ms): raises the TX, then the RX allowance of the running profile when its
// throttling is on. UI thread.
void allowance_refill(RunContext& ctx);

// Seconds the run has been going: 0 before t_start is set, frozen at t_end. Any thread.
uint32_t run_elapsed_s(const RunContext& ctx);

// Timer 2 (every second): Net TX and Net RX totals, and the elapsed time once t_start is set
// (frozen at t_end). UI thread.
void totals_show(RunContext& ctx);

// Timer 3 (every 5 seconds): TX and RX rates over the last five seconds, also kept in
// net_tx_rate and net_rx_rate. UI thread.
void rates_show(RunContext& ctx);

}  // namespace vl
