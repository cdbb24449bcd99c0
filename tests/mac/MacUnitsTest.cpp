// The macOS device layer and ZervFree variant, on Linux: listing in name
// order, number parsing as sscanf "/dev/cu.usbmodem%d" reads it, the
// advisory write lock between processes, transfers that still time out when
// poll answers as macOS's may for a device, and ZervFree not waiting.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "Device.h"
#include "Device_mac.h"
#include "zervon.h"

namespace {

std::string ScratchDir() {
  char dir[] = "/tmp/zervon-mac-XXXXXX";
  return mkdtemp(dir) ? dir : "";
}

void Touch(const std::string& path) {
  int fd = open(path.c_str(), O_CREAT | O_WRONLY, 0600);
  ASSERT_NE(fd, -1);
  close(fd);
}

// Runs f in a child process and returns its exit code.
template <typename F>
int InChild(F f) {
  pid_t pid = fork();
  if (pid == 0) _exit(f());
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// While set, poll answers as macOS's poll may for a device it does not
// support: at once, with every descriptor "ready" and POLLNVAL.
std::atomic<bool> g_bPollSaysInvalid{false};

}  // namespace

// Stands in for the C library's poll in this program (the library's
// transfers call it); passes through unless g_bPollSaysInvalid is set.
extern "C" int poll(struct pollfd* fds, nfds_t count, int timeout) {
  if (g_bPollSaysInvalid.load()) {
    for (nfds_t i = 0; i < count; ++i) fds[i].revents = POLLNVAL;
    return static_cast<int>(count);
  }
  using PollFn = int (*)(struct pollfd*, nfds_t, int);
  static const PollFn real = reinterpret_cast<PollFn>(dlsym(RTLD_NEXT, "poll"));
  return real(fds, count, timeout);
}

TEST(MacListing, MatchesThePrefixInByteWiseNameOrder) {
  const std::string dir = ScratchDir();
  ASSERT_FALSE(dir.empty());
  for (const char* name : {"cu.usbmodem21", "cu.usbmodem1421", "tty.usbmodem3", "cu.usbmodemFD1",
                           "cu.usbmodem3", "cu.usbserial1"}) {
    Touch(dir + "/" + name);
  }
  symlink("/nonexistent", (dir + "/cu.usbmodem9").c_str());  // a dangling link is listed too
  const auto nodes = ListDeviceNodes(dir.c_str(), "cu.usbmodem");
  ASSERT_EQ(nodes.size(), 5u);
  EXPECT_EQ(nodes[0], dir + "/cu.usbmodem1421");
  EXPECT_EQ(nodes[1], dir + "/cu.usbmodem21");
  EXPECT_EQ(nodes[2], dir + "/cu.usbmodem3");
  EXPECT_EQ(nodes[3], dir + "/cu.usbmodem9");
  EXPECT_EQ(nodes[4], dir + "/cu.usbmodemFD1");
  EXPECT_TRUE(ListDeviceNodes("/nonexistent/zervon", "cu.").empty());
  system(("rm -rf " + dir).c_str());
}

TEST(MacListing, NumbersAreReadAsTheNodePatternReadsThem) {
  int n = -1;
  EXPECT_EQ(ParseDeviceNumber("/dev/cu.usbmodem1421", &n), 1);
  EXPECT_EQ(n, 1421);
  EXPECT_EQ(ParseDeviceNumber("/dev/cu.usbmodem7abc", &n), 1);
  EXPECT_EQ(n, 7);
  EXPECT_EQ(ParseDeviceNumber("/dev/cu.usbmodem-3", &n), 1);
  EXPECT_EQ(n, -3);
  // No number: the previous value stays.
  EXPECT_EQ(ParseDeviceNumber("/dev/cu.usbmodemFD1", &n), 0);
  EXPECT_EQ(ParseDeviceNumber("/dev/cu.usbmodem", &n), 0);
  EXPECT_EQ(ParseDeviceNumber("/dev/tty.usbmodem5", &n), 0);
  EXPECT_EQ(ParseDeviceNumber("/dev/cu.usbmodem99999999999", &n), 0);  // out of range
  EXPECT_EQ(n, -3);
  EXPECT_EQ(ParseDeviceNumber(nullptr, &n), 0);
  char path[64];
  FormatDevicePath(path, sizeof path, 12);
  EXPECT_STREQ(path, "/dev/cu.usbmodem12");
}

TEST(MacLock, WriteLockRefusesOtherProcessesUntilReleased) {
  const std::string dir = ScratchDir();
  const std::string file = dir + "/port";
  Touch(file);
  int fd = open(file.c_str(), O_RDWR);
  ASSERT_NE(fd, -1);
  ASSERT_EQ(LockDevice(fd), 1);
  EXPECT_EQ(LockDevice(fd), 1);  // the holder may renew it
  auto tryInChild = [&] {
    return InChild([&] {
      int other = open(file.c_str(), O_RDWR);
      return LockDevice(other);
    });
  };
  EXPECT_EQ(tryInChild(), 0);
  // Released the way the port's unlock does it.
  struct flock unlock = {};
  unlock.l_type = F_UNLCK;
  unlock.l_whence = SEEK_SET;
  ASSERT_EQ(fcntl(fd, F_SETLK, &unlock), 0);
  EXPECT_EQ(tryInChild(), 1);
  EXPECT_EQ(LockDevice(-1), 0);
  close(fd);
  // It works on a terminal as well.
  int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_NE(master, -1);
  grantpt(master);
  unlockpt(master);
  int tty = open(ptsname(master), O_RDWR | O_NOCTTY);
  ASSERT_NE(tty, -1);
  EXPECT_EQ(LockDevice(tty), 1);
  close(tty);
  close(master);
  system(("rm -rf " + dir).c_str());
}

TEST(MacPort, TransfersTimeOutWhenPollKeepsReportingReady) {
  // A port with nothing to read: a non-blocking pipe. Each read runs in a
  // child process that an alarm ends if the read never returns.
  int fds[2];
  ASSERT_EQ(pipe2(fds, O_NONBLOCK), 0);
  auto timedRead = [&](unsigned timeoutMs) {
    return InChild([&] {
      alarm(10);
      g_hDevice = fds[0];
      g_bPollSaysInvalid = true;
      unsigned char buffer[64];
      const auto start = std::chrono::steady_clock::now();
      const int n = ReadData(buffer, sizeof buffer, timeoutMs);
      const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::now() - start).count();
      if (n == -1) return ms >= timeoutMs - 20 && ms < timeoutMs + 3000 ? 100 : 101;
      return n;  // the byte count read
    });
  };
  EXPECT_EQ(timedRead(300), 100);  // -1 after about the time-out, not a hang
  // Bytes that are there are still read.
  ASSERT_EQ(write(fds[1], "abc", 3), 3);
  EXPECT_EQ(timedRead(300), 3);
  close(fds[0]);
  close(fds[1]);
}

TEST(MacFree, ZervFreeReturnsWithoutWaitingForTheThread) {
  // No "/dev/cu.usbmodem*" node exists here: the thread's search fails at
  // once and it pauses one second, during which ZervFree is called.
  ASSERT_TRUE(ZervInit(nullptr));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const auto start = std::chrono::steady_clock::now();
  ZervFree();
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - start).count();
  EXPECT_LT(ms, 300);
  EXPECT_EQ(DeviceIsAlive(), 0);  // no path recorded
  // Let the thread end by itself before the program does.
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
}
