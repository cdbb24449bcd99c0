// zervon-microbench: Google Benchmark cases for single operations, the
// loops to put under perf or callgrind when a figure of zervon-bench needs
// explaining. Pin it to one core (taskset -c 1) for stable numbers.
#include <benchmark/benchmark.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "Device.h"
#include "Protocol.h"
#include "VirtualInstrument.h"
#include "zervon.h"
#include "zervon_ext.h"

namespace {

// One virtual instrument for the whole run, its terminal handed to the
// library as an application would.
struct Rig {
  zsim::VirtualInstrument sim;
  int fd = -1;
  Rig() {
    if (sim.Start()) fd = sim.OpenHostPort();
    ZervSetDeviceHandle(reinterpret_cast<void*>(static_cast<intptr_t>(fd)));
    snprintf(g_szDevicePath, sizeof g_szDevicePath, "%s", sim.SlavePath().c_str());
  }
};

Rig& TheRig() {
  static Rig rig;
  return rig;
}

void BM_RawExchange(benchmark::State& state) {
  const int fd = TheRig().fd;
  unsigned char request = 0x14, reply[64];
  for (auto _ : state) {
    if (write(fd, &request, 1) != 1) state.SkipWithError("write");
    struct pollfd p = {fd, POLLIN, 0};
    poll(&p, 1, 200);
    if (read(fd, reply, 64) != 64) state.SkipWithError("read");
  }
}
BENCHMARK(BM_RawExchange);

// The raw loop plus one of the library's extra steps per exchange, to price
// each: dropping stale input first (tcflush), and waiting for writability
// before the write.
void BM_RawExchangeWithFlush(benchmark::State& state) {
  const int fd = TheRig().fd;
  unsigned char request = 0x14, reply[64];
  for (auto _ : state) {
    tcflush(fd, TCIFLUSH);
    if (write(fd, &request, 1) != 1) state.SkipWithError("write");
    struct pollfd p = {fd, POLLIN, 0};
    poll(&p, 1, 200);
    if (read(fd, reply, 64) != 64) state.SkipWithError("read");
  }
}
BENCHMARK(BM_RawExchangeWithFlush);

void BM_RawExchangeWithWritePoll(benchmark::State& state) {
  const int fd = TheRig().fd;
  unsigned char request = 0x14, reply[64];
  for (auto _ : state) {
    struct pollfd w = {fd, POLLOUT, 0};
    poll(&w, 1, 200);
    if (write(fd, &request, 1) != 1) state.SkipWithError("write");
    struct pollfd p = {fd, POLLIN, 0};
    poll(&p, 1, 200);
    if (read(fd, reply, 64) != 64) state.SkipWithError("read");
  }
}
BENCHMARK(BM_RawExchangeWithWritePoll);

void BM_ZervSendCommandEx(benchmark::State& state) {
  TheRig();
  unsigned char request = 0x14, reply[64];
  for (auto _ : state) {
    int length = 64;
    if (ZervSendCommandEx(&request, 1, reply, &length) != 0) state.SkipWithError("exchange");
  }
}
BENCHMARK(BM_ZervSendCommandEx);

void BM_ZervReadValue(benchmark::State& state) {
  TheRig();
  for (auto _ : state) {
    int a, b, c, d, e;
    double v;
    if (ZervReadValue(&a, &b, &c, &d, &e, &v) != 0) state.SkipWithError("exchange");
  }
}
BENCHMARK(BM_ZervReadValue);

void BM_DeviceIsAlive(benchmark::State& state) {
  TheRig();
  for (auto _ : state) benchmark::DoNotOptimize(DeviceIsAlive());
}
BENCHMARK(BM_DeviceIsAlive);

void BM_ShellListing(benchmark::State& state) {
  TheRig();
  for (auto _ : state) {
    FILE* pipe = popen("/bin/ls /dev/ttyACM* 2>/dev/null", "r");
    char line[512];
    while (pipe != nullptr && fgets(line, 511, pipe) != nullptr) benchmark::DoNotOptimize(line);
    if (pipe != nullptr) pclose(pipe);
  }
}
BENCHMARK(BM_ShellListing)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
