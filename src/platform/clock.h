// Wall clock and sleeping. Every sleep of the client goes through sleep_ms so that tests can
// run retry countdowns, pauses and throttling on a fast clock instead of waiting real seconds.
#pragma once

#include <cstdint>
#include <functional>

namespace vl {

// Current time as 32-bit seconds since 1970-01-01 00:00 UTC. On the fast clock this is the real
// time plus every millisecond slept so far. Any thread.
int32_t clock_now();

// Sleeps ms milliseconds (real clock), or advances the fast clock by ms and yields briefly.
// Any thread.
void sleep_ms(uint32_t ms);

// Switches the fast clock on or off (tests). Switching it off resets the offset.
void clock_fast_set(bool on);

// True while the fast clock is on.
bool clock_is_fast();

// Milliseconds the fast clock has advanced since it was switched on.
uint64_t clock_fast_elapsed_ms();

// Observer called (on the sleeping thread) with every requested sleep while the fast clock is on;
// tests use it to count sleeps or to act at a given moment. Pass an empty function to remove it.
void clock_sleep_observer_set(std::function<void(uint32_t)> observer);

// Monotonic milliseconds for measuring durations (real clock, also on the fast clock).
uint64_t clock_monotonic_ms();

}  // namespace vl
