// Auto-reset and manual-reset events, and WaitForSingleObject.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <new>
#include <thread>
#include <vector>

#include "Event.h"
#include "PlatformTestSupport.h"

using platform_test::Clock;
using platform_test::ElapsedMs;
using platform_test::Eventually;
using platform_test::SleepMs;

namespace {

constexpr unsigned int kTimedOut = ETIMEDOUT;

// ---- What both kinds of event share ----

template <typename Event>
class EventKindTest : public ::testing::Test {};

using EventKinds = ::testing::Types<CAutoResetEvent, CManualResetEvent>;
TYPED_TEST_SUITE(EventKindTest, EventKinds);

TYPED_TEST(EventKindTest, StartsInTheStateAskedFor) {
  TypeParam clear;
  TypeParam set(true);
  EXPECT_EQ(kTimedOut, clear.WaitTimeout(0));
  EXPECT_EQ(0u, set.WaitTimeout(0));
}

TYPED_TEST(EventKindTest, PollingAClearEventNeverBlocks) {
  TypeParam event;
  const Clock::time_point start = Clock::now();
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(kTimedOut, event.WaitTimeout(0));
  EXPECT_LT(ElapsedMs(start), 200);
}

TYPED_TEST(EventKindTest, ResetEventClears) {
  TypeParam event(true);
  event.ResetEvent();
  EXPECT_EQ(kTimedOut, event.WaitTimeout(0));
}

// A deadline cut to whole seconds would end most of these waits early.
TYPED_TEST(EventKindTest, TimedWaitLastsTheWholeTime) {
  TypeParam event;
  for (int i = 0; i < 3; ++i) {
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(kTimedOut, event.WaitTimeout(350));
    const long long elapsed = ElapsedMs(start);
    EXPECT_GE(elapsed, 350);
    EXPECT_LT(elapsed, 350 + 1000);
  }
}

TYPED_TEST(EventKindTest, SetFromAnotherThreadEndsATimedWaitAtOnce) {
  TypeParam event;
  // A wait that timed out leaves the event fully usable.
  ASSERT_EQ(kTimedOut, event.WaitTimeout(30));

  std::thread setter([&] {
    SleepMs(100);
    event.SetEvent();
  });
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(0u, event.WaitTimeout(20000));
  EXPECT_LT(ElapsedMs(start), 3000);
  setter.join();

  // After another timed-out wait, a set from another thread lets Wait pass.
  event.ResetEvent();
  ASSERT_EQ(kTimedOut, event.WaitTimeout(30));
  std::thread(&TypeParam::SetEvent, &event).join();
  event.Wait();
}

TYPED_TEST(EventKindTest, WaitBlocksUntilSet) {
  TypeParam event;
  std::atomic<bool> passed{false};
  std::thread waiter([&] {
    event.Wait();
    passed = true;
  });
  SleepMs(100);
  EXPECT_FALSE(passed.load());
  event.SetEvent();
  waiter.join();
  EXPECT_TRUE(passed.load());
}

// ---- Auto-reset ----

TEST(AutoResetEventTest, TwoSetsCountAsOneAndThePollConsumesIt) {
  CAutoResetEvent event;
  event.SetEvent();
  event.SetEvent();
  EXPECT_EQ(0u, event.WaitTimeout(0));
  EXPECT_EQ(kTimedOut, event.WaitTimeout(0));
}

TEST(AutoResetEventTest, WaitAndTimedWaitConsume) {
  CAutoResetEvent event;
  event.SetEvent();
  event.Wait();
  EXPECT_EQ(kTimedOut, event.WaitTimeout(0));
  event.SetEvent();
  EXPECT_EQ(0u, event.WaitTimeout(500));
  EXPECT_EQ(kTimedOut, event.WaitTimeout(0));
}

TEST(AutoResetEventTest, EachSetReleasesExactlyOneWaiter) {
  CAutoResetEvent event;
  std::atomic<int> released{0};
  std::atomic<int> failed{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; ++i) {
    waiters.emplace_back([&] {
      if (event.WaitTimeout(20000) == 0) {
        ++released;
      } else {
        ++failed;
      }
    });
  }
  SleepMs(100);
  for (int expected = 1; expected <= 3; ++expected) {
    event.SetEvent();
    ASSERT_TRUE(Eventually([&] { return released.load() >= expected; }, 5000));
    SleepMs(150);  // no second waiter may slip through on the same set
    EXPECT_EQ(expected, released.load());
  }
  for (std::thread& waiter : waiters) waiter.join();
  EXPECT_EQ(0, failed.load());
  EXPECT_EQ(kTimedOut, event.WaitTimeout(0));
}

// ---- Manual-reset ----

TEST(ManualResetEventTest, StaysSetThroughEveryWaitUntilReset) {
  CManualResetEvent event;
  event.SetEvent();
  for (int i = 0; i < 5; ++i) {
    event.Wait();
    EXPECT_EQ(0u, event.WaitTimeout(0));
    EXPECT_EQ(0u, event.WaitTimeout(1000));
  }
  event.ResetEvent();
  EXPECT_EQ(kTimedOut, event.WaitTimeout(0));
  EXPECT_EQ(kTimedOut, event.WaitTimeout(20));
}

TEST(ManualResetEventTest, OneSetReleasesEveryWaiter) {
  CManualResetEvent event;
  std::atomic<int> released{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 4; ++i) {
    waiters.emplace_back([&, i] {
      if (i % 2 == 0) {
        event.Wait();
        ++released;
      } else if (event.WaitTimeout(20000) == 0) {
        ++released;
      }
    });
  }
  SleepMs(100);
  const Clock::time_point start = Clock::now();
  event.SetEvent();
  for (std::thread& waiter : waiters) waiter.join();
  EXPECT_LT(ElapsedMs(start), 3000);
  EXPECT_EQ(4, released.load());
  EXPECT_EQ(0u, event.WaitTimeout(0));
}

// ---- Life at the edges ----

// What a thread does with a global event after the event's destructor ran at
// process exit: calls on the object itself, which the final class makes
// direct. (The language calls this undefined; the sanitizer's object type
// check is switched off for just these calls.)
__attribute__((no_sanitize("vptr"))) void SetAfterEnd(CAutoResetEvent* event) {
  event->CAutoResetEvent::SetEvent();
}

__attribute__((no_sanitize("vptr"))) unsigned int SetAndPollAfterEnd(CAutoResetEvent* event) {
  event->CAutoResetEvent::SetEvent();
  return event->CAutoResetEvent::WaitTimeout(100);
}

// An event stays usable after its destructor ran (a global that a thread
// still uses while the process exits) and its destructor does not hang on a
// thread still waiting.
TEST(EventLifetimeTest, UsableAfterDestructionAndDestroyableWhileWaitedOn) {
  alignas(CAutoResetEvent) unsigned char storage[sizeof(CAutoResetEvent)];
  {
    // A sanitizer build wipes an object's type as it ends and then traps
    // every use of it: there is nothing to check then.
    (new (storage) CAutoResetEvent)->~CAutoResetEvent();
    void* typeWord = nullptr;
    std::memcpy(&typeWord, storage, sizeof typeWord);
    if (typeWord == nullptr) GTEST_SKIP() << "objects are poisoned at their end in this build";
  }
  CAutoResetEvent* event = new (storage) CAutoResetEvent;
  std::atomic<bool> passed{false};
  std::thread waiter([&] {
    event->Wait();
    passed = true;
  });
  SleepMs(50);
  event->~CAutoResetEvent();  // must return although a thread waits
  SetAfterEnd(event);
  waiter.join();
  EXPECT_TRUE(passed.load());
  EXPECT_EQ(0u, SetAndPollAfterEnd(event));
}

// A waiter may destroy its event as soon as its wait returns.
TEST(EventLifetimeTest, WaiterMayDestroyTheEventRightAfterTheSet) {
  for (int round = 0; round < 2000; ++round) {
    CAutoResetEvent* event = new CAutoResetEvent;
    std::thread setter([event] { event->SetEvent(); });
    event->Wait();
    delete event;
    setter.join();
  }
}

// ---- WaitForSingleObject ----

TEST(WaitForSingleObjectTest, PassesTheEventsResult) {
  CAutoResetEvent autoEvent(true);
  CManualResetEvent manualEvent(true);
  EXPECT_EQ(0u, WaitForSingleObject(&autoEvent, 0));
  EXPECT_EQ(kTimedOut, WaitForSingleObject(&autoEvent, 0));
  EXPECT_EQ(0u, WaitForSingleObject(&manualEvent, 100));
  EXPECT_EQ(0u, WaitForSingleObject(&manualEvent, 0));

  const Clock::time_point start = Clock::now();
  EXPECT_EQ(kTimedOut, WaitForSingleObject(&autoEvent, 250));
  EXPECT_GE(ElapsedMs(start), 250);
}

TEST(WaitForSingleObjectTest, NullEventTimesOutAtOnce) {
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(kTimedOut, WaitForSingleObject(nullptr, 5000));
  EXPECT_LT(ElapsedMs(start), 1000);
}

}  // namespace
