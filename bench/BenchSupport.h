// Small helpers of the benchmark programs: clocks, medians, and the per-thread
// counters the kernel keeps in /proc/self/task.
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace zbench {

inline int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

inline double Median(std::vector<double> v) {
  if (v.empty()) return 0.0;
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2.0;
}

inline double Min(const std::vector<double>& v) {
  return v.empty() ? 0.0 : *std::min_element(v.begin(), v.end());
}

inline double Max(const std::vector<double>& v) {
  return v.empty() ? 0.0 : *std::max_element(v.begin(), v.end());
}

// The thread IDs of this process.
inline std::set<int> Tids() {
  std::set<int> tids;
  if (DIR* d = opendir("/proc/self/task")) {
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] >= '0' && e->d_name[0] <= '9') tids.insert(atoi(e->d_name));
    }
    closedir(d);
  }
  return tids;
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// What the kernel counts for one thread.
struct TaskCounters {
  bool alive = false;
  uint64_t ticks = 0;        // utime + stime from stat, in clock ticks
  uint64_t runNs = 0;        // time on the CPU from schedstat, in ns (0 if not available)
  uint64_t voluntary = 0;    // voluntary context switches (the thread went to sleep)
  uint64_t involuntary = 0;  // preemptions
};

inline TaskCounters ReadTask(int tid) {
  TaskCounters c;
  const std::string base = "/proc/self/task/" + std::to_string(tid);
  const std::string stat = ReadFile(base + "/stat");
  const size_t close = stat.rfind(')');
  if (close == std::string::npos) return c;
  c.alive = true;
  // Fields after the command name, starting with field 3 (state); utime and
  // stime are fields 14 and 15.
  std::istringstream fields(stat.substr(close + 2));
  std::string f;
  for (int field = 3; field <= 15 && fields >> f; ++field) {
    if (field == 14 || field == 15) c.ticks += strtoull(f.c_str(), nullptr, 10);
  }
  const std::string sched = ReadFile(base + "/schedstat");
  if (!sched.empty()) c.runNs = strtoull(sched.c_str(), nullptr, 10);
  std::istringstream status(ReadFile(base + "/status"));
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("voluntary_ctxt_switches:", 0) == 0)
      c.voluntary = strtoull(line.c_str() + 24, nullptr, 10);
    else if (line.rfind("nonvoluntary_ctxt_switches:", 0) == 0)
      c.involuntary = strtoull(line.c_str() + 27, nullptr, 10);
  }
  return c;
}

inline TaskCounters Sum(const std::vector<int>& tids) {
  TaskCounters total;
  for (int tid : tids) {
    TaskCounters c = ReadTask(tid);
    total.ticks += c.ticks;
    total.runNs += c.runNs;
    total.voluntary += c.voluntary;
    total.involuntary += c.involuntary;
  }
  return total;
}

inline long ResidentKiB() {
  std::istringstream status(ReadFile("/proc/self/status"));
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return strtol(line.c_str() + 6, nullptr, 10);
  }
  return -1;
}

}  // namespace zbench
