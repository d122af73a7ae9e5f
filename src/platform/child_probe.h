// A question asked in a child process, for code that ends the process it runs in when the answer
// is no (a toolkit that aborts when it cannot open its display).
#pragma once

#include <functional>

namespace vl {

// Forks; the child, its standard error on /dev/null and without core files, runs body and exits
// with its result (0 to 255). Waits for the child at most timeout_ms, killing it then. Returns the
// child's exit status, or -1 when it could not be started, was ended by a signal or took too
// long. Main thread, while no other thread runs (the child has only the calling thread).
int child_probe(const std::function<int()>& body, int timeout_ms);

}  // namespace vl
