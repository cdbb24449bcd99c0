// Threads, sleeping, descriptor closing and periodic timers of the POSIX
// builds, and the monotonic-clock helpers the events and sleeps share. The
// exported functions are declared in the public header; what is declared
// here is internal to the library.
#pragma once

#if defined(_WIN32)
#include "win/Platform.h"
#else

#include "Event.h"
#include "zervon_platform.h"

#include <cstdint>
#include <pthread.h>
#include <signal.h>
#include <time.h>

#if defined(__linux__)
// Installs handler for sig as a three-argument (SA_SIGINFO) handler with an
// empty blocked-signal mask and without SA_RESTART, so the signal interrupts
// blocking calls with EINTR. The previous action is not kept. 1 on success,
// 0 when sigaction refused.
int TimerSetHandler(int sig, void (*handler)(int, siginfo_t*, void*));

// The handlers of SIGUSR1 and SIGUSR2 timer expiries. Async-signal-safe:
// they take no lock; they note the expiry and wake the library thread that
// sets g_hSigUsr1Event or g_hSigUsr2Event.
void onSigUsr1Timer(int sig, siginfo_t* info, void* context);
void onSigUsr2Timer(int sig, siginfo_t* info, void* context);
#endif

// Whether ZervFree waits for the connect thread to end (Linux) or only asks
// it to stop and returns (macOS).
bool FreeWaitsForConnectThread();

namespace zervon_detail {

constexpr long kNanosPerSecond = 1000000000L;

// The current time on the monotonic clock, which changes of the system time
// do not move.
inline timespec MonotonicNow() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now;
}

// Milliseconds on the monotonic clock, for deadlines kept as plain numbers.
inline std::int64_t MonotonicMs() {
  const timespec now = MonotonicNow();
  return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// The monotonic time ms milliseconds from now, formed in 64 bits.
inline timespec DeadlineAfter(unsigned int ms) {
  const timespec now = MonotonicNow();
  const std::int64_t nanos = static_cast<std::int64_t>(now.tv_nsec) +
                             static_cast<std::int64_t>(ms % 1000u) * 1000000;
  timespec deadline;
  deadline.tv_sec = now.tv_sec + static_cast<time_t>(ms / 1000u) +
                    static_cast<time_t>(nanos / kNanosPerSecond);
  deadline.tv_nsec = static_cast<long>(nanos % kNanosPerSecond);
  return deadline;
}

// True when a comes before b.
inline bool Earlier(const timespec& a, const timespec& b) {
  return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

// True once the monotonic clock has reached deadline.
inline bool DeadlineReached(const timespec& deadline) {
  return !Earlier(MonotonicNow(), deadline);
}

// The time from now to deadline, zero when it has passed.
inline timespec TimeLeft(const timespec& deadline) {
  const timespec now = MonotonicNow();
  timespec left = {0, 0};
  if (!Earlier(now, deadline)) return left;
  left.tv_sec = deadline.tv_sec - now.tv_sec;
  left.tv_nsec = deadline.tv_nsec - now.tv_nsec;
  if (left.tv_nsec < 0) {
    left.tv_nsec += kNanosPerSecond;
    --left.tv_sec;
  }
  return left;
}

// Holds a pthread mutex for its own lifetime.
class CMutexLock {
 public:
  explicit CMutexLock(pthread_mutex_t& mutex) : m_mutex(mutex) { pthread_mutex_lock(&m_mutex); }
  ~CMutexLock() { pthread_mutex_unlock(&m_mutex); }
  CMutexLock(const CMutexLock&) = delete;
  CMutexLock& operator=(const CMutexLock&) = delete;

 private:
  pthread_mutex_t& m_mutex;
};

}  // namespace zervon_detail

// The two time primitives the shared units use, under the same names on
// every build (win/Platform.h has the Windows pair).
using zervon_detail::MonotonicMs;
inline void SleepMs(unsigned int ms) { SleepEx(ms); }

#endif  // !_WIN32
