// Periodic timers on Linux: their events, their period, their end, their
// failures, and how waits and sleeps fare while timer signals arrive.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <signal.h>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "Platform.h"
#include "PlatformTestSupport.h"

using platform_test::Clock;
using platform_test::ElapsedMs;
using platform_test::SleepMs;

namespace {

constexpr unsigned int kTimedOut = ETIMEDOUT;

void ClearTimerEvents() {
  g_hSigUsr1Event.ResetEvent();
  g_hSigUsr2Event.ResetEvent();
}

// Counts the sets of event over durationMs; firstMs gets the time from start
// to the first set (-1 if none).
int CountTicks(CAutoResetEvent& event, Clock::time_point start, long long durationMs,
               long long* firstMs) {
  int ticks = 0;
  *firstMs = -1;
  while (ElapsedMs(start) < durationMs) {
    if (event.WaitTimeout(20) == 0) {
      if (ticks++ == 0) *firstMs = ElapsedMs(start);
    }
  }
  return ticks;
}

TEST(TimerTest, SigUsr1TimerSetsItsEventEveryPeriodFirstAfterOnePeriod) {
  ClearTimerEvents();
  unsigned int signal = SIGUSR1;
  const Clock::time_point start = Clock::now();
  TIMER_HANDLE timer = CreateNewTimer(100, signal);
  ASSERT_NE(ZERVON_NO_TIMER, timer);
  EXPECT_EQ(static_cast<unsigned int>(SIGUSR1), signal);  // only read

  long long firstMs = 0;
  const int ticks = CountTicks(g_hSigUsr1Event, start, 1050, &firstMs);
  DeleteTimer(0, timer);
  EXPECT_GE(firstMs, 100);
  EXPECT_LT(firstMs, 100 + 400);
  EXPECT_GE(ticks, 6);  // 10 expected
  EXPECT_LE(ticks, 11);
  EXPECT_EQ(kTimedOut, g_hSigUsr2Event.WaitTimeout(0));  // the other event stays clear
}

TEST(TimerTest, SigUsr2TimerSetsOnlyItsOwnEvent) {
  ClearTimerEvents();
  unsigned int signal = SIGUSR2;
  const Clock::time_point start = Clock::now();
  TIMER_HANDLE timer = CreateNewTimer(150, signal);
  ASSERT_NE(ZERVON_NO_TIMER, timer);

  long long firstMs = 0;
  const int ticks = CountTicks(g_hSigUsr2Event, start, 700, &firstMs);
  DeleteTimer(0, timer);
  EXPECT_GE(firstMs, 150);
  EXPECT_LT(firstMs, 150 + 400);
  EXPECT_GE(ticks, 2);  // 4 expected
  EXPECT_LE(ticks, 5);
  EXPECT_EQ(kTimedOut, g_hSigUsr1Event.WaitTimeout(0));
}

TEST(TimerTest, PeriodZeroMakesATimerThatNeverFires) {
  ClearTimerEvents();
  unsigned int signal = SIGUSR1;
  TIMER_HANDLE timer = CreateNewTimer(0, signal);
  ASSERT_NE(ZERVON_NO_TIMER, timer);
  EXPECT_EQ(kTimedOut, g_hSigUsr1Event.WaitTimeout(300));
  DeleteTimer(0, timer);
}

TEST(TimerTest, NoSetsAfterDeleteTimer) {
  unsigned int signal = SIGUSR1;
  for (int round = 0; round < 3; ++round) {
    ClearTimerEvents();
    TIMER_HANDLE timer = CreateNewTimer(2, signal);
    ASSERT_NE(ZERVON_NO_TIMER, timer);
    for (int tick = 0; tick < 5; ++tick) ASSERT_EQ(0u, g_hSigUsr1Event.WaitTimeout(1000));
    DeleteTimer(0, timer);
    EXPECT_EQ(ZERVON_NO_TIMER, timer);
    g_hSigUsr1Event.ResetEvent();  // straight away: nothing may come after it
    EXPECT_EQ(kTimedOut, g_hSigUsr1Event.WaitTimeout(150));
    DeleteTimer(0, timer);  // a second delete does nothing
  }
}

TEST(TimerTest, TwoTimersOnOneSignalCoalesceIntoOneWakeUp) {
  ClearTimerEvents();
  unsigned int signal = SIGUSR2;
  TIMER_HANDLE first = CreateNewTimer(30, signal);
  TIMER_HANDLE second = CreateNewTimer(45, signal);
  ASSERT_NE(ZERVON_NO_TIMER, first);
  ASSERT_NE(ZERVON_NO_TIMER, second);
  SleepEx(300);  // about 16 expiries, nobody waiting
  DeleteTimer(0, first);
  DeleteTimer(0, second);
  EXPECT_EQ(0u, g_hSigUsr2Event.WaitTimeout(0));
  EXPECT_EQ(kTimedOut, g_hSigUsr2Event.WaitTimeout(0));
}

TEST(TimerTest, SignalsOtherThanTheTwoAreRefusedHarmlessly) {
  for (unsigned int signal : {0u, static_cast<unsigned int>(SIGALRM), 200u}) {
    TIMER_HANDLE timer = CreateNewTimer(20, signal);
    EXPECT_EQ(ZERVON_NO_TIMER, timer);
    DeleteTimer(0, timer);
    EXPECT_EQ(ZERVON_NO_TIMER, timer);
  }
  SleepEx(100);  // a SIGALRM timer would have ended the process by now
}

#if defined(__linux__)
// With no pending-signal allowance the system refuses new signal timers
// (a limit of Linux's per-process signal timers, which macOS's dispatch
// timers do not have).
TEST(TimerTest, ASystemRefusalGivesAHandleThatDeleteTimerAccepts) {
  rlimit saved;
  ASSERT_EQ(0, getrlimit(RLIMIT_SIGPENDING, &saved));
  rlimit none = saved;
  none.rlim_cur = 0;
  ASSERT_EQ(0, setrlimit(RLIMIT_SIGPENDING, &none));
  struct sigevent notify = {};
  notify.sigev_notify = SIGEV_SIGNAL;
  notify.sigev_signo = SIGUSR1;
  timer_t raw;
  const bool refused = timer_create(CLOCK_MONOTONIC, &notify, &raw) != 0;
  if (!refused) timer_delete(raw);
  TIMER_HANDLE timer = ZERVON_NO_TIMER;
  unsigned int signal = SIGUSR1;
  if (refused) timer = CreateNewTimer(10, signal);
  setrlimit(RLIMIT_SIGPENDING, &saved);
  if (!refused) GTEST_SKIP() << "this kernel makes signal timers regardless of the limit";

  EXPECT_EQ(ZERVON_NO_TIMER, timer);
  DeleteTimer(0, timer);
  EXPECT_EQ(ZERVON_NO_TIMER, timer);
}
#endif  // __linux__

// The timer signals interrupt blocking calls (no automatic restart), which
// SleepEx absorbs.
TEST(TimerTest, SignalsInterruptBlockingCallsButNotSleepEx) {
  unsigned int signal = SIGUSR1;
  TIMER_HANDLE timer = CreateNewTimer(5, signal);
  ASSERT_NE(ZERVON_NO_TIMER, timer);

  // Only this thread takes the signals (the library's own thread and the
  // helper below block them), so they land in the calls below.
  int fds[2];
  ASSERT_EQ(0, pipe(fds));
  CManualResetEvent readDone;
  std::thread unblocker([&] {
    sigset_t timerSignals;
    sigemptyset(&timerSignals);
    sigaddset(&timerSignals, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &timerSignals, nullptr);
    if (readDone.WaitTimeout(2000) != 0) {
      char byte = 0;  // ends the read should the signal not cut it short
      (void)!write(fds[1], &byte, 1);
    }
  });
  char byte;
  Clock::time_point start = Clock::now();
  const ssize_t got = read(fds[0], &byte, 1);
  const int readErrno = errno;
  readDone.SetEvent();
  EXPECT_EQ(-1, got);
  EXPECT_EQ(EINTR, readErrno);
  EXPECT_LT(ElapsedMs(start), 1500);

  g_hSigUsr1Event.ResetEvent();
  start = Clock::now();
  SleepEx(1200);
  const long long elapsed = ElapsedMs(start);
  EXPECT_GE(elapsed, 1200);
  EXPECT_LT(elapsed, 1200 + 800);
  EXPECT_EQ(0u, g_hSigUsr1Event.WaitTimeout(0));  // signals did arrive meanwhile

  DeleteTimer(0, timer);
  unblocker.join();
  close(fds[0]);
  close(fds[1]);
}

// ---- The library's timer thread ----

int CountThreads() {
  int count = 0;
  DIR* tasks = opendir("/proc/self/task");
  if (tasks == nullptr) return -1;
  while (dirent* entry = readdir(tasks)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(tasks);
  return count;
}

// The thread count once it holds still for 20 ms (at most 1 s): under
// qemu-user a joined thread can stay listed for a moment after the join.
int SettledThreadCount() {
  int count = CountThreads();
  for (int i = 0; i < 50; ++i) {
    usleep(20 * 1000);
    const int now = CountThreads();
    if (now == count) break;
    count = now;
  }
  return count;
}

// Runs in a fresh process: exits 0 when the first timers start exactly one
// extra thread, even when made on several threads at once.
void CheckTimerThreadStartsOnce() {
  // A first thread made and joined beforehand, so that helper threads a
  // runtime starts with the first thread (sanitizers do) are not counted.
  std::thread([] {}).join();
  const int before = SettledThreadCount();
  std::atomic<int> made{0};
  std::vector<std::thread> makers;
  for (int i = 0; i < 8; ++i) {
    makers.emplace_back([i, &made] {
      unsigned int signal = i % 2 == 0 ? SIGUSR1 : SIGUSR2;
      TIMER_HANDLE timer = CreateNewTimer(0, signal);
      if (timer != ZERVON_NO_TIMER) ++made;
      DeleteTimer(0, timer);
    });
  }
  for (std::thread& maker : makers) maker.join();
  const int after = SettledThreadCount();
  unsigned int signal = SIGUSR1;
  TIMER_HANDLE timer = CreateNewTimer(50, signal);
  const bool ticks = g_hSigUsr1Event.WaitTimeout(2000) == 0;
  DeleteTimer(0, timer);
  const int later = SettledThreadCount();
  if (made != 8) std::_Exit(2);
  if (after != before + 1) std::_Exit(3);
  if (later != after) std::_Exit(4);
  if (!ticks) std::_Exit(5);
  std::_Exit(0);
}

TEST(TimerThreadDeathTest, StartsAtTheFirstTimerAndOnlyOnce) {
#ifndef ZERVON_TEST_EMULATED
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(CheckTimerThreadStartsOnce(), ::testing::ExitedWithCode(0), "");
#else
  // Under qemu-user the test program cannot start itself again, so the child
  // is forked, from a thread made for it (a child forked while newer threads
  // run cannot start threads there). CTest runs each case in a process of
  // its own, so no timer has been made before.
  GTEST_FLAG_SET(death_test_style, "fast");
  std::thread([] {
    EXPECT_EXIT(CheckTimerThreadStartsOnce(), ::testing::ExitedWithCode(0), "");
  }).join();
#endif
}

// ---- A storm of timer signals ----

// Two 1 ms timers signal while other threads wait, sleep, hand wake-ups to
// each other and hammer the very event the timer thread sets. No wait may end
// early, no wake-up may be lost, and nothing may deadlock.
TEST(TimerStormTest, WaitsAndSleepsHoldUpUnderAOneMillisecondSignalStorm) {
  ClearTimerEvents();
  // This thread blocks the timer signals during the storm, so they land on
  // the workers, which unblock them.
  sigset_t timerSignals, previous;
  sigemptyset(&timerSignals);
  sigaddset(&timerSignals, SIGUSR1);
  sigaddset(&timerSignals, SIGUSR2);
  ASSERT_EQ(0, pthread_sigmask(SIG_BLOCK, &timerSignals, &previous));
  auto takeSignals = [&] { pthread_sigmask(SIG_UNBLOCK, &timerSignals, nullptr); };

  unsigned int usr1 = SIGUSR1, usr2 = SIGUSR2;
  TIMER_HANDLE timer1 = CreateNewTimer(1, usr1);
  TIMER_HANDLE timer2 = CreateNewTimer(1, usr2);
  ASSERT_NE(ZERVON_NO_TIMER, timer1);
  ASSERT_NE(ZERVON_NO_TIMER, timer2);

  std::atomic<bool> stop{false};
  std::atomic<int> early{0}, lost{0}, ticks1{0}, polls2{0}, exchanges{0}, multiWaits{0};
  std::vector<std::thread> workers;

  // Timed waits on events nobody sets: single and multiple.
  CAutoResetEvent neverAuto;
  CManualResetEvent neverManual;
  workers.emplace_back([&] {
    takeSignals();
    while (!stop) {
      const Clock::time_point start = Clock::now();
      if (neverAuto.WaitTimeout(97) != kTimedOut || ElapsedMs(start) < 97) ++early;
    }
  });
  workers.emplace_back([&] {
    takeSignals();
    CEvent* events[] = {&neverAuto, &neverManual};
    while (!stop) {
      const Clock::time_point start = Clock::now();
      if (WaitForMultipleObjects(2, events, 0, 71) != static_cast<int>(kTimedOut) ||
          ElapsedMs(start) < 71) {
        ++early;
      }
      ++multiWaits;
    }
  });
  // Sleeps.
  workers.emplace_back([&] {
    takeSignals();
    while (!stop) {
      const Clock::time_point start = Clock::now();
      SleepEx(53);
      if (ElapsedMs(start) < 53) ++early;
    }
  });
  // Wake-ups handed back and forth.
  CAutoResetEvent ping, pong;
  std::atomic<bool> pingDone{false};
  workers.emplace_back([&] {
    takeSignals();
    while (!stop) {
      ping.SetEvent();
      if (pong.WaitTimeout(3000) != 0) {
        ++lost;
        break;
      }
      ++exchanges;
    }
    pingDone = true;
    ping.SetEvent();
  });
  workers.emplace_back([&] {
    takeSignals();
    for (;;) {
      if (ping.WaitTimeout(3000) != 0) {
        ++lost;
        break;
      }
      if (pingDone) break;
      pong.SetEvent();
    }
  });
  // A waiter on the SIGUSR1 ticks, and a thread that keeps taking the mutex
  // of the SIGUSR2 event, so signals often interrupt it while it holds it.
  workers.emplace_back([&] {
    takeSignals();
    while (!stop) {
      if (g_hSigUsr1Event.WaitTimeout(500) == 0) ++ticks1;
    }
  });
  workers.emplace_back([&] {
    takeSignals();
    while (!stop) {
      if (g_hSigUsr2Event.WaitTimeout(0) == 0) ++polls2;
    }
  });

  // A deadlock would hang the joins below: end the process instead.
  CManualResetEvent finished;
  std::thread watchdog([&] {
    if (finished.WaitTimeout(30000) != 0) {
      std::fprintf(stderr, "timer storm: threads did not finish (deadlock)\n");
      std::_Exit(1);
    }
  });

  SleepEx(3000);
  stop = true;
  for (std::thread& worker : workers) worker.join();
  finished.SetEvent();
  watchdog.join();

  DeleteTimer(0, timer1);
  DeleteTimer(0, timer2);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);

  EXPECT_EQ(0, early.load());
  EXPECT_EQ(0, lost.load());
  EXPECT_GT(ticks1.load(), 100);  // up to about 3000
  EXPECT_GT(polls2.load(), 100);
  EXPECT_GT(exchanges.load(), 100);
  EXPECT_GT(multiWaits.load(), 10);
}

}  // namespace
