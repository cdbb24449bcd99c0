// Events of the Windows build: an auto-reset event over an unnamed kernel
// event. The shared code calls the same member functions as on the POSIX
// builds; waits give the kernel's results (WAIT_OBJECT_0, i.e. 0, when the
// event was set, WAIT_TIMEOUT otherwise).
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

class CAutoResetEvent {
 public:
  // Creates the kernel event: auto-reset, set when initial is true, no name.
  explicit CAutoResetEvent(bool initial = false);
  // Closes the handle.
  ~CAutoResetEvent();
  CAutoResetEvent(const CAutoResetEvent&) = delete;
  CAutoResetEvent& operator=(const CAutoResetEvent&) = delete;

  void SetEvent();
  void ResetEvent();
  // Blocks until the event is set; the waiter consumes the set state.
  void Wait();
  // Waits up to ms milliseconds (INFINITE for no limit): 0 set, non-zero not.
  unsigned int WaitTimeout(unsigned int ms);

  HANDLE m_hEvent;
};
