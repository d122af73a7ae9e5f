// One step of a teardown (a destructor's), run whatever it meets.
#pragma once

namespace vl {

// Runs step and swallows any exception it throws: an exception leaving a destructor (a failed
// allocation while an earlier failure is unwound) would end the process, and the steps after it
// may join threads that must not be left running. Any thread.
template <class Step>
void teardown_step(Step step) noexcept {
  try {
    step();
  } catch (...) {
  }
}

}  // namespace vl
