// Helpers of the fault-injection tests: calls that must return within a
// bound, the process's resources, and the checks that a reply fault never
// shows up as success with wrong data.
#pragma once

#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <string>
#include <thread>
#include <utility>

#include "ProcCounts.h"

#if defined(__SANITIZE_ADDRESS__)
#  define ZERVON_FAULTS_LSAN 1
#elif defined(__has_feature)
#  if __has_feature(address_sanitizer)
#    define ZERVON_FAULTS_LSAN 1
#  endif
#endif
#if defined(ZERVON_FAULTS_LSAN)
#  include <sanitizer/lsan_interface.h>
#endif

namespace faults {

// Runs `f` on another thread and waits up to `limitMs` for it. A call that
// never returns ends the whole program (its thread cannot be taken back),
// so a hang fails the test instead of stalling the suite.
template <typename F>
auto MustReturnWithin(long limitMs, const char* what, F&& f) -> decltype(f()) {
  using R = decltype(f());
  std::packaged_task<R()> task(std::forward<F>(f));
  auto done = task.get_future();
  std::thread(std::move(task)).detach();
  if (done.wait_for(std::chrono::milliseconds(limitMs)) != std::future_status::ready) {
    ADD_FAILURE() << what << " did not return within " << limitMs << " ms";
    std::fflush(stdout);
    std::_Exit(1);
  }
  return done.get();
}

template <typename F>
long ElapsedMs(F&& f) {
  auto start = std::chrono::steady_clock::now();
  f();
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());
}

struct Resources {
  int fds = 0, threads = 0, locks = 0;
  bool operator==(const Resources& o) const { return fds == o.fds && threads == o.threads && locks == o.locks; }
};

inline std::ostream& operator<<(std::ostream& os, const Resources& r) {
  return os << r.fds << " descriptors, " << r.threads << " threads, " << r.locks << " lock files";
}

inline Resources Count() {
  return {CountEntries("/proc/self/fd"), CountEntries("/proc/self/task"), CountEntries("/var/lock", "torvanel.")};
}

// The counts once they are back at `expected`, waiting up to `ms` (a
// joined thread may stay listed for a moment).
inline Resources SettleTo(const Resources& expected, long ms = 2000) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  Resources now = Count();
  while (!(now == expected) && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    now = Count();
  }
  return now;
}

// Under AddressSanitizer: a leak check now (the test names the point), on
// top of the one LeakSanitizer makes at exit. Elsewhere nothing.
inline bool NoLeakSoFar() {
#if defined(ZERVON_FAULTS_LSAN)
  return __lsan_do_recoverable_leak_check() == 0;
#else
  return true;
#endif
}

}  // namespace faults
