#include "ui/console/console_run.h"

#include <cstdio>

#include "run/run_control.h"
#include "engine/run_session.h"
#include "platform/desktop_notify.h"
#include "platform/signals.h"
#include "platform/terminal.h"
#include "run/run_notice.h"
#include "port/port.h"

namespace vl {

int console_run_unattended(ConsoleBackend& ui, RunContext& ctx, ProfileListEntry* entry) {
  run_signals_install();

  run_view_open();
  run_dialog_init(ctx, entry);
  // At a terminal someone watches the run and may cancel it; from a timer or cron nobody does.
  ctx.unattended = !is_terminal(stderr);
  run_worker_start(ctx);
  const int counter_every = is_terminal(stderr) ? 10 : 50;  // ticks of 100 ms
  for (unsigned tick = 1; run_worker_running(ctx); ++tick) {
    // The timers tick in real time, like a desktop's timers (the fast test clock is for the
    // worker's waits); the worker's end cuts the last tick short.
    run_worker_wait(ctx, 100);
    if (cancel_signal_take()) run_cancel(ctx);
    if (pause_signal_take()) run_pause_toggle(ctx);
    allowance_refill(ctx);
    if (tick % 10 == 0) totals_show(ctx);
    if (tick % 50 == 0) rates_show(ctx);
    if (tick % counter_every == 0) ui.counters_print(ctx);
  }
  run_worker_join(ctx);
  totals_show(ctx);
  ui.counters_print(ctx);
  ui.line_finish();
  run_view_close();
  // A run from a timer or cron ends unseen: one notification tells the desktop user how it went.
  // At a terminal, the person who started the run sees its end there. Sent while the signal
  // handlers still stand, so that a signal in that moment cannot change the exit code.
  if (!is_terminal(stderr)) desktop_notify(run_end_notice(ctx));
  run_signals_reset();
  return run_exit_code(ctx);
}

int console_run_interactive() {
  if (profile_list.empty()) {
    std::printf("No backup profiles.\n");
  } else {
    std::printf("Backup profiles:\n");
    for (const auto& entry : profile_list)
      std::printf("  %-31s  %s\n", entry->tag.c_str(), entry->description.c_str());
  }
  std::printf("\nRun one with: vornlake /run:TAG\n");
  return 0;
}

}  // namespace vl
