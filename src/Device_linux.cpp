// Device layer, Linux: the instrument is one of the nodes "/dev/ttyACM0" to
// "/dev/ttyACM127".
#include "stdafx.h"
#include "Device.h"

#include <poll.h>
#include <sys/stat.h>

#include "main.h"

namespace {
constexpr int kHighestPort = 127;
}  // namespace

void FormatDevicePath(char* buffer, size_t size, int port) {
  snprintf(buffer, size, "/dev/ttyACM%d", port);
}

int LockDevice(int) { return 1; }

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
