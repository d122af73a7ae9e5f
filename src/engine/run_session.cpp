#include "engine/run_session.h"

#include <cassert>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>

#include "base/product.h"
#include "connection/transport.h"
#include "engine/backup_worker.h"
#include "stores/md5cache.h"
#include "run/last_run.h"
#include "run/run_control.h"
#include "run/status.h"
#include "platform/thread_priority.h"
#include "platform/worker_thread.h"
#include "port/controls.h"
#include "port/port.h"

namespace vl {

void run_dialog_init(RunContext& ctx, const ProfileListEntry* entry) {
  run_view_text(kCtlVersion, kVersionText);
  if (entry) {
    run_view_text(kCtlProfileName, entry->description);
    run_view_text(kCtlTagName, entry->tag);
  } else if (ctx.profile) {
    run_view_text(kCtlProfileName, ctx.profile->description);
    run_view_text(kCtlTagName, ctx.profile->tag);
  }
  for (int id : {kCtlDirectories, kCtlFiles, kCtlFilesSkipped, kCtlBytesTotal, kCtlBytesSkipped,
                 kCtlBytesStored, kCtlBytesCompressed, kCtlBlocksTotal, kCtlBlocksStored,
                 kCtlBlocksDuped, kCtlNetTx, kCtlNetRx})
    run_view_text(id, "0 ");
  run_view_text(kCtlTxRate, "0 B/sec ");
  run_view_text(kCtlRxRate, "0 B/sec ");
  ctx.stats.net_tx_sample = 0;
  ctx.stats.net_rx_sample = 0;
  status_set(ctx, "");
}

// After a pause of about two minutes the server would time the connections out: give them up,
// and let the next request on each reconnect.
static void long_pause_disconnect(RunContext& ctx) {
  server_disconnect(ctx);
  for (auto& session : ctx.upload_sessions) server_disconnect(ctx, *session);
}

// Told when a worker thread has ended (one worker at a time).
static std::mutex g_end_mutex;
static std::condition_variable g_end_cv;

void run_worker_start(RunContext& ctx) {
  assert(ctx.profile && !ctx.worker_active.load() && "one worker at a time, on an opened profile");
  if (ctx.worker_thread.joinable()) ctx.worker_thread.join();
  ctx.long_pause_hook = long_pause_disconnect;
  // A read of the cache kept open through a long wait would hold up another run's writes to it
  // (and, without the write-ahead log, fail them after the busy time-out).
  ctx.long_wait_hook = [](RunContext&) { md5cache_read_end(); };
  ctx.worker_tid = 0;
  ctx.worker_active = true;
  std::string error;
  try {
    const WorkerFault fault = worker_fault("worker");
    if (fault == WorkerFault::start) throw std::system_error(EAGAIN, std::generic_category());
    if (fault == WorkerFault::alloc) throw std::bad_alloc();
    ctx.worker_thread = std::thread([&ctx] {
      // The worker takes the profile's priority itself: the UI thread does not wait for it. A
      // change from the throttling dialog meanwhile is applied again here.
      const pid_t tid = thread_id_current();
      ctx.worker_tid = tid;
      uint32_t code;
      do {
        code = ctx.profile->thread_priority;
        thread_priority_set(tid, code);
      } while (code != ctx.profile->thread_priority);
      backup_worker(ctx);
      { std::lock_guard<std::mutex> lock(g_end_mutex); }
      g_end_cv.notify_all();
    });
    return;
  } catch (const std::system_error& e) {
    error = "Could not start the worker thread: " + e.code().message();
  } catch (const std::bad_alloc&) {
    error = "Could not start the worker thread: out of memory";
  }
  // No run without its worker: the run ends as failed, and says why.
  status_set(ctx, "Backup Failed!");
  run_controls_done();
  ctx.outcome = kRunFailed;
  run_end_record(ctx);
  ctx.worker_active = false;
  message_box(BoxOwner::none, "Backup failed!\n" + error, "Backup Failure");
}

bool run_worker_running(RunContext& ctx) { return ctx.worker_active.load(); }

bool run_worker_wait(RunContext& ctx, int ms) {
  std::unique_lock<std::mutex> lock(g_end_mutex);
  return g_end_cv.wait_for(lock, std::chrono::milliseconds(ms),
                           [&ctx] { return !ctx.worker_active.load(); });
}

void run_cancel(RunContext& ctx) {
  if (ctx.worker_active.load()) ctx.cancel = 1;
}

bool run_pause_toggle(RunContext& ctx) {
  if (ctx.pause != 0) {
    ctx.pause = 0;
    run_view_text(kCtlButtonPause, "Pause");
    return false;
  }
  ctx.pause = 1;
  run_view_text(kCtlButtonPause, "Resume");
  return true;
}

void run_worker_join(RunContext& ctx) {
  if (ctx.worker_thread.joinable()) ctx.worker_thread.join();
}

}  // namespace vl
