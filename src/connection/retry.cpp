#include "connection/retry.h"

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

static std::string format_status(const char* fmt, int a, int b = 0) {
  char buf[64];
  std::snprintf(buf, sizeof buf, fmt, a, b);
  return buf;
}

// Counts d seconds down on the status line; the pause point each second holds the count while
// paused. Returns 1 when the run is cancelled, else 0.
static int countdown(RunContext& ctx, const char* fmt, int number, uint32_t d) {
  for (uint32_t s = d; s >= 1; --s) {
    status_set(ctx, format_status(fmt, number, static_cast<int>(s)));
    pause_wait(ctx);
    if (ctx.cancel == 1) return 1;
    sleep_ms(1000);
  }
  return 0;
}

int server_connect(RunContext& ctx) {
  pause_button_enable(false);
  int failures = 0;
  for (;;) {
    if (server_open(ctx) == 0) {
      pause_button_enable(true);
      return 0;
    }
    status_set(ctx, "Connection Failed!");
    sleep_ms(500);
    if (countdown(ctx, "Retry connect #%d in %ds", failures + 1, retry_delay(failures))) return 1;
    ++failures;
    if (failures > 1) {
      status_set(ctx, format_status("Retry Connect #%d..", failures));
      sleep_ms(1000);
    } else {
      status_set(ctx, "Retry Connect..");
    }
    sleep_ms(500);
  }
}

int server_reconnect(RunContext& ctx) {
  pause_button_enable(false);
  int attempt = 0;
  for (;;) {
    ++attempt;
    status_set(ctx, attempt > 1 ? format_status("Reconnecting #%d..", attempt) : "Reconnecting..");
    sleep_ms(500);
    if (server_reopen(ctx) == 0) {
      status_set(ctx, "Reconnected!");
      sleep_ms(1000);
      pause_button_enable(true);
      return 0;
    }
    sleep_ms(500);
    status_set(ctx, "Reconnect Failed!");
    sleep_ms(1000);
    if (countdown(ctx, "Reconnect Try #%d in %ds", attempt + 1, retry_delay(attempt))) return 1;
  }
}

int server_request(RunContext& ctx, const uint8_t* request, int len, uint8_t* reply, int cap,
                   const ReplyCheck& check, const char* status_after) {
  for (;;) {
    server_send(ctx, request, len, kTimeoutS);
    int n = server_receive(ctx, reply, cap, kTimeoutS);
    if (check(reply, n)) return n;
    if (ctx.cancel == 1) return -1;
    server_disconnect(ctx);
    server_reconnect(ctx);
    if (status_after) status_set(ctx, status_after);
  }
}

}  // namespace vl
