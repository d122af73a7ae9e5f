// Whether output goes to a person at a terminal or to a file, pipe or journal.
#pragma once

#include <cstdio>

namespace vl {

// True when stream is open on a terminal; false for a file, a pipe or a socket.
// Any thread.
bool is_terminal(FILE* stream);

}  // namespace vl
