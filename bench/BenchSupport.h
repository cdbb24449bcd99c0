// Small helpers of the benchmark programs: clocks, medians, and the per-thread
// counters the kernel keeps in /proc/self/task.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
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

// ---- worker processes ----

// The path of this program, to start it again as a worker.
inline std::string SelfPath() {
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return "";
  self[n] = '\0';
  return self;
}

// A worker: a child process started as a new program, its standard output
// on a pipe to the parent.
struct Child {
  pid_t pid = -1;
  int out = -1;           // read end of its standard output, -1 once at the end
  std::string text;       // what it wrote
  int status = -1;        // wait status once reaped
  int64_t endNs = 0;      // when it was reaped
  bool reaped = false;
};

// Starts `path` with `args` (argv[0] included). The parent has threads (the
// virtual instruments', the library's), so the child does nothing but ask
// for SIGTERM when the parent dies, move the pipe to its standard output
// and exec: no library call, no allocation between fork and exec.
inline bool StartChild(const std::string& path, const std::vector<std::string>& args, Child* c) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return false;
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(127);  // the parent died before the request
    if (dup2(fds[1], 1) != 1) _exit(127);  // the copy does not close on exec
    execv(path.c_str(), argv.data());
    _exit(127);
  }
  close(fds[1]);
  if (pid < 0) {
    close(fds[0]);
    return false;
  }
  c->pid = pid;
  c->out = fds[0];
  return true;
}

// Collects the children's output and reaps them all. After `timeoutMs`, or
// once *stop is non-zero, the children left get SIGTERM, and SIGKILL 5 s
// later: this returns only when every child has been reaped.
inline void WaitChildren(std::vector<Child>& children, long timeoutMs, volatile sig_atomic_t* stop) {
  const int64_t deadline = NowNs() + static_cast<int64_t>(timeoutMs) * 1000000;
  int64_t killAt = 0;
  for (;;) {
    std::vector<pollfd> fds;
    std::vector<Child*> owners;
    bool left = false, exiting = false;
    for (Child& c : children) {
      if (c.reaped) continue;
      left = true;
      if (c.out >= 0) {
        fds.push_back(pollfd{c.out, POLLIN, 0});
        owners.push_back(&c);
      } else {
        exiting = true;  // output closed, not reaped yet
      }
    }
    if (!left) return;
    poll(fds.data(), fds.size(), exiting ? 5 : 100);
    for (size_t i = 0; i < fds.size(); ++i) {
      if (fds[i].revents == 0) continue;
      char buf[1024];
      const ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        owners[i]->text.append(buf, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        close(owners[i]->out);
        owners[i]->out = -1;
      }
    }
    for (Child& c : children) {
      if (c.reaped) continue;
      int status = 0;
      if (waitpid(c.pid, &status, WNOHANG) != c.pid) continue;
      c.reaped = true;
      c.status = status;
      c.endNs = NowNs();
      if (c.out >= 0) {  // what it wrote before it ended
        char buf[1024];
        ssize_t n;
        while ((n = read(c.out, buf, sizeof buf)) > 0) c.text.append(buf, static_cast<size_t>(n));
        close(c.out);
        c.out = -1;
      }
    }
    const int64_t now = NowNs();
    if (killAt == 0 && (now > deadline || (stop != nullptr && *stop != 0))) {
      for (Child& c : children) {
        if (!c.reaped) kill(c.pid, SIGTERM);
      }
      killAt = now + 5000000000LL;
    } else if (killAt != 0 && now > killAt) {
      for (Child& c : children) {
        if (!c.reaped) kill(c.pid, SIGKILL);
      }
      killAt = INT64_MAX;
    }
  }
}

// "key=value" words of a line, the values as numbers.
inline std::map<std::string, double> KeyValues(const std::string& line) {
  std::map<std::string, double> kv;
  std::istringstream words(line);
  std::string w;
  while (words >> w) {
    const size_t eq = w.find('=');
    if (eq != std::string::npos && eq > 0) kv[w.substr(0, eq)] = strtod(w.c_str() + eq + 1, nullptr);
  }
  return kv;
}

// Entries of `dir` whose names start with `prefix`.
inline int CountFiles(const char* dir, const char* prefix) {
  int n = 0;
  if (DIR* d = opendir(dir)) {
    while (dirent* e = readdir(d)) {
      if (strncmp(e->d_name, prefix, strlen(prefix)) == 0) ++n;
    }
    closedir(d);
  }
  return n;
}

}  // namespace zbench
