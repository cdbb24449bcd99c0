// The Windows-only pieces that need Win32 to run: the kernel events, the
// critical-section lock, and the device-change window with its dispatch
// through the notify registry. Linked with the library's units (the window
// thread of this program is the library's own, started at load).
#include <windows.h>
#include <dbt.h>
#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "Monitor.h"
#include "SimpleCriticalSection.h"
#include "main.h"
#include "win/Event.h"
#include "win/Window.h"
#include "zervon_ext.h"

namespace {

template <typename Pred>
bool WaitUntil(Pred&& done, DWORD ms) {
  const ULONGLONG end = GetTickCount64() + ms;
  while (!done()) {
    if (GetTickCount64() >= end) return false;
    Sleep(5);
  }
  return true;
}

struct Waiter {
  CAutoResetEvent* event;
  std::atomic<int>* woken;
};

DWORD WINAPI WaitOnce(LPVOID argument) {
  auto* w = static_cast<Waiter*>(argument);
  if (w->event->WaitTimeout(5000) == 0) ++*w->woken;
  return 0;
}

TEST(Events, AutoResetEventWakesOneWaiterAndClearsItself) {
  CAutoResetEvent event;
  EXPECT_EQ(event.WaitTimeout(0), static_cast<unsigned>(WAIT_TIMEOUT));
  event.SetEvent();
  event.SetEvent();  // two sets before a wait count as one
  EXPECT_EQ(event.WaitTimeout(0), 0u);
  EXPECT_EQ(event.WaitTimeout(0), static_cast<unsigned>(WAIT_TIMEOUT));
  CAutoResetEvent set(true);
  set.ResetEvent();
  EXPECT_EQ(set.WaitTimeout(20), static_cast<unsigned>(WAIT_TIMEOUT));
  CAutoResetEvent initiallySet(true);
  initiallySet.Wait();  // returns at once

  // Two waiters, one set: exactly one wakes; the second set wakes the other.
  std::atomic<int> woken{0};
  Waiter waiter{&event, &woken};
  HANDLE threads[2] = {CreateThread(nullptr, 0, WaitOnce, &waiter, 0, nullptr),
                       CreateThread(nullptr, 0, WaitOnce, &waiter, 0, nullptr)};
  Sleep(100);
  event.SetEvent();
  EXPECT_TRUE(WaitUntil([&] { return woken == 1; }, 2000));
  Sleep(100);
  EXPECT_EQ(woken, 1);
  event.SetEvent();
  EXPECT_EQ(WaitForMultipleObjects(2, threads, TRUE, 5000), WAIT_OBJECT_0);
  EXPECT_EQ(woken, 2);
  for (HANDLE t : threads) CloseHandle(t);
}

struct Contender {
  CSimpleCriticalSection* lock;
  std::atomic<bool> inside{false};
};

DWORD WINAPI TakeTheLock(LPVOID argument) {
  auto* c = static_cast<Contender*>(argument);
  CAutoCriticalSection guard(*c->lock);
  c->inside = true;
  return 0;
}

TEST(Lock, RecursiveOnItsThreadExclusiveAgainstOthers) {
  CSimpleCriticalSection lock;
  Contender contender;
  contender.lock = &lock;
  HANDLE thread;
  {
    CAutoCriticalSection outer(lock);
    {
      CAutoCriticalSection inner(lock);  // the same thread again: no deadlock
      thread = CreateThread(nullptr, 0, TakeTheLock, &contender, 0, nullptr);
      Sleep(100);
      EXPECT_FALSE(contender.inside);
    }
    Sleep(100);
    EXPECT_FALSE(contender.inside);  // still held once
  }
  EXPECT_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
  EXPECT_TRUE(contender.inside);
  CloseHandle(thread);
  // The API lock is one of these, built before any entry point runs.
  CAutoCriticalSection api(g_APICriticalSection);
  CAutoCriticalSection again(g_APICriticalSection);
}

// ---- the device-change window ----

struct Heard {
  std::atomic<int> calls{0};
  std::atomic<unsigned> message{0}, wParam{0};
  std::atomic<unsigned long> lParam{0};
  std::atomic<DWORD> thread{0};
};
Heard g_heard;

void Listen(unsigned int message, unsigned int wParam, unsigned long lParam) {
  g_heard.message = message;
  g_heard.wParam = wParam;
  g_heard.lParam = lParam;
  g_heard.thread = GetCurrentThreadId();
  ++g_heard.calls;
}

std::string ClassName(int n) {
  char name[128];
  FormatWindowClassName(name, sizeof name, n);
  return name;
}

HWND LibraryWindow() {
  HWND window = nullptr;
  WaitUntil([&] { return (window = FindWindowA(ClassName(0).c_str(), "title")) != nullptr; }, 10000);
  return window;
}

TEST(Window, ClassNameFormat) {
  EXPECT_EQ(ClassName(0), "MsgMonitorWnd-Zervon{1167D2F0-F2B0-499D-B9B7-E891111A36D6}-  0");
  EXPECT_EQ(ClassName(0).size(), 62u);
  EXPECT_EQ(ClassName(42).substr(59), " 42");
  EXPECT_EQ(ClassName(999).substr(59), "999");
}

TEST(Window, HiddenTopLevelWindowOnItsOwnThread) {
  HWND window = LibraryWindow();
  ASSERT_NE(window, nullptr);
  EXPECT_FALSE(IsWindowVisible(window));
  EXPECT_EQ(GetParent(window), nullptr);
  DWORD process = 0;
  const DWORD thread = GetWindowThreadProcessId(window, &process);
  EXPECT_EQ(process, GetCurrentProcessId());
  EXPECT_EQ(thread, GetThreadId(g_MessageWindowThread.m_hThread));
  EXPECT_NE(thread, GetCurrentThreadId());
  EXPECT_EQ(std::string(g_MessageWindowThread.m_szClassName), ClassName(0));
}

TEST(Window, MessagesAreDispatchedThroughTheNotifyRegistry) {
  HWND window = LibraryWindow();
  ASSERT_NE(window, nullptr);
  const unsigned kMessage = WM_APP + 7;
  g_heard.calls = 0;
  SendMessageA(window, kMessage, 11, 12);  // nothing registered: the default procedure only
  EXPECT_EQ(g_heard.calls, 0);
  RegisterNotifyEvent(kMessage, Listen);
  EXPECT_EQ(LookupNotifyEvent(kMessage), &Listen);
  SendMessageA(window, kMessage, 11, 12);
  EXPECT_EQ(g_heard.calls, 1);
  EXPECT_EQ(g_heard.message, kMessage);
  EXPECT_EQ(g_heard.wParam, 11u);
  EXPECT_EQ(g_heard.lParam, 12ul);
  EXPECT_EQ(g_heard.thread, GetWindowThreadProcessId(window, nullptr));
  PostMessageA(window, kMessage, 13, 0);  // through the message loop
  EXPECT_TRUE(WaitUntil([] { return g_heard.calls == 2; }, 5000));
  EXPECT_EQ(g_heard.wParam, 13u);
  RegisterNotifyEvent(kMessage, nullptr);  // a null entry calls nothing
  SendMessageA(window, kMessage, 14, 0);
  EXPECT_EQ(g_heard.calls, 2);
}

// The system's broadcast reaches the window; with WinEventCb under 537 it
// wakes the connect thread's event, and without it nothing happens.
TEST(Window, DeviceChangeBroadcastSetsTheReconnectEvent) {
  ASSERT_NE(LibraryWindow(), nullptr);
  ASSERT_EQ(WM_DEVICECHANGE, kDeviceChangeMessage);
  g_hReconnectEvent.ResetEvent();
  DWORD_PTR result = 0;
  SendMessageTimeoutA(HWND_BROADCAST, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0, SMTO_ABORTIFHUNG, 5000,
                      &result);
  EXPECT_EQ(g_hReconnectEvent.WaitTimeout(200), static_cast<unsigned>(WAIT_TIMEOUT));
  RegisterNotifyEvent(kDeviceChangeMessage, WinEventCb);
  SendMessageTimeoutA(HWND_BROADCAST, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0, SMTO_ABORTIFHUNG, 5000,
                      &result);
  EXPECT_EQ(g_hReconnectEvent.WaitTimeout(5000), 0u);
  RegisterNotifyEvent(kDeviceChangeMessage, nullptr);
}

}  // namespace
