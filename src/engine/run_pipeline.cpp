#include "engine/run_pipeline.h"

#include <string>
#include <thread>

#include "base/teardown.h"
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
  teardown_step([this] { dialogue.abandon(); });
  teardown_step([this] { blocks.stop(); });
  teardown_step([this] { read_ahead.stop(); });
  teardown_step([this] { rows.stop(); });
  teardown_step([this] { cache_end(); });
}

void RunPipeline::cache_end() {
  if (cache_ended_) return;
  cache_ended_ = true;
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

void RunPipeline::walk_under(const std::string& path) {
  base = PathBase();
  UniqueFd fd = path_base_open(path);
  if (!fd) return;
  size_t len = path.size();
  while (len > 1 && path[len - 1] == '/') --len;
  base = PathBase{fd.get(), len};
  roots.push_back(std::move(fd));
}

int RunPipeline::heal_pending() {
  while (!heals.empty() && ctx.cancel != 1) {
    if (heals_in_flight >= kHealsInFlightMax &&
        dialogue.wait_until([this] { return heals_in_flight < kHealsInFlightMax; }) != 0)
      return 1;
    std::function<int()> heal = std::move(heals.front());
    heals.pop_front();
    if (heal() != 0) return 1;
  }
  return ctx.cancel == 1 ? 1 : 0;
}

void RunPipeline::finish() {
  // Every answer, and every block sent again for a refused link with its own answers.
  bool stopped = ctx.cancel == 1;
  while (!stopped) {
    stopped = dialogue.drain() != 0;
    if (stopped || heals.empty()) break;
    stopped = heal_pending() != 0;
  }
  // A stopped run lets go of what every session still holds (each segment ends, its buffer goes
  // back) before the extra sessions close with their queues; otherwise nothing is left.
  dialogue.abandon();
  // Every link is answered: the catalog's upload and finalize go over the main session alone.
  dialogue.sessions_close();
  if (stopped && dialogue.login_refused()) run_abort(ctx, kAbortLoginRefused);
  heals.clear();
  blocks.stop();
  read_ahead.stop();
  rows.stop();
  run_log_close_all(ctx);
  cache.hand_over();
}

}  // namespace vl
