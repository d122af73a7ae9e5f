// Texts of a run that are fixed to the byte: the run log's path, the Start Time text and the
// statistics block at the end of the run log. Pure functions, any thread.
#pragma once

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

// A name as the run log and the console show it: control characters (0x01-0x1F, 0x7F) as
// "\xNN", so that no file name can forge a log line or reach a terminal as an escape sequence.
std::string log_name(const std::string& name);

// printf into a std::string.
std::string format_text(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace vl
