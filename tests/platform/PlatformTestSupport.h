// Timing helpers of the portability tests. Bounds are generous: the tests run
// on shared, noisy machines.
#pragma once

#include <chrono>
#include <thread>

namespace platform_test {

using Clock = std::chrono::steady_clock;

// Milliseconds since start, on the monotonic clock.
inline long long ElapsedMs(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Polls predicate until it holds or timeoutMs has passed; its last value.
template <typename Predicate>
bool Eventually(Predicate predicate, long long timeoutMs) {
  const Clock::time_point start = Clock::now();
  while (!predicate()) {
    if (ElapsedMs(start) > timeoutMs) return predicate();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

inline void SleepMs(long long ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

}  // namespace platform_test
