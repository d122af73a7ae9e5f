// Reconnect and retry: the first connection of a run and the reconnection after a failed
// exchange, each retried with growing countdowns until it succeeds or the run is cancelled, and
// the request-with-reconnect pattern every request follows. Worker thread.
#pragma once

#include <cstdint>
#include <functional>

#include "run/run_context.h"

namespace vl {

// Seconds of countdown after a failed attempt, by the loop's count n: 5 (n <= 1), 10 (2..5),
// 20 (6..10), 60 (11..20), 300 (more).
uint32_t retry_delay(int n);

// Connects and logs in (server_open) until it succeeds (0, Pause enabled) or the run is
// cancelled during a countdown (1, Pause left disabled). Status: "Connection Failed!",
// "Retry connect #%d in %ds" each second (pause_wait each second), "Retry Connect.." or
// "Retry Connect #%d..".
int server_connect(RunContext& ctx);

// Reconnects (server_reopen) the same way: "Reconnecting.." / "Reconnecting #%d..",
// "Reconnected!" on success (0), "Reconnect Failed!" and "Reconnect Try #%d in %ds" countdowns
// otherwise; 1 when cancelled during a countdown (Pause left disabled).
int server_reconnect(RunContext& ctx);

// Whether a reply of n bytes in buf answers the request.
using ReplyCheck = std::function<bool(const uint8_t* buf, int n)>;

// The request-with-reconnect pattern: sends the request (result not examined), receives the
// reply into reply[0..cap) and returns its length once check accepts it. Otherwise returns -1
// when the run is cancelled (the connection is left as it is), else disconnects, reconnects,
// sets status_after (unless null) and sends the same request again.
int server_request(RunContext& ctx, const uint8_t* request, int len, uint8_t* reply, int cap,
                   const ReplyCheck& check, const char* status_after);

}  // namespace vl
