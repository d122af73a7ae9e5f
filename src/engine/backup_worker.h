// The backup worker: one whole run of the profile held by the run context, from connecting to the
// final message box. Runs on the worker thread started by run_worker_start.
#pragma once

#include <string>

#include "run/run_context.h"

namespace vl {

class CatalogRows;

// The thread body. Sets ctx.outcome before its final message box and clears ctx.worker_active
// after the box has been acknowledged.
void backup_worker(RunContext& ctx);

// Records the directories along one include path in the run's catalog rows ("/a/b/c" records "/a", "/a/b", "/a/b/c").
// Always returns 0.
int include_path_record(RunContext& ctx, CatalogRows& rows, const std::string& path);

// The end-of-run state of the run dialog: Cancel enabled and labelled "Close", Pause and
// Throttling disabled.
void run_controls_done();

}  // namespace vl
