// zervon-bench: the library's cost against the raw floor, measured in one run
// on the same virtual instrument and terminal, and printed as one table.
//
//   zervon-bench [--quick] [--smoke] [--timing real|instant] [--cpu N | --no-pin] [--only SECTION,...]
//   zervon-bench --fleet-worker MODE NODE ...   (a worker of the fleet section; not for direct use)
//
// Sections, in the order they run:
//   unused    wake-ups and CPU of the library's threads while it is loaded
//             and nothing has been called (the monitor thread only);
//   exchange  a raw write/poll/read loop against ZervSendCommandEx and
//             ZervReadValue on the same port, blocks interleaved;
//   flash     a ChipFlash region 3 write with verify and a read, against the
//             same number of raw exchanges of the same sizes;
//   real      the same write with verify and read against the instrument's
//             real timing (USB frames, flash erase and program times), with
//             the library's share of each: what a user with a real
//             instrument sees (left out with --timing instant);
//   liveness  DeviceIsAlive against the shell listing "/bin/ls /dev/ttyACM*"
//             through popen, also with extra threads and a large heap;
//   memory    resident size of a process that loads and connects the shared
//             library, against the same process without it (zervon-bench-rss);
//   idle      CPU of the library's threads while connected and while
//             searching, and plug/unplug to callback latencies ("connected");
//   fleet     eight instruments with the real timing, one worker process
//             each (this program again, --fleet-worker): burns of 1, 4 and 8
//             in parallel, a whole region 0 write with verify on 1 and 4,
//             all 8 watched at 10 samples/s (left out with --timing instant).
// The memory, idle, latency and fleet sections need the library's real node and
// lock paths, so they run only inside the scratch namespace of
// tests/ns/run-in-namespace.sh (bench/run starts the program there).
//
// The program links the library's objects statically (zervon_internal) so
// that it can also call DeviceIsAlive, which the shared library does not
// export; the code measured is the same object code as the shared library's.
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <spawn.h>
#include <termios.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cmath>
#include <condition_variable>
#include <cstdarg>
#include <map>
#include <mutex>
#include <random>
#include <thread>

#include "BenchSupport.h"
#include "Device.h"
#include "VirtualInstrument.h"
#include "zervon.h"
#include "zervon_ext.h"

extern char** environ;

using namespace zbench;

namespace {

// ---- options and output ----

struct Options {
  bool quick = false;
  bool smoke = false;  // a one-second run of the cheap sections (ctest)
  bool realTiming = true;  // the real section runs (--timing instant leaves it out)
  int cpu = -2;        // -2: the last allowed CPU; -1: no pinning
  std::string only;    // comma-separated sections to run; empty: all
  bool Runs(const char* section) const {
    return only.empty() || ("," + only + ",").find("," + std::string(section) + ",") != std::string::npos;
  }
};
Options g_opt;

std::vector<std::string> g_rows;             // table rows, in order
std::vector<std::pair<std::string, std::string>> g_keys;  // headline key: value lines
std::vector<std::string> g_notes;

std::string Fmt(const char* format, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, format);
  vsnprintf(buf, sizeof buf, format, ap);
  va_end(ap);
  return buf;
}

void Row(const std::string& figure, const std::string& library, const std::string& baseline,
         const std::string& ratio, const std::string& target, const std::string& note) {
  g_rows.push_back("| " + figure + " | " + library + " | " + baseline + " | " + ratio + " | " +
                   target + " | " + note + " |");
}

void Key(const std::string& key, const std::string& value) { g_keys.emplace_back(key, value); }

void Progress(const char* format, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, format);
  vsnprintf(buf, sizeof buf, format, ap);
  va_end(ap);
  fprintf(stderr, "[bench] %s\n", buf);
}

const char* Verdict(bool ok) { return ok ? "met" : "MISSED"; }

// ---- threads: which are the library's ----

int g_mainTid = 0;
std::set<int> g_foreignTids;  // the main thread, simulator threads, helpers

std::vector<int> LibraryTids() {
  std::vector<int> tids;
  for (int tid : Tids()) {
    if (tid != g_mainTid && g_foreignTids.count(tid) == 0) tids.push_back(tid);
  }
  return tids;
}

// Starts a simulator and notes its serving thread as foreign.
bool StartSim(zsim::VirtualInstrument& sim) {
  const std::set<int> before = Tids();
  if (!sim.Start()) return false;
  for (int tid : Tids()) {
    if (before.count(tid) == 0) g_foreignTids.insert(tid);
  }
  return true;
}

void PinAllThreads(int cpu) {
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  for (int tid : Tids()) sched_setaffinity(tid, sizeof set, &set);
}

// Idle time of each CPU from /proc/stat ("cpuN user nice system idle ...").
std::map<int, uint64_t> CpuIdleTicks() {
  std::map<int, uint64_t> idle;
  std::istringstream in(ReadFile("/proc/stat"));
  std::string line;
  while (std::getline(in, line)) {
    int cpu;
    unsigned long long user, nice, system, idleTicks;
    if (sscanf(line.c_str(), "cpu%d %llu %llu %llu %llu", &cpu, &user, &nice, &system, &idleTicks) == 5)
      idle[cpu] = idleTicks;
  }
  return idle;
}

// The allowed CPU that was idle longest over one second: on a shared
// machine the other users' load decides the round trip more than anything.
int IdlestCpu() {
  cpu_set_t set;
  CPU_ZERO(&set);
  sched_getaffinity(0, sizeof set, &set);
  const auto a = CpuIdleTicks();
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const auto b = CpuIdleTicks();
  int best = -1;
  uint64_t bestIdle = 0;
  for (const auto& entry : b) {
    if (!CPU_ISSET(entry.first, &set) || a.count(entry.first) == 0) continue;
    const uint64_t idle = entry.second - a.at(entry.first);
    if (best < 0 || idle > bestIdle) best = entry.first, bestIdle = idle;
  }
  return best;
}

std::string Placement() {
  if (g_opt.cpu < 0) return "not pinned (the scheduler places both ends)";
  return Fmt("both ends on CPU %d (the idler CPU over one second before the run, unless --cpu): every "
             "thread pinned with sched_setaffinity, the simulator's serving thread, the library's threads and "
             "the shell of the listing inherit it",
             g_opt.cpu);
}

bool InNamespace() {
  const char* mark = getenv("ZERVON_TEST_NAMESPACE");
  return mark != nullptr && mark[0] == '1';
}

// ---- idle cost of the library's threads ----

struct Idle {
  double spanS = 0;
  double pctTicks = 0;  // from stat (utime + stime, clock ticks)
  double pctNs = 0;     // from schedstat (ns on the CPU)
  double wakeupsPerS = 0;
  double preemptionsPerS = 0;
  int threads = 0;
  bool haveNs = false;
  // The figure held against the targets: schedstat's nanoseconds where the
  // kernel keeps them, else stat's clock ticks (10 ms each, so one tick in a
  // 20 s span is already 0.05 %).
  double pct() const { return haveNs ? pctNs : pctTicks; }
};

Idle MeasureIdle(double spanS) {
  const std::vector<int> tids = LibraryTids();
  const TaskCounters a = Sum(tids);
  const int64_t t0 = NowNs();
  std::this_thread::sleep_for(std::chrono::milliseconds(static_cast<long>(spanS * 1000)));
  const int64_t t1 = NowNs();
  const TaskCounters b = Sum(tids);
  Idle r;
  r.spanS = (t1 - t0) / 1e9;
  r.threads = static_cast<int>(tids.size());
  const double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
  r.pctTicks = (b.ticks - a.ticks) / tick / r.spanS * 100.0;
  r.pctNs = (b.runNs - a.runNs) / 1e9 / r.spanS * 100.0;
  r.haveNs = b.runNs > 0;
  r.wakeupsPerS = (b.voluntary - a.voluntary) / r.spanS;
  r.preemptionsPerS = (b.involuntary - a.involuntary) / r.spanS;
  return r;
}

std::string IdleText(const Idle& r) {
  return Fmt("%.4f %% (stat), %.4f %% (schedstat); %.2f wake-ups/s; %d thread(s), %.0f s", r.pctTicks,
             r.pctNs, r.wakeupsPerS, r.threads, r.spanS);
}

// ---- raw exchanges on a descriptor ----

bool RawExchange(int fd, const unsigned char* request, int length, unsigned char* reply,
                 int replyLength, int timeoutMs) {
  if (write(fd, request, length) != length) return false;
  struct pollfd p = {fd, POLLIN, 0};
  if (poll(&p, 1, timeoutMs) != 1) return false;
  return read(fd, reply, replyLength) == replyLength;
}

// Drops replies that a failed exchange left behind.
void Drain(int fd) {
  unsigned char buf[256];
  while (read(fd, buf, sizeof buf) > 0) {
  }
}

struct SimTimes {
  double medianUs = 0, p99Us = 0;
  size_t count = 0;
};

SimTimes ServiceTimes(const zsim::VirtualInstrument& sim) {
  std::vector<double> us;
  for (auto t : sim.ServiceTimes()) us.push_back(t.count() / 1000.0);
  SimTimes s;
  s.count = us.size();
  if (us.empty()) return s;
  s.medianUs = Median(us);
  std::sort(us.begin(), us.end());
  s.p99Us = us[std::min(us.size() - 1, static_cast<size_t>(us.size() * 0.99))];
  return s;
}

// ---- section: loaded but unused ----

double g_unusedWakeups = -1;

void SectionUnused() {
  const double span = g_opt.smoke ? 0.2 : g_opt.quick ? 4.0 : 20.0;
  Progress("unused: %.0f s with the library loaded and nothing called", span);
  // The monitor thread was started at load, just before main(); its first
  // block on the switch is part of its start, not a wake-up.
  std::this_thread::sleep_for(std::chrono::milliseconds(g_opt.smoke ? 50 : 1000));
  const Idle r = MeasureIdle(span);
  g_unusedWakeups = r.wakeupsPerS;
  Row("Loaded but unused (no ZervInit/ZervConnect): wake-ups of the library's threads",
      Fmt("%.2f /s", r.wakeupsPerS), "-", "-", Fmt("0 /s: %s", Verdict(r.wakeupsPerS == 0)),
      Fmt("voluntary context switches over %.0f s%s; CPU %.4f %%; %d thread(s) (the monitor)", r.spanS,
          g_opt.quick || g_opt.smoke ? " (short span of the quick mode)" : "", r.pct(), r.threads));
  Key("idle_unused_wakeups_per_s", Fmt("%.2f", r.wakeupsPerS));
}

// ---- section: exchange rate ----

void SectionExchange(zsim::VirtualInstrument& sim, int fd) {
  // Short blocks, many rounds: the two members of a pair run within a few
  // milliseconds of each other, so a change of the machine's load between
  // them is rare, and the median of the ratios discards the rounds it hits.
  const int n = g_opt.smoke ? 100 : g_opt.quick ? 300 : 500;
  const int pairs = g_opt.smoke ? 3 : g_opt.quick ? 21 : 41;
  Progress("exchange: %d interleaved rounds of %d exchanges each (raw, ZervSendCommandEx, ZervReadValue)",
           pairs, n);
  ZervSetDeviceHandle(reinterpret_cast<void*>(static_cast<intptr_t>(fd)));
  // The variants of one round: 0 the raw loop, 1 ZervSendCommandEx,
  // 2 ZervReadValue, then the raw loop plus one of the library's extra
  // steps, to price each: 3 dropping stale input first (tcflush), 4 a wait
  // for writability before the write.
  constexpr int kVariants = 5;
  std::vector<double> rate[kVariants], ratio[kVariants], shareUs;
  long errors = 0;
  unsigned char reply[64];
  const unsigned char status = 0x14;
  auto rawOnce = [&] {
    if (!RawExchange(fd, &status, 1, reply, 64, 200)) {
      ++errors;
      Drain(fd);
    }
  };
  // Warm-up.
  for (int i = 0; i < 200; ++i) rawOnce();
  sim.ClearLog();
  for (int p = 0; p < pairs; ++p) {
    double r[kVariants];
    for (int k = 0; k < kVariants; ++k) {
      const int which = (p + k) % kVariants;  // rotate the order from round to round
      const int64_t t0 = NowNs();
      for (int i = 0; i < n; ++i) {
        switch (which) {
          case 0:
            rawOnce();
            break;
          case 1: {
            unsigned char request = status;
            int length = 64;
            if (ZervSendCommandEx(&request, 1, reply, &length) != 0) ++errors;
            break;
          }
          case 2: {
            int a, b, c, d, e;
            double value;
            if (ZervReadValue(&a, &b, &c, &d, &e, &value) != 0) ++errors;
            break;
          }
          case 3:
            tcflush(fd, TCIFLUSH);
            rawOnce();
            break;
          default: {
            struct pollfd w = {fd, POLLOUT, 0};
            poll(&w, 1, 200);
            rawOnce();
            break;
          }
        }
      }
      r[which] = n / ((NowNs() - t0) / 1e9);
    }
    for (int v = 0; v < kVariants; ++v) {
      rate[v].push_back(r[v]);
      ratio[v].push_back(r[v] / r[0]);
    }
    shareUs.push_back(1e6 / r[1] - 1e6 / r[0]);
  }
  std::vector<double>&rawRate = rate[0], &sendRate = rate[1], &valueRate = rate[2];
  std::vector<double>&sendRatio = ratio[1], &valueRatio = ratio[2];
  const SimTimes st = ServiceTimes(sim);
  const double rs = Median(sendRatio), rv = Median(valueRatio);
  const double raw = Median(rawRate);
  const double perRawUs = 1e6 / raw;
  Row("Exchange rate, ZervSendCommandEx (status request, 64-byte reply)",
      Fmt("%.0f /s (%.1f us)", Median(sendRate), 1e6 / Median(sendRate)),
      Fmt("%.0f /s (%.1f us)", raw, perRawUs), Fmt("%.3f", rs), Fmt(">= 0.95: %s", Verdict(rs >= 0.95)),
      Fmt("median of %d paired ratios (min %.3f, max %.3f); the library's share %.2f us per exchange", pairs,
          Min(sendRatio), Max(sendRatio), Median(shareUs)));
  Row("Exchange rate, ZervReadValue", Fmt("%.0f /s (%.1f us)", Median(valueRate), 1e6 / Median(valueRate)),
      Fmt("%.0f /s", raw), Fmt("%.3f", rv), Fmt(">= 0.95: %s", Verdict(rv >= 0.95)),
      Fmt("median of %d paired ratios (min %.3f, max %.3f)", pairs, Min(valueRatio), Max(valueRatio)));
  Row("(for comparison) raw loop + tcflush before each request", Fmt("%.0f /s", Median(rate[3])),
      Fmt("%.0f /s", raw), Fmt("%.3f", Median(ratio[3])), "-", "prices one extra step of an exchange");
  Row("(for comparison) raw loop + poll for writability before the write", Fmt("%.0f /s", Median(rate[4])),
      Fmt("%.0f /s", raw), Fmt("%.3f", Median(ratio[4])), "-", "prices one extra step of an exchange");
  Row("Simulator's own time per request (frame complete to reply written)",
      Fmt("%.1f us median, %.1f us p99", st.medianUs, st.p99Us), "-", "-",
      Fmt("small against the %.1f us round trip", perRawUs),
      Fmt("%zu requests of the exchange section", st.count));
  if (errors) g_notes.push_back(Fmt("exchange section: %ld failed exchanges", errors));
  Key("exchange_ratio", Fmt("%.3f", std::min(rs, rv)));
  Key("exchange_raw_us", Fmt("%.2f", perRawUs));
  Key("exchange_library_us", Fmt("%.2f", 1e6 / Median(sendRate)));
  Key("exchange_library_share_us", Fmt("%.2f", Median(shareUs)));
  Key("sim_service_us", Fmt("%.2f", st.medianUs));
}

// ---- section: flash transfers ----

// The library's own time per packet (library minus raw twin, medians of the
// paired transfers), for the real section; negative until measured.
double g_writePacketCostUs = -1, g_readPacketCostUs = -1;

// Timeline of one library transfer from its progress reports: a pass
// starts where the reported offset goes back (or the total changes).
struct Pass {
  int64_t first = 0, last = 0;
  long reports = 0;
  unsigned total = 0;
};

// Pairing inside a transfer: the progress callback runs between two packets
// of the library, on the caller's thread, while the port is idle. There it
// makes one raw exchange of the same kind and size on the same port (a
// write packet again with the same bytes at the same address, which the
// flash stores unchanged, or a read of the same address), so every library
// packet has a raw twin a few microseconds away from it.
struct FlashTrace {
  std::vector<Pass> passes;
  unsigned lastDone = 0;
  // Pairing (off: timestamps only).
  bool pair = false;
  int fd = -1;
  unsigned base = 0;
  const unsigned char* data = nullptr;
  int64_t prevEnd = 0;  // end of the previous callback, 0 at a pass start
  std::vector<double> libNs[3], rawNs[3];
  long errors = 0;
};
FlashTrace g_trace;

void RawPacket(int pass, unsigned done, unsigned prevDone) {
  unsigned char request[40] = {0x12, 'Q', 'F'};
  unsigned char reply[64];
  unsigned offset, n;
  int length = 8;
  if (pass == 1) {  // write pass: reports the offset after the packet
    offset = prevDone;
    n = done - prevDone;
    request[3] = 'W';
    memcpy(request + 8, g_trace.data + offset, n);
    length = 8 + static_cast<int>(n);
  } else {  // read pass: reports the offset before the packet
    offset = done;
    n = 32;
    request[3] = 'R';
  }
  const unsigned a = g_trace.base + offset;
  request[4] = static_cast<unsigned char>(n - 1);
  request[5] = a >> 16, request[6] = a >> 8, request[7] = a;
  if (!RawExchange(g_trace.fd, request, length, reply, 64, 200)) ++g_trace.errors;
}

void OnFlashProgress(unsigned done, unsigned total) {
  const int64_t t = NowNs();
  FlashTrace& f = g_trace;
  const unsigned prevDone = f.lastDone;
  const bool newPass = f.passes.empty() || done < f.lastDone || total != f.passes.back().total;
  if (newPass) {
    f.passes.push_back(Pass{t, t, 1, total});
    f.prevEnd = 0;
  } else {
    f.passes.back().last = t;
    ++f.passes.back().reports;
  }
  f.lastDone = done;
  const int pass = static_cast<int>(f.passes.size()) - 1;
  // The final report (total, total) follows the last packet's without an
  // exchange between them; the write pass repeats it.
  if (!f.pair || pass < 1 || pass > 2 || done >= total || (pass == 1 && done == prevDone)) {
    if (f.pair) f.prevEnd = 0;
    return;
  }
  if (f.prevEnd != 0) {
    const int64_t r0 = NowNs();
    RawPacket(pass, done, prevDone);
    const int64_t r1 = NowNs();
    f.libNs[pass].push_back(static_cast<double>(t - f.prevEnd));
    f.rawNs[pass].push_back(static_cast<double>(r1 - r0));
    f.prevEnd = NowNs();
  } else {
    f.prevEnd = NowNs();
  }
}

// Time of one exchange within a pass whose reports come one per packet plus
// a final one right after the last.
double PerPacketNs(const Pass& p) {
  return p.reports > 2 ? static_cast<double>(p.last - p.first) / (p.reports - 2) : 0.0;
}

// The raw floor of a region write with verify: the whole-region erase, the
// write packets and the read-back packets, each a raw exchange of the same
// request the library sends.
int64_t RawWriteFloorNs(int fd, unsigned base, unsigned capacity, const unsigned char* data,
                        unsigned length, long* errors) {
  unsigned char request[40] = {0x12, 'Q', 'F'};
  unsigned char reply[64];
  const int64_t t0 = NowNs();
  request[3] = 'E';
  request[4] = 0x52;
  for (unsigned off = 0; off < capacity; off += 0x8000) {
    const unsigned a = base + off;
    request[5] = a >> 16, request[6] = a >> 8, request[7] = a;
    if (!RawExchange(fd, request, 8, reply, 64, 2000)) ++*errors;
  }
  request[3] = 'W';
  for (unsigned done = 0; done < length;) {
    const unsigned n = std::min(length - done, 32u);
    const unsigned a = base + done;
    request[4] = n - 1;
    request[5] = a >> 16, request[6] = a >> 8, request[7] = a;
    memcpy(request + 8, data + done, n);
    done += n;
    if (!RawExchange(fd, request, 8 + n, reply, 64, 200)) ++*errors;
  }
  request[3] = 'R';
  const unsigned readBack = (length + 31) / 32 * 32;
  for (unsigned done = 0; done < readBack; done += 32) {
    const unsigned a = base + done;
    request[4] = 31;
    request[5] = a >> 16, request[6] = a >> 8, request[7] = a;
    if (!RawExchange(fd, request, 8, reply, 64, 200)) ++*errors;
  }
  return NowNs() - t0;
}

int64_t RawReadFloorNs(int fd, unsigned base, unsigned length, long* errors) {
  unsigned char request[8] = {0x12, 'Q', 'F', 'R'};
  unsigned char reply[64];
  const int64_t t0 = NowNs();
  for (unsigned done = 0; done < length;) {
    const unsigned n = std::min(length - done, 32u);
    const unsigned a = base + done;
    request[4] = n - 1;
    request[5] = a >> 16, request[6] = a >> 8, request[7] = a;
    if (!RawExchange(fd, request, 8, reply, 64, 200)) ++*errors;
    done += n;
  }
  return NowNs() - t0;
}

double PairedRatio(const std::vector<double>& lib, const std::vector<double>& raw) {
  std::vector<double> r;
  for (size_t i = 0; i < lib.size() && i < raw.size(); ++i) {
    if (lib[i] > 0) r.push_back(raw[i] / lib[i]);
  }
  return Median(r);
}

// The smoke run reads only: every write transfer waits over 4 s in the
// port's time-out settings.
void SectionFlashSmoke(zsim::VirtualInstrument& sim, int fd) {
  ZervSetDeviceHandle(reinterpret_cast<void*>(static_cast<intptr_t>(fd)));
  const unsigned length = 0x2000;
  std::vector<unsigned char> back(length);
  long errors = 0;
  const int64_t t0 = NowNs();
  if (!ZervSPIFlashReadEx(CHIP_FLASH_REGION_3, back.data(), length, nullptr)) ++errors;
  const double lib = (NowNs() - t0) / 1e9;
  const double raw = RawReadFloorNs(fd, 0x18000, length, &errors) / 1e9;
  if (back != sim.ReadFlash(0x18000, length)) ++errors;
  Row("Flash read, region 3, 0x2000 bytes (smoke)", Fmt("%.3f s", lib), Fmt("%.3f s", raw),
      Fmt("%.3f", raw / lib), "-", "one pair");
  if (errors) g_notes.push_back(Fmt("flash section: %ld failed exchanges or transfers", errors));
  Key("flash_ratio", Fmt("%.3f", raw / lib));
}

void SectionFlash(zsim::VirtualInstrument& sim, int fd) {
  if (g_opt.smoke) return SectionFlashSmoke(sim, fd);
  const unsigned base = 0x18000, capacity = 0x1E8000;
  const unsigned length = g_opt.smoke ? 0x2000 : g_opt.quick ? 0x40000 : capacity;
  const int rounds = g_opt.quick ? 1 : 2;
  Progress("flash: %d round(s) of a region 3 write with verify and a read of 0x%X bytes against the raw "
           "floor, then one of each with every packet paired",
           rounds, length);
  ZervSetDeviceHandle(reinterpret_cast<void*>(static_cast<intptr_t>(fd)));
  std::vector<unsigned char> data(length), back(length);
  std::mt19937 rng(12);
  for (auto& b : data) b = static_cast<unsigned char>(rng());
  long errors = 0;
  std::vector<double> libWriteS, rawWriteS, fixedS, libReadS, rawReadS;
  double eraseSettle = 0, writeSettle = 0, readGap = 0;
  sim.ClearLog();
  auto libraryWrite = [&](bool pair) -> int64_t {
    g_trace = FlashTrace();
    g_trace.pair = pair;
    g_trace.fd = fd;
    g_trace.base = base;
    g_trace.data = data.data();
    const int64_t t0 = NowNs();
    if (!ZervSPIFlashWriteEx(CHIP_FLASH_REGION_3, data.data(), length, OnFlashProgress)) ++errors;
    const int64_t total = NowNs() - t0;
    if (!pair) {
      if (g_trace.passes.size() == 3) {
        const Pass &e = g_trace.passes[0], &w = g_trace.passes[1], &r = g_trace.passes[2];
        eraseSettle = e.first - t0 - PerPacketNs(e);
        writeSettle = w.first - e.last - PerPacketNs(w);
        readGap = r.first - w.last - PerPacketNs(r);
        fixedS.push_back((eraseSettle + writeSettle + readGap) / 1e9);
      } else {
        g_notes.push_back(
            Fmt("flash: %zu passes seen in the progress reports, 3 expected", g_trace.passes.size()));
        fixedS.push_back(0);
      }
    }
    return total;
  };
  auto libraryRead = [&](bool pair) -> int64_t {
    // A read reports one pass; the pairing expects it as pass 2.
    g_trace = FlashTrace();
    g_trace.pair = pair;
    g_trace.fd = fd;
    g_trace.base = base;
    g_trace.passes.resize(2);
    const int64_t t0 = NowNs();
    if (!ZervSPIFlashReadEx(CHIP_FLASH_REGION_3, back.data(), length, pair ? OnFlashProgress : nullptr))
      ++errors;
    const int64_t total = NowNs() - t0;
    if (back != data) ++errors;
    return total;
  };
  for (int p = 0; p < rounds; ++p) {
    const bool libraryFirst = p % 2 == 0;
    for (int k = 0; k < 2; ++k) {
      if ((k == 0) == libraryFirst)
        libWriteS.push_back(libraryWrite(false) / 1e9);
      else
        rawWriteS.push_back(RawWriteFloorNs(fd, base, capacity, data.data(), length, &errors) / 1e9);
    }
    for (int k = 0; k < 2; ++k) {
      if ((k == 0) != libraryFirst)
        libReadS.push_back(libraryRead(false) / 1e9);
      else
        rawReadS.push_back(RawReadFloorNs(fd, base, length, &errors) / 1e9);
    }
  }
  // Every packet paired with a raw twin.
  libraryWrite(true);
  const double pairedWrite = PairedRatio(g_trace.libNs[1], g_trace.rawNs[1]);
  const double pairedReadBack = PairedRatio(g_trace.libNs[2], g_trace.rawNs[2]);
  const size_t pairedWritePackets = g_trace.libNs[1].size() + g_trace.libNs[2].size();
  const double libPacketUs = Median(g_trace.libNs[1]) / 1e3, rawPacketUs = Median(g_trace.rawNs[1]) / 1e3;
  errors += g_trace.errors;
  libraryRead(true);
  const double pairedRead = PairedRatio(g_trace.libNs[2], g_trace.rawNs[2]);
  const size_t pairedReadPackets = g_trace.libNs[2].size();
  const double libReadPacketUs = Median(g_trace.libNs[2]) / 1e3, rawReadPacketUs = Median(g_trace.rawNs[2]) / 1e3;
  errors += g_trace.errors;
  g_writePacketCostUs = std::max(0.0, libPacketUs - rawPacketUs);
  g_readPacketCostUs = std::max(0.0, libReadPacketUs - rawReadPacketUs);

  const SimTimes st = ServiceTimes(sim);
  const double mb = length / 1e6;
  const double lw = Median(libWriteS), rw = Median(rawWriteS), fx = Median(fixedS);
  const double lr = Median(libReadS), rr = Median(rawReadS);
  const unsigned packets = (length + 31) / 32;
  const std::string what = length == capacity ? "full region 3 (0x1E8000 bytes)"
                                              : Fmt("region 3, 0x%X bytes (shorter transfer)", length);
  Row("Flash write with verify, " + what, Fmt("%.2f s (%.3f MB/s)", lw, mb / lw),
      Fmt("%.2f s (%.3f MB/s)", rw, mb / rw), Fmt("%.3f", rw / lw), "-",
      Fmt("whole transfers, everything included; %u erases, %u write and %u read-back packets; median of %d",
          capacity / 0x8000, packets, packets, rounds));
  Row("Flash write with verify, without the fixed settling waits", Fmt("%.2f s", lw - fx), Fmt("%.2f s", rw),
      Fmt("%.3f", rw / (lw - fx)), "-",
      Fmt("fixed waits %.2f s: %.0f ms before the erases, %.0f ms (100 ms restore + 2000 ms) before the "
          "writes, %.0f ms restore after them: the long time-outs of the flash packets",
          fx, eraseSettle / 1e6, writeSettle / 1e6, readGap / 1e6));
  const double pw = std::min(pairedWrite, pairedReadBack);
  Row("Flash write with verify, every packet paired with a raw twin",
      Fmt("%.1f us per write packet", libPacketUs), Fmt("%.1f us", rawPacketUs),
      Fmt("%.3f", pw), Fmt(">= 0.95: %s", Verdict(pw >= 0.95)),
      Fmt("median of %zu per-packet ratios (write pass %.3f, read-back pass %.3f)", pairedWritePackets,
          pairedWrite, pairedReadBack));
  Row("Flash read, " + what, Fmt("%.2f s (%.3f MB/s)", lr, mb / lr), Fmt("%.2f s (%.3f MB/s)", rr, mb / rr),
      Fmt("%.3f", rr / lr), "-", Fmt("whole transfers, %u packets; median of %d", packets, rounds));
  Row("Flash read, every packet paired with a raw twin", Fmt("%.1f us per packet", libReadPacketUs),
      Fmt("%.1f us", rawReadPacketUs), Fmt("%.3f", pairedRead), Fmt(">= 0.95: %s", Verdict(pairedRead >= 0.95)),
      Fmt("median of %zu per-packet ratios; simulator %.1f us median per request", pairedReadPackets,
          st.medianUs));
  if (errors) g_notes.push_back(Fmt("flash section: %ld failed exchanges or transfers", errors));
  Key("flash_ratio", Fmt("%.3f", std::min(pw, pairedRead)));
  Key("flash_write_ratio_whole", Fmt("%.3f", rw / lw));
  Key("flash_write_ratio_whole_without_waits", Fmt("%.3f", rw / (lw - fx)));
  Key("flash_read_ratio_whole", Fmt("%.3f", rr / lr));
  Key("flash_fixed_waits_s", Fmt("%.2f", fx));
}

// ---- section: real timing ----

// A region 3 write with verify and a read against the instrument's real
// timing (tools/sim: a reply a 1 ms USB frame after its request, 32 KiB
// block erases of 120 ms, packets programmed in 0.7 ms). The whole transfer
// is what a user waits for; the library's share of it is the fixed
// settling waits of the write (measured in this transfer, from its progress
// timeline) plus the library's own time per packet (measured by the flash
// section's paired packets, times the packets). The rest is the instrument
// and its link, which no host software can shorten. The quick run times
// 0x10000 bytes and extrapolates to the whole region per erase and packet.
void SectionReal(zsim::VirtualInstrument& sim, int fd) {
  const unsigned capacity = 0x1E8000;
  const unsigned length = g_opt.quick ? 0x10000 : capacity;
  Progress("real: a region 3 write with verify and a read of 0x%X bytes against the real timing%s", length,
           g_opt.quick ? "" : " (about 4.5 minutes)");
  ZervSetDeviceHandle(reinterpret_cast<void*>(static_cast<intptr_t>(fd)));
  sim.SetTiming(zsim::Timing::Real);
  std::vector<unsigned char> data(length), back(length);
  std::mt19937 rng(13);
  for (auto& b : data) b = static_cast<unsigned char>(rng());
  long errors = 0;

  g_trace = FlashTrace();
  int64_t t0 = NowNs();
  if (!ZervSPIFlashWriteEx(CHIP_FLASH_REGION_3, data.data(), length, OnFlashProgress)) ++errors;
  const double writeS = (NowNs() - t0) / 1e9;
  double fixedS = 0, eraseS = 0, writePacketS = 0, readPacketS = 0;
  if (g_trace.passes.size() == 3) {
    const Pass &e = g_trace.passes[0], &w = g_trace.passes[1], &r = g_trace.passes[2];
    eraseS = PerPacketNs(e) / 1e9;
    writePacketS = PerPacketNs(w) / 1e9;
    readPacketS = PerPacketNs(r) / 1e9;
    fixedS = ((e.first - t0 - PerPacketNs(e)) + (w.first - e.last - PerPacketNs(w)) +
              (r.first - w.last - PerPacketNs(r))) / 1e9;
  } else {
    g_notes.push_back(Fmt("real: %zu passes seen in the progress reports, 3 expected", g_trace.passes.size()));
  }
  g_trace = FlashTrace();
  g_trace.passes.resize(2);  // the read's reports form pass 2
  t0 = NowNs();
  if (!ZervSPIFlashReadEx(CHIP_FLASH_REGION_3, back.data(), length, OnFlashProgress)) ++errors;
  const double readS = (NowNs() - t0) / 1e9;
  const double readOnlyPacketS = g_trace.passes.size() == 3 ? PerPacketNs(g_trace.passes[2]) / 1e9 : 0;
  if (back != data) ++errors;
  sim.SetTiming(zsim::Timing::Instant);

  const unsigned erases = capacity / 0x8000, packets = capacity / 32;
  double wholeWriteS = writeS, wholeReadS = readS;
  if (length != capacity) {
    wholeWriteS = fixedS + erases * eraseS + packets * (writePacketS + readPacketS);
    wholeReadS = packets * readOnlyPacketS;
  }
  const bool perPacket = g_writePacketCostUs >= 0;
  const double writeWorkS = perPacket ? packets * (g_writePacketCostUs + g_readPacketCostUs) / 1e6 : 0;
  const double readWorkS = perPacket ? packets * g_readPacketCostUs / 1e6 : 0;
  const double writeShareS = fixedS + writeWorkS, readShareS = readWorkS;
  const std::string how = length == capacity ? "measured whole"
                                             : Fmt("extrapolated from 0x%X bytes (quick run) per erase and packet", length);
  const std::string work = perPacket ? "" : "; the per-packet work needs the flash section (not run): counted as 0";
  Row("Flash write with verify, full region 3, real instrument timing", Fmt("%.1f s", wholeWriteS),
      Fmt("%.1f s without the library's share", wholeWriteS - writeShareS),
      Fmt("library %.1f %%", 100 * writeShareS / wholeWriteS), "-",
      Fmt("%s; %u block erases (%.0f ms each), %u write packets (%.2f ms) and %u read-back packets (%.2f ms); "
          "library's share %.2f s: settling waits %.2f s + per-packet work %.2f s (%.2f + %.2f us a packet)%s",
          how.c_str(), erases, eraseS * 1e3, packets, writePacketS * 1e3, packets, readPacketS * 1e3,
          writeShareS, fixedS, writeWorkS, std::max(0.0, g_writePacketCostUs), std::max(0.0, g_readPacketCostUs),
          work.c_str()));
  Row("Flash read, full region 3, real instrument timing", Fmt("%.1f s", wholeReadS),
      Fmt("%.1f s without the library's share", wholeReadS - readShareS),
      Fmt("library %.2f %%", 100 * readShareS / wholeReadS), "-",
      Fmt("%s; %u packets (%.2f ms each); library's share %.2f s: per-packet work (%.2f us a packet)%s",
          how.c_str(), packets, readOnlyPacketS * 1e3, readShareS, std::max(0.0, g_readPacketCostUs),
          work.c_str()));
  if (errors) g_notes.push_back(Fmt("real section: %ld failed transfers", errors));
  Key("real_write_verify_s", Fmt("%.1f", wholeWriteS));
  Key("real_write_verify_library_s", Fmt("%.2f", writeShareS));
  Key("real_write_verify_library_pct", Fmt("%.2f", 100 * writeShareS / wholeWriteS));
  Key("real_read_s", Fmt("%.1f", wholeReadS));
  Key("real_read_library_s", Fmt("%.3f", readShareS));
  Key("real_read_library_pct", Fmt("%.3f", 100 * readShareS / wholeReadS));
}

// ---- section: liveness check ----

void Trim(char* s) {
  size_t n = strlen(s);
  while (n > 0 && isspace(static_cast<unsigned char>(s[n - 1]))) s[--n] = '\0';
  size_t i = 0;
  while (s[i] != '\0' && isspace(static_cast<unsigned char>(s[i]))) ++i;
  if (i) memmove(s, s + i, n - i + 1);
}

// The check as the shell listing makes it.
int ShellIsAlive() {
  FILE* pipe = popen("/bin/ls /dev/ttyACM* 2>/dev/null", "r");
  if (pipe == nullptr) return 0;
  char line[512];
  int result = 0;
  while (fgets(line, 511, pipe) != nullptr) {
    Trim(line);
    if (DeviceCheckPath(line)) {
      result = 1;
      break;
    }
  }
  pclose(pipe);
  return result;
}

struct Liveness {
  double libUs = 0, shellUs = 0, ratio = 0;
  bool sameAnswer = true;
};

Liveness MeasureLiveness() {
  const int pairs = g_opt.smoke ? 2 : g_opt.quick ? 3 : 7;
  const int nLib = g_opt.smoke ? 2000 : 20000;
  const int nShell = g_opt.smoke ? 3 : g_opt.quick ? 20 : 50;
  std::vector<double> lib, shell, ratio;
  Liveness r;
  for (int p = 0; p < pairs; ++p) {
    double us[2];
    for (int k = 0; k < 2; ++k) {
      const int which = (p + k) % 2;
      const int count = which == 0 ? nLib : nShell;
      int alive = 0;
      const int64_t t0 = NowNs();
      for (int i = 0; i < count; ++i) alive += which == 0 ? DeviceIsAlive() : ShellIsAlive();
      us[which] = (NowNs() - t0) / 1e3 / count;
      if (alive != 0 && alive != count) r.sameAnswer = false;
      if (which == 1 && (alive != 0) != (DeviceIsAlive() != 0)) r.sameAnswer = false;
    }
    lib.push_back(us[0]);
    shell.push_back(us[1]);
    ratio.push_back(us[1] / us[0]);
  }
  r.libUs = Median(lib);
  r.shellUs = Median(shell);
  r.ratio = Median(ratio);
  return r;
}

void SectionLiveness(zsim::VirtualInstrument& sim) {
  // The recorded port: the instrument's node when it can be linked, else
  // its terminal (the listing then finds nothing, which costs the same).
  const bool ns = InNamespace();
  const std::string path = ns && sim.Plug("/dev/ttyACM0") ? "/dev/ttyACM0" : sim.SlavePath();
  memset(g_szDevicePath, 0, sizeof g_szDevicePath);
  snprintf(g_szDevicePath, sizeof g_szDevicePath, "%s", path.c_str());
  Progress("liveness: DeviceIsAlive against the shell listing, path %s", path.c_str());
  const Liveness plain = MeasureLiveness();

  // The same in a process with more threads and a large, touched heap.
  const int extraThreads = 8;
  const size_t heapBytes = g_opt.smoke ? (size_t{16} << 20) : (size_t{1} << 30);
  Progress("liveness: again with %d more threads and %zu MiB of heap", extraThreads, heapBytes >> 20);
  std::vector<char*> heap;
  for (size_t done = 0; done < heapBytes; done += size_t{1} << 20) {
    char* block = static_cast<char*>(malloc(size_t{1} << 20));
    if (block == nullptr) break;
    memset(block, 0x5A, size_t{1} << 20);
    heap.push_back(block);
  }
  std::mutex m;
  std::condition_variable cv;
  bool release = false;
  std::vector<std::thread> threads;
  const std::set<int> before = Tids();
  for (int i = 0; i < extraThreads; ++i) {
    threads.emplace_back([&] {
      std::unique_lock<std::mutex> lk(m);
      cv.wait(lk, [&] { return release; });
    });
  }
  for (int tid : Tids()) {
    if (before.count(tid) == 0) g_foreignTids.insert(tid);
  }
  const Liveness heavy = MeasureLiveness();
  {
    std::lock_guard<std::mutex> lk(m);
    release = true;
  }
  cv.notify_all();
  for (auto& t : threads) t.join();
  for (char* block : heap) free(block);
  memset(g_szDevicePath, 0, sizeof g_szDevicePath);

  Row("Liveness check: DeviceIsAlive (lstat) against the shell listing through popen",
      Fmt("%.2f us", plain.libUs), Fmt("%.0f us", plain.shellUs), Fmt("%.0f x", plain.ratio),
      Fmt(">= 100 x: %s", Verdict(plain.ratio >= 100)),
      Fmt("median of paired ratios%s%s", ns ? "; node /dev/ttyACM0 listed" : "; no namespace: the listing finds no node",
          plain.sameAnswer || !ns ? "" : "; ANSWERS DIFFER"));
  Row(Fmt("Liveness check with %d more threads and %zu MiB of touched heap", extraThreads, heapBytes >> 20),
      Fmt("%.2f us", heavy.libUs), Fmt("%.0f us", heavy.shellUs), Fmt("%.0f x", heavy.ratio),
      Fmt(">= 100 x: %s", Verdict(heavy.ratio >= 100)), "glibc's popen starts the shell with posix_spawn, which copies no page tables, so the heap hardly counts");
  Key("liveness_ratio", Fmt("%.0f", std::min(plain.ratio, heavy.ratio)));
  Key("liveness_library_us", Fmt("%.3f", plain.libUs));
  Key("liveness_shell_us", Fmt("%.0f", plain.shellUs));
}

// ---- section: memory ----

// Runs zervon-bench-rss and returns the resident size it reports, in KiB.
long ProbeRss(bool withLibrary, bool* connected) {
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return -1;
  self[n] = '\0';
  std::string probe = self;
  probe = probe.substr(0, probe.rfind('/') + 1) + "zervon-bench-rss";
  int out[2];
  if (pipe(out) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  const char* mode = withLibrary ? "with" : "without";
  char* argv[] = {const_cast<char*>(probe.c_str()), const_cast<char*>(mode), const_cast<char*>("5"), nullptr};
  pid_t pid;
  const int rc = posix_spawn(&pid, probe.c_str(), &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  if (rc != 0) {
    close(out[0]);
    return -1;
  }
  std::string text;
  char buf[256];
  ssize_t got;
  while ((got = read(out[0], buf, sizeof buf)) > 0) text.append(buf, got);
  close(out[0]);
  int status;
  waitpid(pid, &status, 0);
  long kib = -1;
  int conn = 0;
  sscanf(text.c_str(), "rss_kib: %ld connected: %d", &kib, &conn);
  *connected = conn != 0;
  return kib;
}

void SectionMemory() {
  const int rounds = g_opt.quick ? 1 : 3;
  Progress("memory: %d round(s) of the resident-size probe with and without the library", rounds);
  std::vector<double> with, without;
  bool connected = true;
  for (int i = 0; i < rounds; ++i) {
    bool c = false;
    const long w = ProbeRss(true, &c);
    connected = connected && c;
    const long wo = ProbeRss(false, &c);
    if (w > 0) with.push_back(w);
    if (wo > 0) without.push_back(wo);
  }
  if (with.empty() || without.empty()) {
    Row("Memory: resident size", "n/a", "n/a", "-", "-", "zervon-bench-rss did not run");
    return;
  }
  const double w = Median(with), wo = Median(without);
  Row("Memory: resident size of a process with the library loaded and connected",
      Fmt("%.0f KiB", w), Fmt("%.0f KiB", wo), Fmt("+%.0f KiB", w - wo), "-",
      Fmt("same program with and without dlopen of the shared library%s; median of %d", connected ? " and ZervConnect" : " (NOT connected)", rounds));
  Key("rss_library_kib", Fmt("%.0f", w - wo));
}

// ---- section: idle cost while connected and searching, event latencies ----

std::mutex g_eventMutex;
std::condition_variable g_eventCv;
std::vector<std::pair<bool, int64_t>> g_events;

void OnConnection(bool connected) {
  std::lock_guard<std::mutex> lk(g_eventMutex);
  g_events.emplace_back(connected, NowNs());
  g_eventCv.notify_all();
}

// Waits for a report of `state` after index `from`; its time, or -1.
int64_t WaitReport(bool state, size_t from, long timeoutMs) {
  std::unique_lock<std::mutex> lk(g_eventMutex);
  int64_t when = -1;
  g_eventCv.wait_for(lk, std::chrono::milliseconds(timeoutMs), [&] {
    for (size_t i = from; i < g_events.size(); ++i) {
      if (g_events[i].first == state) {
        when = g_events[i].second;
        return true;
      }
    }
    return false;
  });
  return when;
}

size_t EventCount() {
  std::lock_guard<std::mutex> lk(g_eventMutex);
  return g_events.size();
}

void SectionConnected(zsim::VirtualInstrument& sim) {
  const std::string node = "/dev/ttyACM0";
  const double span = g_opt.quick ? 4.0 : 20.0;
  const int cycles = g_opt.quick ? 2 : 10;
  if (!sim.Plug(node)) {
    g_notes.push_back("connected section: the instrument could not be plugged in");
    return;
  }
  Progress("idle: ZervInit, then %.0f s connected", span);
  size_t from = EventCount();
  ZervInit(OnConnection);
  if (WaitReport(true, from, 10000) < 0) {
    g_notes.push_back("connected section: no connection within 10 s");
    ZervFree();
    return;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  const Idle connected = MeasureIdle(span);

  Progress("latency: %d unplug/plug cycles", cycles);
  std::vector<double> unplugS, plugS;
  for (int i = 0; i < cycles; ++i) {
    // Spread the moments over the monitor's and the search's cadence.
    std::this_thread::sleep_for(std::chrono::milliseconds((i * 613) % 1200));
    from = EventCount();
    const int64_t t0 = NowNs();
    sim.Unplug();
    const int64_t lost = WaitReport(false, from, 10000);
    if (lost < 0) {
      g_notes.push_back("latency: no loss report within 10 s");
      break;
    }
    unplugS.push_back((lost - t0) / 1e9);
    std::this_thread::sleep_for(std::chrono::milliseconds((i * 379) % 1000));
    from = EventCount();
    sim.Replug(node);
    const int64_t t1 = NowNs();  // the node exists from here on
    const int64_t found = WaitReport(true, from, 10000);
    if (found < 0) {
      g_notes.push_back("latency: no connection report within 10 s");
      break;
    }
    plugS.push_back((found - t1) / 1e9);
  }

  Progress("idle: unplugged, %.0f s searching", span);
  from = EventCount();
  sim.Unplug();
  WaitReport(false, from, 10000);
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  const Idle searching = MeasureIdle(span);
  ZervFree();

  const char* shortSpan = g_opt.quick ? " (short span of the quick mode)" : "";
  Row("Idle cost while connected (monitor on)", Fmt("%.4f %% of one core", connected.pct()), "-", "-",
      Fmt("<= 0.1 %%: %s", Verdict(connected.pct() <= 0.1)),
      IdleText(connected) + shortSpan +
          "; the cadence is fixed: two liveness checks per 1.2 s pass");
  Row("Idle cost while searching (no instrument)", Fmt("%.4f %% of one core", searching.pct()), "-", "-",
      Fmt("<= 0.5 %%: %s", Verdict(searching.pct() <= 0.5)),
      IdleText(searching) + shortSpan + "; fixed: one pass over 128 nodes, then the one-second pause");
  Key("idle_connected_pct", Fmt("%.4f", connected.pct()));
  Key("idle_searching_pct", Fmt("%.4f", searching.pct()));
  if (!plugS.empty()) {
    Row(Fmt("Plug to connected callback (%zu cycles)", plugS.size()),
        Fmt("%.3f / %.3f / %.3f s", Min(plugS), Median(plugS), Max(plugS)), "0.2 .. 1.2 s", "-",
        Fmt("within cadence: %s", Verdict(Max(plugS) <= 1.3 && Min(plugS) >= 0.19)),
        "min / median / max; fixed: up to the 1 s pause between search passes + 200 ms after host control");
    Key("plug_latency_median_s", Fmt("%.3f", Median(plugS)));
  }
  if (!unplugS.empty()) {
    Row(Fmt("Unplug to lost callback (%zu cycles)", unplugS.size()),
        Fmt("%.3f / %.3f / %.3f s", Min(unplugS), Median(unplugS), Max(unplugS)), "1.5 .. 2.7 s", "-",
        Fmt("within cadence: %s", Verdict(Max(unplugS) <= 2.8 && Min(unplugS) >= 1.45)),
        "min / median / max; fixed: up to the 1.2 s rest between monitor passes + 1.5 s of failed checks");
    Key("unplug_latency_median_s", Fmt("%.3f", Median(unplugS)));
  }
}

// ---- section: fleet ----

// A rack of instruments against the real timing: up to 8 virtual
// instruments in this process (each serving on its own thread), plugged in
// as /dev/ttyACM0.., and one worker process per instrument, since the
// library holds one instrument per process. A worker is this program
// started again (fork and exec) with --fleet-worker; it drives its own node
// through the library and prints one line of key=value results.

constexpr int kFleetSize = 8;
constexpr unsigned kFleetImageLength = 0x2000;    // the burned image: 256 loader rows
constexpr unsigned kFleetFlashLength = 0x8000;    // the whole of SPI flash region 0
constexpr int kFleetWatchRate = 10;               // samples per second per instrument

// A stop signal (SIGINT, SIGTERM, SIGHUP) while the fleet runs: the workers
// are stopped and reaped, the instruments stopped, then the signal takes its
// course.
volatile sig_atomic_t g_fleetStop = 0;
void OnFleetSignal(int sig) { g_fleetStop = sig; }

cpu_set_t g_allowedCpus;  // the affinity the program started with

std::string FleetNode(int n) { return "/dev/ttyACM" + std::to_string(n); }

std::vector<unsigned char> FleetFlashData(int node) {
  std::vector<unsigned char> data(kFleetFlashLength);
  std::mt19937 rng(100 + node);
  for (auto& b : data) b = static_cast<unsigned char>(rng());
  return data;
}

// ---- the worker (a process of its own) ----

// Nonzero once a stop signal came while the worker can stop between two
// steps (watching); elsewhere (a burn, a flash transfer) a stop signal ends
// the worker at once, after giving back what would outlive it.
volatile sig_atomic_t g_workerStop = 0;
volatile sig_atomic_t g_workerStoppable = 0;

void OnWorkerSignal(int sig) {
  if (g_workerStoppable) {
    g_workerStop = 1;
    return;
  }
  const int saved = errno;
  // The exclusive mode of a terminal outlives the process while the
  // instrument holds the other side; the lock file would outlive it too.
  for (int fd = 3; fd < 1024; ++fd) {
    int exclusive = 0;
    if (ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive) ioctl(fd, TIOCNXCL);
  }
  if (g_szLockFilePath[0] != '\0') unlink(g_szLockFilePath);
  signal(sig, SIG_DFL);
  errno = saved;
  raise(sig);
}

//   --fleet-worker burn NODE IMAGE MAIN SUB
//   --fleet-worker flash NODE
//   --fleet-worker watch NODE SECONDS
// Exit status 0 when the work succeeded.
int FleetWorker(int argc, char** argv) {
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) signal(sig, OnWorkerSignal);
  signal(SIGPIPE, SIG_IGN);  // a parent gone: the results are lost, the port still given back
  if (argc < 2) return 2;
  const std::string mode = argv[0];
  const int node = atoi(argv[1]);
  if (mode == "watch") g_workerStoppable = 1;
  if (mode == "burn") {
    if (argc < 5) return 2;
    int mainVer = atoi(argv[3]), subVer = atoi(argv[4]);
    const int loaded = ZervLoadBinFile(argv[2], &mainVer, &subVer);
    if (loaded != 0) {
      printf("rc=%d\n", loaded);
      return 1;
    }
  }
  const int64_t t0 = NowNs();
  if (!ZervConnect(node, 10000)) {
    printf("rc=-3 connected=0\n");
    return 1;
  }
  const double connectS = (NowNs() - t0) / 1e9;
  int rc = 0;
  const int64_t t1 = NowNs();
  if (mode == "burn") {
    rc = ZervBurnBinFile(nullptr);
    const double burnS = (NowNs() - t1) / 1e9;
    ZervFree();
    printf("rc=%d connect_s=%.3f work_s=%.3f\n", rc, connectS, burnS);
  } else if (mode == "flash") {
    std::vector<unsigned char> data = FleetFlashData(node);
    rc = ZervSPIFlashWriteEx(CHIP_FLASH_REGION_0, data.data(), kFleetFlashLength, nullptr) ? 0 : 1;
    const double flashS = (NowNs() - t1) / 1e9;
    ZervFree();
    printf("rc=%d connect_s=%.3f work_s=%.3f\n", rc, connectS, flashS);
  } else if (mode == "watch" && argc >= 3) {
    // Sample k is due at start + k periods; it is taken at once when it is
    // already due (no sample is skipped to catch up). Missed: the reading
    // failed, or the watch ended before the sample was taken. Late: the
    // reading came back more than one period after the sample was due.
    const int samples = static_cast<int>(atof(argv[2]) * kFleetWatchRate);
    const int64_t periodNs = 1000000000LL / kFleetWatchRate;
    const int64_t start = NowNs() + periodNs;
    int failed = 0, late = 0, taken = 0;
    double worstMs = 0;
    for (int k = 0; k < samples && !g_workerStop; ++k) {
      const int64_t due = start + k * periodNs;
      const int64_t wait = due - NowNs();
      if (wait > 0) std::this_thread::sleep_for(std::chrono::nanoseconds(wait));
      if (g_workerStop) break;
      int a, b, c, d, e;
      double value;
      const int read = ZervReadValue(&a, &b, &c, &d, &e, &value);
      const double behindMs = (NowNs() - due) / 1e6;
      ++taken;
      worstMs = std::max(worstMs, behindMs);
      if (read != 0) ++failed;
      else if (behindMs > periodNs / 1e6) ++late;
    }
    ZervFree();
    const int missed = failed + (samples - taken);
    rc = missed == 0 ? 0 : 1;
    printf("rc=%d connect_s=%.3f samples=%d missed=%d late=%d worst_ms=%.1f\n", rc, connectS, samples,
           missed, late, worstMs);
  } else {
    ZervFree();
    return 2;
  }
  fflush(stdout);
  return rc == 0 ? 0 : 1;
}

// ---- the parent ----

struct FleetRun {
  double wallS = 0;  // first worker started to last one reaped
  std::vector<std::map<std::string, double>> results;
  int failed = 0;    // workers that did not end with status 0
  std::vector<std::string> failures;
};

// Starts one worker per argument list, all at once, and waits for them all.
FleetRun RunWorkers(const std::vector<std::vector<std::string>>& workerArgs, long timeoutMs) {
  FleetRun run;
  const std::string self = SelfPath();
  std::vector<Child> children(workerArgs.size());
  const int64_t t0 = NowNs();
  int64_t last = t0;
  for (size_t i = 0; i < workerArgs.size(); ++i) {
    std::vector<std::string> args = {self, "--fleet-worker"};
    args.insert(args.end(), workerArgs[i].begin(), workerArgs[i].end());
    if (!StartChild(self, args, &children[i])) children[i].reaped = true;  // never started
  }
  WaitChildren(children, timeoutMs, &g_fleetStop);
  for (size_t i = 0; i < children.size(); ++i) {
    const Child& c = children[i];
    last = std::max(last, c.endNs);
    run.results.push_back(KeyValues(c.text));
    if (c.pid < 0 || !WIFEXITED(c.status) || WEXITSTATUS(c.status) != 0) {
      ++run.failed;
      std::string how = c.pid < 0 ? "not started"
                        : WIFSIGNALED(c.status) ? Fmt("ended by signal %d", WTERMSIG(c.status))
                                                : Fmt("exit %d", WEXITSTATUS(c.status));
      std::string line = c.text.substr(0, c.text.find('\n'));
      run.failures.push_back(Fmt("%s %s: %s%s%s", workerArgs[i][0].c_str(), FleetNode(atoi(workerArgs[i][1].c_str())).c_str(),
                                 how.c_str(), line.empty() ? "" : ", ", line.c_str()));
    }
  }
  run.wallS = (last - t0) / 1e9;
  return run;
}

// Every instrument back in application mode, its port free, no lock file
// left: the state every run starts from and every run must leave.
bool FleetSettled(std::vector<std::unique_ptr<zsim::VirtualInstrument>>& sims, long timeoutMs) {
  const int64_t end = NowNs() + timeoutMs * 1000000;
  for (;;) {
    bool settled = CountFiles("/var/lock", "torvanel.") == 0;
    for (auto& sim : sims) settled = settled && sim->Serving() && !sim->InLoader() && sim->HostOpens() == 0;
    if (settled || NowNs() > end || g_fleetStop) return settled;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

std::vector<double> Values(const FleetRun& run, const char* key) {
  std::vector<double> v;
  for (const auto& r : run.results) {
    auto it = r.find(key);
    if (it != r.end()) v.push_back(it->second);
  }
  return v;
}

void SectionFleet() {
  const std::vector<int> burnSizes = g_opt.quick ? std::vector<int>{1, 8} : std::vector<int>{1, 4, 8};
  const double watchS = g_opt.quick ? 5 : 60;
  Progress("fleet: %d virtual instruments with the real timing, one worker process each: burns of %s, "
           "a region 0 write with verify on 1 and 4, %d watched for %.0f s",
           kFleetSize, g_opt.quick ? "1 and 8" : "1, 4 and 8", kFleetSize, watchS);
  struct sigaction action = {}, saved[3];
  action.sa_handler = OnFleetSignal;
  sigemptyset(&action.sa_mask);
  const int stopSignals[3] = {SIGINT, SIGTERM, SIGHUP};
  for (int i = 0; i < 3; ++i) sigaction(stopSignals[i], &action, &saved[i]);
  // The instruments and workers run where the scheduler puts them: a rack's
  // work is parallel, and pinning it to one CPU would measure that CPU.
  sched_setaffinity(0, sizeof g_allowedCpus, &g_allowedCpus);

  // The burned image, in a file of its own for the workers to load.
  char imagePath[] = "/tmp/zervon-bench-image.XXXXXX";
  const int imageFd = mkstemp(imagePath);
  bool imageOk = imageFd >= 0;
  if (imageOk) {
    std::vector<unsigned char> image(kFleetImageLength);
    std::mt19937 rng(14);
    for (auto& b : image) b = static_cast<unsigned char>(rng());
    imageOk = write(imageFd, image.data(), image.size()) == static_cast<ssize_t>(image.size());
    close(imageFd);
  }

  std::vector<std::unique_ptr<zsim::VirtualInstrument>> sims;
  for (int i = 0; i < kFleetSize && imageOk; ++i) {
    sims.push_back(std::make_unique<zsim::VirtualInstrument>());
    zsim::VirtualInstrument& sim = *sims.back();
    sim.SetTiming(zsim::Timing::Real);
    sim.SetSerial(21, 7, 3, static_cast<uint16_t>(301 + i));
    sim.SetFirmware(3, 2);
    if (!StartSim(sim) || !sim.Plug(FleetNode(i))) {
      g_notes.push_back(Fmt("fleet: instrument %d could not be plugged in", i));
      imageOk = false;
    }
  }
  auto finish = [&] {
    sims.clear();  // hung up, node links removed
    if (imageFd >= 0) unlink(imagePath);
    if (g_opt.cpu >= 0) PinAllThreads(g_opt.cpu);
    for (int i = 0; i < 3; ++i) sigaction(stopSignals[i], &saved[i], nullptr);
    const int left = CountFiles("/var/lock", "torvanel.");
    if (left) g_notes.push_back(Fmt("fleet: %d lock file(s) left behind", left));
  };
  if (!imageOk || !FleetSettled(sims, 10000)) {
    g_notes.push_back("fleet: the instruments could not be set up");
    return finish();
  }

  // Burns: instrument i of a run of n gets version 4.(10 n + i); afterwards
  // every burned instrument must carry its own version and every other
  // record must be unchanged.
  std::map<int, double> burnWall, burnMedian;
  int wrongRecords = 0;
  std::vector<std::string> burnFailures;
  for (int n : burnSizes) {
    if (g_fleetStop) break;
    Progress("fleet: burning %d instrument(s) in parallel", n);
    std::vector<std::array<uint8_t, 64>> before;
    for (auto& sim : sims) before.push_back(sim->Block(0));
    std::vector<std::vector<std::string>> args;
    for (int i = 0; i < n; ++i)
      args.push_back({"burn", std::to_string(i), imagePath, "4", std::to_string(10 * n + i)});
    const FleetRun run = RunWorkers(args, 120000);
    if (g_fleetStop) break;
    if (!FleetSettled(sims, 20000)) g_notes.push_back(Fmt("fleet: instruments not settled after the burn of %d", n));
    for (int i = 0; i < kFleetSize; ++i) {
      std::array<uint8_t, 64> expected = before[i];
      if (i < n) expected[14] = 4, expected[15] = static_cast<uint8_t>(10 * n + i);
      const std::array<uint8_t, 64> now = sims[i]->Block(0);
      if (now[14] != expected[14] || now[15] != expected[15] || now[8] != expected[8] ||
          now[11] != expected[11] || now[12] != expected[12]) {
        ++wrongRecords;
        g_notes.push_back(Fmt("fleet: after the burn of %d, %s carries firmware %d.%d, expected %d.%d", n,
                              FleetNode(i).c_str(), now[14], now[15], expected[14], expected[15]));
      }
    }
    burnWall[n] = run.wallS;
    burnMedian[n] = Median(Values(run, "work_s"));
    for (const auto& f : run.failures) burnFailures.push_back(Fmt("burn of %d: ", n) + f);
  }

  // A whole region 0 written and verified on 1 and on 4 instruments.
  std::map<int, double> flashWall, flashMedian;
  std::vector<std::string> flashFailures;
  int wrongFlash = 0;
  for (int n : {1, 4}) {
    if (g_fleetStop) break;
    Progress("fleet: region 0 write with verify on %d instrument(s) in parallel", n);
    for (auto& sim : sims) sim->LoadFlash(0, std::vector<uint8_t>(kFleetFlashLength, 0x00));
    std::vector<std::vector<std::string>> args;
    for (int i = 0; i < n; ++i) args.push_back({"flash", std::to_string(i)});
    const FleetRun run = RunWorkers(args, 120000);
    FleetSettled(sims, 10000);
    for (int i = 0; i < kFleetSize; ++i) {
      const std::vector<unsigned char> expected =
          i < n ? FleetFlashData(i) : std::vector<unsigned char>(kFleetFlashLength, 0x00);
      if (sims[i]->ReadFlash(0, kFleetFlashLength) != expected) ++wrongFlash;
    }
    flashWall[n] = run.wallS;
    flashMedian[n] = Median(Values(run, "work_s"));
    for (const auto& f : run.failures) flashFailures.push_back(Fmt("flash on %d: ", n) + f);
  }

  // Every instrument watched at the same time.
  double missed = -1, late = 0, worstMs = 0;
  std::vector<std::string> watchFailures;
  if (!g_fleetStop) {
    Progress("fleet: %d instruments watched at %d samples/s for %.0f s", kFleetSize, kFleetWatchRate, watchS);
    std::vector<std::vector<std::string>> args;
    for (int i = 0; i < kFleetSize; ++i) args.push_back({"watch", std::to_string(i), Fmt("%g", watchS)});
    const FleetRun run = RunWorkers(args, static_cast<long>(watchS * 1000) + 60000);
    missed = late = 0;
    const int samples = static_cast<int>(watchS * kFleetWatchRate);
    for (const auto& r : run.results) {
      missed += r.count("missed") ? r.at("missed") : samples;  // a worker that never watched missed all
      if (r.count("late")) late += r.at("late");
      if (r.count("worst_ms")) worstMs = std::max(worstMs, r.at("worst_ms"));
    }
    watchFailures = run.failures;
  }
  finish();
  if (g_fleetStop) {
    g_notes.push_back(Fmt("fleet: stopped by signal %d", static_cast<int>(g_fleetStop)));
    return;
  }

  for (const auto& f : burnFailures) g_notes.push_back("fleet: " + f);
  for (const auto& f : flashFailures) g_notes.push_back("fleet: " + f);
  for (const auto& f : watchFailures) g_notes.push_back("fleet: watch: " + f);
  if (burnWall.count(1) && burnWall.count(8)) {
    std::string walls;
    for (const auto& w : burnWall) walls += Fmt("%s%d: %.2f s", walls.empty() ? "" : ", ", w.first, w.second);
    std::string each;
    for (const auto& m : burnMedian) each += Fmt("%s%.2f s", each.empty() ? "" : " / ", m.second);
    const double ratio = burnWall[8] / burnWall[1];
    Row(Fmt("Fleet: firmware burn of an %u KiB image, 8 instruments in parallel against 1, real timing",
            kFleetImageLength / 1024),
        Fmt("%.2f s", burnWall[8]), Fmt("%.2f s", burnWall[1]), Fmt("%.2f", ratio),
        Fmt("<= 1.3: %s", Verdict(ratio <= 1.3)),
        Fmt("wall time from the workers' start to the last one's end (%s); the burn call alone, median per "
            "instrument: %s; %s; %zu worker(s) failed; the fleet section is not pinned: instruments and workers "
            "run where the scheduler puts them",
            walls.c_str(), each.c_str(),
            wrongRecords ? Fmt("%d record(s) WRONG afterwards", wrongRecords).c_str()
                         : "every burned instrument took its own version, no other record changed",
            burnFailures.size()));
    for (const auto& w : burnWall) Key(Fmt("fleet_burn_wall_%d_s", w.first), Fmt("%.2f", w.second));
    Key("fleet_burn_ratio_8", Fmt("%.3f", ratio));
    Key("fleet_burn_wrong_records", Fmt("%d", wrongRecords));
  }
  if (flashWall.count(1) && flashWall.count(4)) {
    const double ratio = flashWall[4] / flashWall[1];
    Row("Fleet: whole SPI flash region 0 (32 KiB) write with verify, 4 instruments in parallel against 1, real timing",
        Fmt("%.2f s", flashWall[4]), Fmt("%.2f s", flashWall[1]), Fmt("%.2f", ratio), "-",
        Fmt("wall time from the workers' start to the last one's end; the transfer alone, median per "
            "instrument: %.2f / %.2f s (4.2 s of it the write's settling waits); %s; %zu worker(s) failed",
            flashMedian[1], flashMedian[4],
            wrongFlash ? Fmt("%d instrument(s) hold WRONG data", wrongFlash).c_str()
                       : "every instrument holds its own data",
            flashFailures.size()));
    Key("fleet_flash_wall_1_s", Fmt("%.2f", flashWall[1]));
    Key("fleet_flash_wall_4_s", Fmt("%.2f", flashWall[4]));
    Key("fleet_flash_ratio_4", Fmt("%.3f", ratio));
  }
  if (missed >= 0) {
    Row(Fmt("Fleet: %d instruments watched at %d samples/s each for %.0f s, real timing", kFleetSize,
            kFleetWatchRate, watchS),
        Fmt("%.0f missed, %.0f late", missed, late), Fmt("%.0f samples", watchS * kFleetWatchRate * kFleetSize),
        "-", Fmt("0 missed: %s", Verdict(missed == 0)),
        Fmt("one worker per instrument, ZervReadValue on a fixed schedule; late: back more than one period "
            "(100 ms) after due; worst %.1f ms behind schedule",
            worstMs));
    Key("fleet_missed_samples", Fmt("%.0f", missed));
    Key("fleet_late_samples", Fmt("%.0f", late));
    Key("fleet_watch_worst_ms", Fmt("%.1f", worstMs));
  }
}

void PrintTable(const std::string& load) {
  printf("\nZervon SDK benchmark%s\n", g_opt.smoke ? " (smoke run)" : g_opt.quick ? " (quick run)" : "");
  printf("machine: %ld CPUs online; load average at the start %s\n", sysconf(_SC_NPROCESSORS_ONLN),
         load.c_str());
  printf("placement: %s\n", Placement().c_str());
  printf("namespace: %s\n\n", InNamespace() ? "yes (real node and lock paths)" : "no (memory, idle and latency sections skipped)");
  printf("| figure | library | raw floor / baseline | ratio | target | notes |\n");
  printf("|---|---|---|---|---|---|\n");
  for (const auto& r : g_rows) printf("%s\n", r.c_str());
  printf("\n");
  for (const auto& n : g_notes) printf("note: %s\n", n.c_str());
  for (const auto& k : g_keys) printf("%s: %s\n", k.first.c_str(), k.second.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::string(argv[1]) == "--fleet-worker") return FleetWorker(argc - 2, argv + 2);
  g_mainTid = static_cast<int>(gettid());
  sched_getaffinity(0, sizeof g_allowedCpus, &g_allowedCpus);
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--quick") g_opt.quick = true;
    else if (a == "--smoke") g_opt.smoke = g_opt.quick = true;
    else if (a == "--no-pin") g_opt.cpu = -1;
    else if (a == "--cpu" && i + 1 < argc) g_opt.cpu = atoi(argv[++i]);
    else if (a == "--only" && i + 1 < argc) g_opt.only = argv[++i];
    else if (a == "--timing" && i + 1 < argc && (std::string(argv[i + 1]) == "real" || std::string(argv[i + 1]) == "instant"))
      g_opt.realTiming = std::string(argv[++i]) == "real";
    else {
      fprintf(stderr, "usage: %s [--quick] [--smoke] [--timing real|instant] [--cpu N | --no-pin] [--only unused,exchange,flash,real,liveness,memory,connected,fleet]\n", argv[0]);
      return 2;
    }
  }
  if (g_opt.cpu == -2 && g_opt.smoke) g_opt.cpu = -1;  // figures of a smoke run mean nothing
  if (g_opt.cpu == -2) g_opt.cpu = IdlestCpu();
  const std::string load = ReadFile("/proc/loadavg").substr(0, 14);
  if (g_opt.cpu >= 0) PinAllThreads(g_opt.cpu);

  // The library is loaded (linked in); nothing has been called yet.
  if (g_opt.Runs("unused")) SectionUnused();

  zsim::VirtualInstrument sim;
  if (!StartSim(sim)) {
    fprintf(stderr, "cannot start the virtual instrument\n");
    return 1;
  }
  const int fd = sim.OpenHostPort();
  if (fd < 0) {
    fprintf(stderr, "cannot open the virtual instrument's terminal\n");
    return 1;
  }
  if (g_opt.Runs("exchange")) SectionExchange(sim, fd);
  if (g_opt.Runs("flash")) SectionFlash(sim, fd);
  if (g_opt.Runs("real") && g_opt.realTiming && !g_opt.smoke) SectionReal(sim, fd);
  // The liveness check with the port open, as the monitor makes it.
  ZervSetDeviceHandle(reinterpret_cast<void*>(static_cast<intptr_t>(fd)));
  if (g_opt.Runs("liveness")) SectionLiveness(sim);
  ZervSetDeviceHandle(reinterpret_cast<void*>(static_cast<intptr_t>(-1)));
  close(fd);
  if (InNamespace() && !g_opt.smoke) {
    if (g_opt.Runs("memory")) SectionMemory();
    if (g_opt.Runs("connected")) SectionConnected(sim);
    if (g_opt.Runs("fleet") && g_opt.realTiming) {
      sim.Unplug();  // the rack takes /dev/ttyACM0 to ACM7
      SectionFleet();
    }
  }
  sim.Stop();
  if (g_fleetStop) {
    const int sig = g_fleetStop;
    PrintTable(load);
    fflush(stdout);
    signal(sig, SIG_DFL);
    raise(sig);
  }
  PrintTable(load);
  return 0;
}
