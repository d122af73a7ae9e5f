// The desktop notification that closes a run nobody watched (a console run without a terminal, a
// desktop run whose window was not the active one): what the user would have read
// in the run dialog's last status line and counters, had a window been open.
#pragma once

#include "platform/desktop_notify.h"
#include "run/run_context.h"

namespace vl {

// The notification of ctx's ended run. Summary: "Backup TAG completed", "... completed with 3
// warnings", "... completed with 2 errors and 1 warning", "Backup TAG failed" (a failed run, also
// one whose catalog did not reach the server) or "Backup TAG cancelled". Body: a failed run's last
// status line, then "FILES files, BYTES bytes, W warnings, E errors", then "Run log: PATH" when
// warnings or errors were counted and the run log exists. Urgent when the run failed or counted
// errors. Pure; any thread once the worker has ended.
DesktopNotice run_end_notice(const RunContext& ctx);

}  // namespace vl
