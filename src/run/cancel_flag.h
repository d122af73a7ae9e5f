// The run's cancel word. Setting it to 1 wakes every wait of the run at once, wherever it waits:
// a condition variable waiting with token(), a socket wait or a sleep polling wake_fd(). No wait
// has to look at the word on a timer to see a cancel in time.
#pragma once

#include <atomic>
#include <cstdint>
#include <stop_token>

#include "platform/wake_fd.h"

namespace vl {

class CancelFlag {
 public:
  CancelFlag() = default;
  CancelFlag(const CancelFlag&) = delete;
  CancelFlag& operator=(const CancelFlag&) = delete;

  // 1 cancels (any thread, any number of times); 0 arms the word for the next run, only while no
  // thread of a run waits on it (a cleared context).
  CancelFlag& operator=(int32_t v) {
    if (v == 1) {
      v_.store(1);
      source_.request_stop();
      wake_.set();
    } else {
      v_.store(v);
      if (source_.stop_requested()) source_ = std::stop_source();
      wake_.clear();
    }
    return *this;
  }
  operator int32_t() const { return v_.load(); }  // NOLINT: it stands in for the word
  int32_t load() const { return v_.load(); }

  // Requested once the run is cancelled: for condition_variable_any waits.
  std::stop_token token() const { return source_.get_token(); }
  // Readable once the run is cancelled: for socket waits and sleeps.
  int wake_fd() const { return wake_.fd(); }

 private:
  std::atomic<int32_t> v_{0};
  std::stop_source source_;
  WakeFd wake_;
};

}  // namespace vl
