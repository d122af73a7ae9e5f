// Whether output goes to a person at a terminal or to a file, pipe or journal.
#pragma once

#include <cstdio>
#include <string>

namespace vl {

// True when stream is open on a terminal; false for a file, a pipe or a socket.
// Any thread.
bool is_terminal(FILE* stream);

// Reads one line from standard input, which must be a terminal, with the terminal's echo off
// while it is typed; prompt goes to standard error first, and the line break the user typed
// after it. The echo is put back also when the read fails. Returns false when nothing could be
// read (end of input) or the echo could not be turned off. *out holds the line without its
// line break. Main thread.
bool terminal_read_secret(const char* prompt, std::string* out);

}  // namespace vl
