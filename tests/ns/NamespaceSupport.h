// Support for tests that run inside the private namespace made by
// run-in-namespace.sh: there /dev is a scratch folder and /var/lock an empty
// tmpfs, so tests can plug virtual instruments in as /dev/ttyACM<N> and the
// library works with its real paths.
#pragma once

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <memory>
#include <vector>

#include "VirtualInstrument.h"

#include "ProcCounts.h"

inline std::string NodePath(int n) { return "/dev/ttyACM" + std::to_string(n); }
inline std::string LockPath(int n) { return "/var/lock/torvanel.ACM" + std::to_string(n) + ".lock"; }

// True when this process runs in the scratch namespace (never touch the
// machine's own /dev otherwise).
// The wrapper says so in ZERVON_TEST_NAMESPACE.
inline bool InScratchNamespace() {
  const char* mark = getenv("ZERVON_TEST_NAMESPACE");
  return mark != nullptr && mark[0] == '1';
}

#define REQUIRE_NAMESPACE()                                                            \
  do {                                                                                 \
    if (!InScratchNamespace()) GTEST_SKIP() << "run through run-in-namespace.sh only"; \
  } while (0)

inline int OpenDescriptors() { return CountEntries("/proc/self/fd"); }
inline int Threads() { return CountEntries("/proc/self/task"); }
inline int LockFiles() { return CountEntries("/var/lock", "torvanel."); }

inline std::string FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void WriteFileBytes(const std::string& path, const std::string& bytes, mode_t mode = 0600) {
  FILE* f = fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  fwrite(bytes.data(), 1, bytes.size(), f);
  fclose(f);
  chmod(path.c_str(), mode);
}

inline std::string PidBytes(int32_t pid) { return std::string(reinterpret_cast<char*>(&pid), 4); }

// Polls `condition` every 10 ms for up to `ms`.
template <typename Condition>
bool WaitFor(Condition condition, long ms) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < end) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return condition();
}

// True once the process has `expected` threads again, within `ms`. A joined
// thread may stay listed in /proc/self/task for a moment after the join has
// returned (qemu-user wakes the joiner before its own thread has ended), so
// a count after a thread's end gets a short grace period; a thread that
// keeps running still fails.
inline bool ThreadsBackTo(int expected, long ms = 1000) {
  return WaitFor([expected] { return Threads() == expected; }, ms);
}

// The thread count once it has held still for 20 ms (at most 1 s), for a
// baseline taken just after a thread was joined.
inline int SettledThreads() {
  int count = Threads();
  for (int i = 0; i < 50; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const int now = Threads();
    if (now == count) break;
    count = now;
  }
  return count;
}

// The ID of a process that has certainly ended.
inline int32_t DeadPid() {
  pid_t child = fork();
  if (child == 0) _exit(0);
  int status;
  waitpid(child, &status, 0);
  return child;
}

// Virtual instruments plugged in as /dev/ttyACM<N>, unplugged when it goes.
class InstrumentRack {
 public:
  zsim::VirtualInstrument& PlugAt(int n) {
    sims_.push_back(std::make_unique<zsim::VirtualInstrument>());
    zsim::VirtualInstrument& sim = *sims_.back();
    EXPECT_TRUE(sim.Start());
    EXPECT_TRUE(sim.Plug(NodePath(n)));
    return sim;
  }
  void Clear() { sims_.clear(); }

 private:
  std::vector<std::unique_ptr<zsim::VirtualInstrument>> sims_;
};
