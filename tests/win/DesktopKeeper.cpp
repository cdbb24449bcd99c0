// Keeps wine's desktop up while the Windows suite runs. Wine ends its
// desktop process a few seconds after the last window is gone and starting
// it again takes seconds on this machine, which the first window of every
// test program (the library's device-change window) would wait for; on
// Windows the desktop is always there. Started by wine-harness.sh: prints
// "ready" once it holds a window of its own, then waits until it is ended.
#include <windows.h>

#include <cstdio>

int main() {
  HWND window = CreateWindowExA(0, "STATIC", "zervon-desktop-keeper", 0, 0, 0, 1, 1, nullptr, nullptr,
                                GetModuleHandleA(nullptr), nullptr);
  std::printf(window != nullptr ? "ready\n" : "no window\n");
  std::fflush(stdout);
  if (window == nullptr) return 1;
  MSG message;
  while (GetMessageA(&message, nullptr, 0, 0) > 0) DispatchMessageA(&message);
  return 0;
}
