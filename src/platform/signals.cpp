#include "platform/signals.h"

#include <csignal>

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

void sigpipe_ignore() { std::signal(SIGPIPE, SIG_IGN); }

void run_signals_install() {
  g_cancel_signal = 0;
  g_pause_signal = 0;
  install_signal(SIGINT, on_cancel_signal);
  install_signal(SIGTERM, on_cancel_signal);
  install_signal(SIGUSR1, on_pause_signal);
}

bool cancel_signal_take() {
  if (!g_cancel_signal) return false;
  g_cancel_signal = 0;
  return true;
}

bool pause_signal_take() {
  if (!g_pause_signal) return false;
  g_pause_signal = 0;
  return true;
}

void run_signals_reset() {
  std::signal(SIGINT, SIG_DFL);
  std::signal(SIGTERM, SIG_DFL);
  std::signal(SIGUSR1, SIG_DFL);
}

}  // namespace vl
