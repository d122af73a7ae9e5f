// The console front-end: the unattended run dialog as a loop on the main thread, and the
// interactive start that lists the profiles.
#pragma once

#include "run/run_context.h"
#include "run/profile_records.h"
#include "ui/console/console_port.h"

namespace vl {

// Runs the opened profile: starts the worker, drives the three timers (100 ms, 1 s, 5 s), prints
// a counter line every few seconds, takes SIGINT/SIGTERM as Cancel and SIGUSR1 as Pause/Resume,
// and returns when the worker has ended with run_exit_code. At the end, unless stderr is a
// terminal, sends run_end_notice as a desktop notification (none without a session bus; at most
// kDesktopNotifyTimeoutMs more). Main thread.
int console_run_unattended(ConsoleBackend& ui, RunContext& ctx, ProfileListEntry* entry);

// Lists the profiles (tag and description) on stdout and says how to run one. Returns 0.
int console_run_interactive();


}  // namespace vl
