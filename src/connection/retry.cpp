#include "connection/retry.h"

#include <atomic>
#include <string>

#include "connection/connect.h"
#include "connection/messages.h"
#include "connection/transport.h"
#include "run/run_control.h"
#include "run/status.h"
#include "platform/clock.h"

namespace vl {

uint32_t retry_delay(int n) {
  if (n <= 1) return 5;
  if (n <= 5) return 10;
  if (n <= 10) return 20;
  if (n <= 20) return 60;
  return 300;
}

static std::atomic<int> g_retry_limit_minutes{60};

void retry_limit_minutes_set(int minutes) { g_retry_limit_minutes = minutes < 0 ? 0 : minutes; }
int retry_limit_minutes() { return g_retry_limit_minutes.load(); }

// An unattended run that has tried since `since` for the retry limit gives up: nobody is there to
// notice a run that retries for ever, and a timer's next run could not start while it lives.
// `what` says what the server did meanwhile ("could not be reached").
static bool retry_limit_reached(RunContext& ctx, int32_t since,
                                const char* what = "could not be reached") {
  const int limit = retry_limit_minutes();
  if (!ctx.unattended || limit == 0 || clock_now() - since < limit * 60) return false;
  run_abort(ctx, kAbortServerLost,
            std::string("The server ") + what + " for " + std::to_string(limit) +
                (limit == 1 ? " minute" : " minutes") + "; the run gave up." +
                (server_last_failure().empty() ? "" : "\nLast attempt: " + server_last_failure()));
  return true;
}

static std::string format_status(const char* fmt, int a, int b = 0) {
  char buf[64];
  std::snprintf(buf, sizeof buf, fmt, a, b);
  return buf;
}

// Counts d seconds down on the status line; the pause point each second holds the count while
// paused. Returns 1 when the run is cancelled, else 0.
static int countdown(RunContext& ctx, const char* fmt, int number, uint32_t d) {
  if (ctx.long_wait_hook) ctx.long_wait_hook(ctx);
  for (uint32_t s = d; s >= 1; --s) {
    status_set(ctx, format_status(fmt, number, static_cast<int>(s)));
    if (ctx.pause != 0) {
      // Paused before the connection failed: Resume stays within reach while the count holds.
      pause_button_enable(true);
      pause_wait(ctx);
      pause_button_enable(false);
    }
    if (ctx.cancel == 1) return 1;
    run_sleep_ms(ctx, 1000);
  }
  return 0;
}

static void last_attempt_update() {
  const std::string& cause = server_last_failure();
  last_attempt_show(cause.empty() ? std::string() : "Last attempt: " + cause);
}

// After an attempt that failed (r): a refused login ends the loop (kReconnectRefused), and so do
// a cancel and an unattended run's retry limit (kReconnectCancelled); otherwise -1, after the
// cause is shown, and the loop tries again.
static int attempt_failed(RunContext& ctx, int r, int32_t since) {
  if (r == kAttemptRefused) {
    ctx.conn.login_refused = true;
    return kReconnectRefused;
  }
  if (ctx.cancel == 1 || retry_limit_reached(ctx, since)) return kReconnectCancelled;
  last_attempt_update();
  return -1;
}

int server_connect(RunContext& ctx) {
  pause_button_enable(false);
  const int32_t since = clock_now();
  int failures = 0;
  for (;;) {
    int r = server_open(ctx);
    if (r == kAttemptOk) {
      last_attempt_show("");
      pause_button_enable(true);
      return kReconnectOk;
    }
    if (int end = attempt_failed(ctx, r, since); end >= 0) return end;
    status_set(ctx, "Connection Failed!");
    run_sleep_ms(ctx, 500);
    if (countdown(ctx, "Retry connect #%d in %ds", failures + 1, retry_delay(failures)))
      return kReconnectCancelled;
    ++failures;
    if (failures > 1) {
      status_set(ctx, format_status("Retry Connect #%d..", failures));
      run_sleep_ms(ctx, 1000);
    } else {
      status_set(ctx, "Retry Connect..");
    }
    run_sleep_ms(ctx, 500);
  }
}

int server_reconnect(RunContext& ctx) {
  pause_button_enable(false);
  const int32_t since = clock_now();
  int attempt = 0;
  for (;;) {
    ++attempt;
    status_set(ctx, attempt > 1 ? format_status("Reconnecting #%d..", attempt) : "Reconnecting..");
    run_sleep_ms(ctx, 500);
    int r = server_reopen(ctx);
    if (r == kAttemptOk) {
      last_attempt_show("");
      status_set(ctx, "Reconnected!");
      run_sleep_ms(ctx, 1000);
      pause_button_enable(true);
      return kReconnectOk;
    }
    if (int end = attempt_failed(ctx, r, since); end >= 0) return end;
    run_sleep_ms(ctx, 500);
    status_set(ctx, "Reconnect Failed!");
    run_sleep_ms(ctx, 1000);
    if (countdown(ctx, "Reconnect Try #%d in %ds", attempt + 1, retry_delay(attempt)))
      return kReconnectCancelled;
  }
}

void server_reply_accepted(ServerConnection& conn) { conn.failed_exchanges = 0; }

int server_recover(RunContext& ctx, const char* status_after) {
  if (ctx.cancel == 1) return kReconnectCancelled;
  server_disconnect(ctx);
  // A server that fails every exchange right after a reconnect must not be hammered: the second
  // failure in a row waits like a failed reconnection before trying again.
  int failed = ctx.conn.failed_exchanges;
  ctx.conn.failed_exchanges = failed + 1;
  if (failed == 0) {
    ctx.conn.failing_since = clock_now();
  } else {
    // A server that takes every reconnection and then fails again is as good as out of reach.
    if (retry_limit_reached(ctx, ctx.conn.failing_since, "kept failing")) return kReconnectCancelled;
    status_set(ctx, "Reconnect Failed!");
    if (countdown(ctx, "Reconnect Try #%d in %ds", failed + 1, retry_delay(failed)))
      return kReconnectCancelled;
  }
  int r = server_reconnect(ctx);
  if (r == kReconnectOk && status_after) status_set(ctx, status_after);
  return r;
}

int server_request(RunContext& ctx, const uint8_t* request, int len, uint8_t* reply, int cap,
                   const ReplyCheck& check, const char* status_after) {
  for (;;) {
    server_send(ctx, request, len, kTimeoutS);
    int n = server_receive(ctx, reply, cap, kTimeoutS);
    if (check(reply, n)) {
      server_reply_accepted(ctx);
      return n;
    }
    if (server_recover(ctx, status_after) != kReconnectOk) return -1;
  }
}

}  // namespace vl
