// The hidden device-change window of the Windows build.
#pragma once

#include <atomic>
#include <cstddef>

#include "win/Event.h"

// The window class name for attempt `number` (0 to 999):
// "MsgMonitorWnd-Zervon{1167D2F0-F2B0-499D-B9B7-E891111A36D6}-%3d", 62
// characters, the number right-aligned in three places.
void FormatWindowClassName(char* buffer, std::size_t size, int number);

// The window thread's record: started at library load, ended at unload.
struct CMessageWindowThread {
  // Starts the window thread (default security and stack size, running at
  // once) with this record as its argument.
  CMessageWindowThread();
  // Asks the thread to stop and waits (at most kStopWaitMs) until it has
  // left the window system, then ends it, closes its handle and unregisters
  // the class.
  ~CMessageWindowThread();
  CMessageWindowThread(const CMessageWindowThread&) = delete;
  CMessageWindowThread& operator=(const CMessageWindowThread&) = delete;

  HANDLE m_hThread;
  char m_szClassName[128];  // the name last formatted by the thread
  DWORD m_dwThreadId;
  // kThreadStarting until the thread runs (kThreadRunning) or unloading came
  // first (kThreadCancelled: the thread then returns at once).
  std::atomic<int> m_nThreadState;
  std::atomic<bool> m_bStop;  // set at unload
  HANDLE m_hStopped;  // set by the thread after its last window-system call (manual reset)
};

constexpr int kThreadStarting = 0, kThreadRunning = 1, kThreadCancelled = 2;

constexpr int kWindowClassNumbers = 1000;
// How long unloading waits for the thread to stop, and then for the ended
// thread to be gone.
constexpr DWORD kStopWaitMs = 1000;
constexpr DWORD kEndWaitMs = 1000;

// The window procedure: calls the callback registered for the message, if
// any, with (message, wParam, lParam), then the default procedure.
LRESULT CALLBACK MessageWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// The window thread: for numbers 0 to 999, register the class, create the
// window and run its message loop; the first number that works is kept.
// Once m_bStop is set it destroys its window, leaves and sets m_hStopped.
DWORD WINAPI MessageWindowThread(LPVOID record);

extern CMessageWindowThread g_MessageWindowThread;
