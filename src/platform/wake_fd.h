// A descriptor that a wait polls beside its socket, so that setting it wakes the wait at once: a
// cancel reaches a thread blocked on the network without that thread looking at a flag on a timer.
#pragma once

#include <cstdint>

namespace vl {

class WakeFd {
 public:
  // An eventfd; fd() is -1 when none can be had (waits then end by their own time-outs).
  WakeFd();
  ~WakeFd();
  WakeFd(const WakeFd&) = delete;
  WakeFd& operator=(const WakeFd&) = delete;

  // Makes fd() readable until clear(). Any thread.
  void set();
  void clear();
  int fd() const { return fd_; }

 private:
  int fd_ = -1;
};

// Sleeps ms milliseconds like sleep_ms (the fast test clock included), and returns early when
// wake_fd (>= 0) is or becomes readable. Any thread.
void sleep_ms_wakeable(uint32_t ms, int wake_fd);

}  // namespace vl
