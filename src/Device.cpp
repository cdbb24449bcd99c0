// Serial port I/O on the POSIX builds (Linux and macOS): the open port's
// globals and the timed single transfers on it.
#include "stdafx.h"
#include "Device.h"
#include "Protocol.h"

#include <aio.h>
#include <poll.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

DeviceHandle g_hDevice = -1;
char g_szDevicePath[512] = {0};
int g_nDeviceReadTimeout = 100;
int g_nDeviceWriteTimeout = 200;

namespace {

// Monotonic milliseconds: a change of the wall clock neither stretches nor
// cuts a transfer's time-out.
int64_t NowMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// A transfer's time-out as a deadline; kNoTimeout waits without limit.
struct Deadline {
  explicit Deadline(unsigned timeoutMs)
      : infinite(timeoutMs == kNoTimeout), at(NowMs() + timeoutMs) {}
  // Time left for poll(): -1 for no limit, else 0 or more.
  int LeftMs() const {
    if (infinite) return -1;
    int64_t left = at - NowMs();
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

void SleepMs(long ms) {
  struct timespec req = {ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&req, &req) == -1 && errno == EINTR) {
  }
}

// One readiness wait and one transfer call, the shape shared by ReadData and
// WriteData. `transfer` returns what read()/write() return.
template <typename Transfer>
int TimedTransfer(short events, unsigned timeoutMs, Transfer transfer) {
  const int fd = static_cast<int>(g_hDevice);
  if (g_hDevice == -1) return -1;
  const Deadline deadline(timeoutMs);
  for (;;) {
    if (WaitReady(fd, events, deadline) != 1) return -1;
    ssize_t n = transfer(fd);  // byte count (0 included), or -1 with errno
    if (n >= 0) return static_cast<int>(n);
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
    // Ready but nothing to move after all: back off so a busy port does not
    // spin, then wait again within the same time-out.
    SleepMs(10);
  }
}

}  // namespace

int ReadData(unsigned char* buffer, int size, unsigned timeoutMs) {
  if (size < 0) return -1;
  return TimedTransfer(POLLIN, timeoutMs, [&](int fd) { return read(fd, buffer, size); });
}

int WriteData(unsigned char* data, int size, unsigned timeoutMs) {
  if (size < 0) return -1;
  return TimedTransfer(POLLOUT, timeoutMs, [&](int fd) { return write(fd, data, size); });
}

void DiscardInput() {
  if (g_hDevice == -1) return;
  // Fails with ENOTTY on a descriptor that is no terminal; nothing to drop then.
  tcflush(static_cast<int>(g_hDevice), TCIFLUSH);
}

int DeviceIsConnected() { return g_hDevice != -1 ? 1 : 0; }

int DeviceCheckPath(char* path) {
  if (path == nullptr || g_szDevicePath[0] == '\0') return 0;
  return strcmp(g_szDevicePath, path) == 0 ? 1 : 0;
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

int IsTargetDevice() { return ReadDeviceHWInfo(); }
