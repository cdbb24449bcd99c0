// API unit, POSIX builds: the connect thread's life, and the objects that
// live from load to unload, defined together in one place below so that
// their order does not depend on the order in which the units are linked.
#include "stdafx.h"
#include "main.h"

#include "Monitor.h"
#include "Platform.h"
#include "zervon_ext.h"

namespace {

// The connect thread's life as the stopping side sees it. Guarded by
// g_threadMutex (never destroyed, like the API lock): whether a thread runs,
// whether somebody still has to join it, and an event set when it has ended.
pthread_mutex_t g_threadMutex = PTHREAD_MUTEX_INITIALIZER;
bool g_bThreadRunning = false;
bool g_bThreadJoinable = false;
// The thread to join while g_bThreadJoinable is set. Kept apart from
// g_hConnectDeviceThread, which the thread clears as it ends, before it has
// been joined.
pthread_t g_hJoinableThread;
CManualResetEvent g_hThreadEndedEvent(true);

// How long unloading the library waits for the connect thread to end: one
// search of every port and the pause after it take about a second.
constexpr unsigned kUnloadWaitMs = 5000;

// Asks the connect thread to end and takes over the duty to join it.
// Result: the thread to join, or false when there is none to join here
// (none runs, another caller joins it, or the caller is that thread, which
// then detaches itself).
bool RequestStop(pthread_t* toJoin) {
  g_bStopConnectDeviceThread = 1;
  ReconnectDevice();
  g_Callback = nullptr;
  zervon_detail::CMutexLock lock(g_threadMutex);
  if (!g_bThreadJoinable) return false;
  g_bThreadJoinable = false;
  if (pthread_equal(g_hJoinableThread, pthread_self())) {
    // Called from the connection callback: the thread cannot wait for
    // itself; it ends when the callback returns and nobody joins it.
    pthread_detach(pthread_self());
    return false;
  }
  *toJoin = g_hJoinableThread;
  return true;
}

bool OnConnectThread() {
  zervon_detail::CMutexLock lock(g_threadMutex);
  return g_bThreadRunning && pthread_equal(g_hConnectDeviceThread, pthread_self());
}

// Stops the connect thread when the library is unloaded (or the process
// exits) before the state it uses goes away, and then the monitor, before the
// events it sets are destroyed.
struct CUnloadGuard {
  ~CUnloadGuard() {
    pthread_t thread;
    const bool join = RequestStop(&thread);
    if (!OnConnectThread() && g_hThreadEndedEvent.WaitTimeout(kUnloadWaitMs) == 0 && join)
      pthread_join(thread, nullptr);
    g_AutoMonitor.Stop();
  }
};

}  // namespace

// ---- The objects that live from load to unload ----
//
// Within one source file objects come into being in the order they are
// defined and go in the reverse, whatever the linker does with the units:
// the notify registry and the monitor (its thread runs from here on, idle
// until switched on) first, then the connect thread's events, and last the
// unload guard, which therefore goes first and stops the connect thread and
// the monitor while everything they use still exists. The API lock (the
// lock unit) is first taken by these threads, after load, and never
// destroyed; the plain flags are constant-initialised; the timer events of
// the platform unit depend on none of these.
std::map<unsigned int, NotifyCallback> g_mapNotifyEvent;
CAutoMonitor g_AutoMonitor;
CAutoResetEvent g_hReconnectEvent(false);
CAutoResetEvent g_hConnectedEvent(false);

namespace {
CUnloadGuard g_UnloadGuard;

void* ConnectDeviceThreadEntry(void* arg) {
  ConnectDeviceThread(arg);
  return nullptr;
}

}  // namespace

void WatchInstrument(bool on) {
  if (on)
    g_AutoMonitor.StartMonitor();
  else
    g_AutoMonitor.PauseMonitor();
}

int ConnectDeviceThread(void*) {
  for (;;) {
    RunConnections();
    zervon_detail::CMutexLock lock(g_threadMutex);
    // A ZervFree that does not wait (macOS) may be followed at once by a new
    // start: DoInit clears the stop flag before it looks, under this mutex,
    // whether the thread still runs. Finding the flag cleared here means
    // that start counted on this thread, so it goes on instead of ending.
    if (g_bStopConnectDeviceThread == 0) continue;
    CloseThread(g_hConnectDeviceThread);
    g_hConnectDeviceThread = 0;
    g_bThreadRunning = false;
    g_hThreadEndedEvent.SetEvent();
    return 0;
  }
}

bool StartConnectThread() {
  zervon_detail::CMutexLock lock(g_threadMutex);
  if (g_bThreadRunning) return true;  // it goes on with the new callback and port
  // A thread that ended by itself long ago may still wait to be joined.
  if (g_bThreadJoinable) {
    pthread_join(g_hJoinableThread, nullptr);
    g_bThreadJoinable = false;
  }
  pthread_t thread;
  if (!CreateThread(&thread, ConnectDeviceThreadEntry, nullptr)) return false;
  g_hConnectDeviceThread = thread;
  g_hJoinableThread = thread;
  g_bThreadRunning = true;
  g_bThreadJoinable = true;
  g_hThreadEndedEvent.ResetEvent();
  return true;
}

extern "C" ZERVON_API void ZERVON_CALL ZervFree(void) {
  pthread_t thread;
  if (!FreeWaitsForConnectThread()) {
    // The thread is told to stop and ends by itself; if it is still joinable
    // the next start or the unload collects it.
    g_bStopConnectDeviceThread = 1;
    ReconnectDevice();
    g_Callback = nullptr;
    return;
  }
  if (RequestStop(&thread)) {
    pthread_join(thread, nullptr);
    return;
  }
  // A thread that detached itself from its callback still ends by itself;
  // wait for it unless this is that thread.
  if (!OnConnectThread()) g_hThreadEndedEvent.Wait();
}
