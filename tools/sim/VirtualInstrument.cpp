// The virtual instrument's serving loop and command handlers.
//
// One thread per instrument runs a poll loop over the pseudo-terminal's
// master side and a wake-up pipe. Bytes from the host are collected in a
// receive buffer and cut into requests by FrameLength(); each complete
// request is carried out at once and its reply queued. Replies leave in
// order through an output queue whose entries may carry an earliest send
// time (delayed replies, the second half of a split reply): the loop sleeps
// only in that poll, until the next byte, the next due reply or the next timer
// (incomplete-frame time-out, hang-up grace, restart). An undisturbed reply
// is written with a single write() in the same pass that framed its request.
//
// All state lives in Impl under one mutex. The serving thread holds it
// except while it waits in poll or hands events to the event sink, so the
// public accessors see a consistent instrument at any time.
#include "VirtualInstrument.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <thread>

#include "Framing.h"
#include "NorMemory.h"

namespace zsim {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr size_t kFlashSize = size_t{2} << 20;    // SPI flash, 2 MiB
constexpr size_t kMemMapSize = size_t{16} << 20;  // display memory map, the whole 24-bit space
constexpr size_t kIspSize = size_t{64} << 10;     // loader image, 16-bit row offsets
constexpr size_t kLogCap = 100000;
constexpr size_t kSettingsCap = 10000;
constexpr auto kFrameTimeout = milliseconds(100);
constexpr uint32_t kSectorSize = 0x1000;  // erase opcode 0x20
constexpr uint32_t kBlockSize32 = 0x8000;  // erase opcode 0x52
constexpr uint8_t kEraseSector = 0x20;
constexpr uint8_t kEraseBlock = 0x52;
constexpr size_t kStatusSize = 64;
constexpr char kForeignMarker[3] = {'X', 'Y', 'Z'};

std::string Hex(const uint8_t* data, size_t size, size_t limit = 80) {
  std::string text;
  char buf[4];
  for (size_t i = 0; i < size && i < limit; ++i) {
    std::snprintf(buf, sizeof buf, i ? " %02X" : "%02X", data[i]);
    text += buf;
  }
  if (size > limit) text += " ...";
  return text;
}

void CloseFd(int& fd) {
  if (fd >= 0) {
    ::close(fd);
    fd = -1;
  }
}

// One pseudo-terminal: the master side the instrument serves, and a slave
// descriptor the instrument keeps open itself while it serves. With a slave
// always open the master never enters the "no slave" hang-up state between
// two opens by the host, so the poll loop does not spin and no reply is lost.
// The instrument closes its slave when it starts to hang up.
struct Terminal {
  int master = -1;
  int slave = -1;
  std::string path;
};

// The descriptors are close-on-exec, so that programs that a test starts
// (possibly from another thread at that very moment) do not inherit them.
// Linux sets the flag as it creates them. macOS has no pipe2, and its
// posix_openpt is not known to take O_CLOEXEC (its declaration names no
// flags), so there the flag is set right after.
#if !defined(__linux__)
void MarkCloseOnExec(int fd) { fcntl(fd, F_SETFD, fcntl(fd, F_GETFD) | FD_CLOEXEC); }
#endif

// A master side not yet unlocked: it holds a terminal number that nobody can
// open, so the terminal that follows a hang-up never reuses the old number.
int ReserveMaster() {
#if defined(__linux__)
  return posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
#else
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master >= 0) MarkCloseOnExec(master);
  return master;
#endif
}

// The serving loop's wake-up pipe: non-blocking at both ends.
int OpenWakePipe(int fds[2]) {
#if defined(__linux__)
  return ::pipe2(fds, O_CLOEXEC | O_NONBLOCK);
#else
  if (::pipe(fds) != 0) return -1;
  for (int i = 0; i < 2; ++i) {
    MarkCloseOnExec(fds[i]);
    fcntl(fds[i], F_SETFL, fcntl(fds[i], F_GETFL) | O_NONBLOCK);
  }
  return 0;
#endif
}

// Waits for the descriptors until the time-out (null: none). Linux waits to
// the nanosecond with ppoll; elsewhere poll waits whole milliseconds, rounded
// up so that the loop never wakes before its deadline and spins.
int WaitReady(pollfd* fds, nfds_t count, const timespec* timeout) {
#if defined(__linux__)
  return ::ppoll(fds, count, timeout, nullptr);
#else
  int ms = -1;
  if (timeout != nullptr) {
    const long long total = static_cast<long long>(timeout->tv_sec) * 1000 + (timeout->tv_nsec + 999999) / 1000000;
    ms = total > INT_MAX ? INT_MAX : static_cast<int>(total);
  }
  return ::poll(fds, count, ms);
#endif
}

// Opens a terminal, on `reserved` (taken over) when it is a reserved master.
bool OpenTerminal(Terminal& t, std::string& error, int reserved = -1) {
  int master = reserved >= 0 ? reserved : ReserveMaster();
  if (master < 0) {
    error = std::string("posix_openpt: ") + std::strerror(errno);
    return false;
  }
  char name[128];
  if (grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, name, sizeof name) != 0) {
    error = std::string("pseudo-terminal set-up: ") + std::strerror(errno);
    ::close(master);
    return false;
  }
  int slave = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (slave < 0) {
    error = std::string("open ") + name + ": " + std::strerror(errno);
    ::close(master);
    return false;
  }
  // Raw from the start: before the host applies its own settings, a cooked
  // line discipline would echo replies back as requests and translate bytes.
  termios attrs;
  if (tcgetattr(slave, &attrs) == 0) {
    cfmakeraw(&attrs);
    cfsetspeed(&attrs, B115200);
    tcsetattr(slave, TCSANOW, &attrs);
  }
  fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
  t.master = master;
  t.slave = slave;
  t.path = name;
  return true;
}

// Makes `node` a symbolic link to `target`. An existing link is replaced
// atomically (link under a temporary name, then rename); anything at `node`
// that is not a link is left alone and the call fails.
bool MakeLink(const std::string& node, const std::string& target, std::string& error) {
  static std::atomic<unsigned> counter{0};
  struct stat st;
  if (::lstat(node.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
    error = node + " exists and is not a link; left alone";
    return false;
  }
  const std::string temp = node + ".zsim-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
  ::unlink(temp.c_str());
  if (::symlink(target.c_str(), temp.c_str()) != 0) {
    error = "symlink " + node + ": " + std::strerror(errno);
    return false;
  }
  if (::rename(temp.c_str(), node.c_str()) != 0) {
    error = "rename to " + node + ": " + std::strerror(errno);
    ::unlink(temp.c_str());
    return false;
  }
  return true;
}

// Removes `node` if it is still a link to `target` (another instrument may
// have taken the name over in the meantime).
void RemoveLinkTo(const std::string& node, const std::string& target) {
  char buf[512];
  ssize_t n = ::readlink(node.c_str(), buf, sizeof buf - 1);
  if (n < 0) return;
  buf[n] = '\0';
  if (target == buf) ::unlink(node.c_str());
}

// A count-based fault knob: applies to the next `count` replies, to every
// reply while `count` is negative, to none at 0.
struct Knob {
  int count = 0;
  bool Take() {
    if (count == 0) return false;
    if (count > 0) --count;
    return true;
  }
};

std::array<uint8_t, 64> DefaultRecordBlock() {
  std::array<uint8_t, 64> b{};
  const uint8_t header[5] = {kCmdBlock, 0x55, 0xAA, 0x00, 0x00};
  std::memcpy(b.data(), header, 5);
  b[5] = 'V';
  b[6] = 'R';
  b[7] = 'X';
  b[8] = 21;
  b[9] = 7;
  b[10] = 3;
  b[11] = 300 >> 8;
  b[12] = 300 & 0xFF;
  b[13] = 5;
  b[14] = 3;
  b[15] = 2;
  return b;
}

std::array<uint8_t, 64> DefaultManufacturingBlock() {
  std::array<uint8_t, 64> b{};
  const uint8_t header[5] = {kCmdBlock, 0x55, 0xAA, 0x00, 0x01};
  std::memcpy(b.data(), header, 5);
  b[60] = 0x24;
  b[61] = 0x05;
  b[62] = 0x17;
  b[63] = 0x01;
  return b;
}

std::array<uint8_t, 24> DefaultCalibrationResult() {
  std::array<uint8_t, 24> r{};
  for (size_t i = 0; i < r.size(); ++i) r[i] = static_cast<uint8_t>(0xC0 + i);
  return r;
}

}  // namespace

struct VirtualInstrument::Impl {
  enum class Phase { Off, Serving, HangingUp, Restarting, Unplugged };
  enum class Reason { Restart, Unplug, Stop };

  // A reply (or the second part of a split reply) waiting to be written.
  struct Outgoing {
    std::vector<uint8_t> bytes;
    size_t written = 0;
    Clock::time_point notBefore;
    bool continuation = false;  // second part: due `gapMs` after the first part was written
    unsigned gapMs = 0;
    bool timed = false;  // the first write of a reply ends its service time
    Clock::time_point frameDone;
  };

  mutable std::mutex m;
  mutable std::condition_variable cv;

  // ---- terminal, node, thread ----
  Phase phase = Phase::Off;
  Reason reason = Reason::Stop;
  Terminal term;
  // Reserved at a hang-up for the terminal that follows (restart, replug).
  int spareMaster = -1;
  std::string node;
  bool linked = false;
  int wake[2] = {-1, -1};
  std::thread thread;
  bool running = false;
  bool stopRequested = false;
  unsigned graceMs = 100;
  unsigned restartDelayMs = 1000;
  Clock::time_point reopenAt;
  Clock::time_point lastReply{};
  int restarts = 0;

  // ---- byte stream ----
  std::vector<uint8_t> rx;
  Clock::time_point lastRx;
  std::deque<Outgoing> out;
  bool blockedOnWrite = false;

  // ---- instrument state ----
  std::array<std::array<uint8_t, 64>, 2> blocks{DefaultRecordBlock(), DefaultManufacturingBlock()};
  bool foreign = false;
  std::array<uint8_t, 5> report{3, 0, 0, 0, 0};
  uint16_t raw = 1234;
  bool autoValue = false;
  uint8_t flags = 0;
  Clock::time_point epoch = Clock::now();
  std::deque<std::array<uint8_t, 8>> settings;
  bool hostControl = false;
  std::array<uint8_t, 24> calibrationResult = DefaultCalibrationResult();
  bool calibrating = false;
  NorMemory flash{kFlashSize};
  NorMemory memMap{kMemMapSize};
  std::vector<uint8_t> isp = std::vector<uint8_t>(kIspSize, 0xFF);
  std::map<size_t, uint8_t> ispFaults;
  bool inLoader = false;

  // ---- faults ----
  Knob drop, delay, truncate, split, garbage;
  unsigned delayMs = 0;
  size_t truncateLength = 0;
  size_t splitFirst = 0;
  unsigned splitGapMs = 0;
  bool silent = false;
  std::minstd_rand rng{20240517u};

  // ---- wire log ----
  std::deque<WireRecord> log;
  size_t requests = 0;
  size_t replies = 0;
  std::deque<std::chrono::nanoseconds> serviceTimes;
  size_t droppedBytes = 0;
  size_t droppedFrames = 0;

  // ---- diagnostics ----
  std::function<void(const std::string&)> sink;
  bool trace = false;
  std::vector<std::string> events;  // noted under the lock, handed to the sink without it

  ~Impl() {
    CloseFd(term.master);
    CloseFd(term.slave);
    CloseFd(spareMaster);
    CloseFd(wake[0]);
    CloseFd(wake[1]);
  }

  void Note(std::string text) {
    if (sink) events.push_back(std::move(text));
  }

  // Hands the noted events to the sink with the lock released.
  void Emit(std::unique_lock<std::mutex>& lk) {
    if (events.empty()) return;
    std::vector<std::string> pending;
    pending.swap(events);
    auto target = sink;
    lk.unlock();
    if (target)
      for (const auto& e : pending) target(e);
    lk.lock();
  }

  void Wake() {
    if (wake[1] < 0) return;
    const uint8_t one = 1;
    ssize_t ignored = ::write(wake[1], &one, 1);
    (void)ignored;
  }

  void DrainWake() {
    uint8_t buf[64];
    while (::read(wake[0], buf, sizeof buf) > 0) {
    }
  }

  void AppendLog(bool fromHost, std::vector<uint8_t> bytes, Clock::time_point when) {
    if (log.size() >= kLogCap) log.pop_front();
    log.push_back(WireRecord{fromHost, std::move(bytes), when});
  }

  // ---- node link ----

  bool Link(std::string& error) {
    if (node.empty()) return false;
    if (!MakeLink(node, term.path, error)) return false;
    linked = true;
    Note("linked " + node + " -> " + term.path);
    return true;
  }

  void Unlink() {
    if (!linked) return;
    RemoveLinkTo(node, term.path);
    linked = false;
    Note("removed " + node);
  }

  // Fresh-terminal state: what a power-up of the instrument resets.
  void ResetSession() {
    rx.clear();
    out.clear();
    blockedOnWrite = false;
    hostControl = false;
    inLoader = false;
    calibrating = false;
  }

  void Adopt(Terminal t) {
    term = std::move(t);
    ResetSession();
    phase = Phase::Serving;
  }

  // ---- hang-up and restart ----

  // Starts a hang-up. The instrument's own slave descriptor closes now: from
  // here on the master reports POLLHUP as soon as no host holds the port,
  // and a hang-up with nobody left to read needs no grace time.
  void BeginHangup(Reason why) {
    if (phase != Phase::Serving && phase != Phase::HangingUp) return;
    phase = Phase::HangingUp;
    reason = why;
    CloseFd(term.slave);
    if (why != Reason::Restart) {
      // A removed instrument sends nothing more; a restarting one first
      // finishes the replies it owes.
      out.clear();
      blockedOnWrite = false;
    }
  }

  void HangUp(Clock::time_point now) {
    // The node goes first, so a host that sees the hang-up finds it gone. It
    // stays remembered and comes back with the terminal after a restart.
    Unlink();
    if (reason != Reason::Stop && spareMaster < 0) spareMaster = ReserveMaster();
    CloseFd(term.master);
    CloseFd(term.slave);
    rx.clear();
    out.clear();
    blockedOnWrite = false;
    Note("hung up " + term.path);
    if (reason == Reason::Restart) {
      phase = Phase::Restarting;
      reopenAt = now + milliseconds(restartDelayMs);
      Note("restarting in " + std::to_string(restartDelayMs) + " ms");
    } else {
      phase = Phase::Unplugged;
    }
    cv.notify_all();
  }

  void Reopen(Clock::time_point now) {
    Terminal t;
    std::string error;
    const int reserved = spareMaster;
    spareMaster = -1;
    if (!OpenTerminal(t, error, reserved)) {
      Note("restart failed, retrying: " + error);
      reopenAt = now + milliseconds(100);
      return;
    }
    Adopt(std::move(t));
    if (!node.empty() && !Link(error)) Note(error);
    ++restarts;
    Note("restarted on " + term.path);
    cv.notify_all();
  }

  // ---- serving loop ----

  void Run() {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);  // signals belong to the application's threads

    std::unique_lock<std::mutex> lk(m);
    for (;;) {
      Advance(Clock::now());
      if (stopRequested && phase != Phase::HangingUp) break;

      pollfd fds[2];
      nfds_t count = 0;
      fds[count++] = pollfd{wake[0], POLLIN, 0};
      const int master = term.master;
      if (master >= 0 && (phase == Phase::Serving || phase == Phase::HangingUp)) {
        // While hanging up no input is read; POLLHUP is reported anyway.
        short want = 0;
        if (phase == Phase::Serving) want |= POLLIN;
        if (blockedOnWrite) want |= POLLOUT;
        fds[count++] = pollfd{master, want, 0};
      }
      const Clock::time_point deadline = NextDeadline();

      Emit(lk);
      lk.unlock();
      timespec ts;
      timespec* timeout = nullptr;
      if (deadline != Clock::time_point::max()) {
        auto wait = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - Clock::now());
        if (wait.count() < 0) wait = std::chrono::nanoseconds(0);
        ts.tv_sec = static_cast<time_t>(wait.count() / 1000000000);
        ts.tv_nsec = static_cast<long>(wait.count() % 1000000000);
        timeout = &ts;
      }
      const int ready = WaitReady(fds, count, timeout);
      lk.lock();

      if (ready <= 0) continue;  // time-out or EINTR: the timers are checked above
      if (fds[0].revents) DrainWake();
      if (count > 1 && fds[1].revents && term.master == master) {
        if (fds[1].revents & POLLOUT) blockedOnWrite = false;
        if (phase == Phase::Serving && (fds[1].revents & (POLLIN | POLLERR))) ReadInput();
        if (phase == Phase::HangingUp && (fds[1].revents & POLLHUP)) {
          // No host holds the port any more: nobody is left to read.
          out.clear();
          blockedOnWrite = false;
          HangUp(Clock::now());
        }
      }
    }
    Emit(lk);
    cv.notify_all();
  }

  // Everything that is due at `now`: pending replies, the incomplete-frame
  // time-out, the hang-up after its grace time, the end of a restart.
  void Advance(Clock::time_point now) {
    if (phase == Phase::Serving || phase == Phase::HangingUp) Flush();
    if (phase == Phase::Serving && !rx.empty() && now - lastRx >= kFrameTimeout) {
      ++droppedFrames;
      Note("dropped incomplete frame after 100 ms: " + Hex(rx.data(), rx.size()));
      rx.clear();
    }
    if (phase == Phase::HangingUp && out.empty() && now >= lastReply + milliseconds(graceMs)) HangUp(now);
    if (phase == Phase::Restarting && now >= reopenAt) Reopen(now);
  }

  Clock::time_point NextDeadline() const {
    Clock::time_point next = Clock::time_point::max();
    if (phase == Phase::Serving || phase == Phase::HangingUp) {
      if (!out.empty() && !blockedOnWrite) next = std::min(next, out.front().notBefore);
    }
    if (phase == Phase::Serving && !rx.empty()) next = std::min(next, lastRx + kFrameTimeout);
    if (phase == Phase::HangingUp && out.empty()) next = std::min(next, lastReply + milliseconds(graceMs));
    if (phase == Phase::Restarting) next = std::min(next, reopenAt);
    return next;
  }

  void ReadInput() {
    uint8_t buf[4096];
    for (;;) {
      const ssize_t n = ::read(term.master, buf, sizeof buf);
      if (n > 0) {
        const Clock::time_point now = Clock::now();
        rx.insert(rx.end(), buf, buf + n);
        lastRx = now;
        Process(now);
        if (phase != Phase::Serving) {
          rx.clear();  // bytes after "FWPU" go to an instrument that is leaving
          return;
        }
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      return;  // EAGAIN: all read
    }
  }

  // Cuts complete requests off the front of the receive buffer.
  void Process(Clock::time_point now) {
    size_t pos = 0;
    size_t skipped = 0;
    size_t skippedAt = 0;
    while (phase == Phase::Serving && pos < rx.size()) {
      const int length = FrameLength(rx.data() + pos, rx.size() - pos);
      if (length < 0) {
        if (skipped == 0) skippedAt = pos;
        ++skipped;
        ++pos;
        continue;
      }
      if (skipped) {
        NoteSkipped(skippedAt, skipped);
        skipped = 0;
      }
      if (length == 0 || rx.size() - pos < static_cast<size_t>(length)) break;
      Handle(rx.data() + pos, static_cast<size_t>(length), now);
      pos += static_cast<size_t>(length);
    }
    if (skipped) NoteSkipped(skippedAt, skipped);
    rx.erase(rx.begin(), rx.begin() + static_cast<std::ptrdiff_t>(pos));
  }

  void NoteSkipped(size_t at, size_t count) {
    droppedBytes += count;
    Note("skipped " + std::to_string(count) + " byte(s) that start no request: " + Hex(rx.data() + at, count));
  }

  // ---- replies ----

  void Reply(std::vector<uint8_t> bytes, Clock::time_point frameDone) {
    // Every knob counts every reply, so "the next N replies" means the same
    // replies whichever knobs are set together.
    const bool dropIt = drop.Take();
    const bool delayIt = delay.Take();
    const bool truncateIt = truncate.Take();
    const bool garbleIt = garbage.Take();
    const bool splitIt = split.Take();
    if (dropIt) {
      Note("reply dropped");
      return;
    }
    Clock::time_point due = Clock::now();
    if (delayIt) due += milliseconds(delayMs);
    if (truncateIt && bytes.size() > truncateLength) bytes.resize(truncateLength);
    if (garbleIt) {
      // XOR with a non-zero byte: every byte differs from the true reply, so
      // a garbled reply can never pass for a valid one.
      for (auto& b : bytes) b ^= static_cast<uint8_t>(1 + rng() % 255);
    }
    if (bytes.empty()) {
      Note("reply truncated to nothing");
      return;
    }
    if (splitIt && splitFirst > 0 && splitFirst < bytes.size()) {
      Outgoing first;
      first.bytes.assign(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(splitFirst));
      first.notBefore = due;
      first.timed = true;
      first.frameDone = frameDone;
      Outgoing rest;
      rest.bytes.assign(bytes.begin() + static_cast<std::ptrdiff_t>(splitFirst), bytes.end());
      rest.notBefore = Clock::time_point::max();  // set when the first part is out
      rest.continuation = true;
      rest.gapMs = splitGapMs;
      out.push_back(std::move(first));
      out.push_back(std::move(rest));
    } else {
      Outgoing whole;
      whole.bytes = std::move(bytes);
      whole.notBefore = due;
      whole.timed = true;
      whole.frameDone = frameDone;
      out.push_back(std::move(whole));
    }
    Flush();
  }

  // Writes every reply that is due, in order, one write() each.
  void Flush() {
    if (term.master < 0) return;
    Clock::time_point now = Clock::now();
    while (!out.empty() && !blockedOnWrite) {
      Outgoing& o = out.front();
      if (o.notBefore > now) break;
      const ssize_t n = ::write(term.master, o.bytes.data() + o.written, o.bytes.size() - o.written);
      if (n < 0) {
        if (errno == EINTR) continue;
        if (errno == EAGAIN) {
          blockedOnWrite = true;  // the host is not reading; wait for POLLOUT
          break;
        }
        Note(std::string("reply write failed: ") + std::strerror(errno));
        out.pop_front();
        continue;
      }
      o.written += static_cast<size_t>(n);
      if (o.written < o.bytes.size()) {
        blockedOnWrite = true;
        break;
      }
      now = Clock::now();
      lastReply = now;
      ++replies;
      if (o.timed) {
        if (serviceTimes.size() >= kLogCap) serviceTimes.pop_front();
        serviceTimes.push_back(std::chrono::duration_cast<std::chrono::nanoseconds>(now - o.frameDone));
      }
      if (trace) Note("reply:   " + Hex(o.bytes.data(), o.bytes.size()));
      AppendLog(false, std::move(o.bytes), now);
      out.pop_front();
      if (!out.empty() && out.front().continuation) out.front().notBefore = now + milliseconds(out.front().gapMs);
    }
  }

  // ---- requests ----

  void Handle(const uint8_t* frame, size_t size, Clock::time_point now) {
    ++requests;
    AppendLog(true, std::vector<uint8_t>(frame, frame + size), now);
    cv.notify_all();
    if (trace) Note("request: " + Hex(frame, size));
    if (silent) return;

    switch (frame[0]) {
      case kCmdHostControl:
        hostControl = true;
        return;
      case kCmdSetting: {
        std::array<uint8_t, 8> s;
        std::memcpy(s.data(), frame, 8);
        if (settings.size() >= kSettingsCap) settings.pop_front();
        settings.push_back(s);
        return;
      }
      case kCmdStatus:
        Reply(StatusReply(now), now);
        return;
      case kCmdCalibration:
        Calibration(frame, now);
        return;
      case kCmdBlock:
        if (frame[1] == 0x55)
          RecordBlock(frame, now);
        else
          FlashPacket(frame, now);
        return;
      case kCmdLoader:
        Loader(frame, now);
        return;
      default:
        return;  // FrameLength() accepts nothing else
    }
  }

  uint16_t CurrentRaw(Clock::time_point now) const {
    if (!autoValue) return raw;
    const double t = std::chrono::duration<double>(now - epoch).count();
    const double amplitude = std::max(1.0, raw / 5.0);
    const double value = raw + amplitude * std::sin(2.0 * M_PI * t / 20.0);
    return static_cast<uint16_t>(std::clamp(std::lround(value), 0L, 65535L));
  }

  std::vector<uint8_t> StatusReply(Clock::time_point now) const {
    std::vector<uint8_t> r(kStatusSize, 0);
    r[0] = kCmdStatus;
    std::copy(report.begin(), report.end(), r.begin() + 1);
    const uint16_t value = CurrentRaw(now);
    r[25] = static_cast<uint8_t>(value >> 8);
    r[26] = static_cast<uint8_t>(value & 0xFF);
    r[29] = flags;
    return r;
  }

  void Calibration(const uint8_t* frame, Clock::time_point now) {
    std::vector<uint8_t> r(kCalibrationSize, 0);
    r[0] = kCmdCalibration;
    r[1] = frame[1];
    if (frame[1] == 0x01) {
      calibrating = true;
    } else if (frame[1] == 0x00) {
      calibrating = false;  // a stop without a start is answered the same way
      std::copy(calibrationResult.begin(), calibrationResult.end(), r.begin() + 2);
    } else {
      Note("unknown calibration operation " + Hex(frame + 1, 1));
    }
    Reply(std::move(r), now);
  }

  void RecordBlock(const uint8_t* frame, Clock::time_point now) {
    const uint8_t which = frame[4];
    if (which > 1) {
      Note("ignored request for unknown block " + std::to_string(which));
      return;
    }
    auto& block = blocks[which];
    if (frame[3] == 0x00) {
      std::vector<uint8_t> r(block.begin(), block.end());
      if (which == 0 && foreign) std::memcpy(r.data() + 5, kForeignMarker, 3);
      Reply(std::move(r), now);
      return;
    }
    // A write: stored as sent, with the operation byte back at 0x00 so that a
    // later read carries the same header as any block read.
    std::memcpy(block.data(), frame, kBlockSize);
    block[3] = 0x00;
    Reply(std::vector<uint8_t>(block.begin(), block.end()), now);
  }

  void FlashPacket(const uint8_t* frame, Clock::time_point now) {
    NorMemory& memory = frame[1] == 'Q' ? flash : memMap;
    const uint32_t address = (uint32_t{frame[5]} << 16) | (uint32_t{frame[6]} << 8) | frame[7];
    std::vector<uint8_t> r(kBlockSize, 0);
    std::copy(frame, frame + kFlashHeaderSize, r.begin());  // bytes 0..7 echo the request
    const size_t n = size_t{frame[4]} + 1;
    switch (frame[3]) {
      case 'R':
        memory.Read(address, r.data() + kFlashHeaderSize, std::min(n, kFlashMaxData));
        break;
      case 'W':
        memory.Program(address, frame + kFlashHeaderSize, n);
        memory.Read(address, r.data() + kFlashHeaderSize, n);  // what the chip now holds
        break;
      case 'E':
        if (frame[4] == kEraseSector)
          memory.Erase(address, kSectorSize);
        else if (frame[4] == kEraseBlock)
          memory.Erase(address, kBlockSize32);
        else
          Note("unknown erase opcode " + Hex(frame + 4, 1) + ", nothing erased");
        break;
    }
    Reply(std::move(r), now);
  }

  // "FWPS" and "FWPU" are 4 bytes; only "FWPW" and "FWPR" carry a row offset.
  static size_t RowOffset(const uint8_t* frame) { return (size_t{frame[6]} << 8) | frame[7]; }

  void Loader(const uint8_t* frame, Clock::time_point now) {
    switch (frame[3]) {
      case 'S': {
        inLoader = true;
        std::vector<uint8_t> r(kLoaderFrameSize, 0);
        std::memcpy(r.data(), "FWPS", 4);
        Reply(std::move(r), now);
        return;
      }
      case 'W': {
        const size_t offset = RowOffset(frame);
        for (size_t i = 0; i < kLoaderRowSize; ++i) {
          const size_t at = (offset + i) % kIspSize;
          uint8_t value = frame[8 + i];
          auto fault = ispFaults.find(at);
          if (fault != ispFaults.end()) {
            value ^= fault->second;
            ispFaults.erase(fault);
          }
          isp[at] = value;
        }
        Reply(LoaderRowReply(frame, offset), now);
        return;
      }
      case 'R':
        Reply(LoaderRowReply(frame, RowOffset(frame)), now);
        return;
      case 'U':
        Note("leaving the loader: restart");
        BeginHangup(Reason::Restart);
        return;
    }
  }

  std::vector<uint8_t> LoaderRowReply(const uint8_t* frame, size_t offset) const {
    std::vector<uint8_t> r(kLoaderFrameSize, 0);
    std::copy(frame, frame + 8, r.begin());
    for (size_t i = 0; i < kLoaderRowSize; ++i) r[8 + i] = isp[(offset + i) % kIspSize];
    return r;
  }
};

// ---------------------------------------------------------------------------

VirtualInstrument::VirtualInstrument() : impl_(new Impl) {}

VirtualInstrument::~VirtualInstrument() { Stop(); }

bool VirtualInstrument::Start() {
  Impl& s = *impl_;
  std::unique_lock<std::mutex> lk(s.m);
  if (s.running) return true;
  Terminal t;
  std::string error;
  if (!OpenTerminal(t, error)) {
    s.Note("start failed: " + error);
    s.Emit(lk);
    return false;
  }
  if (OpenWakePipe(s.wake) != 0) {
    CloseFd(t.master);
    CloseFd(t.slave);
    return false;
  }
  s.Adopt(std::move(t));
  s.epoch = Clock::now();
  s.running = true;
  s.stopRequested = false;
  s.thread = std::thread([&s] { s.Run(); });
  s.Note("serving on " + s.term.path);
  s.Emit(lk);
  return true;
}

void VirtualInstrument::Stop() {
  Impl& s = *impl_;
  std::unique_lock<std::mutex> lk(s.m);
  if (!s.running) return;
  s.stopRequested = true;
  s.Unlink();
  s.node.clear();
  if (s.phase == Impl::Phase::Serving || s.phase == Impl::Phase::HangingUp)
    s.BeginHangup(Impl::Reason::Stop);
  else
    s.phase = Impl::Phase::Unplugged;
  s.Wake();
  lk.unlock();
  s.thread.join();
  lk.lock();
  CloseFd(s.term.master);
  CloseFd(s.term.slave);
  CloseFd(s.spareMaster);
  CloseFd(s.wake[0]);
  CloseFd(s.wake[1]);
  s.running = false;
  s.stopRequested = false;
  s.phase = Impl::Phase::Off;
  s.Emit(lk);
}

std::string VirtualInstrument::SlavePath() const {
  std::lock_guard<std::mutex> lk(impl_->m);
  return impl_->term.path;
}

bool VirtualInstrument::Serving() const {
  std::lock_guard<std::mutex> lk(impl_->m);
  return impl_->phase == Impl::Phase::Serving;
}

int VirtualInstrument::OpenHostPort() const {
  std::string path;
  {
    std::lock_guard<std::mutex> lk(impl_->m);
    if (impl_->phase != Impl::Phase::Serving) return -1;
    path = impl_->term.path;
  }
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  // The settings the library applies to the instrument's port.
  termios attrs;
  if (tcgetattr(fd, &attrs) == 0) {
    attrs.c_iflag |= IGNPAR;
    attrs.c_iflag &= ~static_cast<tcflag_t>(ICRNL | IXON);
    attrs.c_oflag &= ~static_cast<tcflag_t>(OPOST | ONLCR);
    attrs.c_cflag &= ~static_cast<tcflag_t>(CLOCAL);
    attrs.c_lflag = 0;
    attrs.c_cc[VEOF] = 4;
    cfsetospeed(&attrs, B115200);
    tcsetattr(fd, TCSANOW, &attrs);
  }
  return fd;
}

bool VirtualInstrument::Plug(const std::string& node) {
  Impl& s = *impl_;
  std::unique_lock<std::mutex> lk(s.m);
  bool ok = false;
  if (s.phase == Impl::Phase::Serving) {
    if (s.linked && s.node != node) s.Unlink();
    s.node = node;
    std::string error;
    ok = s.Link(error);
    if (!ok) {
      s.Note(error);
      s.node.clear();
    }
  } else if (s.phase == Impl::Phase::Restarting ||
             (s.phase == Impl::Phase::HangingUp && s.reason == Impl::Reason::Restart)) {
    s.node = node;  // linked when the new terminal is up
    ok = true;
  }
  s.Emit(lk);
  return ok;
}

void VirtualInstrument::Unplug() {
  Impl& s = *impl_;
  std::unique_lock<std::mutex> lk(s.m);
  if (!s.running) return;
  s.Unlink();
  s.node.clear();
  if (s.phase == Impl::Phase::Serving || s.phase == Impl::Phase::HangingUp) {
    s.BeginHangup(Impl::Reason::Unplug);
    s.Wake();
    s.cv.wait(lk, [&s] { return s.phase != Impl::Phase::HangingUp || !s.running; });
  } else if (s.phase == Impl::Phase::Restarting) {
    s.phase = Impl::Phase::Unplugged;
  }
  s.Emit(lk);
}

bool VirtualInstrument::Replug(const std::string& node) {
  Impl& s = *impl_;
  {
    std::unique_lock<std::mutex> lk(s.m);
    if (!s.running) {
      lk.unlock();
      return Start() && Plug(node);
    }
  }
  Unplug();
  std::unique_lock<std::mutex> lk(s.m);
  if (!s.running) return false;
  if (s.phase != Impl::Phase::Serving) {
    Terminal t;
    std::string error;
    const int reserved = s.spareMaster;
    s.spareMaster = -1;
    if (!OpenTerminal(t, error, reserved)) {
      s.Note("replug failed: " + error);
      s.Emit(lk);
      return false;
    }
    s.Adopt(std::move(t));
    s.Note("plugged in on " + s.term.path);
    s.Wake();
  }
  if (s.linked && s.node != node) s.Unlink();
  s.node = node;
  std::string error;
  const bool ok = s.Link(error);
  if (!ok) {
    s.Note(error);
    s.node.clear();
  }
  s.Emit(lk);
  return ok;
}

std::string VirtualInstrument::NodePath() const {
  std::lock_guard<std::mutex> lk(impl_->m);
  return impl_->linked ? impl_->node : std::string();
}

// ---- record blocks ----

std::array<uint8_t, 64> VirtualInstrument::Block(int n) const {
  std::lock_guard<std::mutex> lk(impl_->m);
  if (n < 0 || n > 1) return {};
  return impl_->blocks[static_cast<size_t>(n)];
}

void VirtualInstrument::SetBlock(int n, const std::array<uint8_t, 64>& bytes) {
  std::lock_guard<std::mutex> lk(impl_->m);
  if (n < 0 || n > 1) return;
  impl_->blocks[static_cast<size_t>(n)] = bytes;
}

void VirtualInstrument::SetMarker(const char marker[3]) {
  std::lock_guard<std::mutex> lk(impl_->m);
  std::memcpy(impl_->blocks[0].data() + 5, marker, 3);
}

void VirtualInstrument::SetSerial(uint8_t g1, uint8_t g2, uint8_t g3, uint16_t g4) {
  std::lock_guard<std::mutex> lk(impl_->m);
  auto& b = impl_->blocks[0];
  b[8] = g1;
  b[9] = g2;
  b[10] = g3;
  b[11] = static_cast<uint8_t>(g4 >> 8);
  b[12] = static_cast<uint8_t>(g4 & 0xFF);
}

void VirtualInstrument::SetHWCode(uint8_t code) {
  std::lock_guard<std::mutex> lk(impl_->m);
  impl_->blocks[0][13] = code;
}

void VirtualInstrument::SetFirmware(uint8_t mainVer, uint8_t subVer) {
  std::lock_guard<std::mutex> lk(impl_->m);
  impl_->blocks[0][14] = mainVer;
  impl_->blocks[0][15] = subVer;
}

void VirtualInstrument::SetMfgInfo(const std::array<uint8_t, 4>& info) {
  std::lock_guard<std::mutex> lk(impl_->m);
  std::copy(info.begin(), info.end(), impl_->blocks[1].begin() + 60);
}

void VirtualInstrument::SetForeign(bool foreign) {
  std::lock_guard<std::mutex> lk(impl_->m);
  impl_->foreign = foreign;
}

// ---- status report ----

void VirtualInstrument::SetReportBytes(const std::array<uint8_t, 5>& bytes) {
  std::lock_guard<std::mutex> lk(impl_->m);
  impl_->report = bytes;
}

void VirtualInstrument::SetMeasuredRaw(uint16_t raw) {
  std::lock_guard<std::mutex> lk(impl_->m);
  impl_->raw = raw;
  impl_->autoValue = false;
}

void VirtualInstrument::SetMeasuredAuto(bool on) {
  std::lock_guard<std::mutex> lk(impl_->m);
  impl_->autoValue = on;
}

void VirtualInstrument::SetBatteryLow(bool low) {
  std::lock_guard<std::mutex> lk(impl_->m);
  if (low)
    impl_->flags |= 0x04;
  else
    impl_->flags &= static_cast<uint8_t>(~0x04);
}

void VirtualInstrument::SetStatusFlags(uint8_t flags) {
  std::lock_guard<std::mutex> lk(impl_->m);
  impl_->flags = flags;
}

uint16_t VirtualInstrument::MeasuredRaw() const {
  std::lock_guard<std::mutex> lk(impl_->m);
  return impl_->CurrentRaw(Clock::now());
}

std::vector<std::array<uint8_t, 8>> VirtualInstrument::Settings() const {
  std::lock_guard<std::mutex> lk(impl_->m);
  return {impl_->settings.begin(), impl_->settings.end()};
}

void VirtualInstrument::ClearSettings() {
  std::lock_guard<std::mutex> lk(impl_->m);
  impl_->settings.clear();
}

bool VirtualInstrument::HostControl() const {
  std::lock_guard<std::mutex> lk(impl_->m);
  return impl_->hostControl;
}

// ---- calibration ----

void VirtualInstrument::SetCalibrationResult(const std::array<uint8_t, 24>& result) {
  std::lock_guard<std::mutex> lk(impl_->m);
  impl_->calibrationResult = result;
}

bool VirtualInstrument::Calibrating() const {
  std::lock_guard<std::mutex> lk(impl_->m);
  return impl_->calibrating;
}

// ---- memories ----

std::vector<uint8_t> VirtualInstrument::ReadFlash(uint32_t address, size_t length) const {
  std::lock_guard<std::mutex> lk(impl_->m);
  return impl_->flash.Read(address, length);
}

void VirtualInstrument::LoadFlash(uint32_t address, const std::vector<uint8_t>& bytes) {
  std::lock_guard<std::mutex> lk(impl_->m);
  impl_->flash.Load(address, bytes.data(), bytes.size());
}

std::vector<uint8_t> VirtualInstrument::ReadMemMap(uint32_t address, size_t length) const {
  std::lock_guard<std::mutex> lk(impl_->m);
  return impl_->memMap.Read(address, length);
}

void VirtualInstrument::LoadMemMap(uint32_t address, const std::vector<uint8_t>& bytes) {
  std::lock_guard<std::mutex> lk(impl_->m);
  impl_->memMap.Load(address, bytes.data(), bytes.size());
}

void VirtualInstrument::CorruptFlashOnWrite(uint32_t address, uint8_t xorMask) {
  std::lock_guard<std::mutex> lk(impl_->m);
  impl_->flash.ArmCorruption(address, xorMask);
}

void VirtualInstrument::CorruptMemMapOnWrite(uint32_t address, uint8_t xorMask) {
  std::lock_guard<std::mutex> lk(impl_->m);
  impl_->memMap.ArmCorruption(address, xorMask);
}

// ---- loader ----

std::vector<uint8_t> VirtualInstrument::IspImage() const {
  std::lock_guard<std::mutex> lk(impl_->m);
  return impl_->isp;
}

void VirtualInstrument::CorruptIspOnWrite(uint32_t offset, uint8_t xorMask) {
  std::lock_guard<std::mutex> lk(impl_->m);
  impl_->ispFaults[offset % kIspSize] = xorMask;
}

bool VirtualInstrument::InLoader() const {
  std::lock_guard<std::mutex> lk(impl_->m);
  return impl_->inLoader;
}

void VirtualInstrument::SetRestartDelayMs(unsigned ms) {
  std::lock_guard<std::mutex> lk(impl_->m);
  impl_->restartDelayMs = ms;
}

int VirtualInstrument::RestartCount() const {
  std::lock_guard<std::mutex> lk(impl_->m);
  return impl_->restarts;
}

bool VirtualInstrument::WaitForRestarts(int count, unsigned timeoutMs) const {
  std::unique_lock<std::mutex> lk(impl_->m);
  return impl_->cv.wait_for(lk, milliseconds(timeoutMs), [this, count] { return impl_->restarts >= count; });
}

// ---- faults ----

void VirtualInstrument::DropReplies(int count) {
  std::lock_guard<std::mutex> lk(impl_->m);
  impl_->drop.count = count;
}

void VirtualInstrument::DelayReplies(int count, unsigned ms) {
  std::lock_guard<std::mutex> lk(impl_->m);
  impl_->delay.count = count;
  impl_->delayMs = ms;
}

void VirtualInstrument::TruncateReplies(int count, size_t length) {
  std::lock_guard<std::mutex> lk(impl_->m);
  impl_->truncate.count = count;
  impl_->truncateLength = length;
}

void VirtualInstrument::SplitReplies(int count, size_t firstPart, unsigned gapMs) {
  std::lock_guard<std::mutex> lk(impl_->m);
  impl_->split.count = count;
  impl_->splitFirst = firstPart;
  impl_->splitGapMs = gapMs;
}

void VirtualInstrument::GarbageReplies(int count) {
  std::lock_guard<std::mutex> lk(impl_->m);
  impl_->garbage.count = count;
}

void VirtualInstrument::SetSilent(bool silent) {
  std::lock_guard<std::mutex> lk(impl_->m);
  impl_->silent = silent;
}

void VirtualInstrument::ClearFaults() {
  Impl& s = *impl_;
  std::lock_guard<std::mutex> lk(s.m);
  s.drop = s.delay = s.truncate = s.split = s.garbage = Knob{};
  s.silent = false;
  s.foreign = false;
  s.flash.DisarmCorruptions();
  s.memMap.DisarmCorruptions();
  s.ispFaults.clear();
}

// ---- wire log ----

std::vector<WireRecord> VirtualInstrument::Log() const {
  std::lock_guard<std::mutex> lk(impl_->m);
  return {impl_->log.begin(), impl_->log.end()};
}

std::vector<std::vector<uint8_t>> VirtualInstrument::Requests() const {
  std::lock_guard<std::mutex> lk(impl_->m);
  std::vector<std::vector<uint8_t>> frames;
  for (const auto& r : impl_->log)
    if (r.fromHost) frames.push_back(r.bytes);
  return frames;
}

size_t VirtualInstrument::RequestCount() const {
  std::lock_guard<std::mutex> lk(impl_->m);
  return impl_->requests;
}

size_t VirtualInstrument::ReplyCount() const {
  std::lock_guard<std::mutex> lk(impl_->m);
  return impl_->replies;
}

bool VirtualInstrument::WaitForRequests(size_t count, unsigned timeoutMs) const {
  std::unique_lock<std::mutex> lk(impl_->m);
  return impl_->cv.wait_for(lk, milliseconds(timeoutMs), [this, count] { return impl_->requests >= count; });
}

std::vector<std::chrono::nanoseconds> VirtualInstrument::ServiceTimes() const {
  std::lock_guard<std::mutex> lk(impl_->m);
  return {impl_->serviceTimes.begin(), impl_->serviceTimes.end()};
}

size_t VirtualInstrument::DroppedBytes() const {
  std::lock_guard<std::mutex> lk(impl_->m);
  return impl_->droppedBytes;
}

std::vector<int> VirtualInstrument::HostPids() const {
  std::string path;
  int own = -1;
  {
    std::lock_guard<std::mutex> lk(impl_->m);
    if (impl_->term.path.empty() || impl_->term.master < 0) return {};
    path = impl_->term.path;
    own = impl_->term.slave;
  }
  const int self = static_cast<int>(::getpid());
  std::vector<int> pids;
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return pids;
  while (dirent* p = ::readdir(proc)) {
    char* end = nullptr;
    const long pid = std::strtol(p->d_name, &end, 10);
    if (end == p->d_name || *end != '\0') continue;  // not a process
    const std::string fdDir = std::string("/proc/") + p->d_name + "/fd";
    DIR* fds = ::opendir(fdDir.c_str());
    if (fds == nullptr) continue;  // gone, or not ours to look at
    while (dirent* f = ::readdir(fds)) {
      if (f->d_name[0] == '.') continue;
      if (pid == self && std::atoi(f->d_name) == own) continue;  // the instrument's own slave
      char target[512];
      const std::string link = fdDir + "/" + f->d_name;
      const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
      if (n <= 0) continue;
      target[n] = '\0';
      if (path == target) pids.push_back(static_cast<int>(pid));
    }
    ::closedir(fds);
  }
  ::closedir(proc);
  std::sort(pids.begin(), pids.end());
  return pids;
}

int VirtualInstrument::HostOpens() const { return static_cast<int>(HostPids().size()); }

bool VirtualInstrument::WaitForHostOpens(int count, unsigned timeoutMs) const {
  const auto end = Clock::now() + milliseconds(timeoutMs);
  for (;;) {
    if (HostOpens() == count) return true;
    if (Clock::now() >= end) return false;
    std::this_thread::sleep_for(milliseconds(5));
  }
}

size_t VirtualInstrument::DroppedFrames() const {
  std::lock_guard<std::mutex> lk(impl_->m);
  return impl_->droppedFrames;
}

void VirtualInstrument::ClearLog() {
  std::lock_guard<std::mutex> lk(impl_->m);
  impl_->log.clear();
  impl_->serviceTimes.clear();
  impl_->requests = 0;
  impl_->replies = 0;
  impl_->droppedBytes = 0;
  impl_->droppedFrames = 0;
}

// ---- diagnostics ----

void VirtualInstrument::SetEventSink(std::function<void(const std::string&)> sink) {
  std::lock_guard<std::mutex> lk(impl_->m);
  impl_->sink = std::move(sink);
}

void VirtualInstrument::SetWireTrace(bool on) {
  std::lock_guard<std::mutex> lk(impl_->m);
  impl_->trace = on;
}

void VirtualInstrument::SetHangupGraceMs(unsigned ms) {
  std::lock_guard<std::mutex> lk(impl_->m);
  impl_->graceMs = ms;
}

// ---- state file ----
//
// Layout: the magic line "ZSIMSTATE1\n", then chunks of
//   tag (1 byte), address (u32, little-endian), length (u32, little-endian), bytes
// with the tags 'B' (record block; address = block number), 'F' (SPI flash),
// 'M' (memory map) and 'I' (loader image), ended by a chunk with tag 'E'.
// Only 4 KiB pages that hold something other than 0xFF are written, so a
// mostly erased instrument makes a small file.

namespace {

constexpr char kStateMagic[] = "ZSIMSTATE1\n";
constexpr size_t kStatePage = 4096;

void PutU32(std::ostream& os, uint32_t v) {
  const char b[4] = {static_cast<char>(v & 0xFF), static_cast<char>((v >> 8) & 0xFF),
                     static_cast<char>((v >> 16) & 0xFF), static_cast<char>((v >> 24) & 0xFF)};
  os.write(b, 4);
}

bool GetU32(std::istream& is, uint32_t& v) {
  unsigned char b[4];
  if (!is.read(reinterpret_cast<char*>(b), 4)) return false;
  v = uint32_t{b[0]} | (uint32_t{b[1]} << 8) | (uint32_t{b[2]} << 16) | (uint32_t{b[3]} << 24);
  return true;
}

void PutChunk(std::ostream& os, char tag, uint32_t address, const uint8_t* data, size_t length) {
  os.put(tag);
  PutU32(os, address);
  PutU32(os, static_cast<uint32_t>(length));
  os.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(length));
}

void PutPages(std::ostream& os, char tag, const std::vector<uint8_t>& bytes) {
  for (size_t at = 0; at < bytes.size(); at += kStatePage) {
    const size_t n = std::min(kStatePage, bytes.size() - at);
    const auto begin = bytes.begin() + static_cast<std::ptrdiff_t>(at);
    if (std::all_of(begin, begin + static_cast<std::ptrdiff_t>(n), [](uint8_t b) { return b == 0xFF; })) continue;
    PutChunk(os, tag, static_cast<uint32_t>(at), bytes.data() + at, n);
  }
}

}  // namespace

bool VirtualInstrument::SaveState(const std::string& path) const {
  const std::string temp = path + ".tmp";
  {
    std::ofstream os(temp, std::ios::binary | std::ios::trunc);
    if (!os) return false;
    std::lock_guard<std::mutex> lk(impl_->m);
    os.write(kStateMagic, sizeof kStateMagic - 1);
    for (uint32_t n = 0; n < 2; ++n) PutChunk(os, 'B', n, impl_->blocks[n].data(), 64);
    PutPages(os, 'F', impl_->flash.Bytes());
    PutPages(os, 'M', impl_->memMap.Bytes());
    PutPages(os, 'I', impl_->isp);
    PutChunk(os, 'E', 0, nullptr, 0);
    os.flush();
    if (!os) {
      ::unlink(temp.c_str());
      return false;
    }
  }
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    ::unlink(temp.c_str());
    return false;
  }
  return true;
}

bool VirtualInstrument::LoadState(const std::string& path) {
  std::ifstream is(path, std::ios::binary);
  if (!is) return false;
  char magic[sizeof kStateMagic - 1];
  if (!is.read(magic, sizeof magic) || std::memcmp(magic, kStateMagic, sizeof magic) != 0) return false;

  // Parse everything first; the instrument changes only if the file is whole.
  std::array<std::array<uint8_t, 64>, 2> blocks;
  {
    std::lock_guard<std::mutex> lk(impl_->m);
    blocks = impl_->blocks;
  }
  auto flash = std::make_unique<NorMemory>(kFlashSize);
  auto memMap = std::make_unique<NorMemory>(kMemMapSize);
  std::vector<uint8_t> isp(kIspSize, 0xFF);
  std::vector<uint8_t> data;
  for (;;) {
    char tag;
    uint32_t address, length;
    if (!is.get(tag) || !GetU32(is, address) || !GetU32(is, length)) return false;
    if (tag == 'E') break;
    if (length > kMemMapSize) return false;
    data.resize(length);
    if (!is.read(reinterpret_cast<char*>(data.data()), length)) return false;
    switch (tag) {
      case 'B':
        if (address > 1 || length != 64) return false;
        std::copy(data.begin(), data.end(), blocks[address].begin());
        break;
      case 'F':
        if (uint64_t{address} + length > kFlashSize) return false;
        flash->Load(address, data.data(), length);
        break;
      case 'M':
        if (uint64_t{address} + length > kMemMapSize) return false;
        memMap->Load(address, data.data(), length);
        break;
      case 'I':
        if (uint64_t{address} + length > kIspSize) return false;
        std::copy(data.begin(), data.end(), isp.begin() + address);
        break;
      default:
        return false;
    }
  }
  std::lock_guard<std::mutex> lk(impl_->m);
  impl_->blocks = blocks;
  impl_->flash = std::move(*flash);
  impl_->memMap = std::move(*memMap);
  impl_->isp = std::move(isp);
  impl_->ispFaults.clear();
  return true;
}

}  // namespace zsim
