// Device monitor: the thread that notices an unplugged instrument, its
// on/off switch, and the notify registry.
#pragma once

#include <atomic>
#include <map>

#include "zervon_ext.h"
#if !defined(_WIN32)
#include "zervon_platform.h"
#endif

// A notify callback: (message, wParam, lParam). The Windows build dispatches
// window messages through the registry; the POSIX builds keep it for
// applications but never call it.
typedef void (*NotifyCallback)(unsigned int message, unsigned int wParam, unsigned long lParam);

#if !defined(_WIN32)
// The one monitor (POSIX builds; Windows has the device-change window
// instead). Its thread starts when the library is loaded and runs
// until it is unloaded; it checks the instrument only while switched on.
class CAutoMonitor {
 public:
  // Builds the switch (off) and starts the monitor thread.
  CAutoMonitor();
  // Stop(), if nobody did so earlier.
  ~CAutoMonitor();
  CAutoMonitor(const CAutoMonitor&) = delete;
  CAutoMonitor& operator=(const CAutoMonitor&) = delete;

  // Switch checking on (the connect thread, after each connection) and off
  // (after each loss). Any thread.
  void StartMonitor();
  void PauseMonitor();
  // True while switched on. Does not change the switch.
  bool IsMonitored();

  // Ends the monitor thread and waits for it; at once, even in the middle of
  // a rest between checks. Idempotent. Called at unload before the events
  // the monitor sets go away.
  void Stop();

  // Rests ms milliseconds, or less when Stop() is called meanwhile.
  void Rest(unsigned int ms);
  // Blocks until monitoring is switched on or the monitor is stopped.
  void WaitUntilSwitchedOn();

 private:
  pthread_t m_hThread;
  bool m_bThreadStarted;
  CManualResetEvent m_evMonitor;  // set while monitoring is on
  CManualResetEvent m_evStop;     // set by Stop(): ends rests at once
};

extern CAutoMonitor g_AutoMonitor;
// Non-zero ends the monitor thread; written and read by different threads.
extern std::atomic<int> g_bStopMonitor;

// The monitor thread. While switched on it makes a pass about every 1.2 s:
// one liveness check, then up to three more 500 ms apart until one finds the
// instrument; when the first and all three further checks fail, it closes
// the port and wakes the connect thread, unless it was switched off
// meanwhile. Port checks and the close are made under the API lock. While
// switched off it blocks and costs nothing.
void* MonitorDeviceThread(void*);
#endif  // !_WIN32

extern std::map<unsigned int, NotifyCallback> g_mapNotifyEvent;

// The callback registered under `id`, or null. Any thread.
NotifyCallback LookupNotifyEvent(unsigned int id);
