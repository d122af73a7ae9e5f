// Segment payloads and the store of a single segment: the level-9 zlib stream of a segment, or
// its raw content when that is no longer, and one segment made sure of and linked on a dialogue
// of its own. Worker thread unless said otherwise.
#pragma once

#include <cstddef>
#include <cstdint>

#include "connection/dialogue.h"
#include "run/run_context.h"

namespace vl {

// Compresses data[0..size) into out[0..cap) (cap at least compress_capacity(size)) and fills *p:
// the stream when it is no longer than the content, else the raw content. Any thread.
void segment_payload_make(const uint8_t* data, uint32_t size, uint8_t* out, size_t cap,
                          SegmentPayload* p);

// Makes sure the server holds the segment and links it, one request at a time, reconnecting as
// often as it takes; its texts go to the run log as the walk's block texts do. Returns 0 when
// linked, 1 when the run was cancelled or a reconnection's login refused, 2 when the server
// refused the link.
int server_seg_store(RunContext& ctx, const uint8_t digest[16], const uint8_t* data, uint32_t size);

}  // namespace vl
