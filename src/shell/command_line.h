// The command line: the arguments joined with single blanks.
#pragma once

#include <string>

namespace vl {

struct CommandLine {
  std::string text;        // argv[1..] joined with " "
  bool help = false;       // the whole line is "--help" or "-h"
  bool version = false;    // the whole line is "--version" or "-V"
  bool unattended = false; // the line begins with "/run:" (case-sensitive)
  std::string tag;         // everything after "/run:", unchanged
};

CommandLine command_line_parse(int argc, const char* const* argv);

enum class FrontendKind { console, qt };

// VORNLAKE_UI=console or qt decides; unset (or anything else), Qt when a display is named.
FrontendKind frontend_choose(const char* ui, const char* display, const char* wayland_display);

}  // namespace vl
