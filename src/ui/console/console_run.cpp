#include "ui/console/console_run.h"

#include <unistd.h>

#include <csignal>
#include <cstdio>

#include "run/run_control.h"
#include "engine/run_session.h"
#include "platform/desktop_notify.h"
#include "ui/console/run_notice.h"
#include "port/port.h"

namespace vl {

namespace {

volatile std::sig_atomic_t g_cancel_signal = 0;
volatile std::sig_atomic_t g_pause_signal = 0;

extern "C" void on_cancel_signal(int) { g_cancel_signal = 1; }
extern "C" void on_pause_signal(int) { g_pause_signal = 1; }

void install_signal(int sig, void (*handler)(int)) {
  struct sigaction sa = {};
  sa.sa_handler = handler;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  sigaction(sig, &sa, nullptr);
}

}  // namespace

int console_run_unattended(ConsoleBackend& ui, RunContext& ctx, ProfileListEntry* entry) {
  g_cancel_signal = 0;
  g_pause_signal = 0;
  install_signal(SIGINT, on_cancel_signal);
  install_signal(SIGTERM, on_cancel_signal);
  install_signal(SIGUSR1, on_pause_signal);

  run_view_open();
  run_dialog_init(ctx, entry);
  run_worker_start(ctx);
  const int counter_every = ::isatty(::fileno(stderr)) ? 10 : 50;  // ticks of 100 ms
  for (unsigned tick = 1; run_worker_running(ctx); ++tick) {
    // The timers tick in real time, like a desktop's timers (the fast test clock is for the
    // worker's waits); the worker's end cuts the last tick short.
    run_worker_wait(ctx, 100);
    if (g_cancel_signal) {
      g_cancel_signal = 0;
      run_cancel(ctx);
    }
    if (g_pause_signal) {
      g_pause_signal = 0;
      run_pause_toggle(ctx);
    }
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
  if (!::isatty(::fileno(stderr))) desktop_notify(run_end_notice(ctx));
  std::signal(SIGINT, SIG_DFL);
  std::signal(SIGTERM, SIG_DFL);
  std::signal(SIGUSR1, SIG_DFL);
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
