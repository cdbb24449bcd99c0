// WaitForMultipleObjects: which event wins, what is consumed, when it gives
// up, and that it sleeps while it waits.
#include <gtest/gtest.h>

#include <atomic>
#include <ctime>
#include <thread>

#include "Event.h"
#include "PlatformTestSupport.h"

using platform_test::Clock;
using platform_test::ElapsedMs;
using platform_test::SleepMs;

namespace {

constexpr int kTimedOut = ETIMEDOUT;
constexpr unsigned int kForever = 0xFFFFFFFFu;

long long ThreadCpuMs() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<long long>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

TEST(WaitForMultipleObjectsTest, LowestSetIndexWinsAndOnlyItIsConsumed) {
  CAutoResetEvent first(true), second(true);
  CEvent* both[] = {&first, &second};
  EXPECT_EQ(0, WaitForMultipleObjects(2, both, 0, 0));
  EXPECT_EQ(kTimedOut, first.WaitTimeout(0));
  EXPECT_EQ(0u, second.WaitTimeout(0));  // untouched by the wait

  CAutoResetEvent clear, middle(true), last(true);
  CEvent* three[] = {&clear, &middle, &last};
  EXPECT_EQ(1, WaitForMultipleObjects(3, three, 0, 1000));
  EXPECT_EQ(2, WaitForMultipleObjects(3, three, 0, 1000));
  EXPECT_EQ(kTimedOut, WaitForMultipleObjects(3, three, 0, 0));

  // A manual-reset event at the lowest index wins again and again.
  CManualResetEvent manual(true);
  CAutoResetEvent autoSet(true);
  CEvent* mixed[] = {nullptr, &manual, &autoSet};
  EXPECT_EQ(1, WaitForMultipleObjects(3, mixed, 0, 0));
  EXPECT_EQ(1, WaitForMultipleObjects(3, mixed, 0, 100));
  EXPECT_EQ(0u, autoSet.WaitTimeout(0));
}

TEST(WaitForMultipleObjectsTest, WaitAllIsRefusedAtOnceWithoutConsuming) {
  CAutoResetEvent first(true), second(true);
  CEvent* events[] = {&first, &second};
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(kTimedOut, WaitForMultipleObjects(2, events, 1, 5000));
  EXPECT_EQ(kTimedOut, WaitForMultipleObjects(2, events, -1, kForever));
  EXPECT_LT(ElapsedMs(start), 1000);
  EXPECT_EQ(0u, first.WaitTimeout(0));
  EXPECT_EQ(0u, second.WaitTimeout(0));
}

TEST(WaitForMultipleObjectsTest, TimesOutAfterTheWholeTime) {
  // Count 0: nothing can end the wait but the time.
  Clock::time_point start = Clock::now();
  EXPECT_EQ(kTimedOut, WaitForMultipleObjects(0, nullptr, 0, 250));
  long long elapsed = ElapsedMs(start);
  EXPECT_GE(elapsed, 250);
  EXPECT_LT(elapsed, 250 + 1000);

  CAutoResetEvent a;
  CManualResetEvent b;
  CEvent* events[] = {&a, &b};
  start = Clock::now();
  EXPECT_EQ(kTimedOut, WaitForMultipleObjects(2, events, 0, 300));
  elapsed = ElapsedMs(start);
  EXPECT_GE(elapsed, 300);
  EXPECT_LT(elapsed, 300 + 1000);

  // 0 polls once and does not block.
  start = Clock::now();
  for (int i = 0; i < 200; ++i) ASSERT_EQ(kTimedOut, WaitForMultipleObjects(2, events, 0, 0));
  EXPECT_LT(ElapsedMs(start), 500);
}

TEST(WaitForMultipleObjectsTest, SetFromAnotherThreadEndsTheWaitPromptly) {
  CAutoResetEvent a, b, c;
  CEvent* events[] = {&a, &b, &c};
  for (unsigned int ms : {20000u, kForever}) {
    std::thread setter([&] {
      SleepMs(100);
      c.SetEvent();
    });
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(2, WaitForMultipleObjects(3, events, 0, ms));
    EXPECT_LT(ElapsedMs(start), 3000);
    setter.join();
    EXPECT_EQ(kTimedOut, c.WaitTimeout(0));  // consumed by the wait
  }
}

// The waiting thread sleeps: it uses a small part of one processor.
TEST(WaitForMultipleObjectsTest, DoesNotKeepAProcessorBusy) {
  CAutoResetEvent a;
  CManualResetEvent b;
  CEvent* events[] = {&a, &b};
  long long cpuStart = ThreadCpuMs();
  EXPECT_EQ(kTimedOut, WaitForMultipleObjects(2, events, 0, 600));
  EXPECT_LT(ThreadCpuMs() - cpuStart, 150);

  std::thread setter([&] {
    SleepMs(600);
    b.SetEvent();
  });
  cpuStart = ThreadCpuMs();
  EXPECT_EQ(1, WaitForMultipleObjects(2, events, 0, kForever));
  EXPECT_LT(ThreadCpuMs() - cpuStart, 150);
  setter.join();
}

// An application's own CEvent class, which the library cannot hook into.
class FlagEvent : public CEvent {
 public:
  void SetEvent() override { m_set = true; }
  void ResetEvent() override { m_set = false; }
  void Wait() override {
    while (!m_set.exchange(false)) SleepMs(1);
  }
  unsigned int WaitTimeout(unsigned int) override { return m_set.exchange(false) ? 0u : ETIMEDOUT; }

 private:
  std::atomic<bool> m_set{false};
};

TEST(WaitForMultipleObjectsTest, SeesEventsOfOtherClasses) {
  CAutoResetEvent own;
  FlagEvent foreign;
  CEvent* events[] = {&own, &foreign};
  for (unsigned int ms : {20000u, kForever}) {
    std::thread setter([&] {
      SleepMs(100);
      foreign.SetEvent();
    });
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(1, WaitForMultipleObjects(2, events, 0, ms));
    EXPECT_LT(ElapsedMs(start), 3000);
    setter.join();
  }
}

// Back-and-forth between a multi-event waiter and a setter: a set that lands
// between the waiter's poll and its sleep must still wake it.
TEST(WaitForMultipleObjectsTest, NoWakeUpIsLostInRapidExchanges) {
  CAutoResetEvent a, b;
  CManualResetEvent manual;
  CAutoResetEvent ack;
  CEvent* events[] = {&a, &b, &manual};
  constexpr int kRounds = 3000;
  std::atomic<int> wrong{0};
  std::thread waiter([&] {
    for (int i = 0; i < kRounds; ++i) {
      const int expected = i % 3;
      const int got = WaitForMultipleObjects(3, events, 0, 5000);
      if (got != expected) ++wrong;
      if (got == kTimedOut) break;  // the setter gives up as well
      if (got == 2) manual.ResetEvent();
      ack.SetEvent();
    }
  });
  int lostAcks = 0;
  for (int i = 0; i < kRounds && lostAcks == 0; ++i) {
    events[i % 3]->SetEvent();
    if (ack.WaitTimeout(5000) != 0) ++lostAcks;
  }
  waiter.join();
  EXPECT_EQ(0, wrong.load());
  EXPECT_EQ(0, lostAcks);
}

}  // namespace
