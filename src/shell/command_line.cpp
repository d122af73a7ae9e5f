#include "shell/command_line.h"

#include <cstring>

namespace vl {

CommandLine command_line_parse(int argc, const char* const* argv) {
  CommandLine cl;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) cl.text += " ";
    cl.text += argv[i];
  }
  cl.help = cl.text == "--help" || cl.text == "-h";
  cl.version = cl.text == "--version" || cl.text == "-V";
  if (cl.text.compare(0, 5, "/run:") == 0) {
    cl.unattended = true;
    cl.tag = cl.text.substr(5);
  }
  return cl;
}

FrontendKind frontend_choose(const char* ui, const char* display, const char* wayland_display) {
  if (ui && std::strcmp(ui, "console") == 0) return FrontendKind::console;
  if (ui && std::strcmp(ui, "qt") == 0) return FrontendKind::qt;
  if ((display && *display) || (wayland_display && *wayland_display)) return FrontendKind::qt;
  return FrontendKind::console;
}

}  // namespace vl
