// API unit: the global state the entry points share and the API lock.
#pragma once

#include <atomic>

#include "SimpleCriticalSection.h"
#include "zervon.h"
#if defined(_WIN32)
#include "win/Event.h"
typedef HANDLE ThreadHandle;  // a kernel thread handle
#else
#include <pthread.h>
#include "zervon_platform.h"
typedef pthread_t ThreadHandle;
#endif

// The connect thread's settings and handles; see ZervInit and ZervConnect.
// The atomics are written by the entry points and read by the connect thread.
extern std::atomic<int> g_nPortNumber;               // -1: search every port
extern std::atomic<ZervConnectionCallback> g_Callback;
extern ThreadHandle g_hConnectDeviceThread;          // 0 while none runs
extern std::atomic<int> g_bStopConnectDeviceThread;  // non-zero asks it to end
extern CAutoResetEvent g_hReconnectEvent;            // wakes it to re-check the instrument
extern CAutoResetEvent g_hConnectedEvent;            // set when a ZervConnect connection is up

// The platform's device-change message, on which WinEventCb acts.
constexpr unsigned int kDeviceChangeMessage = 537;

// The shared start of ZervInit and ZervConnect: under the API lock, sets
// the port to search (-1: every port), forgets where a burn moved the
// instrument, clears a pending re-check and the stop flag, stores the
// callback and starts the connect thread unless one runs. Result: a connect
// thread runs.
bool DoInit(int port, ZervConnectionCallback callback);

// Starts the connect thread unless one runs (one that is ending is kept
// going). Result: a connect thread runs. Called by DoInit under the API lock.
bool StartConnectThread();

// The connect thread: RunConnections, then the platform's end of a thread.
int ConnectDeviceThread(void*);

// The connect thread's work, the same on every build: search, switch to host
// control, report, watch the instrument, wait for a re-check, and on a loss
// close, clear the cache and report; until asked to stop. Connect thread
// only; takes the API lock per step.
void RunConnections();

// Starts (true) or stops watching the connected instrument for its loss:
// the device monitor on POSIX, the device-change messages on Windows.
// Connect thread only.
void WatchInstrument(bool on);

// Calls the application's connection callback, if any. Connect thread only.
void NotifyListener(bool connected);

// The callback ZervConnect installs: sets g_hConnectedEvent on true.
void ConnectedHandler(bool connected);

// Builds the setting request 00 a b c d e f 00 (low 8 bits of each) and
// writes it (200 ms, no reply). Exchange code: 0 all 8 bytes written, 1 the
// write failed, 2 written in part. Caller holds the API lock.
int DoUpdateSettingEx(int a, int b, int c, int d, int e, int f);
