// The virtual instrument's wire log: what crossed its terminal, in order.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <utility>
#include <vector>

namespace zsim {

// One entry of the wire log: a framed request from the host, or a write of
// reply bytes to the host.
struct WireRecord {
  bool fromHost;
  std::vector<uint8_t> bytes;
  std::chrono::steady_clock::time_point when;
};

// Host frames and reply writes with their counters and the service time of
// every answered request; the last kCap records and times are kept. Not
// thread-safe: the terminal transport's lock guards it.
struct WireLog {
  static constexpr size_t kCap = 100000;

  std::deque<WireRecord> records;
  size_t requests = 0;  // host frames since the last Clear() (not capped)
  size_t replies = 0;   // reply writes since the last Clear() (not capped)
  std::deque<std::chrono::nanoseconds> serviceTimes;

  void Append(bool fromHost, std::vector<uint8_t> bytes, std::chrono::steady_clock::time_point when) {
    if (records.size() >= kCap) records.pop_front();
    records.push_back(WireRecord{fromHost, std::move(bytes), when});
  }

  void AddServiceTime(std::chrono::nanoseconds time) {
    if (serviceTimes.size() >= kCap) serviceTimes.pop_front();
    serviceTimes.push_back(time);
  }

  void Clear() {
    records.clear();
    serviceTimes.clear();
    requests = 0;
    replies = 0;
  }
};

}  // namespace zsim
