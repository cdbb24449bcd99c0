// API unit, Windows build: the connect thread's life. The thread searches for
// the instrument's COM port, reports a connection, and then sleeps until a
// device-change message (through WinEventCb), ZervFree or a failed
// ZervConnect wakes it to check whether the instrument is still present.
#include "stdafx.h"
#include "main.h"

#include <process.h>

#include "Monitor.h"
#include "win/Window.h"
#include "zervon_ext.h"

namespace {

// How long ZervFree (and unloading) waits for the thread before ending it by
// force. A search of the present devices and the pause after a failed one
// take about a second.
constexpr DWORD kStopWaitMs = 3000;

// Guards the thread's bookkeeping below and g_hConnectDeviceThread. Never
// deleted, like the API lock.
struct CThreadLock {
  CThreadLock() { InitializeCriticalSection(&cs); }
  CRITICAL_SECTION cs;
} g_threadLock;

struct CThreadLockGuard {
  CThreadLockGuard() { EnterCriticalSection(&g_threadLock.cs); }
  ~CThreadLockGuard() { LeaveCriticalSection(&g_threadLock.cs); }
  CThreadLockGuard(const CThreadLockGuard&) = delete;
  CThreadLockGuard& operator=(const CThreadLockGuard&) = delete;
};

// True from the start of a thread until it has ended (or was ended by
// force); a new thread is started only when this is false.
bool g_bThreadRunning = false;
// The running thread's identifier, so that a ZervFree from its own
// connection callback does not wait for itself.
DWORD g_dwConnectThreadId = 0;

unsigned __stdcall ConnectDeviceThreadEntry(void* argument) {
  return static_cast<unsigned>(ConnectDeviceThread(argument));
}

// Steps 1 to 3 of stopping: the flag, the wake-up, no more reports.
void AskToStop() {
  g_bStopConnectDeviceThread = 1;
  ReconnectDevice();
  g_Callback = nullptr;
}

// Asks the connect thread to end and waits up to kStopWaitMs for it; a
// thread that has not ended by then is terminated. `ended` is an extra
// handle (or null) whose signal also ends the wait. Returns at once when no
// thread runs or when called on the connect thread itself (it ends when its
// callback returns).
void StopConnectThread(HANDLE ended) {
  AskToStop();
  HANDLE thread = nullptr;
  {
    CThreadLockGuard lock;
    if (!g_bThreadRunning || g_hConnectDeviceThread == nullptr) return;
    if (GetCurrentThreadId() == g_dwConnectThreadId) return;
    // A handle of our own: the thread closes the stored one as it ends.
    if (!DuplicateHandle(GetCurrentProcess(), g_hConnectDeviceThread, GetCurrentProcess(),
                         &thread, 0, FALSE, DUPLICATE_SAME_ACCESS))
      return;
  }
  HANDLE handles[2] = {thread, ended};
  const DWORD count = ended != nullptr ? 2 : 1;
  if (WaitForMultipleObjects(count, handles, FALSE, kStopWaitMs) == WAIT_TIMEOUT ||
      (ended != nullptr && WaitForSingleObject(thread, 0) != WAIT_OBJECT_0)) {
    TerminateThread(thread, 0);
    WaitForSingleObject(thread, kStopWaitMs);
    CThreadLockGuard lock;
    if (g_bThreadRunning) {
      // It never reached its end: do what it would have done.
      CloseHandle(g_hConnectDeviceThread);
      g_hConnectDeviceThread = nullptr;
      g_bThreadRunning = false;
      g_dwConnectThreadId = 0;
    }
  }
  CloseHandle(thread);
}

// Set by the connect thread as its very last step, after it has let go of
// everything; unloading waits on it as well as on the thread.
struct CThreadEndedEvent {
  CThreadEndedEvent() : handle(CreateEventA(nullptr, TRUE, TRUE, nullptr)) {}
  ~CThreadEndedEvent() { CloseHandle(handle); }
  HANDLE handle;
} g_hThreadEndedEvent;

// Stops the connect thread when the library is unloaded (or the process
// ends) before the state it uses goes away. While the library is being
// unloaded a thread cannot finish its exit, so besides the thread itself the
// wait ends on the event it sets as its last step; the thread is then ended
// by force, past the point where it runs any code of the library.
struct CUnloadGuard {
  ~CUnloadGuard() { StopConnectThread(g_hThreadEndedEvent.handle); }
};

}  // namespace

// ---- The objects that live from load to unload ----
//
// Within one source file objects come into being in the order they are
// defined and go in the reverse, whatever the linker does with the units:
// the notify registry first, then the device-change window's thread, which
// dispatches through it from here on, then the connect thread's events, and
// last the unload guard, which therefore goes first and stops the connect
// thread while everything it uses still exists; the window thread is ended
// before the registry goes. The API lock (the lock unit) is first taken by
// these threads, after load, and never destroyed.
std::map<unsigned int, NotifyCallback> g_mapNotifyEvent;
CMessageWindowThread g_MessageWindowThread;
CAutoResetEvent g_hReconnectEvent(false);
CAutoResetEvent g_hConnectedEvent(false);

namespace {
CUnloadGuard g_UnloadGuard;
}  // namespace

void WatchInstrument(bool on) { RegisterNotifyEvent(kDeviceChangeMessage, on ? WinEventCb : nullptr); }

int ConnectDeviceThread(void*) {
  RunConnections();
  {
    CThreadLockGuard lock;
    if (g_hConnectDeviceThread != nullptr) CloseHandle(g_hConnectDeviceThread);
    g_hConnectDeviceThread = nullptr;
    g_bThreadRunning = false;
    g_dwConnectThreadId = 0;
  }
  SetEvent(g_hThreadEndedEvent.handle);
  return 0;
}

bool StartConnectThread() {
  CThreadLockGuard lock;
  if (g_bThreadRunning) return true;  // it goes on with the new callback and port
  ResetEvent(g_hThreadEndedEvent.handle);
  unsigned id = 0;
  // The thread cannot end before its handle is stored: its last step takes
  // the lock held here.
  const uintptr_t thread = _beginthreadex(nullptr, 0, ConnectDeviceThreadEntry, nullptr, 0, &id);
  if (thread == 0) {
    SetEvent(g_hThreadEndedEvent.handle);
    return false;
  }
  g_hConnectDeviceThread = reinterpret_cast<HANDLE>(thread);
  g_dwConnectThreadId = id;
  g_bThreadRunning = true;
  return true;
}

extern "C" ZERVON_API void ZERVON_CALL ZervFree(void) {
  try {
    StopConnectThread(nullptr);
  } catch (...) {
  }
}
