// The virtual instrument's serving loop over its model.
//
// One thread per instrument runs a ppoll() loop over the pseudo-terminal's
// master side and a wake-up pipe. Bytes from the host go to the instrument
// model (InstrumentModel.h), which frames them into requests, carries each
// complete request out at once and hands back its reply with its timing.
// Replies leave in order through an output queue whose entries may carry an
// earliest send time (delayed replies, the second half of a split reply):
// the loop sleeps only in ppoll(), until the next byte, the next due reply or
// the next timer (incomplete-frame time-out, hang-up grace, restart). An
// undisturbed reply is written with a single write() in the same pass that
// framed its request.
//
// All state lives in Impl under one mutex. The serving thread holds it
// except while it waits in ppoll() or hands events to the event sink, so the
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
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

#include "InstrumentModel.h"
#include "StateFile.h"

namespace zsim {

namespace {

using std::chrono::milliseconds;

constexpr size_t kLogCap = 100000;

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

// A master side not yet unlocked: it holds a terminal number that nobody can
// open, so the terminal that follows a hang-up never reuses the old number.
int ReserveMaster() { return posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC); }

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

}  // namespace

struct VirtualInstrument::Impl : InstrumentModel::Output {
  enum class Phase { Off, Serving, HangingUp, Restarting, Unplugged };
  enum class Reason { Restart, Unplug, Stop };

  // A reply (or the second part of a split reply) waiting to be written.
  struct Outgoing {
    std::vector<uint8_t> bytes;
    size_t written = 0;
    Clock::time_point notBefore;
    bool continuation = false;  // second part: due `gap` after the first part was written
    milliseconds gap{0};
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
  InstrumentModel model;  // framing, instrument state, reply faults
  std::deque<Outgoing> out;
  bool blockedOnWrite = false;

  // ---- wire log ----
  std::deque<WireRecord> log;
  size_t requests = 0;
  size_t replies = 0;
  std::deque<std::chrono::nanoseconds> serviceTimes;

  // ---- diagnostics ----
  std::function<void(const std::string&)> sink;
  bool trace = false;
  std::vector<std::string> events;  // noted under the lock, handed to the sink without it

  Impl() { model.state.epoch = Clock::now(); }

  ~Impl() {
    CloseFd(term.master);
    CloseFd(term.slave);
    CloseFd(spareMaster);
    CloseFd(wake[0]);
    CloseFd(wake[1]);
  }

  void Note(std::string text) override {
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
    model.PowerUp();
    out.clear();
    blockedOnWrite = false;
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
    model.ClearInput();
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
      const int ready = ::ppoll(fds, count, timeout, nullptr);
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
    if (phase == Phase::Serving) model.ExpireFrame(now, *this);
    if (phase == Phase::HangingUp && out.empty() && now >= lastReply + milliseconds(graceMs)) HangUp(now);
    if (phase == Phase::Restarting && now >= reopenAt) Reopen(now);
  }

  Clock::time_point NextDeadline() const {
    Clock::time_point next = Clock::time_point::max();
    if (phase == Phase::Serving || phase == Phase::HangingUp) {
      if (!out.empty() && !blockedOnWrite) next = std::min(next, out.front().notBefore);
    }
    if (phase == Phase::Serving) next = std::min(next, model.FrameDeadline());
    if (phase == Phase::HangingUp && out.empty()) next = std::min(next, lastReply + milliseconds(graceMs));
    if (phase == Phase::Restarting) next = std::min(next, reopenAt);
    return next;
  }

  void ReadInput() {
    uint8_t buf[4096];
    for (;;) {
      const ssize_t n = ::read(term.master, buf, sizeof buf);
      if (n > 0) {
        model.Feed(buf, static_cast<size_t>(n), Clock::now(), *this);
        if (phase != Phase::Serving) return;  // "FWPU": the instrument is leaving
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      return;  // EAGAIN: all read
    }
  }

  // ---- replies ----

  // A request the model framed: logged before it is carried out.
  void Request(const uint8_t* frame, size_t size, Clock::time_point now) override {
    ++requests;
    AppendLog(true, std::vector<uint8_t>(frame, frame + size), now);
    cv.notify_all();
    if (trace) Note("request: " + Hex(frame, size));
  }

  // "FWPU": the replies owed are finished, then the terminal hangs up.
  void Restart() override { BeginHangup(Reason::Restart); }

  // Queues a reply with its timing and writes whatever is due.
  void Send(Reply reply, Clock::time_point frameDone) override {
    const Clock::time_point due = Clock::now() + reply.delay;
    std::vector<uint8_t>& bytes = reply.bytes;
    if (reply.firstPart > 0) {
      const auto cut = bytes.begin() + static_cast<std::ptrdiff_t>(reply.firstPart);
      Outgoing first;
      first.bytes.assign(bytes.begin(), cut);
      first.notBefore = due;
      first.timed = true;
      first.frameDone = frameDone;
      Outgoing rest;
      rest.bytes.assign(cut, bytes.end());
      rest.notBefore = Clock::time_point::max();  // set when the first part is out
      rest.continuation = true;
      rest.gap = reply.gap;
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
      if (!out.empty() && out.front().continuation) out.front().notBefore = now + out.front().gap;
    }
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
  if (::pipe2(s.wake, O_CLOEXEC | O_NONBLOCK) != 0) {
    CloseFd(t.master);
    CloseFd(t.slave);
    return false;
  }
  s.Adopt(std::move(t));
  s.model.state.epoch = Clock::now();
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
  return impl_->model.state.blocks[static_cast<size_t>(n)];
}

void VirtualInstrument::SetBlock(int n, const std::array<uint8_t, 64>& bytes) {
  std::lock_guard<std::mutex> lk(impl_->m);
  if (n < 0 || n > 1) return;
  impl_->model.state.blocks[static_cast<size_t>(n)] = bytes;
}

void VirtualInstrument::SetMarker(const char marker[3]) {
  std::lock_guard<std::mutex> lk(impl_->m);
  std::memcpy(impl_->model.state.blocks[0].data() + 5, marker, 3);
}

void VirtualInstrument::SetSerial(uint8_t g1, uint8_t g2, uint8_t g3, uint16_t g4) {
  std::lock_guard<std::mutex> lk(impl_->m);
  auto& b = impl_->model.state.blocks[0];
  b[8] = g1;
  b[9] = g2;
  b[10] = g3;
  b[11] = static_cast<uint8_t>(g4 >> 8);
  b[12] = static_cast<uint8_t>(g4 & 0xFF);
}

void VirtualInstrument::SetHWCode(uint8_t code) {
  std::lock_guard<std::mutex> lk(impl_->m);
  impl_->model.state.blocks[0][13] = code;
}

void VirtualInstrument::SetFirmware(uint8_t mainVer, uint8_t subVer) {
  std::lock_guard<std::mutex> lk(impl_->m);
  impl_->model.state.blocks[0][14] = mainVer;
  impl_->model.state.blocks[0][15] = subVer;
}

void VirtualInstrument::SetMfgInfo(const std::array<uint8_t, 4>& info) {
  std::lock_guard<std::mutex> lk(impl_->m);
  std::copy(info.begin(), info.end(), impl_->model.state.blocks[1].begin() + 60);
}

void VirtualInstrument::SetForeign(bool foreign) {
  std::lock_guard<std::mutex> lk(impl_->m);
  impl_->model.faults.foreign = foreign;
}

// ---- status report ----

void VirtualInstrument::SetReportBytes(const std::array<uint8_t, 5>& bytes) {
  std::lock_guard<std::mutex> lk(impl_->m);
  impl_->model.state.report = bytes;
}

void VirtualInstrument::SetMeasuredRaw(uint16_t raw) {
  std::lock_guard<std::mutex> lk(impl_->m);
  impl_->model.state.raw = raw;
  impl_->model.state.autoValue = false;
}

void VirtualInstrument::SetMeasuredAuto(bool on) {
  std::lock_guard<std::mutex> lk(impl_->m);
  impl_->model.state.autoValue = on;
}

void VirtualInstrument::SetBatteryLow(bool low) {
  std::lock_guard<std::mutex> lk(impl_->m);
  if (low)
    impl_->model.state.flags |= 0x04;
  else
    impl_->model.state.flags &= static_cast<uint8_t>(~0x04);
}

void VirtualInstrument::SetStatusFlags(uint8_t flags) {
  std::lock_guard<std::mutex> lk(impl_->m);
  impl_->model.state.flags = flags;
}

uint16_t VirtualInstrument::MeasuredRaw() const {
  std::lock_guard<std::mutex> lk(impl_->m);
  return impl_->model.MeasuredRaw(Clock::now());
}

std::vector<std::array<uint8_t, 8>> VirtualInstrument::Settings() const {
  std::lock_guard<std::mutex> lk(impl_->m);
  return {impl_->model.state.settings.begin(), impl_->model.state.settings.end()};
}

void VirtualInstrument::ClearSettings() {
  std::lock_guard<std::mutex> lk(impl_->m);
  impl_->model.state.settings.clear();
}

bool VirtualInstrument::HostControl() const {
  std::lock_guard<std::mutex> lk(impl_->m);
  return impl_->model.state.hostControl;
}

// ---- calibration ----

void VirtualInstrument::SetCalibrationResult(const std::array<uint8_t, 24>& result) {
  std::lock_guard<std::mutex> lk(impl_->m);
  impl_->model.state.calibrationResult = result;
}

bool VirtualInstrument::Calibrating() const {
  std::lock_guard<std::mutex> lk(impl_->m);
  return impl_->model.state.calibrating;
}

// ---- memories ----

std::vector<uint8_t> VirtualInstrument::ReadFlash(uint32_t address, size_t length) const {
  std::lock_guard<std::mutex> lk(impl_->m);
  return impl_->model.state.flash.Read(address, length);
}

void VirtualInstrument::LoadFlash(uint32_t address, const std::vector<uint8_t>& bytes) {
  std::lock_guard<std::mutex> lk(impl_->m);
  impl_->model.state.flash.Load(address, bytes.data(), bytes.size());
}

std::vector<uint8_t> VirtualInstrument::ReadMemMap(uint32_t address, size_t length) const {
  std::lock_guard<std::mutex> lk(impl_->m);
  return impl_->model.state.memMap.Read(address, length);
}

void VirtualInstrument::LoadMemMap(uint32_t address, const std::vector<uint8_t>& bytes) {
  std::lock_guard<std::mutex> lk(impl_->m);
  impl_->model.state.memMap.Load(address, bytes.data(), bytes.size());
}

void VirtualInstrument::CorruptFlashOnWrite(uint32_t address, uint8_t xorMask) {
  std::lock_guard<std::mutex> lk(impl_->m);
  impl_->model.state.flash.ArmCorruption(address, xorMask);
}

void VirtualInstrument::CorruptMemMapOnWrite(uint32_t address, uint8_t xorMask) {
  std::lock_guard<std::mutex> lk(impl_->m);
  impl_->model.state.memMap.ArmCorruption(address, xorMask);
}

// ---- loader ----

std::vector<uint8_t> VirtualInstrument::IspImage() const {
  std::lock_guard<std::mutex> lk(impl_->m);
  return impl_->model.state.isp;
}

void VirtualInstrument::CorruptIspOnWrite(uint32_t offset, uint8_t xorMask) {
  std::lock_guard<std::mutex> lk(impl_->m);
  impl_->model.state.ispFaults[offset % kIspSize] = xorMask;
}

bool VirtualInstrument::InLoader() const {
  std::lock_guard<std::mutex> lk(impl_->m);
  return impl_->model.state.inLoader;
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
  impl_->model.faults.drop.count = count;
}

void VirtualInstrument::DelayReplies(int count, unsigned ms) {
  std::lock_guard<std::mutex> lk(impl_->m);
  impl_->model.faults.delay.count = count;
  impl_->model.faults.delayMs = ms;
}

void VirtualInstrument::TruncateReplies(int count, size_t length) {
  std::lock_guard<std::mutex> lk(impl_->m);
  impl_->model.faults.truncate.count = count;
  impl_->model.faults.truncateLength = length;
}

void VirtualInstrument::SplitReplies(int count, size_t firstPart, unsigned gapMs) {
  std::lock_guard<std::mutex> lk(impl_->m);
  impl_->model.faults.split.count = count;
  impl_->model.faults.splitFirst = firstPart;
  impl_->model.faults.splitGapMs = gapMs;
}

void VirtualInstrument::GarbageReplies(int count) {
  std::lock_guard<std::mutex> lk(impl_->m);
  impl_->model.faults.garbage.count = count;
}

void VirtualInstrument::SetSilent(bool silent) {
  std::lock_guard<std::mutex> lk(impl_->m);
  impl_->model.faults.silent = silent;
}

void VirtualInstrument::ClearFaults() {
  std::lock_guard<std::mutex> lk(impl_->m);
  impl_->model.ClearFaults();
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
  return impl_->model.DroppedBytes();
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
  return impl_->model.DroppedFrames();
}

void VirtualInstrument::ClearLog() {
  std::lock_guard<std::mutex> lk(impl_->m);
  impl_->log.clear();
  impl_->serviceTimes.clear();
  impl_->requests = 0;
  impl_->replies = 0;
  impl_->model.ClearCounters();
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

bool VirtualInstrument::SaveState(const std::string& path) const {
  std::lock_guard<std::mutex> lk(impl_->m);
  return SaveStateFile(path, impl_->model.state);
}

bool VirtualInstrument::LoadState(const std::string& path) {
  // Parse everything first; the instrument changes only if the file is whole.
  auto stored = std::make_unique<StoredState>();
  {
    std::lock_guard<std::mutex> lk(impl_->m);
    stored->blocks = impl_->model.state.blocks;
  }
  if (!LoadStateFile(path, *stored)) return false;
  std::lock_guard<std::mutex> lk(impl_->m);
  InstrumentState& state = impl_->model.state;
  state.blocks = stored->blocks;
  state.flash = std::move(stored->flash);
  state.memMap = std::move(stored->memMap);
  state.isp = std::move(stored->isp);
  state.ispFaults.clear();
  return true;
}

}  // namespace zsim
