// Device monitor unit of the Windows build: the notify registry and the
// hidden device-change window. There is no polling monitor here: the system's
// device-change broadcasts reach the window, whose procedure dispatches every
// message through the registry; while an instrument is connected the connect
// thread keeps WinEventCb under 537, so each broadcast wakes it to re-check.
//
// The registry's functions are shared (Monitor.cpp); the registry and the
// window thread's record come into being in that order, with the library's
// other load-time objects, in main_win.cpp.
#include "stdafx.h"
#include "Monitor.h"

#include <cstdio>

#include "win/Window.h"
#include "zervon_ext.h"

const char kWindowClassFormat[] = "MsgMonitorWnd-Zervon{1167D2F0-F2B0-499D-B9B7-E891111A36D6}-%3d";

void FormatWindowClassName(char* buffer, size_t size, int number) {
  snprintf(buffer, size, kWindowClassFormat, number);
}

LRESULT CALLBACK MessageWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  // The callback is looked up and called outside the registry's lock, so it
  // may itself register callbacks.
  NotifyCallback callback = LookupNotifyEvent(message);
  if (callback != nullptr) {
    callback(message, static_cast<unsigned int>(wParam), static_cast<unsigned long>(lParam));
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

namespace {

// Where the thread waits once unloading has asked it to stop: unloading ends
// it here. Returning instead would take the loader lock on the way out, and a
// thread ended while it holds that lock hangs the process (when the library's
// units are linked into a program, whose exit ends the thread this way).
[[noreturn]] void ParkUntilEnded() {
  for (;;) Sleep(INFINITE);
}

}  // namespace

DWORD WINAPI MessageWindowThread(LPVOID argument) {
  auto* record = static_cast<CMessageWindowThread*>(argument);
  int starting = kThreadStarting;
  if (!record->m_nThreadState.compare_exchange_strong(starting, kThreadRunning)) ParkUntilEnded();
  for (int number = 0; number < kWindowClassNumbers && !record->m_bStop; ++number) {
    FormatWindowClassName(record->m_szClassName, sizeof record->m_szClassName, number);
    WNDCLASSEXA windowClass;
    memset(&windowClass, 0, sizeof windowClass);
    windowClass.cbSize = sizeof windowClass;
    windowClass.style = CS_DBLCLKS;
    windowClass.lpfnWndProc = MessageWindowProc;
    windowClass.cbClsExtra = 0;
    windowClass.cbWndExtra = 0;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.hIcon = LoadIconA(nullptr, IDI_APPLICATION);
    windowClass.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_WINDOW + 1));
    windowClass.lpszMenuName = nullptr;
    windowClass.lpszClassName = record->m_szClassName;
    windowClass.hIconSm = LoadIconA(nullptr, IDI_APPLICATION);
    // Taken, for instance, by another copy of the library in this process.
    if (RegisterClassExA(&windowClass) == 0) continue;
    // A top-level window, never shown: only those receive the broadcasts.
    HWND window = CreateWindowExA(0, record->m_szClassName, "title", WS_OVERLAPPEDWINDOW,
                                  CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                                  nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
    if (window == nullptr) continue;  // the class stays registered
    // Unloading posts WM_QUIT until the thread has stopped, also while it
    // has no message queue yet: a stop asked for before the loop is seen here.
    MSG message;
    while (!record->m_bStop && GetMessageA(&message, nullptr, 0, 0) > 0) {
      TranslateMessage(&message);
      DispatchMessageA(&message);
    }
    if (record->m_bStop) {
      DestroyWindow(window);  // on its own thread, so the class can go
      break;
    }
  }
  SetEvent(record->m_hStopped);
  if (record->m_bStop) ParkUntilEnded();
  return 0;
}

CMessageWindowThread::CMessageWindowThread()
    : m_hThread(nullptr),
      m_szClassName(),
      m_dwThreadId(0),
      m_nThreadState(kThreadStarting),
      m_bStop(false),
      m_hStopped(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {
  m_hThread = CreateThread(nullptr, 0, MessageWindowThread, this, 0, &m_dwThreadId);
}

// A thread ended by force in the middle of a window-system call (registering
// its class, creating its window, looking for messages) can leave the
// system's window state locked for the rest of the process: a library
// loaded again afterwards never got its window, under wine. So a running
// thread is asked to stop and waited for (at most kStopWaitMs) until it has
// destroyed its window and parked; one that has not started yet (it waits
// for the loader lock, which unloading holds) is told not to. Either way it
// is then ended where it waits. Only a thread still inside its setup calls
// (a few milliseconds after loading; some of them wait for the loader lock)
// is ended there when the wait runs out. At process exit the thread is
// already gone and nothing is waited for.
CMessageWindowThread::~CMessageWindowThread() {
  if (m_hThread != nullptr) {
    m_bStop = true;
    int starting = kThreadStarting;
    const bool running = !m_nThreadState.compare_exchange_strong(starting, kThreadCancelled);
    if (running && m_hStopped != nullptr) {
      HANDLE waits[2] = {m_hStopped, m_hThread};
      const ULONGLONG end = GetTickCount64() + kStopWaitMs;
      do {
        PostThreadMessageA(m_dwThreadId, WM_QUIT, 0, 0);
      } while (WaitForMultipleObjects(2, waits, FALSE, 10) == WAIT_TIMEOUT && GetTickCount64() < end);
    }
    TerminateThread(m_hThread, 0);
    WaitForSingleObject(m_hThread, kEndWaitMs);
    CloseHandle(m_hThread);
    m_hThread = nullptr;
  }
  UnregisterClassA(m_szClassName, GetModuleHandleA(nullptr));
  if (m_hStopped != nullptr) CloseHandle(m_hStopped);
}

