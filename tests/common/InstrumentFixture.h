// A test fixture that plays the part of an application holding the
// instrument's port: it starts a virtual instrument, opens its terminal the
// way an application would and hands the descriptor to the library.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <vector>

#include "VirtualInstrument.h"
#include "zervon_ext.h"

inline void* HandleOf(long fd) { return reinterpret_cast<void*>(static_cast<intptr_t>(fd)); }

inline const void* kNoHandle = reinterpret_cast<void*>(static_cast<intptr_t>(-1));

// Milliseconds taken by `f`.
template <typename F>
long ElapsedMs(F&& f) {
  auto start = std::chrono::steady_clock::now();
  f();
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::steady_clock::now() - start)
                               .count());
}

class InstrumentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(sim.Start());
    fd = sim.OpenHostPort();
    ASSERT_GE(fd, 0);
    ZervSetDeviceHandle(HandleOf(fd));
    sim.ClearLog();
  }

  void TearDown() override {
    ZervSetDeviceHandle(HandleOf(-1));
    if (fd >= 0) close(fd);
    sim.Stop();
  }

  // The host frames the instrument has received since the last ClearLog.
  std::vector<std::vector<uint8_t>> Sent() const { return sim.Requests(); }

  zsim::VirtualInstrument sim;
  int fd = -1;
};
