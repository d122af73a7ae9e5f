// The run log: one text file per run, written only by the worker.
#pragma once

#include "run/run_context.h"

namespace vl {

// printf-style append to ctx.log; writes nothing while no log is open. Worker thread.
void run_log(RunContext& ctx, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

}  // namespace vl
