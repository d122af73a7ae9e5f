// Reconnect and retry: the first connection of a run and the reconnection after a failed
// exchange, each retried with growing countdowns until it succeeds or the run is cancelled, and
// the request-with-reconnect pattern every request follows. Worker thread.
#pragma once

#include <cstdint>
#include <functional>

#include "run/run_context.h"

namespace vl {

// Minutes an unattended run (ctx.unattended) keeps retrying a server it cannot reach: the
// settings file's Retry_Limit_Minutes (default 60; 0 retries for ever). Set once at start-up.
void retry_limit_minutes_set(int minutes);
int retry_limit_minutes();

// Seconds of countdown after a failed attempt, by the loop's count n: 5 (n <= 1), 10 (2..5),
// 20 (6..10), 60 (11..20), 300 (more).
uint32_t retry_delay(int n);

// How a (re)connection loop ended.
enum ReconnectResult : int {
  kReconnectOk = 0,         // connected and logged in; Pause enabled
  kReconnectCancelled = 1,  // the run was cancelled; Pause left disabled
  kReconnectRefused = 2,    // the server refused the login or password; the run must end
};

// Connects and logs in (server_open) until it succeeds or the run is cancelled, or the login is
// refused, or an unattended run has tried for the retry limit: then the run is aborted
// (kAbortServerLost, which cancels it) and kReconnectCancelled returned. Status: "Connection Failed!", "Retry connect #%d in %ds" each second (pause_wait each
// second), "Retry Connect.." or "Retry Connect #%d.."; "Last attempt: <cause>" under the status
// line between attempts (last_attempt_show), cleared on success. Returns a ReconnectResult.
int server_connect(RunContext& ctx);

// Reconnects (server_reopen) the same way, with the same limit: "Reconnecting.." / "Reconnecting #%d..",
// "Reconnected!" on success, "Reconnect Failed!" and "Reconnect Try #%d in %ds" countdowns
// otherwise. Returns a ReconnectResult.
int server_reconnect(RunContext& ctx);

// After a failed exchange: disconnects and reconnects, then shows status_after (unless null).
// When the exchange failed again right after a reconnect (no reply accepted since), it first
// counts down like a failed reconnection, so that a server that answers every request badly is
// not hammered. Returns a ReconnectResult.
int server_recover(RunContext& ctx, const char* status_after);

// Marks a reply on conn as accepted: the next failure reconnects at once.
void server_reply_accepted(ServerConnection& conn);
inline void server_reply_accepted(RunContext& ctx) { server_reply_accepted(ctx.conn); }

// Whether a reply of n bytes in buf answers the request.
using ReplyCheck = std::function<bool(const uint8_t* buf, int n)>;

// The request-with-reconnect pattern: sends the request (result not examined), receives the
// reply into reply[0..cap) and returns its length once check accepts it. Otherwise recovers
// (server_recover) and sends the same request again; returns -1 when the run is cancelled (the
// connection is left as it is) or the login was refused on reconnecting.
int server_request(RunContext& ctx, const uint8_t* request, int len, uint8_t* reply, int cap,
                   const ReplyCheck& check, const char* status_after);

}  // namespace vl
