#include "platform/clock.h"

#include <atomic>
#include <chrono>
#include <ctime>
#include <mutex>
#include <thread>

namespace vl {
namespace {

std::atomic<bool> g_fast{false};
std::atomic<uint64_t> g_fast_offset_ms{0};
std::mutex g_observer_mutex;
std::function<void(uint32_t)> g_observer;

}  // namespace

int32_t clock_now() {
  int64_t now = static_cast<int64_t>(std::time(nullptr));
  if (g_fast.load()) now += static_cast<int64_t>(g_fast_offset_ms.load() / 1000);
  return static_cast<int32_t>(now);
}

void sleep_ms(uint32_t ms) {
  if (!g_fast.load()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    return;
  }
  g_fast_offset_ms.fetch_add(ms);
  std::function<void(uint32_t)> observer;
  {
    std::lock_guard<std::mutex> lock(g_observer_mutex);
    observer = g_observer;
  }
  if (observer) observer(ms);
  // A short real pause keeps polling loops from spinning a core while another thread acts.
  std::this_thread::sleep_for(std::chrono::microseconds(ms ? 200 : 0));
}

void clock_fast_set(bool on) {
  g_fast.store(on);
  g_fast_offset_ms.store(0);
}

bool clock_is_fast() { return g_fast.load(); }

uint64_t clock_fast_elapsed_ms() { return g_fast_offset_ms.load(); }

void clock_sleep_observer_set(std::function<void(uint32_t)> observer) {
  std::lock_guard<std::mutex> lock(g_observer_mutex);
  g_observer = std::move(observer);
}

uint64_t clock_monotonic_ms() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

}  // namespace vl
