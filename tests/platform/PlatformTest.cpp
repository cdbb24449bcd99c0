// Sleeping, descriptor closing and threads.
#include <gtest/gtest.h>

#include <atomic>
#include <fcntl.h>
#include <unistd.h>

#include "Platform.h"
#include "PlatformTestSupport.h"

using platform_test::Clock;
using platform_test::ElapsedMs;

namespace {

TEST(SleepExTest, SleepsTheTimeAsked) {
  Clock::time_point start = Clock::now();
  SleepEx(0);
  EXPECT_LT(ElapsedMs(start), 100);

  for (unsigned int ms : {5u, 300u, 1010u}) {
    start = Clock::now();
    SleepEx(ms);
    const long long elapsed = ElapsedMs(start);
    EXPECT_GE(elapsed, static_cast<long long>(ms));
    EXPECT_LT(elapsed, static_cast<long long>(ms) + 700);
  }
}

TEST(CloseHandleTest, ClosesOnceAndRefusesWhatIsNoDescriptor) {
  int fds[2];
  ASSERT_EQ(0, pipe(fds));
  EXPECT_EQ(1, CloseHandle(fds[0]));
  EXPECT_EQ(0, CloseHandle(fds[0]));  // already closed
  EXPECT_EQ(0, CloseHandle(-1));
  if (sizeof(long) > sizeof(int)) {
    // A number beyond the descriptor range must not close the descriptor its
    // low bits happen to name.
    const long wide = (1L << 40) | fds[1];
    EXPECT_EQ(0, CloseHandle(wide));
    EXPECT_NE(-1, fcntl(fds[1], F_GETFD));
  }
  EXPECT_EQ(1, CloseHandle(fds[1]));
}

void* ReturnArgPlusOne(void* arg) {
  return static_cast<char*>(arg) + 1;
}

TEST(CreateThreadTest, StartsAJoinableThreadWithItsArgument) {
  char text[2] = {'a', 'b'};
  pthread_t thread;
  ASSERT_EQ(1, CreateThread(&thread, ReturnArgPlusOne, text));
  CloseThread(thread);  // leaves the thread joinable
  void* result = nullptr;
  ASSERT_EQ(0, pthread_join(thread, &result));
  EXPECT_EQ(text + 1, result);

  EXPECT_EQ(0, CreateThread(nullptr, ReturnArgPlusOne, text));
  EXPECT_EQ(0, CreateThread(&thread, nullptr, text));
}

}  // namespace
