// Whether the desktop can show a text file: a desktop without a program for text opens nothing
// and says nothing when asked to. GUI thread.
#pragma once

#include <string>

namespace vl {

// True when xdg-mime names a default program for the file's type or for text/plain (asked
// without a shell, at most 3 seconds each); also true when xdg-mime itself is missing, so that
// the desktop's own opener is tried.
bool text_viewer_available(const std::string& path);

}  // namespace vl
