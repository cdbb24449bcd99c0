// Periodic timers on Linux: POSIX per-process timers that raise SIGUSR1 or
// SIGUSR2 at every expiry.
//
// A signal handler must not take an event's mutex: the thread it interrupts
// may hold that very mutex, and would then wait on itself for ever. So the
// handlers only note the expiry in a lock-free flag and post a semaphore
// (both async-signal-safe); one library thread waits on the semaphore and
// sets g_hSigUsr1Event or g_hSigUsr2Event. That thread is started by the
// first CreateNewTimer, so a library that makes no timer runs no extra
// thread and wakes nothing.
#include "stdafx.h"
#include "Platform.h"

#include <atomic>
#include <semaphore.h>

using zervon_detail::CMutexLock;

namespace {

static_assert(std::atomic<bool>::is_always_lock_free,
              "the signal handlers need lock-free flags");

// Expiries that the handlers noted and that are not yet delivered.
std::atomic<bool> g_bUsr1Pending{false};
std::atomic<bool> g_bUsr2Pending{false};

// Posted by the handlers; the timer thread waits on it.
sem_t g_hTimerWake;
// Set once g_hTimerWake is initialised; the handlers post only then.
std::atomic<bool> g_bTimerWakeReady{false};

// Guards the start of the timer thread against concurrent CreateNewTimer.
pthread_mutex_t g_timerStartMutex = PTHREAD_MUTEX_INITIALIZER;
bool g_bTimerThreadStarted = false;  // guarded by g_timerStartMutex

// Held while noted expiries are turned into sets, so that DeleteTimer can
// wait for a delivery in progress.
pthread_mutex_t g_deliverMutex = PTHREAD_MUTEX_INITIALIZER;

void DeliverPendingExpiries() {
  CMutexLock lock(g_deliverMutex);
  if (g_bUsr1Pending.exchange(false)) g_hSigUsr1Event.SetEvent();
  if (g_bUsr2Pending.exchange(false)) g_hSigUsr2Event.SetEvent();
}

void* TimerThreadMain(void*) {
  for (;;) {
    if (sem_wait(&g_hTimerWake) == 0) DeliverPendingExpiries();
  }
  return nullptr;
}

// Starts the timer thread unless it runs already. False when it cannot be
// started (a timer would then never set its event).
bool StartTimerThread() {
  CMutexLock lock(g_timerStartMutex);
  if (g_bTimerThreadStarted) return true;
  if (!g_bTimerWakeReady.load()) {
    if (sem_init(&g_hTimerWake, 0, 0) != 0) return false;
    g_bTimerWakeReady.store(true);
  }
  // The thread blocks every signal: the timer signals go to the
  // application's threads, and the library's thread is never interrupted.
  sigset_t all, previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  g_bTimerThreadStarted = pthread_create(&thread, &attr, TimerThreadMain, nullptr) == 0;
  pthread_attr_destroy(&attr);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return g_bTimerThreadStarted;
}

void NoteExpiry(std::atomic<bool>& pending) {
  const int savedErrno = errno;  // the interrupted code's errno stays as it was
  pending.store(true);
  if (g_bTimerWakeReady.load()) sem_post(&g_hTimerWake);
  errno = savedErrno;
}

}  // namespace

int TimerSetHandler(int sig, void (*handler)(int, siginfo_t*, void*)) {
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_sigaction = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_SIGINFO;  // no SA_RESTART: blocking calls see EINTR
  return sigaction(sig, &action, nullptr) == 0 ? 1 : 0;
}

void onSigUsr1Timer(int, siginfo_t*, void*) { NoteExpiry(g_bUsr1Pending); }

void onSigUsr2Timer(int, siginfo_t*, void*) { NoteExpiry(g_bUsr2Pending); }

timer_t CreateNewTimer(unsigned int ms, unsigned int& signal) {
  void (*handler)(int, siginfo_t*, void*) = nullptr;
  if (signal == SIGUSR1) {
    handler = onSigUsr1Timer;
  } else if (signal == SIGUSR2) {
    handler = onSigUsr2Timer;
  } else {
    // Refused: with no handler of ours, the signal's default action would
    // end the process at the first expiry.
    return ZERVON_NO_TIMER;
  }
  if (!StartTimerThread()) return ZERVON_NO_TIMER;
  if (TimerSetHandler(static_cast<int>(signal), handler) == 0) return ZERVON_NO_TIMER;

  // Relative expiries on the monotonic clock: changes of the system time do
  // not move them.
  struct sigevent notify;
  memset(&notify, 0, sizeof notify);
  notify.sigev_notify = SIGEV_SIGNAL;
  notify.sigev_signo = static_cast<int>(signal);
  timer_t timer;
  if (timer_create(CLOCK_MONOTONIC, &notify, &timer) != 0) return ZERVON_NO_TIMER;

  // First expiry after one period, then every period; a period of 0 leaves
  // the timer disarmed. A failure to arm is not reported.
  struct itimerspec period;
  memset(&period, 0, sizeof period);
  period.it_value.tv_sec = static_cast<time_t>(ms / 1000u);
  period.it_value.tv_nsec =
      static_cast<long>(static_cast<std::uint64_t>(ms % 1000u) * 1000000u);
  period.it_interval = period.it_value;
  timer_settime(timer, 0, &period, nullptr);
  return timer;
}

void DeleteTimer(unsigned int, timer_t& timer) {
  if (timer == ZERVON_NO_TIMER) return;
  timer_delete(timer);
  timer = ZERVON_NO_TIMER;
  // Hand on the expiries already noted (waiting, if need be, for a delivery
  // in progress), so that none of them lands after the caller goes on.
  if (g_bTimerWakeReady.load()) DeliverPendingExpiries();
}

// ZervFree on Linux waits until the connect thread has ended.
bool FreeWaitsForConnectThread() { return true; }
