// Device layer of the POSIX builds (Linux and macOS): the open port's
// globals, the timed single transfers on it, the settling of its input, the
// lock file, and probing, opening and closing a candidate port. What differs
// between Linux and macOS (node names, the search, the liveness test, the
// port lock) lives in Device_linux.cpp and Device_mac.cpp; what every build
// shares, in Device.cpp.
#include "stdafx.h"
#include "Device.h"
#include "Platform.h"
#include "zervon_platform.h"

#include <aio.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

DeviceHandle g_hDevice = -1;
char g_szDevicePath[512] = {0};
int g_nDeviceReadTimeout = 100;
int g_nDeviceWriteTimeout = 200;

namespace {

using zervon_detail::MonotonicMs;

// A transfer's time-out as a deadline; kNoTimeout waits without limit.
struct Deadline {
  explicit Deadline(unsigned timeoutMs)
      : infinite(timeoutMs == kNoTimeout), at(MonotonicMs() + timeoutMs) {}
  // Time left for poll(): -1 for no limit, else 0 or more.
  int LeftMs() const {
    if (infinite) return -1;
    int64_t left = at - MonotonicMs();
    if (left <= 0) return 0;
    return left > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(left);
  }
  bool infinite;
  int64_t at;
};

// Waits until `fd` is ready for `events`. poll() has no descriptor-number
// limit (select() corrupts memory at FD_SETSIZE and above), and a signal that
// interrupts it (EINTR, e.g. a timer of the application) resumes the wait
// with the time that is left. Result: 1 ready, 0 timed out, -1 error.
int WaitReady(int fd, short events, const Deadline& deadline) {
  for (;;) {
    struct pollfd pfd = {fd, events, 0};
    int rc = poll(&pfd, 1, deadline.LeftMs());  // count of ready fds, 0 on time-out, -1 on error
    if (rc > 0) return 1;
    if (rc == 0) return 0;
    if (errno != EINTR) return -1;
  }
}

// One readiness wait and one transfer call, the shape shared by ReadData and
// WriteData. `transfer` returns what read()/write() return. With
// `tryFirst` the transfer is attempted before the first wait: a port that is
// ready already (a write to the instrument nearly always is) then costs no
// readiness call, and one that is not answers EAGAIN and is waited for as
// usual.
template <typename Transfer>
int TimedTransfer(short events, unsigned timeoutMs, bool tryFirst, Transfer transfer) {
  const int fd = static_cast<int>(g_hDevice);
  if (g_hDevice == -1) return -1;
  const Deadline deadline(timeoutMs);
  if (tryFirst) {
    ssize_t n = transfer(fd);  // byte count (0 included), or -1 with errno
    if (n >= 0) return static_cast<int>(n);
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return -1;
  }
  for (;;) {
    if (WaitReady(fd, events, deadline) != 1) return -1;
    ssize_t n = transfer(fd);  // byte count (0 included), or -1 with errno
    if (n >= 0) return static_cast<int>(n);
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
    // Ready but nothing to move after all: back off so a busy port does not
    // spin, then wait again within the same time-out. The time-out is tested
    // here too: a poll that keeps reporting the port ready while nothing can
    // be read (macOS's poll can answer so for a device, with POLLNVAL) would
    // otherwise never let the transfer time out.
    if (deadline.LeftMs() == 0) return -1;
    SleepEx(10);
  }
}

// ---- Settling after an incomplete reply ----

constexpr unsigned kSettleLimitMs = 1000;

// Drops input until none has arrived for the quiet interval, never waiting
// longer than that interval plus kSettleLimitMs from now; a port that keeps
// talking is cut off there. One byte-draining read per wake-up, so a
// blocking descriptor of the application never blocks here.
void SettleInput(int fd) {
  const int64_t quiet = QuietIntervalMs();
  const int64_t limit = MonotonicMs() + quiet + kSettleLimitMs;
  int64_t quietUntil = UnsettledSinceMs() + quiet;
  unsigned char scratch[256];
  for (;;) {
    const int64_t now = MonotonicMs();
    const int64_t until = quietUntil < limit ? quietUntil : limit;
    if (now >= until) break;
    struct pollfd pfd = {fd, POLLIN, 0};
    int rc = poll(&pfd, 1, static_cast<int>(until - now));  // ready count, 0 on time-out, -1 on error
    if (rc == 0) break;  // quiet for the whole interval
    if (rc < 0) {
      if (errno == EINTR) continue;
      break;
    }
    ssize_t n = read(fd, scratch, sizeof scratch);  // byte count, 0 at end of file, or -1
    if (n > 0) {
      quietUntil = MonotonicMs() + quiet;
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) &&
        !(pfd.revents & (POLLHUP | POLLERR | POLLNVAL))) {
      SleepEx(1);  // reported ready with nothing to read: do not spin
      continue;
    }
    break;  // hung up or failed: nothing more is coming
  }
  // Fails with ENOTTY on a descriptor that is no terminal; nothing to drop then.
  tcflush(fd, TCIFLUSH);
  MarkPortSettled();
}

}  // namespace

int ReadData(unsigned char* buffer, int size, unsigned timeoutMs) {
  if (size < 0) return -1;
  if (g_hDevice == -1) return -1;
  const int n =
      TimedTransfer(POLLIN, timeoutMs, false, [&](int fd) { return read(fd, buffer, size); });
  NoteReadOutcome(n, size, timeoutMs);
  return n;
}

int WriteData(unsigned char* data, int size, unsigned timeoutMs) {
  if (size < 0) return -1;
  return TimedTransfer(POLLOUT, timeoutMs, true, [&](int fd) { return write(fd, data, size); });
}

void DiscardInput() {
  if (g_hDevice == -1) return;
  const int fd = static_cast<int>(g_hDevice);
  if (QuietIntervalMs() != 0) {
    SettleInput(fd);
    return;
  }
  // Most exchanges find nothing waiting: a zero-time poll says so more
  // cheaply than the flush. Input arriving after either look is the same
  // race, so both drop exactly what is there when the request goes out.
  struct pollfd pfd = {fd, POLLIN, 0};
  if (poll(&pfd, 1, 0) == 0) return;  // 0: nothing readable, no hang-up
  // Fails with ENOTTY on a descriptor that is no terminal; nothing to drop then.
  tcflush(fd, TCIFLUSH);
}

void DeviceCancelIO() {
  if (g_hDevice == -1) return;
  aio_cancel(static_cast<int>(g_hDevice), nullptr);  // AIO_CANCELED/AIO_ALLDONE/-1; not used
}

void SetDeviceTimeoutSetting(unsigned readMs, unsigned writeMs) {
  g_nDeviceReadTimeout = static_cast<int>(readMs);
  g_nDeviceWriteTimeout = static_cast<int>(writeMs);
  if (g_hDevice == -1) return;
  const int fd = static_cast<int>(g_hDevice);
  WaitReady(fd, POLLIN, Deadline(readMs));
  WaitReady(fd, POLLOUT, Deadline(writeMs));
}

void ConfigurePort(DeviceHandle handle) {
  const int fd = static_cast<int>(handle);
  struct termios tio;
  memset(&tio, 0, sizeof tio);
  tcgetattr(fd, &tio);  // 0 or -1; a failure leaves the zeroed record
  tio.c_iflag |= IGNPAR;
  tio.c_iflag &= ~static_cast<tcflag_t>(ICRNL | IXON);
  tio.c_oflag &= ~static_cast<tcflag_t>(OPOST | ONLCR);
  tio.c_cflag &= ~static_cast<tcflag_t>(CLOCAL);
  tio.c_lflag = 0;
  tio.c_cc[VEOF] = 4;
  cfsetospeed(&tio, B115200);
  tcsetattr(fd, TCSANOW, &tio);  // 0 or -1; ignored
}


// ---- Port lifecycle: discovery, lock file, close ----

int g_nLockFile = -1;
char g_szLockFilePath[128] = {0};
int g_nKeptLockFile = -1;
char g_szKeptLockFilePath[128] = {0};

namespace {

// Reads the 4-byte process ID recorded in an existing lock file and tells
// whether the lock is stale (its owner is gone). Result: 1 stale, 0 held by a
// live process, -1 the file is unreadable or too short (left in place).
int ProbeExistingLock(const char* path) {
  int fd = open(path, O_RDWR | O_CLOEXEC);  // descriptor, or -1
  if (fd == -1) return -1;
  int32_t pid = 0;
  ssize_t n = read(fd, &pid, sizeof pid);  // byte count, or -1
  close(fd);
  if (n != static_cast<ssize_t>(sizeof pid)) return -1;
  // A recorded ID of 0 or below names no process: nobody owns the lock.
  if (pid <= 0) return 1;
  if (kill(static_cast<pid_t>(pid), 0) == 0) return 0;  // 0: the process exists
  // EPERM: it exists but belongs to another user, so the lock is live.
  return errno == EPERM ? 0 : 1;
}

}  // namespace

int LockDeviceFile(int port) {
  char path[128];
  snprintf(path, sizeof path, "/var/lock/torvanel.ACM%d.lock", port);
  // The lock file kept for this very port while the port was closed (the
  // burner's restart) is still ours: it is taken up again as it is, so no
  // other process can slip in between giving it up and retaking it.
  if (g_nKeptLockFile != -1 && strcmp(g_szKeptLockFilePath, path) == 0) {
    UnlockDeviceFile();
    g_nLockFile = g_nKeptLockFile;
    memcpy(g_szLockFilePath, g_szKeptLockFilePath, sizeof g_szLockFilePath);
    g_nKeptLockFile = -1;
    memset(g_szKeptLockFilePath, 0, sizeof g_szKeptLockFilePath);
    return 1;
  }
  for (int pass = 0; pass < 2; ++pass) {
    int fd = open(path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);  // descriptor, or -1
    if (fd != -1) {
      int32_t pid = static_cast<int32_t>(getpid());
      if (write(fd, &pid, sizeof pid) == static_cast<ssize_t>(sizeof pid)) {
        // One lock file per process: one still kept for another port (the
        // burn keeps it across the instrument's restart, which may bring the
        // instrument back under another number) is given up.
        UnlockDeviceFile();
        g_nLockFile = fd;
        memset(g_szLockFilePath, 0, sizeof g_szLockFilePath);
        snprintf(g_szLockFilePath, sizeof g_szLockFilePath, "%s", path);
        return 1;
      }
      close(fd);
      unlink(path);
      return 0;
    }
    if (errno != EEXIST) return 0;  // e.g. a lock directory we may not write
    int verdict = ProbeExistingLock(path);
    if (verdict == 0) return 0;  // held by a live process
    if (verdict == 1) unlink(path);  // stale: remove it and create it anew
    // unreadable or short: left in place, tried once more
  }
  return 0;
}

namespace {

// Closes and removes one lock file slot's file, if it holds one.
void ReleaseLockFile(int& descriptor, char (&path)[128]) {
  if (descriptor == -1) return;
  close(descriptor);
  descriptor = -1;
  unlink(path);
  memset(path, 0, sizeof path);
}

}  // namespace

void UnlockDeviceFile() { ReleaseLockFile(g_nLockFile, g_szLockFilePath); }

void ReleaseKeptLockFile() { ReleaseLockFile(g_nKeptLockFile, g_szKeptLockFilePath); }

namespace {

// Whether SetPortExclusive succeeded on the open port, so that only what
// this process set is undone (the exclusive mode that another program set on
// a port that discovery then rejects stays as it is).
bool g_bPortExclusive = false;

// Undoes LockDevice on the open port. Of the fcntl() lock (macOS) and the
// flock() (Linux) each build took one; releasing the other fails harmlessly
// (0 or -1, nothing to undo either way). The exclusive mode is a flag of the
// terminal, not of this descriptor: it would outlive the close while anyone
// else keeps the terminal open, so it is cleared.
void UnlockPort() {
  if (g_hDevice == -1) return;
  const int fd = static_cast<int>(g_hDevice);
  struct flock unlock;
  memset(&unlock, 0, sizeof unlock);
  unlock.l_type = F_UNLCK;
  unlock.l_whence = SEEK_SET;
  fcntl(fd, F_SETLK, &unlock);
  flock(fd, LOCK_UN);
  if (!g_bPortExclusive) return;
  g_bPortExclusive = false;
  ioctl(fd, TIOCNXCL);  // 0 or -1
}

}  // namespace

void SetPortExclusive(int descriptor) {
  // 0, or -1 (ENOTTY on a descriptor that is no terminal: nothing to hold).
  if (ioctl(descriptor, TIOCEXCL) == 0) g_bPortExclusive = true;
}

void UnlockDevice() {
  UnlockDeviceFile();
  UnlockPort();
}

void DeviceRelease() {
  DeviceClose();
  UnlockDeviceFile();
  ReleaseKeptLockFile();
  memset(g_szDevicePath, 0, sizeof g_szDevicePath);
}

void DeviceAdoptHandle(DeviceHandle handle) {
  // The same port handed over again keeps what is known of it: a late reply
  // may still be on its way there, and the exclusive mode this process set
  // is still its own to clear.
  if (handle == g_hDevice) return;
  MarkPortSettled();
  g_hDevice = handle;
  g_bPortExclusive = false;  // the application's port: never changed here
}

void DeviceDropPort() {
  if (g_hDevice == -1) return;
  UnlockPort();
  CloseHandle(g_hDevice);
  g_hDevice = -1;
  MarkPortSettled();
  // The lock file moves aside, where probes of other ports (which take and
  // give up the current one) leave it alone.
  if (g_nLockFile == -1) return;
  ReleaseKeptLockFile();
  g_nKeptLockFile = g_nLockFile;
  memcpy(g_szKeptLockFilePath, g_szLockFilePath, sizeof g_szKeptLockFilePath);
  g_nLockFile = -1;
  memset(g_szLockFilePath, 0, sizeof g_szLockFilePath);
}

void DeviceClose() {
  if (g_hDevice == -1) return;
  UnlockDevice();
  memset(g_szDevicePath, 0, sizeof g_szDevicePath);
  CloseHandle(g_hDevice);
  g_hDevice = -1;
  MarkPortSettled();
}

int DoFindDevice(int port) {
  char path[512] = {0};
  FormatDevicePath(path, sizeof path, port);
  // A port that another program has announced as its own is left alone.
  if (IsPortLockedElsewhere(port)) return 0;
  // Close-on-exec: a child process of the application must not inherit the
  // instrument. A port that another program holds in exclusive mode fails
  // here with EBUSY.
  int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);  // descriptor, or -1
  g_hDevice = fd;
  MarkPortSettled();
  if (fd == -1) return 0;
  if (!LockDeviceFile(port) || !LockDevice(fd)) {
    DeviceClose();
    return 0;
  }
  DeviceCancelIO();
  ConfigurePort(fd);
  if (IsTargetDevice()) {
    memcpy(g_szDevicePath, path, sizeof g_szDevicePath);
    ReleaseKeptLockFile();  // found under another node: the old one is free
    return 1;
  }
  DeviceClose();
  return 0;
}
