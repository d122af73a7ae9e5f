#include "run/run_context.h"

#include <cassert>

namespace vl {

RunContext::~RunContext() {
  if (worker_thread.joinable()) worker_thread.join();
}

void run_context_clear(RunContext& ctx) {
  assert(!ctx.worker_active.load() && "a running worker still uses the context");
  if (ctx.worker_thread.joinable()) ctx.worker_thread.join();
  ctx.conn.ssl.reset();
  ctx.conn.failed_exchanges = 0;
  ctx.conn.login_refused = false;
  ctx.upload_sessions.clear();
  ctx.profile.reset();
  ctx.run_lock.unlock();
  ctx.entry_tag.clear();
  ctx.entry_description.clear();
  ctx.log.reset();
  ctx.log_queue = RunLogQueue();
  ctx.log_path.clear();
  ctx.catalog_path.clear();
  ctx.t_start = 0;
  ctx.t_end = 0;
  ctx.catalog_id = 0;
  ctx.server_profile_id = 0;
  ctx.stats = RunStats();
  ctx.cancel = 0;
  ctx.pause = 0;
  ctx.abort = kAbortNone;
  {
    std::lock_guard<std::mutex> lock(ctx.abort_error.mu);
    ctx.abort_error.text.clear();
  }
  ctx.unattended = false;
  ctx.worker_active = false;
  ctx.worker_tid = 0;
  for (auto& tid : ctx.helper_tids) tid = 0;
  ctx.status_text.clear();
  ctx.outcome = kRunGoing;
  ctx.long_pause_hook = nullptr;
  ctx.long_wait_hook = nullptr;
}

int run_exit_code(const RunContext& ctx) {
  if (ctx.outcome != kRunCompleted || ctx.stats.errors > 0) return 3;
  return ctx.stats.warnings > 0 ? 2 : 0;
}

RunContext& run_context() {
  static RunContext ctx;
  return ctx;
}

}  // namespace vl
