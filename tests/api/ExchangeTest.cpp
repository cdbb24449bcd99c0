// The raw exchange and handle entry points, driven the way an application
// drives them: through the exported interface, against the virtual instrument.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/time.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstring>
#include <thread>

#include "InstrumentFixture.h"
#include "zervon.h"
#include "zervon_ext.h"

extern unsigned char g_DeviceHWInfo[64];

namespace {

unsigned char kStatusRequest[1] = {0x14};
unsigned char kRecordRequest[5] = {0x12, 0x55, 0xAA, 0x00, 0x00};

bool IsStatusReply(const unsigned char* reply) { return reply[0] == 0x14; }
bool IsRecordReply(const unsigned char* reply) { return memcmp(reply + 5, "VRX", 3) == 0; }

}  // namespace

using ExchangeTest = InstrumentTest;

TEST_F(ExchangeTest, StatusRequestGetsWholeReply) {
  unsigned char reply[64] = {0};
  int length = 64;
  EXPECT_EQ(ZervSendCommandEx(kStatusRequest, 1, reply, &length), 0);
  EXPECT_EQ(length, 64);
  EXPECT_TRUE(IsStatusReply(reply));
  ASSERT_EQ(Sent().size(), 1u);
  EXPECT_EQ(Sent()[0], std::vector<uint8_t>({0x14}));
}

TEST_F(ExchangeTest, RecordBlockThroughFixedLengthExchange) {
  unsigned char reply[64] = {0};
  EXPECT_EQ(ZervSendCommand(kRecordRequest, 5, reply, 64), 0);
  EXPECT_TRUE(IsRecordReply(reply));
  auto block = sim.Block(0);
  EXPECT_EQ(0, memcmp(reply + 5, block.data() + 5, 59));
}

TEST_F(ExchangeTest, RequestsWithoutReplyOnlyWrite) {
  unsigned char setting[8] = {0x00, 1, 2, 3, 4, 0, 1, 0};
  EXPECT_EQ(ZervSendCommand(setting, 8, nullptr, 64), 0);
  unsigned char reply[8];
  EXPECT_EQ(ZervSendCommand(setting, 8, reply, 0), 0);
  EXPECT_EQ(ZervSendCommandEx(setting, 8, reply, nullptr), 0);
  int length = 8;
  EXPECT_EQ(ZervSendCommandEx(setting, 8, nullptr, &length), 0);
  ASSERT_TRUE(sim.WaitForRequests(4, 2000));
  for (const auto& frame : Sent()) EXPECT_EQ(frame, std::vector<uint8_t>(setting, setting + 8));
}

TEST_F(ExchangeTest, ShortReplyGivesTwoAndTheCountReceived) {
  sim.TruncateReplies(1, 40);
  unsigned char reply[64] = {0};
  int length = 64;
  EXPECT_EQ(ZervSendCommandEx(kStatusRequest, 1, reply, &length), 2);
  EXPECT_EQ(length, 40);

  sim.TruncateReplies(1, 40);
  EXPECT_EQ(ZervSendCommand(kStatusRequest, 1, reply, 64), 2);
}

TEST_F(ExchangeTest, MissingReplyTimesOutWithOneAndKeepsTheLength) {
  sim.DropReplies(1);
  unsigned char reply[64] = {0};
  int length = 64;
  long ms = ElapsedMs([&] { EXPECT_EQ(ZervSendCommandEx(kStatusRequest, 1, reply, &length), 1); });
  EXPECT_EQ(length, 64);
  EXPECT_GE(ms, 150);
  EXPECT_LT(ms, 1500);
}

TEST_F(ExchangeTest, ReplySplitInTwoIsReadOnceAsShort) {
  sim.SplitReplies(1, 20, 80);
  unsigned char reply[64] = {0};
  int length = 64;
  EXPECT_EQ(ZervSendCommandEx(kStatusRequest, 1, reply, &length), 2);
  EXPECT_EQ(length, 20);
}

TEST_F(ExchangeTest, SurplusOfALongerReplyNeverAnswersTheNextRequest) {
  // Ten bytes of a 64-byte reply are taken; the rest stays in the port...
  unsigned char reply[64] = {0};
  int length = 10;
  EXPECT_EQ(ZervSendCommandEx(kStatusRequest, 1, reply, &length), 0);
  EXPECT_EQ(length, 10);
  // ...and is dropped before the next request, which gets its own reply.
  memset(reply, 0, sizeof reply);
  EXPECT_EQ(ZervSendCommand(kRecordRequest, 5, reply, 64), 0);
  EXPECT_TRUE(IsRecordReply(reply));
}

TEST_F(ExchangeTest, AnswerToARequestSentWithoutReplyNeverAnswersTheNextRequest) {
  // A clean exchange first: the port's input is known to be empty after it.
  unsigned char reply[64] = {0};
  ASSERT_EQ(ZervSendCommand(kRecordRequest, 5, reply, 64), 0);
  // The status request goes out as one without reply; the instrument
  // answers it all the same, and the answer waits in the port...
  EXPECT_EQ(ZervSendCommand(kStatusRequest, 1, nullptr, 0), 0);
  ASSERT_TRUE(sim.WaitForRequests(2, 1000));
  usleep(50 * 1000);
  // ...where the write has made the next exchange drop it first.
  memset(reply, 0, sizeof reply);
  EXPECT_EQ(ZervSendCommand(kRecordRequest, 5, reply, 64), 0);
  EXPECT_TRUE(IsRecordReply(reply)) << "the record request took the status reply";
}

TEST_F(ExchangeTest, LateReplyDoesNotDesynchroniseLaterExchanges) {
  sim.DelayReplies(1, 400);
  unsigned char reply[64] = {0};
  EXPECT_EQ(ZervSendCommand(kStatusRequest, 1, reply, 64), 1);
  usleep(500 * 1000);  // the late status reply is now waiting in the port
  for (int i = 0; i < 3; ++i) {
    memset(reply, 0, sizeof reply);
    EXPECT_EQ(ZervSendCommand(kRecordRequest, 5, reply, 64), 0);
    EXPECT_TRUE(IsRecordReply(reply)) << "exchange " << i << " took a stale reply";
  }
}

TEST_F(ExchangeTest, BadArgumentsSendNothing) {
  unsigned char reply[64];
  int length = 64;
  EXPECT_NE(ZervSendCommand(nullptr, 5, reply, 64), 0);
  EXPECT_NE(ZervSendCommand(kRecordRequest, -1, reply, 64), 0);
  EXPECT_NE(ZervSendCommand(kRecordRequest, 5, reply, -1), 0);
  EXPECT_NE(ZervSendCommandEx(nullptr, 1, reply, &length), 0);
  EXPECT_NE(ZervSendCommandEx(kStatusRequest, -5, reply, &length), 0);
  length = -1;
  EXPECT_NE(ZervSendCommandEx(kStatusRequest, 1, reply, &length), 0);
  EXPECT_EQ(length, -1);
  usleep(100 * 1000);
  EXPECT_EQ(sim.RequestCount(), 0u);
}

TEST_F(ExchangeTest, TwoThreadsNeverSeeEachOthersReplies) {
  std::atomic<int> wrong{0}, failed{0};
  auto statusLoop = [&] {
    for (int i = 0; i < 150; ++i) {
      unsigned char reply[64] = {0};
      int length = 64;
      if (ZervSendCommandEx(kStatusRequest, 1, reply, &length) != 0) ++failed;
      else if (!IsStatusReply(reply)) ++wrong;
    }
  };
  auto recordLoop = [&] {
    for (int i = 0; i < 150; ++i) {
      unsigned char reply[64] = {0};
      if (ZervSendCommand(kRecordRequest, 5, reply, 64) != 0) ++failed;
      else if (!IsRecordReply(reply)) ++wrong;
    }
  };
  std::thread a(statusLoop), b(recordLoop);
  a.join();
  b.join();
  EXPECT_EQ(failed.load(), 0);
  EXPECT_EQ(wrong.load(), 0);
}

namespace {
std::atomic<long> g_ticks{0};
void OnTick(int) { ++g_ticks; }
}  // namespace

TEST_F(ExchangeTest, ExchangesSurviveAOneMillisecondSignalStorm) {
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = OnTick;  // no SA_RESTART: every tick interrupts blocking calls
  sigemptyset(&action.sa_mask);
  struct sigaction previous;
  ASSERT_EQ(sigaction(SIGALRM, &action, &previous), 0);
  struct itimerval storm = {{0, 1000}, {0, 1000}};
  ASSERT_EQ(setitimer(ITIMER_REAL, &storm, nullptr), 0);

  int failures = 0;
  for (int i = 0; i < 300; ++i) {
    unsigned char reply[64] = {0};
    int length = 64;
    if (ZervSendCommandEx(kStatusRequest, 1, reply, &length) != 0 || !IsStatusReply(reply)) ++failures;
  }
  // A reply that takes a while: the wait is interrupted many times over.
  sim.DelayReplies(1, 120);
  unsigned char reply[64] = {0};
  int delayed = ZervSendCommand(kRecordRequest, 5, reply, 64);

  struct itimerval off = {{0, 0}, {0, 0}};
  setitimer(ITIMER_REAL, &off, nullptr);
  sigaction(SIGALRM, &previous, nullptr);

  EXPECT_EQ(failures, 0);
  EXPECT_EQ(delayed, 0);
  EXPECT_GT(g_ticks.load(), 50);
}

// ---- The device handle ----

TEST_F(ExchangeTest, HandOverReadsTheRecordBlockIntoTheCache) {
  EXPECT_EQ(ZervGetDeviceHandle(), HandleOf(fd));
  auto block = sim.Block(0);
  EXPECT_EQ(0, memcmp(g_DeviceHWInfo + 5, block.data() + 5, 59));
}

TEST(DeviceHandle, NoPortAnswersAllBitsSetAndExchangesFail) {
  ZervSetDeviceHandle(HandleOf(-1));
  EXPECT_EQ(ZervGetDeviceHandle(), kNoHandle);
  unsigned char reply[64];
  int length = 64;
  long ms = ElapsedMs([&] {
    EXPECT_EQ(ZervSendCommand(kRecordRequest, 5, reply, 64), 1);
    EXPECT_EQ(ZervSendCommandEx(kStatusRequest, 1, reply, &length), 1);
  });
  EXPECT_LT(ms, 100);
  for (unsigned char b : g_DeviceHWInfo) ASSERT_EQ(b, 0);
}

TEST(DeviceHandle, ZeroIsStoredWithoutAnyRead) {
  zsim::VirtualInstrument sim;
  ASSERT_TRUE(sim.Start());
  int fd = sim.OpenHostPort();
  ZervSetDeviceHandle(HandleOf(fd));
  ASSERT_TRUE(IsRecordReply(g_DeviceHWInfo));
  ZervSetDeviceHandle(HandleOf(0));
  EXPECT_EQ(ZervGetDeviceHandle(), HandleOf(0));
  // Nothing was read: the cache still holds the instrument's block.
  EXPECT_TRUE(IsRecordReply(g_DeviceHWInfo));
  ZervSetDeviceHandle(HandleOf(-1));
  close(fd);
}

TEST(DeviceHandle, ForeignDeviceLeavesItsBlockCachedAndExchangesGoOn) {
  zsim::VirtualInstrument sim;
  sim.SetMarker("ABC");
  ASSERT_TRUE(sim.Start());
  int fd = sim.OpenHostPort();
  ZervSetDeviceHandle(HandleOf(fd));
  EXPECT_EQ(0, memcmp(g_DeviceHWInfo + 5, "ABC", 3));
  unsigned char reply[64] = {0};
  int length = 64;
  EXPECT_EQ(ZervSendCommandEx(kStatusRequest, 1, reply, &length), 0);
  ZervSetDeviceHandle(HandleOf(-1));
  close(fd);
}

TEST(DeviceHandle, SilentDeviceLeavesTheCacheZero) {
  zsim::VirtualInstrument sim;
  sim.SetSilent(true);
  ASSERT_TRUE(sim.Start());
  int fd = sim.OpenHostPort();
  long ms = ElapsedMs([&] { ZervSetDeviceHandle(HandleOf(fd)); });
  EXPECT_GE(ms, 250);  // the record read waits its 300 ms
  EXPECT_LT(ms, 2000);
  for (unsigned char b : g_DeviceHWInfo) ASSERT_EQ(b, 0);
  ZervSetDeviceHandle(HandleOf(-1));
  close(fd);
}

TEST(Version, IsOnePointZeroPointFivePointOne) { EXPECT_EQ(ZervGetVersion(), 0x01000501u); }
