// Segment upload: makes sure the server holds a segment (query, then a level-9 zlib or raw
// upload in data messages of at most 4096 payload bytes) and links it to the run's catalog.
// Keeps the segment and byte counters of the run and their run-view fields. Worker thread.
#pragma once

#include <cstdint>

#include "run/run_context.h"

namespace vl {

// Offers the segment until the server holds it and the link has been answered (0); between
// failed attempts disconnects, reconnects and shows "Kicking Ass!". 1 only when cancelled.
int server_seg_store(RunContext& ctx, const uint8_t digest[16], const uint8_t* data, uint32_t size);

// One attempt: query; when held, " exists.\n" in the run log, link, counted as duped; otherwise
// compressed (or raw when that does not shrink it), counted as stored, header, data messages
// (pause point after each), upload-complete reply, link. Header status 0xFF logs
// " exists (blah!)\n" and links. Returns 0 on success, 1 on any failure or cancel.
int server_seg_upload(RunContext& ctx, const uint8_t digest[16], const uint8_t* data, uint32_t size);

// 0 when the server holds the segment; 1 when it does not or the run is cancelled. Retries a
// missing or malformed reply on a new connection.
int server_seg_query(RunContext& ctx, const uint8_t digest[16], uint32_t size);

// Links the segment to ctx.catalog_id: 0 when the server reports it linked; 1 for any other
// status or when cancelled. Retries a missing or malformed reply on a new connection.
int server_seg_link(RunContext& ctx, const uint8_t digest[16]);

}  // namespace vl
