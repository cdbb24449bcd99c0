// Hears of every plug and unplug through the connection callback, and
// measures while the instrument is there.
//
//   zervon-events [--samples N] [--wait-loss] [--timeout SECONDS]
//
// --wait-loss: after the samples, wait until the instrument is unplugged.
//
// Build against an installed SDK:
//   c++ zervon_events.cpp $(pkg-config --cflags --libs zervon) -pthread -o zervon-events
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "zervon.h"

namespace {

std::mutex g_mutex;
std::condition_variable g_changed;
bool g_connected = false;

// Runs on the library's connect thread, never with the library's lock held:
// it may call the library (here for the serial number), but it should not
// take long, as the connection waits for it.
void OnConnection(bool connected) {
  if (connected)
    std::printf("connected: %s\n", ZervGetSerialNumber());
  else
    std::printf("lost\n");
  std::fflush(stdout);
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_connected = connected;
  }
  g_changed.notify_all();
}

bool WaitFor(bool state, int seconds) {
  std::unique_lock<std::mutex> lock(g_mutex);
  return g_changed.wait_for(lock, std::chrono::seconds(seconds), [state] { return g_connected == state; });
}

const char kUsageLine[] = "usage: %s [--samples N] [--wait-loss] [--timeout SECONDS]\n";

int Usage(const char* program) {
  std::fprintf(stderr, kUsageLine, program);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  int samples = 3, timeout = 10;
  bool waitLoss = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::printf(kUsageLine, argv[0]);
      std::printf("Connects to the instrument (up to --timeout seconds, default 10), takes --samples\n"
                  "measurements (default 3) and with --wait-loss waits for the instrument to be unplugged.\n");
      return 0;
    }
    if (std::strcmp(argv[i], "--wait-loss") == 0) {
      waitLoss = true;
    } else if ((std::strcmp(argv[i], "--samples") == 0 || std::strcmp(argv[i], "--timeout") == 0) && i + 1 < argc) {
      char* end = nullptr;
      const long n = std::strtol(argv[i + 1], &end, 10);
      if (argv[i + 1][0] == '\0' || *end != '\0' || n < 0 || n > 3600) return Usage(argv[0]);
      (std::strcmp(argv[i], "--samples") == 0 ? samples : timeout) = static_cast<int>(n);
      ++i;
    } else {
      return Usage(argv[0]);
    }
  }

  // The connect thread searches every /dev/ttyACM<N>, and keeps searching
  // after a loss, until ZervFree.
  ZervInit(OnConnection);
  if (!WaitFor(true, timeout)) {
    std::fprintf(stderr, "%s: no instrument within %d s\n", argv[0], timeout);
    ZervFree();
    return 3;
  }

  HW_INFORMATION hw;
  ZervGetHWInformation(&hw);
  std::printf("hardware code %d, firmware %d.%d\n", hw.nHWCode, hw.nFirmwareMain, hw.nFirmwareSub);
  int failures = 0;
  for (int i = 0; i < samples; ++i) {
    double value = 0;
    int range = 0;
    const int rc = ZervReadValue(&range, nullptr, nullptr, nullptr, nullptr, &value);
    if (rc == 0) {
      std::printf("sample %d: %.3f\n", i + 1, value);
    } else {
      std::printf("sample %d: no report (code %d)\n", i + 1, rc);
      ++failures;
    }
    std::fflush(stdout);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }

  if (waitLoss) {
    std::printf("waiting for the instrument to be unplugged\n");
    std::fflush(stdout);
    if (!WaitFor(false, timeout)) {
      std::fprintf(stderr, "%s: the instrument was not unplugged within %d s\n", argv[0], timeout);
      ZervFree();
      return 1;
    }
  }
  ZervFree();
  return failures == 0 ? 0 : 1;
}
