#include "engine/run_pipeline.h"

#include <string>
#include <thread>

#include "run/run_control.h"
#include "run/run_log.h"
#include "stores/md5cache.h"

namespace vl {

static int compress_threads(const RunContext& ctx) {
  int threads = compress_threads_override();
  if (threads < 0)
    threads = compress_threads_for(ctx.profile ? ctx.profile->thread_priority.load() : 2u,
                                   std::thread::hardware_concurrency());
  return threads;
}

RunPipeline::RunPipeline(RunContext& c)
    : ctx(c), rows(c), cache(c), read_ahead(c), blocks(c), dialogue(c, request_window()) {}

RunPipeline::~RunPipeline() {
  dialogue.abandon();
  blocks.stop();
  read_ahead.stop();
  rows.stop();
  cache.stop();
  md5cache_flush(ctx.cancel.token());
}

int RunPipeline::start() {
  std::string error;
  const bool started = rows.start(&error) && cache.start(&error) && read_ahead.start(&error) &&
                       blocks.start(compress_threads(ctx), &error);
  if (started) return 0;
  run_abort(ctx, kAbortRunThread, error);
  return 1;
}

void RunPipeline::finish() {
  if (ctx.cancel != 1 && dialogue.drain() != 0 && dialogue.login_refused())
    run_abort(ctx, kAbortLoginRefused);
  dialogue.abandon();
  blocks.stop();
  read_ahead.stop();
  rows.stop();
  run_log_close_all(ctx);
  cache.hand_over();
}

}  // namespace vl
