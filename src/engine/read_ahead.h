// Read-ahead for the walk: a thread of its own opens the regular files of each listed folder a
// little ahead of the worker and asks the kernel to read their first MiB in the background. On a
// tree the page cache has let go of, the worker's opens and reads then seldom wait for the disk,
// and the disk has many requests at once instead of one at a time.
//
// Only a hint: the thread reads nothing itself, reports nothing it fails at, and the worker
// opens, checks and reads every file as before. It opens only what the folder lists as a regular
// file, never a device or a FIFO. Worker thread only.
#pragma once

#include <string>
#include <vector>

#include "run/run_context.h"

namespace vl {

// Starts the thread; it takes the profile's priority and registers in ctx.helper_tids.
void read_ahead_start(RunContext& ctx);

// Stops the thread (at once: what is not read ahead yet is left). Does nothing when none runs.
void read_ahead_stop();

// The entries of folder, as listed, and which of them are regular files. The thread keeps at
// most a few hundred entries ahead of the worker.
void read_ahead_folder(const std::string& folder, const std::vector<std::string>& names,
                       const std::vector<char>& regular);

// The worker has come to an entry of the walk (any kind, excluded ones too).
void read_ahead_passed();

// The worker opens a file to read it. While it reads none (their digests come from the cache),
// or the page cache holds what the thread would read ahead, the thread mostly rests.
void read_ahead_reading();

}  // namespace vl
