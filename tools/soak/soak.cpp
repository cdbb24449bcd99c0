// zervon-soak: a long run of plug/unplug cycles against a virtual instrument,
// with status exchanges and flash transfers in every cycle and the cable
// pulled at awkward moments, for as long as asked. It prints the cycles run,
// the failures by kind and the process's descriptors, threads and lock files
// at the start and at the end.
//
//   zervon-soak SECONDS [SEED]
//
// It uses the library's real node and lock paths, so it must run inside the
// scratch namespace made by tests/ns/run-in-namespace.sh (scripts/soak.sh
// does that). Exit status: 0 when no failure of a kind that matters was seen
// and nothing leaked, 1 otherwise, 2 for a usage error, 3 when a call hung.
#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "VirtualInstrument.h"
#include "zervon.h"
#include "zervon_ext.h"

namespace {

using Clock = std::chrono::steady_clock;

int CountEntries(const char* dir, const char* prefix = "") {
  int n = 0;
  if (DIR* d = opendir(dir)) {
    while (dirent* e = readdir(d)) {
      std::string name = e->d_name;
      if (name == "." || name == "..") continue;
      if (name.rfind(prefix, 0) == 0) ++n;
    }
    closedir(d);
  }
  return n;
}

struct Resources {
  int fds, threads, locks;
};

Resources Count() {
  return {CountEntries("/proc/self/fd"), CountEntries("/proc/self/task"), CountEntries("/var/lock", "torvanel.")};
}

std::string NodePath(int n) { return "/dev/ttyACM" + std::to_string(n); }

std::string Stamp() {
  char buf[32];
  time_t now = time(nullptr);
  strftime(buf, sizeof buf, "%H:%M:%S", localtime(&now));
  return buf;
}

// ---- connection reports ----

std::mutex g_m;
std::condition_variable g_cv;
int g_connects = 0, g_losses = 0;
bool g_connected = false;
bool g_orderBroken = false;

void OnConnection(bool connected) {
  std::lock_guard<std::mutex> lk(g_m);
  if (connected == g_connected) g_orderBroken = true;  // reports must alternate
  g_connected = connected;
  (connected ? g_connects : g_losses)++;
  g_cv.notify_all();
}

bool WaitConnected(bool want, int ms) {
  std::unique_lock<std::mutex> lk(g_m);
  return g_cv.wait_for(lk, std::chrono::milliseconds(ms), [want] { return g_connected == want; });
}

// ---- watchdog: a call that never returns ends the run ----

std::atomic<long> g_lastProgress{0};
std::atomic<const char*> g_current{"start"};

long NowS() { return static_cast<long>(time(nullptr)); }
void Progress(const char* what) {
  g_current = what;
  g_lastProgress = NowS();
}

// ---- failures by kind ----

std::map<std::string, long> g_failures;
// Kinds that are expected outcomes of an injected fault are counted apart
// from those that must never happen.
const char* const kSerious[] = {"connect-timeout", "loss-timeout",   "report-order",  "exchange-failed",
                                "wrong-value",     "wrong-serial",   "flash-failed",  "flash-wrong-data",
                                "verify-missed",   "success-but-bad", "slow-call",    "leak",
                                "stale-reply"};

long g_cycle = 0;

// Counts a failure and prints it with the cycle and the call in progress,
// so that a long run's log tells what went wrong where.
void Fail(const std::string& kind) {
  ++g_failures[kind];
  std::printf("%s cycle %ld: failure %s (during %s)\n", Stamp().c_str(), g_cycle, kind.c_str(), g_current.load());
}

bool Serious(const std::string& kind) {
  for (const char* k : kSerious)
    if (kind == k) return true;
  return false;
}

// Runs `f`, counts a slow call when it takes longer than `boundMs`.
template <typename F>
auto Timed(const char* what, long boundMs, F&& f) -> decltype(f()) {
  Progress(what);
  auto start = Clock::now();
  auto result = f();
  long ms = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
  if (ms > boundMs) {
    Fail("slow-call");
    std::printf("%s slow call: %s took %ld ms (bound %ld)\n", Stamp().c_str(), what, ms, boundMs);
  }
  return result;
}

std::vector<uint8_t> RandomBytes(std::mt19937& rng, size_t n) {
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = static_cast<uint8_t>(rng());
  return v;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s SECONDS [SEED]\n", argv[0]);
    return 2;
  }
  const long seconds = std::strtol(argv[1], nullptr, 10);
  const unsigned seed = argc > 2 ? static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10)) : 1u;
  const char* ns = getenv("ZERVON_TEST_NAMESPACE");
  if (ns == nullptr || ns[0] != '1') {
    std::fprintf(stderr, "zervon-soak: run it through scripts/soak.sh (it needs the scratch namespace)\n");
    return 2;
  }
  setvbuf(stdout, nullptr, _IOLBF, 0);
  std::mt19937 rng(seed);

  zsim::VirtualInstrument sim;
  if (!sim.Start() || !sim.Plug(NodePath(0))) {
    std::fprintf(stderr, "zervon-soak: the virtual instrument did not start\n");
    return 2;
  }
  sim.Unplug();  // the instrument's resting state between cycles
  const Resources start = Count();
  std::printf("%s soak: %ld s, seed %u; at start: %d descriptors, %d threads, %d lock files\n", Stamp().c_str(),
              seconds, seed, start.fds, start.threads, start.locks);

  Progress("start");
  std::atomic<bool> done{false};
  std::thread watchdog([&done] {
    while (!done) {
      std::this_thread::sleep_for(std::chrono::seconds(1));
      if (!done && NowS() - g_lastProgress > 90) {
        std::printf("%s HANG: no progress for 90 s in %s\n", Stamp().c_str(), g_current.load());
        std::fflush(stdout);
        std::_Exit(3);
      }
    }
  });

  ZervInit(OnConnection);
  const auto end = Clock::now() + std::chrono::seconds(seconds);
  long cycles = 0, exchanges = 0, transfers = 0, injected = 0;
  std::map<std::string, long> faults;  // injected faults by kind
  const char kSerialDefault[] = "VRX2107-030300";

  while (Clock::now() < end) {
    g_cycle = ++cycles;
    const int node = static_cast<int>(rng() % 4);  // replugged under a changing number
    Progress("replug");
    if (!sim.Replug(NodePath(node))) {
      Fail("replug-failed");
      continue;
    }
    if (!WaitConnected(true, 10000)) {
      Fail("connect-timeout");
      sim.Unplug();
      WaitConnected(false, 10000);
      continue;
    }

    // Status exchanges: every answer must carry the instrument's value.
    const uint16_t raw = static_cast<uint16_t>(rng() % 60000);
    sim.SetMeasuredRaw(raw);
    for (int i = 0; i < 20; ++i) {
      int r[5];
      double value = -1;
      int rc = Timed("ZervReadValue", 1000, [&] { return ZervReadValue(&r[0], &r[1], &r[2], &r[3], &r[4], &value); });
      ++exchanges;
      if (rc != 0)
        Fail("exchange-failed");
      else if (static_cast<long>(value * 100 + 0.5) != raw)
        Fail("wrong-value");
    }
    if (std::strcmp(Timed("ZervGetSerialNumber", 1000, [] { return ZervGetSerialNumber(); }), kSerialDefault) != 0)
      Fail("wrong-serial");

    // A flash transfer: write, read back through the library, and compare
    // with what the instrument holds.
    {
      auto data = RandomBytes(rng, 1024 + rng() % 3072);
      bool ok = Timed("ZervMemMapWriteEx", 10000, [&] {
        return ZervMemMapWriteEx(MEMORY_MAP_REGION_2, data.data(), static_cast<unsigned>(data.size()), nullptr);
      });
      ++transfers;
      if (!ok) Fail("flash-failed");
      std::vector<uint8_t> back(data.size());
      ok = Timed("ZervMemMapReadEx", 10000, [&] {
        return ZervMemMapReadEx(MEMORY_MAP_REGION_2, back.data(), static_cast<unsigned>(back.size()), nullptr);
      });
      ++transfers;
      if (!ok)
        Fail("flash-failed");
      else if (back != data || sim.ReadMemMap(0x302000, data.size()) != data)
        Fail("flash-wrong-data");
    }

    // One injected fault per cycle.
    const int kind = static_cast<int>(rng() % 6);
    bool unplugged = false;
    ++injected;
    switch (kind) {
      case 0: {  // a corrupted byte in a flash write: verification must catch it
        ++faults["corrupt-write"];
        auto data = RandomBytes(rng, 2048);
        const uint32_t at = static_cast<uint32_t>(rng() % data.size());
        sim.CorruptFlashOnWrite(0x010000 + at, static_cast<uint8_t>(1u << (rng() % 8)));
        bool ok = Timed("ZervSPIFlashWriteEx", 10000, [&] {
          return ZervSPIFlashWriteEx(CHIP_FLASH_REGION_2, data.data(), static_cast<unsigned>(data.size()), nullptr);
        });
        ++transfers;
        // The instrument stores that byte with one bit flipped, so the
        // read-back differs: a write reported good would be bad data.
        if (ok) Fail("verify-missed");
        sim.ClearFaults();
        break;
      }
      case 1: {  // a garbled, a truncated and a dropped status reply
        ++faults["bad-replies"];
        int r[5];
        double value = -1;
        sim.GarbageReplies(1);
        if (Timed("ZervReadValue", 1000, [&] { return ZervReadValue(&r[0], &r[1], &r[2], &r[3], &r[4], &value); }) == 0)
          Fail("success-but-bad");
        sim.TruncateReplies(1, 20);
        if (Timed("ZervReadValue", 1000, [&] { return ZervReadValue(&r[0], &r[1], &r[2], &r[3], &r[4], &value); }) == 0)
          Fail("success-but-bad");
        sim.DropReplies(1);
        if (Timed("ZervReadValue", 1000, [&] { return ZervReadValue(&r[0], &r[1], &r[2], &r[3], &r[4], &value); }) == 0)
          Fail("success-but-bad");
        exchanges += 3;
        sim.ClearFaults();
        // The next exchange is sound again.
        int rc = Timed("ZervReadValue", 1000, [&] { return ZervReadValue(&r[0], &r[1], &r[2], &r[3], &r[4], &value); });
        ++exchanges;
        if (rc != 0)
          Fail("exchange-failed");
        else if (static_cast<long>(value * 100 + 0.5) != raw)
          Fail("wrong-value");
        break;
      }
      case 2:    // unplug during a flash write
      case 3: {  // unplug during a flash read
        const bool write = kind == 2;
        ++faults[write ? "unplug-in-write" : "unplug-in-read"];
        auto data = RandomBytes(rng, 4096);
        const size_t before = sim.RequestCount();
        const size_t after = 1 + rng() % 200;
        std::thread puller([&] {
          sim.WaitForRequests(before + after, 5000);
          sim.Unplug();
        });
        std::vector<uint8_t> back(data.size());
        bool ok = Timed(write ? "ZervMemMapWriteEx (unplug)" : "ZervMemMapReadEx (unplug)", 10000, [&] {
          return write ? ZervMemMapWriteEx(MEMORY_MAP_REGION_2, data.data(), 4096, nullptr)
                       : ZervMemMapReadEx(MEMORY_MAP_REGION_2, back.data(), 4096, nullptr);
        });
        puller.join();
        ++transfers;
        unplugged = true;
        if (ok) {
          // Finished before the cable went: then the data must be right.
          const auto held = sim.ReadMemMap(0x302000, 4096);
          if (write ? held != data : back != held) Fail("success-but-bad");
          else ++faults["unplug-after-end"];
        }
        break;
      }
      case 4: {  // unplug during status exchanges
        ++faults["unplug-in-exchanges"];
        const size_t before = sim.RequestCount();
        std::thread puller([&] {
          sim.WaitForRequests(before + 1 + rng() % 10, 5000);
          sim.Unplug();
        });
        for (int i = 0; i < 20; ++i) {
          int r[5];
          double value = -1;
          int rc = Timed("ZervReadValue (unplug)", 1000,
                         [&] { return ZervReadValue(&r[0], &r[1], &r[2], &r[3], &r[4], &value); });
          ++exchanges;
          if (rc == 0 && static_cast<long>(value * 100 + 0.5) != raw) Fail("success-but-bad");
        }
        puller.join();
        unplugged = true;
        break;
      }
      default:  // a late reply: the exchange after it must get its own reply
        ++faults["late-reply"];
        {
          int r[5];
          double value = -1;
          sim.DelayReplies(1, 350);
          Timed("ZervReadValue (late)", 1000, [&] { return ZervReadValue(&r[0], &r[1], &r[2], &r[3], &r[4], &value); });
          usleep(400 * 1000);
          sim.SetMeasuredRaw(static_cast<uint16_t>(raw + 1));
          int rc = Timed("ZervReadValue", 1000, [&] { return ZervReadValue(&r[0], &r[1], &r[2], &r[3], &r[4], &value); });
          exchanges += 2;
          // The previous value: the late reply was taken for this one's.
          if (rc == 0 && static_cast<long>(value * 100 + 0.5) == raw) Fail("stale-reply");
          else if (rc == 0 && static_cast<long>(value * 100 + 0.5) != raw + 1) Fail("wrong-value");
          if (rc != 0) Fail("exchange-failed");
        }
        break;
    }

    // Unplug (if the fault did not) and wait for the loss; every other
    // cycle wakes the connect thread at once instead of waiting for the
    // monitor's polls.
    Progress("unplug");
    if (!unplugged) sim.Unplug();
    if (cycles % 2 == 0) ReconnectDevice();
    if (!WaitConnected(false, 10000)) Fail("loss-timeout");
    {
      std::lock_guard<std::mutex> lk(g_m);
      if (g_orderBroken) {
        Fail("report-order");
        g_orderBroken = false;
      }
    }
    if (cycles % 50 == 0) {
      const Resources now = Count();
      long serious = 0;
      for (const auto& f : g_failures)
        if (Serious(f.first)) serious += f.second;
      std::printf("%s cycle %ld: %ld exchanges, %ld transfers, %ld faults injected, %ld serious failures; "
                  "%d descriptors, %d threads, %d lock files\n",
                  Stamp().c_str(), cycles, exchanges, transfers, injected, serious, now.fds, now.threads, now.locks);
    }
  }

  Progress("ZervFree");
  ZervFree();
  sim.Unplug();
  done = true;
  watchdog.join();
  // A joined thread may stay listed for a moment.
  Resources finish = Count();
  for (int i = 0; i < 100 && finish.threads != start.threads; ++i) {
    usleep(10000);
    finish = Count();
  }
  if (finish.fds != start.fds || finish.threads != start.threads || finish.locks != start.locks) Fail("leak");

  std::printf("%s soak finished\n", Stamp().c_str());
  std::printf("cycles: %ld\nconnections reported: %d\nlosses reported: %d\nexchanges: %ld\nflash transfers: %ld\n",
              cycles, g_connects, g_losses, exchanges, transfers);
  std::printf("faults injected: %ld\n", injected);
  for (const auto& f : faults) std::printf("  %-22s %ld\n", f.first.c_str(), f.second);
  long serious = 0;
  std::printf("failures by kind:%s\n", g_failures.empty() ? " none" : "");
  for (const auto& f : g_failures) {
    std::printf("  %-22s %ld%s\n", f.first.c_str(), f.second, Serious(f.first) ? "" : " (not the library's)");
    if (Serious(f.first)) serious += f.second;
  }
  std::printf("resources at start: %d descriptors, %d threads, %d lock files\n", start.fds, start.threads, start.locks);
  std::printf("resources at end:   %d descriptors, %d threads, %d lock files\n", finish.fds, finish.threads,
              finish.locks);
  std::printf("result: %s\n", serious == 0 ? "PASS" : "FAIL");
  return serious == 0 ? 0 : 1;
}
