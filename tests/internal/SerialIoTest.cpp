// The serial layer and the exchange primitives below the entry points:
// single reads and writes, time-outs, the port settings and the lock.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "Device.h"
#include "InstrumentFixture.h"
#include "Protocol.h"
#include "main.h"

namespace {

unsigned char kStatusRequest[1] = {0x14};

// Opens the terminal the way discovery does and applies the library's settings.
int OpenLikeDiscovery(const std::string& path) {
  int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd >= 0) ConfigurePort(fd);
  return fd;
}

class SerialIo : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(sim.Start());
    fd = OpenLikeDiscovery(sim.SlavePath());
    ASSERT_GE(fd, 0);
    g_hDevice = fd;
  }
  void TearDown() override {
    g_hDevice = -1;
    close(fd);
    sim.Stop();
  }
  zsim::VirtualInstrument sim;
  int fd = -1;
};

}  // namespace

TEST(SerialIoClosed, NoPortFailsAtOnce) {
  g_hDevice = -1;
  unsigned char buf[8] = {1, 2, 3};
  long ms = ElapsedMs([&] {
    EXPECT_EQ(ReadData(buf, 8, 500), -1);
    EXPECT_EQ(WriteData(buf, 3, 500), -1);
    EXPECT_EQ(SendCommand(buf, 3, buf, 8, 500), kExchangeFailed);
    EXPECT_EQ(ReadDeviceHWInfo(), 0);
  });
  EXPECT_LT(ms, 100);
  EXPECT_EQ(DeviceIsConnected(), 0);
}

TEST(SerialIoClosed, DeviceCheckPathNeedsARecordedPathAndExactCase) {
  g_szDevicePath[0] = '\0';
  char path[] = "/dev/ttyACM0";
  char upper[] = "/DEV/TTYACM0";
  char empty[] = "";
  EXPECT_EQ(DeviceCheckPath(path), 0);
  EXPECT_EQ(DeviceCheckPath(empty), 0);
  strcpy(g_szDevicePath, "/dev/ttyACM0");
  EXPECT_EQ(DeviceCheckPath(path), 1);
  EXPECT_EQ(DeviceCheckPath(upper), 0);
  g_szDevicePath[0] = '\0';
}

TEST_F(SerialIo, PortSettingsAreRawAt115200) {
  struct termios tio;
  ASSERT_EQ(tcgetattr(fd, &tio), 0);
  EXPECT_EQ(tio.c_lflag, 0u);
  EXPECT_TRUE(tio.c_iflag & IGNPAR);
  EXPECT_FALSE(tio.c_iflag & (ICRNL | IXON));
  EXPECT_FALSE(tio.c_oflag & (OPOST | ONLCR));
  EXPECT_FALSE(tio.c_cflag & CLOCAL);
  EXPECT_EQ(tio.c_cc[VEOF], 4);
  EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B115200));
  EXPECT_TRUE(fcntl(fd, F_GETFL) & O_NONBLOCK);
}

TEST_F(SerialIo, ZeroTimeOutWithNothingWaitingFailsAtOnce) {
  unsigned char buf[64];
  long ms = ElapsedMs([&] { EXPECT_EQ(ReadData(buf, 64, 0), -1); });
  EXPECT_LT(ms, 50);
}

TEST_F(SerialIo, ReadTakesWhatHasArrivedAndLeavesTheRest) {
  sim.SplitReplies(1, 24, 150);
  ASSERT_EQ(WriteData(kStatusRequest, 1, 200), 1);
  unsigned char buf[64] = {0};
  EXPECT_EQ(ReadData(buf, 64, 200), 24);
  EXPECT_EQ(buf[0], 0x14);
  EXPECT_EQ(ReadData(buf, 64, 1000), 40);  // the second half, in a read of its own
}

TEST_F(SerialIo, NoLimitWaitsForALateReply) {
  sim.DelayReplies(1, 700);
  ASSERT_EQ(WriteData(kStatusRequest, 1, 200), 1);
  unsigned char buf[64] = {0};
  int n = 0;
  long ms = ElapsedMs([&] { n = ReadData(buf, 64, kNoTimeout); });
  EXPECT_EQ(n, 64);
  EXPECT_GE(ms, 500);
}

TEST_F(SerialIo, TimeOutIsHonouredWithinBounds) {
  sim.SetSilent(true);
  ASSERT_EQ(WriteData(kStatusRequest, 1, 200), 1);
  unsigned char buf[64];
  long ms = ElapsedMs([&] { EXPECT_EQ(ReadData(buf, 64, 300), -1); });
  EXPECT_GE(ms, 280);
  EXPECT_LT(ms, 1500);
}

TEST_F(SerialIo, SetDeviceTimeoutSettingWaitsForInputAndRecordsThePair) {
  long ms = ElapsedMs([] { SetDeviceTimeoutSetting(500, 200); });
  EXPECT_GE(ms, 450);
  EXPECT_LT(ms, 2000);
  EXPECT_EQ(g_nDeviceReadTimeout, 500);
  EXPECT_EQ(g_nDeviceWriteTimeout, 200);
  SetDeviceTimeoutSetting(100, 200);
  EXPECT_EQ(g_nDeviceReadTimeout, 100);
}

TEST_F(SerialIo, HighDescriptorNumbersWork) {
  // poll() has no FD_SETSIZE limit; a select() based wait would write past
  // its descriptor set here.
  struct rlimit limit;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
  const int high = 1500;
  if (limit.rlim_cur <= static_cast<rlim_t>(high)) {
    limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, 4096);
    if (limit.rlim_cur <= static_cast<rlim_t>(high) || setrlimit(RLIMIT_NOFILE, &limit) != 0)
      GTEST_SKIP() << "cannot raise the descriptor limit above " << high;
  }
  ASSERT_EQ(dup2(fd, high), high);
  g_hDevice = high;
  unsigned char reply[64] = {0};
  int length = 64;
  EXPECT_EQ(SendCommandEx(kStatusRequest, 1, reply, &length, 200), kExchangeOk);
  EXPECT_EQ(reply[0], 0x14);
  g_hDevice = fd;
  close(high);
}

TEST_F(SerialIo, RecordBlockReadValidatesTheMarker) {
  EXPECT_EQ(ReadDeviceHWInfo(), 1);
  EXPECT_EQ(0, memcmp(g_DeviceHWInfo + 5, "VRX", 3));

  sim.SetMarker("VRY");
  EXPECT_EQ(ReadDeviceHWInfo(), 0);
  EXPECT_EQ(0, memcmp(g_DeviceHWInfo + 5, "VRY", 3));  // the foreign block stays cached

  sim.SetMarker("VRX");
  sim.TruncateReplies(1, 63);
  EXPECT_EQ(ReadDeviceHWInfo(), 0);
  EXPECT_EQ(0, memcmp(g_DeviceHWInfo + 5, "VRX", 3));  // the partial block stays cached
  EXPECT_EQ(g_DeviceHWInfo[63], 0);
}

TEST_F(SerialIo, HostControlByteIsSentAlone) {
  sim.ClearLog();
  SwitchToDeviceControl();
  ASSERT_TRUE(sim.WaitForRequests(1, 1000));
  EXPECT_EQ(sim.Requests()[0], std::vector<uint8_t>({0x43}));
  EXPECT_TRUE(sim.HostControl());
}

TEST(Exchange, PartialWriteIsShortAndReadsNothing) {
  // A socket with a small send buffer stands in for a port whose output
  // queue is nearly full: the write takes only part of the request.
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  for (int fd : pair) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);  // (macOS has no SOCK_NONBLOCK)
  int small = 1;
  setsockopt(pair[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  unsigned char fill[4096];
  memset(fill, 0x55, sizeof fill);
  while (write(pair[0], fill, 1) == 1) {
  }
  // Make room for a few bytes only.
  unsigned char drain[64];
  ASSERT_GT(read(pair[1], drain, 8), 0);
  g_hDevice = pair[0];
  unsigned char request[4096];
  memset(request, 0x12, sizeof request);
  unsigned char reply[64];
  int rc = SendCommand(request, sizeof request, reply, 64, 200);
  g_hDevice = -1;
  close(pair[0]);
  close(pair[1]);
  // Either a short count (2) or no room at all before the time-out (1); never success.
  EXPECT_NE(rc, kExchangeOk);
}

TEST_F(SerialIo, ApiLockIsReentrantOnTheSameThread) {
  // A progress callback runs with the lock held and may call other entry points.
  CAutoCriticalSection outer(g_APICriticalSection);
  unsigned char reply[64] = {0};
  int length = 64;
  EXPECT_EQ(ZervSendCommandEx(kStatusRequest, 1, reply, &length), 0);
  EXPECT_EQ(reply[0], 0x14);
}

TEST_F(SerialIo, ApiLockKeepsOtherThreadsOut) {
  std::atomic<bool> done{false};
  std::thread other;
  {
    CAutoCriticalSection held(g_APICriticalSection);
    other = std::thread([&] {
      unsigned char reply[64];
      int length = 64;
      ZervSendCommandEx(kStatusRequest, 1, reply, &length);
      done = true;
    });
    usleep(150 * 1000);
    EXPECT_FALSE(done.load());
  }
  other.join();
  EXPECT_TRUE(done.load());
}
