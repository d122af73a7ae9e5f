// The block-hash cache's writes during a run's walk, made by a thread of their own on the cache's
// second connection. Once enough files are pending, the worker hands over those complete so far
// and goes on reading and talking to the server; it used to wait first for every request in
// flight to be answered, then for SQLite. What is written, and in which order, is the same.
//
// Without cache_writer_start a hand-over writes at once, on the worker's thread. Worker thread.
#pragma once

#include "run/run_context.h"

namespace vl {

// Starts the thread; it takes the profile's priority and registers in ctx.helper_tids.
void cache_writer_start(RunContext& ctx);

// Takes the complete pending entries out of the cache's queue and has them written. Waits only
// while two earlier hand-overs are still queued.
void cache_writer_hand_over();

// Writes what is queued and stops the thread. Before the cache's final flush (md5cache_flush).
// Does nothing when none runs.
void cache_writer_stop();

}  // namespace vl
