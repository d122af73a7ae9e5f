#include "run/run_control.h"

#include <string>

#include "base/format.h"
#include "run/status.h"
#include "platform/clock.h"
#include "platform/thread_priority.h"
#include "platform/wake_fd.h"
#include "port/controls.h"
#include "port/port.h"

namespace vl {

// The status line keeps at most this many characters across a pause.
constexpr size_t kStatusSaveMax = 255;
// Passes of 100 ms after which a paused run drops its connection (the server would time it out).
constexpr int kPauseDisconnectPass = 1200;

int thread_priority_apply(RunContext& ctx, uint32_t code) {
  ThreadId tid = ctx.worker_tid;
  if (!ctx.worker_active || tid == 0) return -1;
  for (ThreadId helper : ctx.helper_tids)
    if (helper != 0) thread_priority_set(helper, code);
  return thread_priority_set(tid, code);
}

void helper_thread_register(RunContext& ctx, int slot) {
  ctx.helper_tids[slot] = thread_id_current();
  if (ctx.profile) thread_priority_set(ctx.helper_tids[slot], ctx.profile->thread_priority);
}

void pause_wait(RunContext& ctx) {
  if (ctx.pause == 0) return;
  if (ctx.long_wait_hook) ctx.long_wait_hook(ctx);
  std::string saved = ctx.status_text.substr(0, kStatusSaveMax);
  status_set(ctx, "Paused...");
  int passes = 0;
  while (ctx.pause != 0 && ctx.cancel != 1) {
    if (++passes == kPauseDisconnectPass) {
      if (ctx.long_pause_hook) ctx.long_pause_hook(ctx);
      status_set(ctx, "Paused (Disconnected)...");
    }
    run_sleep_ms(ctx, 100);
  }
  status_set(ctx, saved);
}

void run_abort(RunContext& ctx, RunAbort why, const std::string& text) {
  {
    std::lock_guard<std::mutex> lock(ctx.abort_error.mu);
    if (ctx.abort == kAbortNone) {
      ctx.abort = why;
      ctx.abort_error.text = text;
    }
  }
  ctx.cancel = 1;
}

std::string run_abort_text(const RunContext& ctx) {
  std::lock_guard<std::mutex> lock(ctx.abort_error.mu);
  return ctx.abort_error.text;
}

void run_sleep_ms(RunContext& ctx, uint32_t ms) {
  if (ctx.cancel == 1) return;
  sleep_ms_wakeable(ms, ctx.cancel.wake_fd());
}

void run_delay_ms(RunContext& ctx, uint32_t ms) {
  while (ms > 0 && ctx.pause == 0 && ctx.cancel != 1) {
    const uint32_t step = ms < 100 ? ms : 100;
    run_sleep_ms(ctx, step);
    ms -= step;
  }
}

int32_t allowance_increment(int32_t allowance, uint32_t limit_bytes_per_sec) {
  int32_t limit = static_cast<int32_t>(limit_bytes_per_sec);
  if (allowance >= limit / 2) return 0;
  int32_t step = limit / 10;
  return step < 10 ? 10 : step;
}

static void refill_one(AtomicField<int32_t>& throttle, AtomicField<int32_t>& allowance,
                       AtomicField<int32_t>& rate, AtomicField<uint32_t>& unit) {
  if (throttle == 0) return;
  uint32_t limit = rate_bytes(static_cast<uint32_t>(rate.load()), unit);
  // The worker subtracts concurrently: add the increment atomically rather than store a sum.
  int32_t add = allowance_increment(allowance, limit);
  if (add != 0) allowance.fetch_add(add);
}

void allowance_refill(RunContext& ctx) {
  ProfileSettings* p = ctx.profile.get();
  if (!p) return;
  refill_one(p->tx_throttle, p->tx_allowance, p->tx_rate, p->tx_rate_unit);
  refill_one(p->rx_throttle, p->rx_allowance, p->rx_rate, p->rx_rate_unit);
}

uint32_t run_elapsed_s(const RunContext& ctx) {
  int32_t start = ctx.t_start;
  if (start == 0) return 0;
  int32_t end = ctx.t_end;
  if (end <= 0) end = clock_now();
  return static_cast<uint32_t>(end) - static_cast<uint32_t>(start);
}

void totals_show(RunContext& ctx) {
  counter_show(kCtlNetTx, ctx.stats.net_tx_bytes);
  counter_show(kCtlNetRx, ctx.stats.net_rx_bytes);
  if (ctx.t_start == 0) return;
  run_view_text(kCtlElapsed, elapsed_text(run_elapsed_s(ctx)));
}

static uint32_t rate_sample(AtomicField<uint64_t>& counter, AtomicField<uint64_t>& sample,
                            AtomicField<uint32_t>& rate_out) {
  uint64_t now = counter;
  uint32_t rate = static_cast<uint32_t>((now - sample.load()) / 5);
  sample = now;
  rate_out = rate;
  return rate;
}

void rates_show(RunContext& ctx) {
  RunStats& s = ctx.stats;
  run_view_text(kCtlTxRate, rate_text(rate_sample(s.net_tx_bytes, s.net_tx_sample, s.net_tx_rate)));
  run_view_text(kCtlRxRate, rate_text(rate_sample(s.net_rx_bytes, s.net_rx_sample, s.net_rx_rate)));
}

}  // namespace vl
