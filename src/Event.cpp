// Events of the POSIX builds: one mutex, one condition variable and one flag
// each, and the Win32-shaped waits over them.
#include "stdafx.h"
#include "Event.h"

#include "Platform.h"

#include <atomic>
#include <typeinfo>

using zervon_detail::CMutexLock;
using zervon_detail::DeadlineAfter;
using zervon_detail::DeadlineReached;
using zervon_detail::Earlier;

namespace {

// Prepares an event's mutex and condition variable. The condition variable
// times its waits on the monotonic clock, so a change of the system time
// neither stretches nor cuts a wait.
void InitWaitState(pthread_mutex_t* mutex, pthread_cond_t* cond) {
  pthread_mutex_init(mutex, nullptr);
  pthread_condattr_t attr;
  pthread_condattr_init(&attr);
#if !defined(__APPLE__)
  pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
#endif
  pthread_cond_init(cond, &attr);
  pthread_condattr_destroy(&attr);
}

// One timed wait on cond (mutex held) that ends at the latest at the
// monotonic deadline. True once the deadline has passed; false means "test
// the condition again" (a wake-up, a spurious wake-up or another error).
bool WaitUntil(pthread_cond_t* cond, pthread_mutex_t* mutex, const timespec& deadline) {
  if (DeadlineReached(deadline)) return true;
#if defined(__APPLE__)
  // No clock choice for condition variables here: wait for the time left.
  const timespec left = zervon_detail::TimeLeft(deadline);
  pthread_cond_timedwait_relative_np(cond, mutex, &left);
#else
  pthread_cond_timedwait(cond, mutex, &deadline);
#endif
  // The clock decides, not the result: a time-out reported a hair early
  // would otherwise end the wait before its time.
  return DeadlineReached(deadline);
}

// ---- Wake-ups of WaitForMultipleObjects ----
//
// A thread that waits on several events sleeps on one process-wide condition
// variable. While at least one such thread exists, every SetEvent of the
// library's events bumps a generation count and broadcasts it; otherwise
// SetEvent pays a single atomic load. A multi-event waiter registers itself,
// notes the generation, polls its events in index order and sleeps only
// while the generation is unchanged. A set that its poll missed has been
// made after the waiter registered (the event's mutex orders the two), so it
// changes the generation, and the waiter polls again.

std::atomic<unsigned int> g_nMultiWaiters{0};
pthread_mutex_t g_anySetMutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t g_anySetCond;
pthread_once_t g_anySetOnce = PTHREAD_ONCE_INIT;
unsigned long g_nAnySetGeneration = 0;  // guarded by g_anySetMutex

void InitAnySetCond() {
  pthread_condattr_t attr;
  pthread_condattr_init(&attr);
#if !defined(__APPLE__)
  pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
#endif
  pthread_cond_init(&g_anySetCond, &attr);
  pthread_condattr_destroy(&attr);
}

// Called by SetEvent after the flag is set and the event's mutex released.
void NotifyMultiWaiters() {
  if (g_nMultiWaiters.load() == 0) return;
  CMutexLock lock(g_anySetMutex);
  ++g_nAnySetGeneration;
  pthread_cond_broadcast(&g_anySetCond);
}

// Keeps the calling thread registered as a multi-event waiter.
class CMultiWaiterScope {
 public:
  CMultiWaiterScope() {
    pthread_once(&g_anySetOnce, InitAnySetCond);
    g_nMultiWaiters.fetch_add(1);
  }
  ~CMultiWaiterScope() { g_nMultiWaiters.fetch_sub(1); }
  CMultiWaiterScope(const CMultiWaiterScope&) = delete;
  CMultiWaiterScope& operator=(const CMultiWaiterScope&) = delete;
};

unsigned long AnySetGeneration() {
  CMutexLock lock(g_anySetMutex);
  return g_nAnySetGeneration;
}

// True for this library's own event classes, whose SetEvent wakes the
// multi-event waiters. Other CEvent implementations are polled instead.
bool WakesMultiWaiters(CEvent* event) {
  const std::type_info& type = typeid(*event);
  return type == typeid(CAutoResetEvent) || type == typeid(CManualResetEvent);
}

// The shared steps of both event kinds. consume: a waiter that takes the set
// state clears it (auto-reset).
void WaitSet(pthread_mutex_t& mutex, pthread_cond_t& cond, bool& signaled, bool consume) {
  CMutexLock lock(mutex);
  while (!signaled) pthread_cond_wait(&cond, &mutex);
  if (consume) signaled = false;
}

unsigned int WaitSetTimeout(pthread_mutex_t& mutex, pthread_cond_t& cond, bool& signaled,
                            bool consume, unsigned int ms) {
  const timespec deadline = DeadlineAfter(ms);
  CMutexLock lock(mutex);
  if (ms != 0) {
    while (!signaled) {
      if (WaitUntil(&cond, &mutex, deadline)) break;
    }
  }
  // Tested once more after the deadline: a set that came just as the time
  // ran out counts.
  const unsigned int result = signaled ? 0u : static_cast<unsigned int>(ETIMEDOUT);
  if (consume) signaled = false;
  return result;
}

}  // namespace

// ---- Auto-reset event ----

CAutoResetEvent::CAutoResetEvent(bool initial) : m_bSignaled(initial) {
  InitWaitState(&m_mutex, &m_cond);
}

// The mutex and condition variable are left in place on purpose: destroying
// a condition variable that a thread still waits on blocks (or worse), and a
// thread may still wait on or set a global event while the library unloads.
CAutoResetEvent::~CAutoResetEvent() {}

void CAutoResetEvent::SetEvent() {
  {
    CMutexLock lock(m_mutex);
    m_bSignaled = true;
    // Signalled under the mutex: once the setter lets go of the mutex it no
    // longer touches the event, which the released waiter may then destroy.
    pthread_cond_signal(&m_cond);
  }
  NotifyMultiWaiters();
}

void CAutoResetEvent::ResetEvent() {
  CMutexLock lock(m_mutex);
  m_bSignaled = false;
}

void CAutoResetEvent::Wait() { WaitSet(m_mutex, m_cond, m_bSignaled, true); }

unsigned int CAutoResetEvent::WaitTimeout(unsigned int ms) {
  return WaitSetTimeout(m_mutex, m_cond, m_bSignaled, true, ms);
}

// ---- Manual-reset event ----

CManualResetEvent::CManualResetEvent(bool initial) : m_bSignaled(initial) {
  InitWaitState(&m_mutex, &m_cond);
}

// Left in place for the same reasons as the auto-reset event's.
CManualResetEvent::~CManualResetEvent() {}

void CManualResetEvent::SetEvent() {
  {
    CMutexLock lock(m_mutex);
    m_bSignaled = true;
    pthread_cond_broadcast(&m_cond);
  }
  NotifyMultiWaiters();
}

void CManualResetEvent::ResetEvent() {
  CMutexLock lock(m_mutex);
  m_bSignaled = false;
}

void CManualResetEvent::Wait() { WaitSet(m_mutex, m_cond, m_bSignaled, false); }

unsigned int CManualResetEvent::WaitTimeout(unsigned int ms) {
  return WaitSetTimeout(m_mutex, m_cond, m_bSignaled, false, ms);
}

// ---- Waits ----

unsigned int WaitForSingleObject(CEvent* event, unsigned int ms) {
  if (event == nullptr) return ETIMEDOUT;
  return event->WaitTimeout(ms);
}

int WaitForMultipleObjects(unsigned int count, CEvent** events, int waitAll, unsigned int ms) {
  // Waiting for all events is not supported.
  if (waitAll != 0) return ETIMEDOUT;
  if (events == nullptr) count = 0;

  const bool forever = ms == 0xFFFFFFFFu;
  const timespec deadline = DeadlineAfter(forever ? 0u : ms);

  bool pollOthers = false;
  for (unsigned int i = 0; i < count; ++i) {
    if (events[i] != nullptr && !WakesMultiWaiters(events[i])) pollOthers = true;
  }

  CMultiWaiterScope registered;
  for (;;) {
    const unsigned long seen = AnySetGeneration();

    // One pass in index order: the lowest set index wins, and the events
    // after it are not tested, so only the returned one is consumed.
    for (unsigned int i = 0; i < count; ++i) {
      if (events[i] != nullptr && events[i]->WaitTimeout(0) == 0) return static_cast<int>(i);
    }
    if (!forever && DeadlineReached(deadline)) return ETIMEDOUT;

    // Sleep until one of the library's events is set, the deadline passes,
    // or (with events of other classes among them) a millisecond has gone.
    timespec until = deadline;
    if (pollOthers) {
      const timespec soon = DeadlineAfter(1);
      if (forever || Earlier(soon, deadline)) until = soon;
    }
    CMutexLock lock(g_anySetMutex);
    while (g_nAnySetGeneration == seen) {
      if (forever && !pollOthers) {
        pthread_cond_wait(&g_anySetCond, &g_anySetMutex);
      } else if (WaitUntil(&g_anySetCond, &g_anySetMutex, until)) {
        break;
      }
    }
  }
}
