// Entry points of the Qt desktop front-end, called by the shell. No Qt types here: the core
// never includes a Qt header.
#pragma once

#include "run/run_context.h"
#include "run/profile_records.h"

namespace vl {

// Whether the toolkit can open the display, asked in a child process: its platform plug-in
// aborts a process that cannot (a stale WAYLAND_DISPLAY, an X server that refuses us). False
// when the child fails, aborts or takes longer than a few seconds. Main thread, before
// qt_frontend_init and before any other thread starts.
bool qt_display_opens();

// Creates the QApplication and installs the Qt UI back-end. Returns false when no display can be
// opened (the shell then falls back to the console front-end). Main thread, once.
bool qt_frontend_init(int& argc, char** argv);

// Interactive start: creates the hidden main window, shows the profile list modally without
// owner, then the run dialog when a profile was chosen, and the list again (its row selected,
// Last Run updated) when the run dialog closes; after a refused login the list offers to open
// the profile's editor. Returns the exit code once the list is closed with Cancel (0).
int qt_run_interactive();

// Unattended start: shows the run dialog for entry (already opened with open_profile), modally;
// returns when it is closed, with the run's exit code (run_exit_code).
int qt_run_unattended(RunContext& ctx, ProfileListEntry* entry);

// Removes the back-end (the silent one is installed again) and destroys the QApplication.
void qt_frontend_shutdown();

}  // namespace vl
