// Device layer, every build: what the platform variants (Device_posix.cpp
// with Device_linux.cpp or Device_mac.cpp, and win/Device.cpp) share: the
// settled/unsettled state of the port's input, the registered instrument
// check, the path and open-port tests, and the connect attempts with their
// pause.
#include "stdafx.h"
#include "Device.h"
#include "Platform.h"

namespace {

constexpr unsigned kPauseAfterFailedAttemptMs = 1000;
constexpr unsigned kMinQuietMs = 20;
constexpr unsigned kMaxQuietMs = 1000;

// 0 while the port is settled; otherwise the quiet interval the next
// exchange waits for, and when the incomplete read ended.
unsigned g_nQuietMs = 0;
int64_t g_nUnsettledSinceMs = 0;

// Constant-initialised, so a check registered by any unit's load-time
// initialisation is in place whatever order the units come into being.
TargetCheck g_pfnTargetCheck = nullptr;
TargetCheck g_pfnIdentityCheck = nullptr;

}  // namespace

void NoteReadOutcome(int got, int asked, unsigned timeoutMs) {
  if (got == asked) {
    MarkPortSettled();
    return;
  }
  unsigned quiet = timeoutMs < kMinQuietMs ? kMinQuietMs : timeoutMs;
  if (quiet > kMaxQuietMs) quiet = kMaxQuietMs;
  g_nQuietMs = quiet;
  g_nUnsettledSinceMs = MonotonicMs();
}

void MarkPortSettled() { g_nQuietMs = 0; }

unsigned QuietIntervalMs() { return g_nQuietMs; }

int64_t UnsettledSinceMs() { return g_nUnsettledSinceMs; }

void SetTargetCheck(TargetCheck check) { g_pfnTargetCheck = check; }

void SetIdentityCheck(TargetCheck check) { g_pfnIdentityCheck = check; }

int IsTargetDevice() {
  const TargetCheck check = g_pfnTargetCheck;
  if (check == nullptr || !check()) return 0;
  const TargetCheck identity = g_pfnIdentityCheck;
  return identity == nullptr || identity() ? 1 : 0;
}

int DeviceIsConnected() { return g_hDevice != kNoDevice ? 1 : 0; }

int DeviceCheckPath(char* path) {
  if (path == nullptr || g_szDevicePath[0] == '\0') return 0;
  return strcmp(g_szDevicePath, path) == 0 ? 1 : 0;
}

int DeviceConnect(int port, int attempts) {
  for (int i = 0; i < attempts; ++i) {
    if (FindDevice(port)) return 1;
    SleepMs(kPauseAfterFailedAttemptMs);
  }
  return 0;
}
