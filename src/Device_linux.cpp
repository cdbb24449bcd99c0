// Device layer, Linux: the instrument is one of the nodes "/dev/ttyACM0" to
// "/dev/ttyACM127".
#include "stdafx.h"
#include "Device.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <cctype>
#include <climits>
#include <sys/stat.h>

#include "SimpleCriticalSection.h"

namespace {
constexpr int kHighestPort = 127;
}  // namespace

void FormatDevicePath(char* buffer, size_t size, int port) {
  snprintf(buffer, size, "/dev/ttyACM%d", port);
}

int DevicePortOfPath(const char* path) {
  static const char kStem[] = "/dev/ttyACM";
  if (path == nullptr || strncmp(path, kStem, sizeof kStem - 1) != 0) return -1;
  const char* digits = path + sizeof kStem - 1;
  if (!isdigit(static_cast<unsigned char>(digits[0]))) return -1;
  char* end = nullptr;
  errno = 0;
  const long value = strtol(digits, &end, 10);
  if (*end != '\0' || errno == ERANGE || value > INT_MAX) return -1;
  return static_cast<int>(value);
}

int LockDevice(int descriptor) {
  // 0, or -1 with EWOULDBLOCK when another open file of the port holds the
  // lock. Other errors (a file system without flock) do not stop the port.
  if (flock(descriptor, LOCK_EX | LOCK_NB) == -1 && errno == EWOULDBLOCK) return 0;
  SetPortExclusive(descriptor);
  return 1;
}

int IsPortLockedElsewhere(int port) {
  char path[64];
  snprintf(path, sizeof path, "/var/lock/LCK..ttyACM%d", port);
  int fd = open(path, O_RDONLY | O_CLOEXEC);  // descriptor, or -1
  if (fd == -1) return 0;
  char text[32] = {0};
  ssize_t n = read(fd, text, sizeof text - 1);  // byte count, or -1
  close(fd);
  if (n <= 0) return 0;
  // The usual form is the process ID as text ("%10d\n"); some older programs
  // wrote it as 4 raw bytes. Four bytes that are all digits, blanks or line
  // ends are text: as raw bytes they would be a number far above any process
  // ID the kernel hands out (at most 2^22), whereas a raw ID may well have a
  // digit's code in its low byte.
  bool asText = n != 4;
  if (!asText) {
    asText = true;
    for (int i = 0; i < 4; ++i) {
      const unsigned char c = static_cast<unsigned char>(text[i]);
      if (!isdigit(c) && c != ' ' && c != '\n') asText = false;
    }
  }
  long pid = 0;
  if (!asText) {
    int32_t raw = 0;
    memcpy(&raw, text, sizeof raw);
    pid = raw;
  } else {
    pid = strtol(text, nullptr, 10);  // skips leading blanks; 0 when no digits
  }
  if (pid <= 0 || pid > INT32_MAX) return 0;
  if (kill(static_cast<pid_t>(pid), 0) == 0) return 1;  // 0: the process exists
  return errno == EPERM ? 1 : 0;  // EPERM: it exists, under another user
}

int FindDevice(int port) {
  if (port != -1) {
    CAutoCriticalSection guard(g_APICriticalSection);
    return DoFindDevice(port);
  }
  // In ascending order; a missing node fails at once at its open.
  for (int n = 0; n <= kHighestPort; ++n) {
    CAutoCriticalSection guard(g_APICriticalSection);
    if (DoFindDevice(n)) return 1;
  }
  return 0;
}

int DeviceIsAlive() {
  if (g_szDevicePath[0] == '\0') return 0;
  // Whether "/bin/ls /dev/ttyACM*" would list the node, without starting a
  // shell from a threaded library: lstat (not stat), because a link whose
  // target is gone is still listed.
  struct stat st;
  if (lstat(g_szDevicePath, &st) != 0) return 0;  // 0 when it exists, -1 otherwise
  // The node may be listed again already (the instrument pulled and plugged
  // back under the same number between two looks of the monitor) while the
  // port this process holds was hung up for good: that port is gone too, or
  // the library would stay on it for ever.
  if (g_hDevice != -1) {
    struct pollfd pfd = {static_cast<int>(g_hDevice), 0, 0};
    if (poll(&pfd, 1, 0) == 1 && (pfd.revents & (POLLHUP | POLLERR | POLLNVAL))) return 0;
  }
  return 1;
}
