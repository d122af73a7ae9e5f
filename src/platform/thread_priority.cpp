#include "platform/thread_priority.h"

#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace vl {

ThreadId thread_id_current() { return static_cast<ThreadId>(::syscall(SYS_gettid)); }

int thread_priority_set(ThreadId tid, uint32_t code) {
  struct sched_param param = {};
  if (code == 0) return ::sched_setscheduler(tid, SCHED_IDLE, &param) == 0 ? 1 : 0;
  int nice_value = 10;
  switch (code) {
    case 2: nice_value = 0; break;
    case 3: nice_value = -5; break;
    case 4: nice_value = -10; break;
    default: nice_value = 10; break;
  }
  if (::sched_getscheduler(tid) != SCHED_OTHER && ::sched_setscheduler(tid, SCHED_OTHER, &param) != 0)
    return 0;
  return ::setpriority(PRIO_PROCESS, static_cast<id_t>(tid), nice_value) == 0 ? 1 : 0;
}

}  // namespace vl
