// Helpers of the flash tests: the request frames the instrument should see,
// a progress callback that records every report, and the fixture.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
#include <random>
#include <thread>
#include <utility>
#include <vector>

#include "InstrumentFixture.h"
#include "zervon.h"

namespace flashtest {

using Frame = std::vector<uint8_t>;
using Frames = std::vector<Frame>;
using Report = std::pair<unsigned, unsigned>;
using Reports = std::vector<Report>;

const char kFlash[] = "QF";
const char kMemMap[] = "LM";

inline Frame Header(const char* target, uint8_t operation, uint8_t fifth, uint32_t address) {
  return {0x12,
          static_cast<uint8_t>(target[0]),
          static_cast<uint8_t>(target[1]),
          operation,
          fifth,
          static_cast<uint8_t>(address >> 16),
          static_cast<uint8_t>(address >> 8),
          static_cast<uint8_t>(address)};
}

inline Frame ReadFrame(const char* target, uint32_t address, unsigned count) {
  return Header(target, 'R', static_cast<uint8_t>(count - 1), address);
}

inline Frame WriteFrame(const char* target, uint32_t address, const uint8_t* data, unsigned count) {
  Frame f = Header(target, 'W', static_cast<uint8_t>(count - 1), address);
  f.insert(f.end(), data, data + count);
  return f;
}

inline Frame SectorEraseFrame(const char* target, uint32_t address) {
  return Header(target, 'E', 0x20, address);
}

inline Frame BlockEraseFrame(const char* target, uint32_t address) {
  return Header(target, 'E', 0x52, address);
}

inline std::vector<uint8_t> RandomBytes(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = static_cast<uint8_t>(gen());
  return v;
}

// Every report that reaches Record, and an optional hook that a test runs
// on each report (on the calling thread, inside the transfer).
inline Reports& Recorded() {
  static Reports reports;
  return reports;
}
inline std::function<void(unsigned, unsigned)>& OnReport() {
  static std::function<void(unsigned, unsigned)> hook;
  return hook;
}
inline void Record(unsigned done, unsigned total) {
  Recorded().emplace_back(done, total);
  if (OnReport()) OnReport()(done, total);
}

// Runs `f` on another thread and waits up to `limitMs` for it; a call that
// never returns (a deadlock) ends the whole test program, since the thread
// cannot be taken back.
template <typename F>
void MustReturnWithin(long limitMs, F&& f) {
  std::packaged_task<void()> task(std::forward<F>(f));
  auto done = task.get_future();
  std::thread(std::move(task)).detach();
  if (done.wait_for(std::chrono::milliseconds(limitMs)) != std::future_status::ready) {
    ADD_FAILURE() << "the call did not return within " << limitMs << " ms (deadlock?)";
    fflush(stdout);
    std::_Exit(1);
  }
  done.get();
}

class FlashTest : public InstrumentTest {
 protected:
  void SetUp() override {
    InstrumentTest::SetUp();
    Recorded().clear();
    OnReport() = nullptr;
  }
  void TearDown() override {
    OnReport() = nullptr;
    InstrumentTest::TearDown();
  }
};

}  // namespace flashtest
