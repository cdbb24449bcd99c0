// Periodic timers on macOS: dispatch timer sources on the default-priority
// global queue, whose handler sets g_hSigUsr1Event or g_hSigUsr2Event. No
// signal is involved, so no blocking call of any thread is interrupted.
//
// Also the macOS choice for ZervFree: it asks the connect thread to stop and
// returns without waiting for it. That choice is plain C++ and is built and
// tested on Linux too; the timers need Apple's dispatch library.
#include "stdafx.h"
#include "Platform.h"

#if defined(__APPLE__)

#include <dispatch/dispatch.h>

namespace {

// The handler of every timer; its context is the event it is bound to.
void SetBoundEvent(void* context) { static_cast<CAutoResetEvent*>(context)->SetEvent(); }

}  // namespace

TIMER_HANDLE CreateNewTimer(unsigned int ms, unsigned int& signal) {
  CAutoResetEvent* event = nullptr;
  if (signal == SIGUSR1) {
    event = &g_hSigUsr1Event;
  } else if (signal == SIGUSR2) {
    event = &g_hSigUsr2Event;
  } else {
    return ZERVON_NO_TIMER;  // no event to set: refused, as on Linux
  }
  dispatch_source_t timer = dispatch_source_create(
      DISPATCH_SOURCE_TYPE_TIMER, 0, 0, dispatch_get_global_queue(DISPATCH_QUEUE_PRIORITY_DEFAULT, 0));
  if (timer == nullptr) return ZERVON_NO_TIMER;
  if (ms == 0) {
    // An interval of 0 would make a timer firing every nanosecond; a period
    // of 0 makes a timer that never fires, as on Linux.
    dispatch_source_set_timer(timer, DISPATCH_TIME_FOREVER, DISPATCH_TIME_FOREVER, 1000000ull);
  } else {
    // The first tick comes at once, then one every ms milliseconds, with a
    // leeway of 1 ms.
    const uint64_t interval = static_cast<uint64_t>(static_cast<double>(ms) / 1000.0 * 1000000000.0);
    dispatch_source_set_timer(timer, dispatch_walltime(nullptr, 0), interval, 1000000ull);
  }
  dispatch_set_context(timer, event);
  dispatch_source_set_event_handler_f(timer, SetBoundEvent);
  dispatch_resume(timer);
  return timer;
}

void DeleteTimer(unsigned int, TIMER_HANDLE& timer) {
  if (timer == ZERVON_NO_TIMER) return;
  // Cancelled, not released: an application that kept a copy of the handle
  // and deletes it again must not release a freed object.
  dispatch_source_cancel(timer);
  timer = ZERVON_NO_TIMER;
}

#endif  // __APPLE__

// ZervFree on macOS asks the connect thread to stop and returns at once.
bool FreeWaitsForConnectThread() { return false; }
