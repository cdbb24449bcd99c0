// The portability and utility functions as an application sees them: through
// the public header and the shared library's exports only.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <thread>

#include "zervon_platform.h"
#include "PlatformTestSupport.h"

using platform_test::Clock;
using platform_test::ElapsedMs;
using platform_test::SleepMs;

namespace {

TEST(ExportedPlatformTest, EventsAndWaitsWorkAcrossTheLibraryBoundary) {
  CAutoResetEvent autoEvent;
  CManualResetEvent manualEvent;
  CEvent* events[] = {&autoEvent, &manualEvent};

  std::thread setter([&] {
    SleepMs(100);
    manualEvent.SetEvent();
  });
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(1, WaitForMultipleObjects(2, events, 0, 20000));
  EXPECT_LT(ElapsedMs(start), 3000);
  setter.join();

  autoEvent.SetEvent();
  EXPECT_EQ(0u, WaitForSingleObject(&autoEvent, 0));
  EXPECT_EQ(static_cast<unsigned int>(ETIMEDOUT), WaitForSingleObject(&autoEvent, 0));
  EXPECT_EQ(0u, WaitForSingleObject(&manualEvent, 0));
}

TEST(ExportedPlatformTest, TimerSetsTheExportedEvent) {
  g_hSigUsr2Event.ResetEvent();
  unsigned int signal = SIGUSR2;
  TIMER_HANDLE timer = CreateNewTimer(20, signal);
  ASSERT_NE(ZERVON_NO_TIMER, timer);
  EXPECT_EQ(0u, WaitForSingleObject(&g_hSigUsr2Event, 2000));
  DeleteTimer(0, timer);
  EXPECT_EQ(ZERVON_NO_TIMER, timer);
}

TEST(ExportedPlatformTest, UtilitiesAndThreads) {
  char text[] = " \tabc\n";
  StringTrim(text);
  EXPECT_STREQ("abc", text);
  EXPECT_EQ(0x01000501u, ConvertVersion("1.0.5.1"));

  pthread_t thread;
  ASSERT_EQ(1, CreateThread(&thread, [](void* arg) -> void* { return arg; }, text));
  CloseThread(thread);
  void* result = nullptr;
  pthread_join(thread, &result);
  EXPECT_EQ(static_cast<void*>(text), result);
  SleepEx(1);
  EXPECT_EQ(0, CloseHandle(-1));
}

// The signal handlers and their installer stay inside the library.
TEST(ExportedPlatformTest, TimerInternalsAreNotExported) {
  EXPECT_EQ(nullptr, dlsym(RTLD_DEFAULT, "_Z15TimerSetHandleriPFviP9siginfo_tPvE"));
  EXPECT_EQ(nullptr, dlsym(RTLD_DEFAULT, "_Z14onSigUsr1TimeriP9siginfo_tPv"));
  EXPECT_EQ(nullptr, dlsym(RTLD_DEFAULT, "_Z14onSigUsr2TimeriP9siginfo_tPv"));
  EXPECT_NE(nullptr, dlsym(RTLD_DEFAULT, "_Z14CreateNewTimerjRj"));
}

}  // namespace
