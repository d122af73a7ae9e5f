// The Last Run text of a profile: when it last ran and how that run ended, read from the
// profile's newest run log. No store of its own: the logs are the record. Any thread (the
// profile list calls it on the user-interface thread).
#pragma once

#include <cstdint>
#include <string>

namespace vl {

// How a run ended, judged from the text of its log (or its last part, as long as that holds
// the end of the log): "cancelled" when a line reads "Backup cancelled!"; with a whole
// statistics block ("Backup Stats:" down to its "Errors:" line) "N errors" when errors > 0 or a
// line tells that the catalog could not be written or stored ("Error: The catalog ..."), else
// "N warnings" when warnings > 0, else "completed" ("1 error", "1 warning" in the singular);
// otherwise "failed": the run stopped before its statistics were written whole.
std::string run_log_ending(const std::string& log_text);

// "<local time of t_end as %Y-%m-%d %H:%M> · <run_log_ending>" for the newest run log
// ("<8 hex digits>.log", by modification time, the time its run ended) in profile_dir, or ""
// when the folder holds none or it cannot be read.
std::string last_run_text(const std::string& profile_dir);

}  // namespace vl
