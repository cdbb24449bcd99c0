// One of the processes of the contention tests: connects within the time-out
// given, tells the instrument who holds it (a setting request carrying
// "acquire", its number and its process ID), exchanges status requests for
// the hold time, tells it "release" and frees it.
//   faults-contender NUMBER TIMEOUT_MS HOLD_MS
// Exit 0 when it held an instrument and every exchange meanwhile succeeded;
// 1 when it got none; 3 when an exchange failed while it held one.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "zervon.h"

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  const int number = atoi(argv[1]);
  const unsigned timeout = static_cast<unsigned>(strtoul(argv[2], nullptr, 10));
  const unsigned hold = static_cast<unsigned>(strtoul(argv[3], nullptr, 10));
  const int pid = static_cast<int>(getpid());
  if (!ZervConnect(-1, timeout)) return 1;
  int failures = 0;
  if (ZervUpdateSettingEx(0xA5, number, (pid >> 8) & 0xFF, pid & 0xFF, 0) != 0) ++failures;
  printf("%d %s\n", number, ZervGetSerialNumber());
  fflush(stdout);
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(hold);
  while (std::chrono::steady_clock::now() < end) {
    double value = 0;
    if (ZervReadValue(nullptr, nullptr, nullptr, nullptr, nullptr, &value) != 0) ++failures;
    usleep(20 * 1000);
  }
  if (ZervUpdateSettingEx(0x5A, number, (pid >> 8) & 0xFF, pid & 0xFF, 0) != 0) ++failures;
  ZervFree();
  return failures == 0 ? 0 : 3;
}
