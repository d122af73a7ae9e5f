// Whether a display can be opened, asked before the desktop front-end starts: its toolkit ends
// the process when its platform plug-in finds no display.
#pragma once

namespace vl {

// True when $QT_QPA_PLATFORM names a platform other than xcb or wayland, or when the named (or,
// unset, either) display server answers: a Wayland socket that exists, or a local X server whose
// socket accepts a connection (a remote X display is assumed to answer). Main thread.
bool display_available();

}  // namespace vl
