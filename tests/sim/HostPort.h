// The host side of the virtual instrument's terminal, for its own tests: a
// port opened the way an application opens the instrument, with helpers that
// write raw requests and gather reply bytes within a time-out; and a helper
// that hands bytes to the instrument model directly, with no terminal.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "InstrumentModel.h"
#include "VirtualInstrument.h"

namespace simtest {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

inline long MsSince(Clock::time_point start) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

inline Bytes Concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

inline Bytes Text(const char* s) { return Bytes(s, s + std::char_traits<char>::length(s)); }

class HostPort {
 public:
  explicit HostPort(const zsim::VirtualInstrument& sim) : fd_(sim.OpenHostPort()) {}
  // A terminal of an instrument served elsewhere (another process), opened
  // as given; it must already be raw.
  explicit HostPort(const std::string& path)
      : fd_(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) {}
  ~HostPort() { Close(); }
  HostPort(const HostPort&) = delete;
  HostPort& operator=(const HostPort&) = delete;

  bool IsOpen() const { return fd_ >= 0; }
  int Fd() const { return fd_; }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  void Write(const Bytes& bytes) {
    ASSERT_EQ(::write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }

  // Gathers bytes until `want` have arrived or `timeoutMs` passed.
  Bytes Read(size_t want, int timeoutMs) {
    Bytes got;
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (got.size() < want) {
      const long left = static_cast<long>(
          std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count());
      if (left <= 0) break;
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
      uint8_t buf[512];
      const ssize_t n = ::read(fd_, buf, std::min(sizeof buf, want - got.size()));
      if (n == 0) break;  // hung up
      if (n < 0) {
        if (errno == EAGAIN || errno == EINTR) continue;
        break;
      }
      got.insert(got.end(), buf, buf + n);
    }
    return got;
  }

  // Everything that arrives within `ms`.
  Bytes Drain(int ms) { return Read(1 << 16, ms); }

  // One request and its reply of `replyLength` bytes.
  Bytes Exchange(const Bytes& request, size_t replyLength, int timeoutMs = 2000) {
    Write(request);
    return Read(replyLength, timeoutMs);
  }

  // True when the terminal reports end-of-file (the instrument hung up).
  bool HungUp(int timeoutMs) {
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Clock::now() < end) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      uint8_t b;
      const ssize_t n = ::read(fd_, &b, 1);
      if (n == 0 || (n < 0 && errno == EIO)) return true;
    }
    return false;
  }

 private:
  int fd_;
};

// Feeds `bytes` to `model` as arriving at `now` and returns what it gave.
inline zsim::InstrumentModel::Recorder Feed(zsim::InstrumentModel& model, const Bytes& bytes,
                                             zsim::Clock::time_point now = {}) {
  zsim::InstrumentModel::Recorder out;
  model.Feed(bytes.data(), bytes.size(), now, out);
  return out;
}

// Polls `condition` until it holds or `timeoutMs` passed.
template <typename F>
bool WaitUntil(F condition, int timeoutMs) {
  const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!condition()) {
    if (Clock::now() >= end) return false;
    ::usleep(5000);
  }
  return true;
}

// Request builders.
inline Bytes ReadBlock(uint8_t block) { return {0x12, 0x55, 0xAA, 0x00, block}; }

inline Bytes FlashRequest(char target, uint8_t op, uint8_t byte4, uint32_t address) {
  const uint8_t sig1 = target == 'Q' ? 'Q' : 'L';
  const uint8_t sig2 = target == 'Q' ? 'F' : 'M';
  return {0x12, sig1, sig2, op, byte4, static_cast<uint8_t>(address >> 16), static_cast<uint8_t>(address >> 8),
          static_cast<uint8_t>(address)};
}
inline Bytes FlashRead(char target, uint32_t address, size_t n) {
  return FlashRequest(target, 'R', static_cast<uint8_t>(n - 1), address);
}
inline Bytes FlashWrite(char target, uint32_t address, const Bytes& data) {
  return Concat(FlashRequest(target, 'W', static_cast<uint8_t>(data.size() - 1), address), data);
}
inline Bytes SectorErase(char target, uint32_t address) { return FlashRequest(target, 'E', 0x20, address); }
inline Bytes BlockErase(char target, uint32_t address) { return FlashRequest(target, 'E', 0x52, address); }

inline Bytes LoaderRow(char op, uint16_t offset, const Bytes& row) {
  Bytes r = {'F', 'W', 'P', static_cast<uint8_t>(op), 0x00, 0xA0, static_cast<uint8_t>(offset >> 8),
             static_cast<uint8_t>(offset)};
  return Concat(r, row);
}

inline Bytes Calibration(uint8_t op) {
  Bytes r(26, 0);
  r[0] = 0x4D;
  r[1] = op;
  return r;
}

// A unique path for a node link in the temporary directory.
inline std::string TempNode(const char* tag) {
  static int counter = 0;
  return "/tmp/zsim-test-" + std::to_string(::getpid()) + "-" + tag + "-" + std::to_string(counter++);
}

// A fixture with a serving instrument and a host port on it.
class SimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(sim.Start());
    host.reset(new HostPort(sim));
    ASSERT_TRUE(host->IsOpen());
  }
  void TearDown() override {
    host.reset();
    sim.Stop();
  }

  zsim::VirtualInstrument sim;
  std::unique_ptr<HostPort> host;
};

}  // namespace simtest
