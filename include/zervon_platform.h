/*
 * Zervon SDK: the portability and utility functions of the Linux and macOS
 * builds, exported under C++ names for applications and tools.
 *
 * They carry Win32 names and shapes so that code using them reads the same on
 * every platform. The Windows build does not export them.
 *
 * None of these functions throws, prints or keeps an error text or code; a
 * failure shows only in the result described with each function.
 */
#ifndef ZERVON_PLATFORM_H
#define ZERVON_PLATFORM_H

#ifndef __cplusplus
#  error "zervon_platform.h declares C++ functions; include it from C++"
#endif

#include "zervon.h"

#include <cerrno>   /* ETIMEDOUT, the "not set in time" result of the waits */
#include <cstdint>
#include <pthread.h>
#include <signal.h> /* SIGUSR1, SIGUSR2: the timer selectors */
#include <time.h>

#if defined(__APPLE__)
#  include <dispatch/dispatch.h>
#endif

/* ---- Events and waits ----
 *
 * An event is set or clear. An auto-reset event is cleared by the one waiter
 * it releases (and by a successful poll); a manual-reset event stays set,
 * releasing every waiter, until ResetEvent. Several sets before a wait count
 * as one. Any thread may call any operation on an event at any time.
 *
 * Wait results: 0 when the event was (or became) set, ETIMEDOUT when it was
 * not set within the time. Time-outs are milliseconds measured on the
 * monotonic clock: a change of the system time neither stretches nor cuts a
 * wait, and a wait never ends early. A time-out of 0 polls and never blocks.
 */

/* The interface of both kinds of event. Events are always destroyed through
 * their own class (as globals or members), never through a CEvent pointer. */
class ZERVON_EXT_API CEvent {
 public:
  /* Sets the event. */
  virtual void SetEvent() = 0;
  /* Clears the event. */
  virtual void ResetEvent() = 0;
  /* Blocks until the event is set. */
  virtual void Wait() = 0;
  /* Waits up to ms milliseconds for the event: 0 set, ETIMEDOUT not set.
   * A time-out leaves the event fully usable. */
  virtual unsigned int WaitTimeout(unsigned int ms) = 0;

 protected:
  CEvent() = default;
  CEvent(const CEvent&) = default;             /* copied only as part of a derived event */
  CEvent& operator=(const CEvent&) = default;  /* assigned only as part of a derived event */
  ~CEvent() = default;
};

/* An event that releases one waiter and clears itself. A set wakes at most
 * one thread; the thread that takes the set state (a Wait, a WaitTimeout that
 * returns 0, a successful poll) clears it. */
class ZERVON_EXT_API CAutoResetEvent final : public CEvent {
 public:
  /* Builds the event, set when initial is true. */
  explicit CAutoResetEvent(bool initial = false);
  /* Leaves the mutex and condition variable in place, so that a thread still
   * waiting on or setting the event while the library unloads (or after a
   * global event's end of life) neither hangs nor touches torn-down state.
   * They hold no system resources. */
  ~CAutoResetEvent();
  CAutoResetEvent(const CAutoResetEvent&) = delete;
  CAutoResetEvent& operator=(const CAutoResetEvent&) = delete;

  void SetEvent() override;
  void ResetEvent() override;
  void Wait() override;
  unsigned int WaitTimeout(unsigned int ms) override;

 private:
  pthread_mutex_t m_mutex; /* guards m_bSignaled */
  pthread_cond_t m_cond;   /* waiters sleep on it (monotonic clock) */
  bool m_bSignaled;        /* true while the event is set */
};

/* An event that stays set, releasing every waiter, until ResetEvent. */
class ZERVON_EXT_API CManualResetEvent final : public CEvent {
 public:
  /* Builds the event, set when initial is true. */
  explicit CManualResetEvent(bool initial = false);
  /* Leaves the mutex and condition variable in place (see CAutoResetEvent). */
  ~CManualResetEvent();
  CManualResetEvent(const CManualResetEvent&) = delete;
  CManualResetEvent& operator=(const CManualResetEvent&) = delete;

  void SetEvent() override;
  void ResetEvent() override;
  void Wait() override;
  unsigned int WaitTimeout(unsigned int ms) override;

 private:
  pthread_mutex_t m_mutex; /* guards m_bSignaled */
  pthread_cond_t m_cond;   /* waiters sleep on it (monotonic clock) */
  bool m_bSignaled;        /* true while the event is set */
};

/* event->WaitTimeout(ms): 0 set, ETIMEDOUT not set in time. 0xFFFFFFFF is an
 * ordinary (about 49.7-day) time-out here. A null event gives ETIMEDOUT at
 * once. Any thread. */
ZERVON_EXT_API unsigned int WaitForSingleObject(CEvent* event, unsigned int ms);

/* Waits until one of count events is set and returns its index, the lowest
 * index when several are set; only that event is consumed (if auto-reset),
 * the others keep their state. Returns ETIMEDOUT when none was set within ms
 * milliseconds (0 polls once; 0xFFFFFFFF waits without limit; count 0 just
 * waits out the time). Null entries are never set. Waiting for all events
 * (waitAll non-zero) is not supported: it returns ETIMEDOUT at once and
 * touches no event. Any thread. The wait sleeps between checks and is woken
 * by any SetEvent of this library's events; events of other CEvent classes
 * are checked about every millisecond. */
ZERVON_EXT_API int WaitForMultipleObjects(unsigned int count, CEvent** events, int waitAll,
                                          unsigned int ms);

/* ---- Threads, sleeping, descriptors ---- */

/* Closes a file descriptor: 1 when it is closed, 0 when close failed or fd is
 * not a descriptor number (negative or out of range). On Linux an interrupted
 * close (EINTR) still releases the descriptor and gives 1. Any thread. */
ZERVON_EXT_API int CloseHandle(long fd);

/* Sleeps the calling thread for ms milliseconds (monotonic clock). Signals,
 * such as those of the timers below, do not shorten the sleep. 0 returns at
 * once. Any thread. */
ZERVON_EXT_API void SleepEx(unsigned int ms);

/* Starts a joinable thread running start(arg) with default attributes and
 * stores its identifier in *handle: 1 on success, 0 on failure (also for a
 * null handle or start), in which case *handle is not valid. */
ZERVON_EXT_API int CreateThread(pthread_t* handle, void* (*start)(void*), void* arg);

/* Does nothing: the thread is neither joined nor detached and ends by itself
 * when its start routine returns. */
ZERVON_EXT_API void CloseThread(pthread_t handle);

/* ---- Periodic timers ----
 *
 * A timer does not call back: each expiry sets g_hSigUsr1Event (timers made
 * with SIGUSR1) or g_hSigUsr2Event (SIGUSR2); whoever wants the ticks waits
 * on that event. Timers on the same signal share the event, and expiries that
 * come before a waiter takes the event coalesce into one wake-up.
 *
 * Linux: the expiries arrive as the process-wide signal SIGUSR1 or SIGUSR2,
 * whose handler the first timer on it installs (replacing any other). The
 * signal may interrupt blocking calls of any thread with EINTR. The events
 * are set by one library thread, started at the first CreateNewTimer.
 * macOS: the events are set from a dispatch queue.
 */

/* The timer handle, and the value that stands for "no timer". */
#if defined(__APPLE__)
typedef dispatch_source_t TIMER_HANDLE;
#  define ZERVON_NO_TIMER (static_cast<TIMER_HANDLE>(nullptr))
#else
typedef timer_t TIMER_HANDLE;
/* The handle that stands for "no timer". */
#  define ZERVON_NO_TIMER (reinterpret_cast<TIMER_HANDLE>(static_cast<intptr_t>(-1)))
#endif

/* Starts a timer that sets the event bound to signal (SIGUSR1 or SIGUSR2)
 * every ms milliseconds. Linux: the first expiry comes ms after the call; a
 * period of 0 makes a timer that never fires. signal is only read. Returns
 * the handle, or ZERVON_NO_TIMER when the timer could not be made (the system
 * refused it, or signal is neither SIGUSR1 nor SIGUSR2); DeleteTimer accepts
 * that value and does nothing. Any thread. */
ZERVON_EXT_API TIMER_HANDLE CreateNewTimer(unsigned int ms, unsigned int& signal);

/* Stops and deletes a timer and sets timer to ZERVON_NO_TIMER, so a second
 * call does nothing. Linux: expiries that were already signalled are
 * delivered before it returns, so after it the timer sets its event no more
 * (save a signal whose handler is running on another thread at that very
 * moment). The first argument is ignored. Any thread. */
ZERVON_EXT_API void DeleteTimer(unsigned int unused, TIMER_HANDLE& timer);

/* The events that the timers set; built clear at library load. */
extern ZERVON_EXT_API CAutoResetEvent g_hSigUsr1Event;  /* set by the SIGUSR1 timers */
extern ZERVON_EXT_API CAutoResetEvent g_hSigUsr2Event;  /* set by the SIGUSR2 timers */

/* ---- Strings and versions ---- */

/* Trim whitespace (space, tab, line feed, vertical tab, form feed, carriage
 * return; bytes 0x80 and above never count) in place: at the end, at the
 * start (the text is moved to the start of its buffer), or both. A null
 * pointer is accepted and does nothing. */
ZERVON_EXT_API void StringTrimRight(char* text);  /* at the end */
ZERVON_EXT_API void StringTrimLeft(char* text);   /* at the start */
ZERVON_EXT_API void StringTrim(char* text);       /* at both ends */

/* Packs "a.b.c.d" into (a << 24) | (b << 16) | (c << 8) | d, without masking
 * the fields (so only fields of 0 to 255 compare correctly). Fields the text
 * does not supply count as 0; a null pointer gives 0. */
ZERVON_EXT_API unsigned int ConvertVersion(const char* text);

#endif /* ZERVON_PLATFORM_H */
