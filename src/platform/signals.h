// How the process takes signals: a peer that closes its end must not end the process, and an
// unattended run takes SIGINT and SIGTERM as Cancel and SIGUSR1 as Pause/Resume.
#pragma once

namespace vl {

// Ignores SIGPIPE: a write to a closed connection or pipe then fails with EPIPE instead of
// ending the process. Main thread, at start-up.
void sigpipe_ignore();

// Clears both requests below, then installs handlers (SA_RESTART) under which SIGINT and SIGTERM
// record a cancel request and SIGUSR1 a pause request; the handlers do nothing else. Main thread.
void run_signals_install();

// Whether a cancel (pause) request came since the last call; takes it (clears it). Main thread.
bool cancel_signal_take();
bool pause_signal_take();

// Gives SIGINT, SIGTERM and SIGUSR1 their default action again (they end the process). Main
// thread, once the run has ended.
void run_signals_reset();

}  // namespace vl
