// The terminal transport: pseudo-terminal, serving loop, output queue, the
// device's life (node link, hang-up, restart, replug) and the host lookup.
#include "TerminalTransport.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/resource.h>  // setpriority
#include <sys/syscall.h>   // SYS_gettid
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>

namespace zsim {

namespace {

using std::chrono::milliseconds;

void CloseFd(int& fd) {
  if (fd >= 0) {
    ::close(fd);
    fd = -1;
  }
}

// A master side not yet unlocked: it holds a terminal number that nobody can
// open, so the terminal that follows a hang-up never reuses the old number.
// The descriptors are close-on-exec, so that programs that a test starts
// (possibly from another thread at that very moment) do not inherit them.
// Linux sets the flag as it creates them. macOS has no pipe2, and its
// posix_openpt is not known to take O_CLOEXEC (its declaration names no
// flags), so there the flag is set right after.
#if !defined(__linux__)
void MarkCloseOnExec(int fd) { fcntl(fd, F_SETFD, fcntl(fd, F_GETFD) | FD_CLOEXEC); }
#endif

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
    const long long total =
        static_cast<long long>(timeout->tv_sec) * 1000 + (timeout->tv_nsec + 999999) / 1000000;
    ms = total > INT_MAX ? INT_MAX : static_cast<int>(total);
  }
  return ::poll(fds, count, ms);
#endif
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

// Opens a terminal, on `reserved` (taken over) when it is a reserved master.
// A new pseudo-terminal starts with the kernel's defaults for a terminal
// (canonical input, echo, CR/NL translation, output processing, flow
// control), as a freshly plugged USB serial port does, and it keeps them:
// whoever opens it must configure it, as for the real port. With `makeRaw`
// it is made raw at 115200 at once, for programs that never configure a port.
bool TerminalTransport::OpenTerminal(Terminal& t, std::string& error, bool makeRaw, int reserved) {
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
  // The master side reads what the host's line discipline sends: with the
  // defaults that includes the echo of the instrument's own replies, which
  // the model takes for host bytes, as a real instrument gets them.
  termios attrs;
  if (makeRaw && tcgetattr(slave, &attrs) == 0) {
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

TerminalTransport::TerminalTransport(InstrumentModel& servedModel, WireLog& wireLog)
    : model(servedModel), log(wireLog) {}

TerminalTransport::~TerminalTransport() {
  CloseFd(lingerSlave);
  CloseFd(term.master);
  CloseFd(term.slave);
  CloseFd(spareMaster);
  CloseFd(wake[0]);
  CloseFd(wake[1]);
}

void TerminalTransport::Note(std::string text) {
  if (sink) events.push_back(std::move(text));
}

// Hands the noted events to the sink with the lock released.
void TerminalTransport::Emit(std::unique_lock<std::mutex>& lk) {
  if (events.empty()) return;
  std::vector<std::string> pending;
  pending.swap(events);
  auto target = sink;
  lk.unlock();
  if (target)
    for (const auto& e : pending) target(e);
  lk.lock();
}

void TerminalTransport::Wake() {
  if (wake[1] < 0) return;
  const uint8_t one = 1;
  ssize_t ignored = ::write(wake[1], &one, 1);
  (void)ignored;
}

void TerminalTransport::DrainWake() {
  uint8_t buf[64];
  while (::read(wake[0], buf, sizeof buf) > 0) {
  }
}

// ---- node link ----

bool TerminalTransport::Link(std::string& error) {
  if (node.empty()) return false;
  if (!MakeLink(node, term.path, error)) return false;
  linked = true;
  Note("linked " + node + " -> " + term.path);
  return true;
}

void TerminalTransport::Unlink() {
  if (!linked) return;
  RemoveLinkTo(node, term.path);
  linked = false;
  Note("removed " + node);
}

// Fresh-terminal state: what a power-up of the instrument resets.
void TerminalTransport::ResetSession() {
  model.PowerUp();
  out.clear();
  blockedOnWrite = false;
  packetFree = Clock::time_point{};
}

// The lingering node goes: its link (unless another terminal has taken the
// name over), and the old terminal's number is given back.
void TerminalTransport::EndLinger() {
  if (lingerSlave < 0) return;
  RemoveLinkTo(lingerNode, lingerPath);
  CloseFd(lingerSlave);
  Note("old node " + lingerNode + " gone");
}

void TerminalTransport::Adopt(Terminal t) {
  term = std::move(t);
  ResetSession();
  phase = Phase::Serving;
}

// ---- hang-up and restart ----

// Starts a hang-up. The instrument's own slave descriptor closes now: from
// here on the master reports POLLHUP as soon as no host holds the port,
// and a hang-up with nobody left to read needs no grace time.
void TerminalTransport::BeginHangup(Reason why) {
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

void TerminalTransport::HangUp(Clock::time_point now) {
  // The node goes first, so a host that sees the hang-up finds it gone. It
  // stays remembered and comes back with the terminal after a restart. A
  // restart may leave it listed for a while, leading to the terminal gone.
  EndLinger();
  if (reason == Reason::Restart && lingerMs > 0 && linked)
    lingerSlave = ::open(term.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (lingerSlave >= 0) {
    linked = false;
    lingerNode = node;
    lingerPath = term.path;
    lingerUntil = now + milliseconds(lingerMs);
    Note("old node " + node + " lingers for " + std::to_string(lingerMs) + " ms");
  } else {
    Unlink();
  }
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

// Opens the terminal that follows a hang-up, on the master reserved for it.
bool TerminalTransport::OpenNext(Terminal& t, std::string& error) {
  const int reserved = spareMaster;
  spareMaster = -1;
  return OpenTerminal(t, error, rawTerminal, reserved);
}

void TerminalTransport::Reopen(Clock::time_point now) {
  Terminal t;
  std::string error;
  if (!OpenNext(t, error)) {
    Note("restart failed, retrying: " + error);
    reopenAt = now + milliseconds(100);
    return;
  }
  Adopt(std::move(t));
  if (!restartNode.empty()) node = restartNode;
  if (!node.empty() && !Link(error)) Note(error);
  if (lingerSlave >= 0 && lingerNode == node) EndLinger();  // the name is taken over
  ++restarts;
  Note("restarted on " + term.path);
  cv.notify_all();
}

// ---- serving loop ----

void TerminalTransport::Run() {
  sigset_t all;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, nullptr);  // signals belong to the application's threads
#ifdef __linux__
  // A real instrument answers on a processor of its own, whatever else the
  // host runs. On a loaded host this thread would wait its turn and answer
  // late where the instrument never would (a loader row's reply past the
  // host's 100 ms), so it asks for a higher priority where it may (as root);
  // elsewhere it runs as it is. The host's own threads keep theirs.
  setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), -10);  // 0, or -1 (EACCES): ignored
#endif

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
void TerminalTransport::Advance(Clock::time_point now) {
  if (phase == Phase::Serving || phase == Phase::HangingUp) Flush();
  if (phase == Phase::Serving) model.ExpireFrame(now, *this);
  if (phase == Phase::HangingUp && out.empty() && now >= lastReply + milliseconds(graceMs)) HangUp(now);
  if (phase == Phase::Restarting && now >= reopenAt) Reopen(now);
  if (lingerSlave >= 0 && now >= lingerUntil) EndLinger();
}

Clock::time_point TerminalTransport::NextDeadline() const {
  Clock::time_point next = Clock::time_point::max();
  if (phase == Phase::Serving || phase == Phase::HangingUp) {
    if (!out.empty() && !blockedOnWrite) {
      const Outgoing& o = out.front();
      next = std::min(next, o.packet > 0 ? std::max(o.notBefore, packetFree) : o.notBefore);
    }
  }
  if (phase == Phase::Serving) next = std::min(next, model.FrameDeadline());
  if (phase == Phase::HangingUp && out.empty()) next = std::min(next, lastReply + milliseconds(graceMs));
  if (phase == Phase::Restarting) next = std::min(next, reopenAt);
  if (lingerSlave >= 0) next = std::min(next, lingerUntil);
  return next;
}

void TerminalTransport::ReadInput() {
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
void TerminalTransport::Request(const uint8_t* frame, size_t size, Clock::time_point now) {
  ++log.requests;
  log.Append(true, std::vector<uint8_t>(frame, frame + size), now);
  cv.notify_all();
  if (trace) Note("request: " + Hex(frame, size));
}

// "FWPU": the replies owed are finished, then the terminal hangs up.
void TerminalTransport::Restart() { BeginHangup(Reason::Restart); }

// Queues a reply with its timing and writes whatever is due.
void TerminalTransport::Send(Reply reply, Clock::time_point frameDone) {
  const Clock::time_point due = Clock::now() + reply.delay;
  std::vector<uint8_t>& bytes = reply.bytes;
  if (reply.firstPart > 0) {
    const auto cut = bytes.begin() + static_cast<std::ptrdiff_t>(reply.firstPart);
    Outgoing first;
    first.bytes.assign(bytes.begin(), cut);
    first.notBefore = due;
    first.timed = true;
    first.frameDone = frameDone;
    first.packet = reply.packet;
    first.packetGap = reply.packetGap;
    Outgoing rest;
    rest.bytes.assign(cut, bytes.end());
    rest.notBefore = Clock::time_point::max();  // set when the first part is out
    rest.continuation = true;
    rest.gap = reply.gap;
    rest.packet = reply.packet;
    rest.packetGap = reply.packetGap;
    out.push_back(std::move(first));
    out.push_back(std::move(rest));
  } else {
    Outgoing whole;
    whole.bytes = std::move(bytes);
    whole.notBefore = due;
    whole.timed = true;
    whole.frameDone = frameDone;
    whole.packet = reply.packet;
    whole.packetGap = reply.packetGap;
    out.push_back(std::move(whole));
  }
  Flush();
}

// Writes every reply that is due, in order, one write() each; a reply with
// a packet size one write() per packet, each packet once the one before it
// is a packet gap old.
void TerminalTransport::Flush() {
  if (term.master < 0) return;
  Clock::time_point now = Clock::now();
  while (!out.empty() && !blockedOnWrite) {
    Outgoing& o = out.front();
    if (o.notBefore > now || (o.packet > 0 && packetFree > now)) break;
    // The write in progress: the whole reply, or the packet holding `written`.
    const size_t start = o.packet > 0 ? o.written / o.packet * o.packet : 0;
    const size_t end = o.packet > 0 ? std::min(o.bytes.size(), start + o.packet) : o.bytes.size();
    const ssize_t n = ::write(term.master, o.bytes.data() + o.written, end - o.written);
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
    if (o.written < end) {
      blockedOnWrite = true;
      break;
    }
    now = Clock::now();
    lastReply = now;
    ++log.replies;
    if (o.timed && start == 0)
      log.AddServiceTime(std::chrono::duration_cast<std::chrono::nanoseconds>(now - o.frameDone));
    if (trace) Note("reply:   " + Hex(o.bytes.data() + start, end - start));
    if (o.packet > 0) packetFree = now + o.packetGap;
    if (end < o.bytes.size()) {
      log.Append(false, std::vector<uint8_t>(o.bytes.begin() + static_cast<std::ptrdiff_t>(start),
                                             o.bytes.begin() + static_cast<std::ptrdiff_t>(end)),
                 now);
      continue;  // the next packet of this reply
    }
    if (start == 0)
      log.Append(false, std::move(o.bytes), now);
    else
      log.Append(false, std::vector<uint8_t>(o.bytes.begin() + static_cast<std::ptrdiff_t>(start), o.bytes.end()),
                 now);
    out.pop_front();
    if (!out.empty() && out.front().continuation) out.front().notBefore = now + out.front().gap;
  }
}

// ---- serving, the device node, the hosts ----

bool TerminalTransport::Start() {
  std::unique_lock<std::mutex> lk(m);
  if (running) return true;
  Terminal t;
  std::string error;
  if (!OpenTerminal(t, error, rawTerminal)) {
    Note("start failed: " + error);
    Emit(lk);
    return false;
  }
  if (OpenWakePipe(wake) != 0) {
    CloseFd(t.master);
    CloseFd(t.slave);
    return false;
  }
  Adopt(std::move(t));
  model.state.epoch = Clock::now();  // a power-up: the status value's sine starts here
  running = true;
  stopRequested = false;
  thread = std::thread([this] { Run(); });
  Note("serving on " + term.path);
  Emit(lk);
  return true;
}

void TerminalTransport::Stop() {
  std::unique_lock<std::mutex> lk(m);
  if (!running) return;
  stopRequested = true;
  Unlink();
  EndLinger();
  node.clear();
  if (phase == Phase::Serving || phase == Phase::HangingUp)
    BeginHangup(Reason::Stop);
  else
    phase = Phase::Unplugged;
  Wake();
  lk.unlock();
  thread.join();
  lk.lock();
  CloseFd(term.master);
  CloseFd(term.slave);
  CloseFd(spareMaster);
  CloseFd(lingerSlave);
  CloseFd(wake[0]);
  CloseFd(wake[1]);
  running = false;
  stopRequested = false;
  phase = Phase::Off;
  Emit(lk);
}

std::string TerminalTransport::SlavePath() const {
  std::lock_guard<std::mutex> lk(m);
  return term.path;
}

bool TerminalTransport::Serving() const {
  std::lock_guard<std::mutex> lk(m);
  return phase == Phase::Serving;
}

int TerminalTransport::OpenHostPort() const {
  std::string path;
  {
    std::lock_guard<std::mutex> lk(m);
    if (phase != Phase::Serving) return -1;
    path = term.path;
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

bool TerminalTransport::Plug(const std::string& newNode) {
  std::unique_lock<std::mutex> lk(m);
  bool ok = false;
  if (phase == Phase::Serving) {
    if (linked && node != newNode) Unlink();
    node = newNode;
    std::string error;
    ok = Link(error);
    if (!ok) {
      Note(error);
      node.clear();
    }
  } else if (phase == Phase::Restarting ||
             (phase == Phase::HangingUp && reason == Reason::Restart)) {
    node = newNode;  // linked when the new terminal is up
    ok = true;
  }
  Emit(lk);
  return ok;
}

void TerminalTransport::Unplug() {
  std::unique_lock<std::mutex> lk(m);
  if (!running) return;
  Unlink();
  EndLinger();
  node.clear();
  if (phase == Phase::Serving || phase == Phase::HangingUp) {
    BeginHangup(Reason::Unplug);
    Wake();
    cv.wait(lk, [this] { return phase != Phase::HangingUp || !running; });
  } else if (phase == Phase::Restarting) {
    phase = Phase::Unplugged;
  }
  Emit(lk);
}

bool TerminalTransport::Replug(const std::string& newNode) {
  {
    std::unique_lock<std::mutex> lk(m);
    if (!running) {
      lk.unlock();
      return Start() && Plug(newNode);
    }
  }
  Unplug();
  std::unique_lock<std::mutex> lk(m);
  if (!running) return false;
  if (phase != Phase::Serving) {
    Terminal t;
    std::string error;
    if (!OpenNext(t, error)) {
      Note("replug failed: " + error);
      Emit(lk);
      return false;
    }
    Adopt(std::move(t));
    Note("plugged in on " + term.path);
    Wake();
  }
  if (linked && node != newNode) Unlink();
  node = newNode;
  std::string error;
  const bool ok = Link(error);
  if (!ok) {
    Note(error);
    node.clear();
  }
  Emit(lk);
  return ok;
}

std::string TerminalTransport::NodePath() const {
  std::lock_guard<std::mutex> lk(m);
  return linked ? node : std::string();
}

std::vector<int> TerminalTransport::HostPids() const {
  std::string path;
  int own = -1;
  {
    std::lock_guard<std::mutex> lk(m);
    if (term.path.empty() || term.master < 0) return {};
    path = term.path;
    own = term.slave;
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

void TerminalTransport::SetRestartDelayMs(unsigned ms) {
  std::lock_guard<std::mutex> lk(m);
  restartDelayMs = ms;
}

void TerminalTransport::SetRestartNode(const std::string& newNode) {
  std::lock_guard<std::mutex> lk(m);
  restartNode = newNode;
}

void TerminalTransport::SetNodeLingerMs(unsigned ms) {
  std::lock_guard<std::mutex> lk(m);
  lingerMs = ms;
}

int TerminalTransport::RestartCount() const {
  std::lock_guard<std::mutex> lk(m);
  return restarts;
}

bool TerminalTransport::WaitForRestarts(int count, unsigned timeoutMs) const {
  std::unique_lock<std::mutex> lk(m);
  return cv.wait_for(lk, milliseconds(timeoutMs), [this, count] { return restarts >= count; });
}

bool TerminalTransport::WaitForRequests(size_t count, unsigned timeoutMs) const {
  std::unique_lock<std::mutex> lk(m);
  return cv.wait_for(lk, milliseconds(timeoutMs), [this, count] { return log.requests >= count; });
}

void TerminalTransport::SetEventSink(std::function<void(const std::string&)> eventSink) {
  std::lock_guard<std::mutex> lk(m);
  sink = std::move(eventSink);
}

void TerminalTransport::SetWireTrace(bool on) {
  std::lock_guard<std::mutex> lk(m);
  trace = on;
}

void TerminalTransport::SetRawTerminal(bool on) {
  std::lock_guard<std::mutex> lk(m);
  rawTerminal = on;
}

void TerminalTransport::SetHangupGraceMs(unsigned ms) {
  std::lock_guard<std::mutex> lk(m);
  graceMs = ms;
}

}  // namespace zsim
