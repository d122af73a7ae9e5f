// Texts of a run that are fixed to the byte: the run log's path, the Start Time text, the
// statistics block at the end of the run log and names as the log shows them. Pure functions,
// any thread.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>

#include "run/run_context.h"

namespace vl {

// The log file of the run: <data>/Profiles/<tag>/<catalog id as %08x>.log.
std::string run_log_path(const std::string& tag, uint32_t catalog_id);

// The Start Time text: ctime of t without its line break.
std::string start_time_text(int32_t t);

// The run log's statistics block (from "\nBackup completed!\n" on), with the minutes figure for
// `seconds` of running.
std::string completion_block(const RunStats& stats, int32_t seconds);

// A name or path as the run log shows it: each control character (0x01 to 0x1F and 0x7F) becomes
// "\x" and two upper-case hexadecimal digits ("\x0A", "\x1B"), every other byte stays. A name
// with a line break would otherwise end its line early and forge the next, and an escape sequence
// would act on the terminal that shows the log. Catalog and cache keep the real bytes.
std::string log_name(const std::string& name);

// The warning about a folder of data_dirs_open_to_others ("data folder" for the data directory,
// "profile folder" otherwise), with the path as log_name shows it. It names no item left out and
// is not counted in the run's warnings.
std::string open_folder_warning(const std::string& dir);

// vprintf into a std::string (ap is used up).
std::string format_text_v(const char* fmt, va_list ap);

// printf into a std::string.
std::string format_text(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace vl
