// Scheduling priority of one thread.
#pragma once

#include <sys/types.h>

#include <cstdint>

namespace vl {

// A thread's kernel id, as thread_id_current gives it; 0 stands for none.
using ThreadId = pid_t;

// Kernel id of the calling thread (for thread_priority_set).
ThreadId thread_id_current();

// Applies a stored priority code to thread tid: 0 SCHED_IDLE; 1 nice 10; 2 nice 0; 3 nice -5;
// 4 nice -10; any other code as 1. Returns 1 when the kernel accepted it, 0 when it refused
// (raising priority may need privileges). Any thread.
int thread_priority_set(ThreadId tid, uint32_t code);

}  // namespace vl
