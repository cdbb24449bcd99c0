// Discovery, the lock file and the port's life, with the real node and lock
// paths inside the scratch namespace.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <memory>

#include "Device.h"
#include "InstrumentFixture.h"
#include "NamespaceSupport.h"
#include "Protocol.h"

namespace {

class Discovery : public ::testing::Test {
 protected:
  void SetUp() override { REQUIRE_NAMESPACE(); }
  void TearDown() override {
    DeviceClose();
    rack.Clear();
  }

  zsim::VirtualInstrument& PlugAt(int n) { return rack.PlugAt(n); }

  InstrumentRack rack;
};

}  // namespace

TEST_F(Discovery, NumberedSearchTouchesOnlyThatNode) {
  auto& two = PlugAt(2);
  auto& three = PlugAt(3);
  ASSERT_EQ(FindDevice(3), 1);
  EXPECT_STREQ(g_szDevicePath, "/dev/ttyACM3");
  EXPECT_EQ(two.RequestCount(), 0u);
  EXPECT_GE(three.RequestCount(), 1u);
  EXPECT_EQ(FileBytes(LockPath(3)), PidBytes(getpid()));
  EXPECT_EQ(access(LockPath(2).c_str(), F_OK), -1);
}

TEST_F(Discovery, SearchTakesTheLowestInstrumentAndSkipsForeignDevices) {
  auto& foreign = PlugAt(1);
  foreign.SetMarker("ABC");
  PlugAt(4);
  PlugAt(6);
  ASSERT_EQ(FindDevice(-1), 1);
  EXPECT_STREQ(g_szDevicePath, "/dev/ttyACM4");
  // The foreign device was probed, closed, and its lock file removed.
  EXPECT_GE(foreign.RequestCount(), 1u);
  EXPECT_EQ(access(LockPath(1).c_str(), F_OK), -1);
  EXPECT_EQ(LockFiles(), 1);
}

TEST_F(Discovery, SilentDeviceIsSkipped) {
  PlugAt(0).SetSilent(true);
  PlugAt(1);
  ASSERT_EQ(FindDevice(-1), 1);
  EXPECT_STREQ(g_szDevicePath, "/dev/ttyACM1");
  EXPECT_EQ(access(LockPath(0).c_str(), F_OK), -1);
}

TEST_F(Discovery, NoInstrumentFailsAfterTheOneSecondPause) {
  long ms = ElapsedMs([] { EXPECT_EQ(DeviceConnect(-1, 1), 0); });
  EXPECT_GE(ms, 900);
  EXPECT_LT(ms, 3000);
  EXPECT_EQ(g_hDevice, -1);
  EXPECT_EQ(DeviceConnect(-1, 0), 0);
}

TEST_F(Discovery, LockAndPortAreHeldWhileOpenAndReleasedByClose) {
  auto& sim = PlugAt(0);
  ASSERT_EQ(DeviceConnect(0, 1), 1);
  EXPECT_EQ(FileBytes(LockPath(0)), PidBytes(getpid()));
  struct stat st;
  ASSERT_EQ(stat(LockPath(0).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  // Neither the port nor the lock file reaches a child process.
  EXPECT_TRUE(fcntl(static_cast<int>(g_hDevice), F_GETFD) & FD_CLOEXEC);
  EXPECT_TRUE(fcntl(g_nLockFile, F_GETFD) & FD_CLOEXEC);
  // Held against every program: exclusive mode (further opens by anyone but
  // root fail with EBUSY) and the descriptor's flock().
  const int other = open(NodePath(0).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(other, 0);
  // TIOCGEXCL reads the mode; qemu-user does not pass it on (-1), and the
  // foreign suites then check the flock() alone.
  int exclusive = 0;
  const bool canReadMode = ioctl(other, TIOCGEXCL, &exclusive) == 0;
  if (canReadMode) {
    EXPECT_EQ(exclusive, 1);
  }
  EXPECT_EQ(flock(other, LOCK_EX | LOCK_NB), -1);
  EXPECT_EQ(errno, EWOULDBLOCK);
  const std::string terminal = sim.SlavePath();
  chmod(terminal.c_str(), 0666);
  pid_t child = fork();
  if (child == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
    int fd = open(terminal.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd == -1 && errno == EACCES) _exit(2);  // the terminal is out of this user's reach here
    _exit(fd == -1 && errno == EBUSY ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  if (WEXITSTATUS(status) != 2) {
    EXPECT_EQ(WEXITSTATUS(status), 0) << "another user opened the held port";
  }
  DeviceClose();
  if (canReadMode) {
    ASSERT_EQ(ioctl(other, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0);
  }
  EXPECT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
  close(other);
  EXPECT_EQ(access(LockPath(0).c_str(), F_OK), -1);
  EXPECT_EQ(g_hDevice, -1);
  EXPECT_EQ(g_nLockFile, -1);
  EXPECT_STREQ(g_szDevicePath, "");
  EXPECT_EQ(g_szLockFilePath[0], '\0');
  DeviceClose();  // a second close does nothing
  EXPECT_EQ(g_hDevice, -1);
}

TEST_F(Discovery, StaleLockIsTakenOver) {
  PlugAt(0);
  for (int32_t recorded : {DeadPid(), 0, -5}) {
    WriteFileBytes(LockPath(0), PidBytes(recorded));
    ASSERT_EQ(FindDevice(0), 1) << "recorded pid " << recorded;
    EXPECT_EQ(FileBytes(LockPath(0)), PidBytes(getpid()));
    DeviceClose();
  }
}

TEST_F(Discovery, LiveLockIsRespectedAndLeftUnchanged) {
  auto& sim = PlugAt(0);
  pid_t holder = fork();
  if (holder == 0) {
    pause();
    _exit(0);
  }
  WriteFileBytes(LockPath(0), PidBytes(holder));
  EXPECT_EQ(FindDevice(0), 0);
  EXPECT_EQ(FileBytes(LockPath(0)), PidBytes(holder));
  EXPECT_EQ(sim.RequestCount(), 0u);  // never asked: the port was not ours
  // Our own process counts as a live holder too.
  WriteFileBytes(LockPath(0), PidBytes(getpid()));
  EXPECT_EQ(FindDevice(0), 0);
  kill(holder, SIGKILL);
  waitpid(holder, nullptr, 0);
  // Its owner gone, the lock is stale and is taken over.
  WriteFileBytes(LockPath(0), PidBytes(holder));
  EXPECT_EQ(FindDevice(0), 1);
}

// Another program's hold on a port: a flock() on it, or a UUCP lock file of a
// live process. The port is left alone with nothing sent; a stale UUCP lock
// is ignored and left in place.
TEST_F(Discovery, PortThatAnotherProgramHoldsIsSkippedWithNothingSent) {
  auto& sim = PlugAt(0);
  const int other = open(NodePath(0).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
  EXPECT_EQ(FindDevice(0), 0);
  EXPECT_EQ(access(LockPath(0).c_str(), F_OK), -1);
  close(other);
  const std::string uucp = "/var/lock/LCK..ttyACM0";
  pid_t holder = fork();
  if (holder == 0) {
    pause();
    _exit(0);
  }
  char text[16];
  snprintf(text, sizeof text, "%10d\n", static_cast<int>(holder));
  WriteFileBytes(uucp, text, 0644);
  EXPECT_EQ(FindDevice(0), 0);
  WriteFileBytes(uucp, PidBytes(holder), 0644);  // the older binary form
  EXPECT_EQ(FindDevice(0), 0);
  EXPECT_EQ(sim.RequestCount(), 0u);
  kill(holder, SIGKILL);
  waitpid(holder, nullptr, 0);
  // A probe may miss its reply time-out on a loaded machine: a few attempts.
  EXPECT_EQ(DeviceConnect(0, 3), 1);
  EXPECT_EQ(FileBytes(uucp), PidBytes(holder));
  DeviceClose();
  // A stale lock in the raw form whose ID has a digit's code in its low
  // byte: read as raw it is no process; read as the text "1" it would be init.
  WriteFileBytes(uucp, PidBytes(0x3FFF31), 0644);
  EXPECT_EQ(DeviceConnect(0, 3), 1);
  unlink(uucp.c_str());
}

TEST_F(Discovery, ShortLockFileIsRefusedAndLeftInPlace) {
  PlugAt(0);
  for (std::string content : {std::string(), std::string("\x01\x02\x03", 3)}) {
    WriteFileBytes(LockPath(0), content);
    EXPECT_EQ(FindDevice(0), 0);
    EXPECT_EQ(FileBytes(LockPath(0)), content);
  }
  unlink(LockPath(0).c_str());
}

TEST_F(Discovery, AnotherUsersLiveProcessHoldsItsLock) {
  // kill(pid, 0) answers EPERM for a process of another user: it is alive.
  // Checked from a child that gives up root, against a lock of process 1.
  WriteFileBytes(LockPath(9), PidBytes(1), 0666);
  pid_t child = fork();
  if (child == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
    if (kill(1, 0) == 0 || errno != EPERM) _exit(3);  // cannot set the case up here
    _exit(LockDeviceFile(9) == 0 ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) >= 2) GTEST_SKIP() << "cannot run as another user here";
  EXPECT_EQ(WEXITSTATUS(status), 0) << "a live lock of another user was taken";
  EXPECT_EQ(FileBytes(LockPath(9)), PidBytes(1));
  unlink(LockPath(9).c_str());
}

TEST_F(Discovery, UnwritableLockDirectoryRefusesEveryPort) {
  PlugAt(0);
  if (mount(nullptr, "/var/lock", nullptr, MS_REMOUNT | MS_RDONLY, nullptr) != 0)
    GTEST_SKIP() << "cannot remount the lock directory read-only";
  int found = FindDevice(-1);
  mount(nullptr, "/var/lock", nullptr, MS_REMOUNT, nullptr);
  EXPECT_EQ(found, 0);
  EXPECT_EQ(g_hDevice, -1);
}

TEST_F(Discovery, LivenessFollowsTheNode) {
  EXPECT_EQ(DeviceIsAlive(), 0);  // no path recorded
  auto& sim = PlugAt(5);
  ASSERT_EQ(FindDevice(5), 1);
  EXPECT_EQ(DeviceIsAlive(), 1);
  // A link whose terminal is gone is still listed.
  unlink(NodePath(5).c_str());
  ASSERT_EQ(symlink("/dev/pts/nonexistent", NodePath(5).c_str()), 0);
  EXPECT_EQ(DeviceIsAlive(), 1);
  unlink(NodePath(5).c_str());
  EXPECT_EQ(DeviceIsAlive(), 0);
  sim.Plug(NodePath(5));
  EXPECT_EQ(DeviceIsAlive(), 1);  // back under the same name counts as alive
}
