// The Last Run text of a profile: when it last ran and how that run ended. Each run's end is
// recorded in the profile's folder ("last-run"), also a run that ended before its log existed
// (no connection, a refused login, an early cancel); without a record, the newest run log tells.
// Any thread (the profile list calls it on the user-interface thread, the worker records).
#pragma once

#include <cstdint>
#include <string>

#include "run/run_context.h"

namespace vl {

// The record's name in the profile's folder.
constexpr char kLastRunFile[] = "last-run";

// How an ended run reads in the Last Run column: "cancelled"; a failed run "login failed" (the
// server refused the login), "could not connect" (the server was never reached, or given up) or
// "failed"; a completed run (or one whose catalog was not stored) "N errors", else "N warnings",
// else "completed" ("1 error", "1 warning" in the singular). Pure.
std::string run_end_word(RunOutcome outcome, bool login_refused, bool server_lost,
                         uint32_t warnings, uint32_t errors);

// Records ctx's ended run in "<profile folder>/last-run" as "<t_end> <run_end_word>" (now when
// t_end is not set): written to a new owner-only file beside it, then renamed over the record, so
// that a reader never sees half of it. Returns 0, or 1 when it could not be written. Worker
// thread, once ctx.outcome is set.
int run_end_record(const RunContext& ctx);

// How a run ended, judged from the text of its log (or its last part, as long as that holds
// the end of the log): "cancelled" when a line reads "Backup cancelled!"; with a whole
// statistics block ("Backup Stats:" down to its "Errors:" line) "N errors" when errors > 0 or a
// line tells that the catalog could not be written or stored ("Error: The catalog ..."), else
// "N warnings" when warnings > 0, else "completed" ("1 error", "1 warning" in the singular);
// otherwise "failed": the run stopped before its statistics were written whole.
std::string run_log_ending(const std::string& log_text);

// "<local time of the run's end as %Y-%m-%d %H:%M> · <ending>": from the record of run_end_record
// when there is one and no run log is newer (a run of an older version), else the newest run log
// ("<8 hex digits>.log", by modification time, the time its run ended) with run_log_ending; ""
// when the folder holds neither or cannot be read.
std::string last_run_text(const std::string& profile_dir);

}  // namespace vl
