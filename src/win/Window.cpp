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

DWORD WINAPI MessageWindowThread(LPVOID argument) {
  auto* record = static_cast<CMessageWindowThread*>(argument);
  for (int number = 0; number < kWindowClassNumbers; ++number) {
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
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
      TranslateMessage(&message);
      DispatchMessageA(&message);
    }
  }
  return 0;
}

CMessageWindowThread::CMessageWindowThread() : m_hThread(nullptr), m_szClassName() {
  m_hThread = CreateThread(nullptr, 0, MessageWindowThread, this, 0, nullptr);
}

CMessageWindowThread::~CMessageWindowThread() {
  if (m_hThread != nullptr) {
    TerminateThread(m_hThread, 0);
    // The system destroys the thread's window once the thread is gone; only
    // then can the class be unregistered.
    WaitForSingleObject(m_hThread, kEndWaitMs);
    CloseHandle(m_hThread);
    m_hThread = nullptr;
  }
  UnregisterClassA(m_szClassName, GetModuleHandleA(nullptr));
}

