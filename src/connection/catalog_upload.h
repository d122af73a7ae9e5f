// Catalog upload: the finished, closed catalog file stored as a segment, then the finalize
// message with the run's summary. Worker thread, after catalog_close.
#pragma once

#include "run/run_context.h"

namespace vl {

// Reads ctx.catalog_path whole, stores it with server_seg_store and sends the 72-byte finalize
// message (built once, resent unchanged after a reconnection) until the server answers it; then
// adds the catalog's size to bytes_total. Returns 0 when the finalize was answered; 1 when the
// file cannot be read ("Failed to open catalog!\n", "Memory allocation failure!\n", "Failed to
// read catalog!\n" on standard output) or the run was cancelled.
int server_catalog_upload(RunContext& ctx);

}  // namespace vl
