// Catalog upload: the finished, closed catalog file stored as a segment, then the finalize
// message with the run's summary. Worker thread, after catalog_close.
#pragma once

#include <functional>

#include "run/run_context.h"

namespace vl {

// Stores ctx.catalog_path as a segment (its digest and level-9 stream made as the file is read,
// each on a thread of its own at the run's priority, the stream kept in a scratch file beside it;
// meanwhile, when given, runs on the calling thread while they work: the run's other ending steps
// leave the critical path) and sends the 72-byte finalize message (built once, resent unchanged after a
// reconnection) until the server answers it; then adds the catalog's size to bytes_total. Returns
// 0 when the finalize was answered; 1 when the file cannot be read ("Failed to open catalog!\n",
// "Failed to read catalog!\n", also when the digest's thread cannot be started or runs out of
// memory, "Failed to compress catalog!\n" (a compression thread that cannot be started leaves
// the stream to the calling thread), on standard output and in the run log), the server
// refused the link, a reconnection's login was refused, or the run was cancelled. *finalize_sent
// (when given) tells whether the finalize went out, answered or not. What meanwhile throws is
// thrown on once both threads are joined.
int server_catalog_upload(RunContext& ctx, bool* finalize_sent = nullptr,
                          const std::function<void()>& meanwhile = {});

}  // namespace vl
