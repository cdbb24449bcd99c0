// The connection to the instrument, and the ports and lock files the tool
// looks at on its own.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#if defined(__linux__)
#include <sys/sysmacros.h>  // major(), minor(); <sys/types.h> has them on macOS
#endif
#include <termios.h>
#include <unistd.h>


#include <atomic>
#include <thread>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

#include "Cli.h"
#include "zervon.h"
#include "zervon_ext.h"

// The library's cache of the record block it read last (at a hand-over, or
// when its connection found the instrument), exported under this name.
extern unsigned char g_DeviceHWInfo[64];

namespace cli {

namespace {

void* Handle(long fd) { return reinterpret_cast<void*>(static_cast<intptr_t>(fd)); }

// kLibrary: the library holds a port it was told (ZervConnect); kSearch: it
// searches and reports through OnConnection (ZervInit).
enum class Mode { kNone, kHandedOver, kLibrary, kSearch };
Mode g_mode = Mode::kNone;
int g_fd = -1;
std::string g_port;
std::string g_ownLock;  // lock file this process made for a --port node
// What the library's connection callback said last: -1 nothing yet, 0 lost,
// 1 connected.
std::atomic<int> g_connection{-1};

void OnConnection(bool connected) { g_connection = connected ? 1 : 0; }

// The wire trace (-v): the library is handed one end of a pseudo-terminal
// in place of the port, and a thread passes every byte between its other
// end and the port, tracing each chunk as it goes. The library has no hook
// of its own for this; the trace shows exactly what crossed the port.
struct Relay {
  int master = -1, slave = -1;
  int wake[2] = {-1, -1};
  std::thread thread;
};
Relay* g_relay = nullptr;

// Writes all of `bytes` to the non-blocking `fd`; false when it fails.
bool WriteAll(int fd, const uint8_t* bytes, size_t length) {
  while (length > 0) {
    const ssize_t n = ::write(fd, bytes, length);
    if (n > 0) {
      bytes += n, length -= static_cast<size_t>(n);
    } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      pollfd p = {fd, POLLOUT, 0};
      if (::poll(&p, 1, 1000) <= 0) return false;
    } else {
      return false;
    }
  }
  return true;
}

void RunRelay(Relay* relay, int port) {
  uint8_t buffer[4096];
  bool portOpen = true;
  for (;;) {
    pollfd p[3] = {{relay->wake[0], POLLIN, 0}, {relay->master, POLLIN, 0}, {portOpen ? port : -1, POLLIN, 0}};
    if (::poll(p, 3, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (p[0].revents) return;
    if (p[1].revents & POLLIN) {
      const ssize_t n = ::read(relay->master, buffer, sizeof buffer);
      if (n > 0) {
        Trace(true, buffer, static_cast<size_t>(n));
        if (portOpen) WriteAll(port, buffer, static_cast<size_t>(n));
      }
    }
    if (p[2].revents & POLLIN) {
      const ssize_t n = ::read(port, buffer, sizeof buffer);
      if (n > 0) {
        Trace(false, buffer, static_cast<size_t>(n));
        WriteAll(relay->master, buffer, static_cast<size_t>(n));
      } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
        portOpen = false;  // hung up: the library's reads time out from now on
      }
    } else if (p[2].revents & (POLLHUP | POLLERR | POLLNVAL)) {
      portOpen = false;
    }
  }
}

// The port settings the library applies too: raw, 115200, reads that
// return at once. False when the terminal refuses them.
bool MakeRaw(int fd) {
  termios tio;
  if (tcgetattr(fd, &tio) != 0) return false;  // 0 on success
  cfmakeraw(&tio);
  tio.c_cflag |= CLOCAL | CREAD;
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  cfsetispeed(&tio, B115200);
  cfsetospeed(&tio, B115200);
  return tcsetattr(fd, TCSANOW, &tio) == 0;  // 0 on success
}

// A pseudo-terminal pair through the POSIX calls (Linux and macOS alike;
// openpty lives in a different header on each). False on failure, with
// nothing left open.
bool OpenPseudoTerminal(int* master, int* slave) {
  *master = ::posix_openpt(O_RDWR | O_NOCTTY);  // descriptor, or -1
  if (*master < 0) return false;
  const char* name = nullptr;
  if (::grantpt(*master) == 0 && ::unlockpt(*master) == 0) name = ::ptsname(*master);  // 0 on success
  *slave = name != nullptr ? ::open(name, O_RDWR | O_NOCTTY) : -1;  // descriptor, or -1
  if (*slave >= 0) return true;
  ::close(*master);
  *master = -1;
  return false;
}

// The descriptor to hand the library for the port `fd`: with -v the relay's
// end, else `fd` itself. -1 when the relay cannot be made.
int StartRelay(int fd) {
  if (!g_verbose) return fd;
  Relay* relay = new Relay;
  if (!OpenPseudoTerminal(&relay->master, &relay->slave) || ::pipe(relay->wake) != 0 ||
      !MakeRaw(relay->slave)) {
    for (int end : {relay->master, relay->slave, relay->wake[0], relay->wake[1]})
      if (end >= 0) ::close(end);
    delete relay;
    return -1;
  }
  for (int end : {relay->master, relay->slave}) {
    ::fcntl(end, F_SETFL, ::fcntl(end, F_GETFL) | O_NONBLOCK);
    ::fcntl(end, F_SETFD, FD_CLOEXEC);
  }
  relay->thread = std::thread(RunRelay, relay, fd);
  g_relay = relay;
  return relay->slave;
}

void StopRelay() {
  if (!g_relay) return;
  const char stop = 0;
  if (::write(g_relay->wake[1], &stop, 1) != 1) {
  }
  g_relay->thread.join();
  for (int end : {g_relay->master, g_relay->slave, g_relay->wake[0], g_relay->wake[1]}) ::close(end);
  delete g_relay;
  g_relay = nullptr;
}

constexpr int kHighestNode = 127;
constexpr unsigned char kHostControl = 0x43;
constexpr unsigned kHostControlPauseMs = 200;

std::string RealPath(const std::string& path) {
  char resolved[PATH_MAX];
  return realpath(path.c_str(), resolved) ? std::string(resolved) : std::string();
}

bool Alive(int pid) { return pid > 0 && (::kill(pid, 0) == 0 || errno == EPERM); }

std::string LockHolder(const LockInfo& lock) {
  return "process " + std::to_string(lock.pid) + (lock.process.empty() ? "" : " (" + lock.process + ")");
}

// The live process (not this one) named in node N's UUCP lock file, 0 when
// there is none or it is stale. The ID stands there as text (picocom,
// minicom and lockdev write "%10d\n") or, in old lock files, as 4 binary
// bytes.
int UucpLockHolder(int n) {
  std::ifstream in(UucpLockPath(n), std::ios::binary);
  if (!in) return 0;
  const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  int pid = 0;
  if (text.size() == 4 && text.find_first_not_of("0123456789 \n") != std::string::npos)
    std::memcpy(&pid, text.data(), 4);
  else if (std::sscanf(text.c_str(), "%d", &pid) != 1)
    return 0;
  return pid != getpid() && Alive(pid) ? pid : 0;
}

// The process (not this one) holding a lock on the file `st` describes, as
// /proc/locks lists it ("1: FLOCK  ADVISORY  WRITE 1234 00:19:5 0 EOF");
// else one that has the same terminal open. 0 when none is found.
int FindHolder(const struct stat& st) {
  std::ifstream locks("/proc/locks");
  for (std::string line; std::getline(locks, line);) {
    if (line.find("->") != std::string::npos) continue;  // waiting for the lock, not holding it
    int pid = 0;
    unsigned devMajor = 0, devMinor = 0;
    unsigned long inode = 0;
    if (std::sscanf(line.c_str(), "%*d: %*s %*s %*s %d %x:%x:%lu", &pid, &devMajor, &devMinor, &inode) == 4 &&
        devMajor == major(st.st_dev) && devMinor == minor(st.st_dev) && inode == st.st_ino && pid > 0 &&
        pid != getpid())
      return pid;
  }
  DIR* proc = opendir("/proc");
  if (!proc) return 0;
  int found = 0;
  while (dirent* e = readdir(proc)) {
    const int pid = std::atoi(e->d_name);
    if (pid <= 0 || pid == getpid()) continue;
    const std::string fds = "/proc/" + std::string(e->d_name) + "/fd";
    DIR* dir = opendir(fds.c_str());
    if (!dir) continue;
    while (dirent* f = readdir(dir)) {
      struct stat target;
      if (f->d_name[0] != '.' && ::stat((fds + "/" + f->d_name).c_str(), &target) == 0 && S_ISCHR(target.st_mode) &&
          target.st_rdev == st.st_rdev) {
        found = pid;
        break;
      }
    }
    closedir(dir);
    if (found) break;
  }
  closedir(proc);
  return found;
}

// Refuses with EBUSY, naming the holder.
int Refuse(Holder* holder, int pid, const std::string& through) {
  if (holder) {
    holder->pid = pid;
    holder->process = pid ? ProcessName(pid) : "";
    holder->through = through;
  }
  errno = EBUSY;
  return -1;
}

// Opens `path` read/write and non-blocking with its flock and exclusive
// mode taken; see OpenRaw.
int OpenHeld(const std::string& path, Holder* holder) {
  const int n = NodeNumber(path);
  if (n >= 0) {
    if (const int pid = UucpLockHolder(n)) return Refuse(holder, pid, "through its UUCP lock " + UucpLockPath(n));
  }
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  struct stat st;
  if (fd < 0) {
    if (errno != EBUSY) return -1;
    return Refuse(holder, ::stat(path.c_str(), &st) == 0 ? FindHolder(st) : 0,
                  "through the port's exclusive mode (TIOCEXCL)");
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
    const int pid = ::fstat(fd, &st) == 0 ? FindHolder(st) : 0;
    ::close(fd);
    return Refuse(holder, pid, "through an exclusive lock on the port (flock)");
  }
#if defined(TIOCGEXCL)
  // Root gets past another program's exclusive mode, where everyone else
  // gets EBUSY; it is refused all the same, and is never cleared by CloseRaw.
  // (Linux can tell; macOS has no way to read the mode.)
  int exclusive = 0;
  if (::ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive) {
    const int pid = ::fstat(fd, &st) == 0 ? FindHolder(st) : 0;
    ::close(fd);
    return Refuse(holder, pid, "through the port's exclusive mode (TIOCEXCL)");
  }
#endif
  // Not every terminal has an exclusive mode; the lock above still holds.
  ::ioctl(fd, TIOCEXCL);
  return fd;
}

// Refuses a node whose lock file another process holds, as the library
// would; a lock file of fewer than 4 bytes may be one being written this
// moment, so it is not taken for stale either.
void CheckLock(const std::string& port, int n) {
  if (n < 0) return;
  const LockInfo lock = ReadLock(n);
  if (lock.alive && lock.pid != getpid())
    Fail(kBusy, port + " is busy: held by " + LockHolder(lock) + " through " + LockPath(n));
  if (lock.present && !lock.readable)
    Fail(kBusy, port + " is locked by an incomplete lock file " + LockPath(n) + " (" + std::to_string(lock.size) +
                    " bytes); remove it if no program uses the port (see 'zervon doctor')");
}

enum class Take { kTaken, kNotTaken, kBusy };

// Takes the node's lock file for a port opened by the tool, so that no
// process using the library probes it meanwhile. A lock directory the user
// may not write is no reason to refuse (the port itself was opened); a lock
// that another live process holds is.
Take TakeLock(int n) {
  const std::string path = LockPath(n);
  for (int pass = 0; pass < 2; ++pass) {
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) {
      int32_t pid = getpid();
      bool ok = ::write(fd, &pid, 4) == 4;
      ::close(fd);
      if (!ok) {
        ::unlink(path.c_str());
        return Take::kNotTaken;
      }
      g_ownLock = path;
      return Take::kTaken;
    }
    if (errno != EEXIST) return Take::kNotTaken;
    const LockInfo lock = ReadLock(n);
    if (lock.alive || !lock.readable) return Take::kBusy;
    ::unlink(path.c_str());  // stale: its process has ended
  }
  return Take::kBusy;
}

void ReleaseLock() {
  if (!g_ownLock.empty()) {
    ::unlink(g_ownLock.c_str());
    g_ownLock.clear();
  }
}

// Hands `fd` over until the record block the library reads at the
// hand-over carries the product marker, or the time is up (one try at
// least). A dropped, short, garbled or late reply leaves the library's cache
// without the marker; the pause before the next hand-over lets a late reply
// arrive, which the library then discards before it asks again. The same
// block without the marker twice in a row is another device's answer.
Probe HandOver(int fd, unsigned timeoutMs) {
  const double end = Now() + timeoutMs / 1000.0;
  Probe probe, last;
  for (;;) {
    ZervSetDeviceHandle(Handle(fd));
    probe = ProbeHandedOver();
    if (probe.Instrument() || (probe.marker != "VRX" && probe.answered && probe.block == last.block) ||
        Now() >= end)
      break;
    last = probe;
    usleep(200 * 1000);
  }
  return probe;
}

// Fails unless every present node refuses this user (EACCES): then the
// search could not find anything however long it waited.
void CheckAccess(const std::vector<int>& nodes) {
  std::string names;
  for (int n : nodes) {
    if (::faccessat(AT_FDCWD, NodePath(n).c_str(), R_OK | W_OK, AT_EACCESS) == 0 || errno != EACCES) return;
    names += (names.empty() ? "" : ", ") + NodePath(n);
  }
  if (!names.empty())
    Fail(kNoDevice, "no instrument can be used: permission denied on " + names + " (see 'zervon doctor')");
}

// After a failed connection: a port that another program holds makes the
// tool's answer "busy", not "no instrument".
void CheckHeld(const std::vector<int>& nodes) {
  for (int n : nodes) {
    Holder holder;
    if (HeldByOther(n, &holder)) Fail(kBusy, "no free instrument: " + NodePath(n) + " is held by " + holder.Text());
  }
}

}  // namespace

std::string NodePath(int n) { return "/dev/ttyACM" + std::to_string(n); }
std::string LockPath(int n) { return "/var/lock/torvanel.ACM" + std::to_string(n) + ".lock"; }

std::vector<int> PresentNodes() {
  std::vector<int> nodes;
  for (int n = 0; n <= kHighestNode; ++n) {
    struct stat st;
    if (::stat(NodePath(n).c_str(), &st) == 0) nodes.push_back(n);
  }
  return nodes;
}

int NodeNumber(const std::string& path) {
  int n = -1;
  char tail;
  if (std::sscanf(path.c_str(), "/dev/ttyACM%d%c", &n, &tail) == 1 && n >= 0 && n <= kHighestNode &&
      path == NodePath(n))
    return n;
  // Another name of the same terminal: a link to a node, or the terminal a
  // node links to (a virtual instrument's /dev/pts/<N>).
  const std::string target = RealPath(path);
  if (target.empty()) return -1;
  for (int node : PresentNodes())
    if (RealPath(NodePath(node)) == target) return node;
  return -1;
}

std::string ProcessName(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
  std::string name;
  std::getline(in, name);
  return name;
}

LockInfo ReadLock(int n) {
  LockInfo info;
  const std::string path = LockPath(n);
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return info;
  info.present = true;
  info.size = static_cast<long>(st.st_size);
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return info;
  int32_t pid = 0;
  info.readable = ::read(fd, &pid, 4) == 4;
  ::close(fd);
  if (!info.readable) return info;
  info.pid = pid;
  // EPERM: the process exists but belongs to another user.
  info.alive = pid > 0 && (::kill(pid, 0) == 0 || errno == EPERM);
  if (info.alive) info.process = ProcessName(pid);
  return info;
}

std::string UucpLockPath(int n) { return "/var/lock/LCK..ttyACM" + std::to_string(n); }

std::string Holder::Text() const {
  return (pid ? "process " + std::to_string(pid) + (process.empty() ? "" : " (" + process + ")") : "another program") +
         " " + through;
}

int OpenRaw(const std::string& path, Holder* holder) {
  const int fd = OpenHeld(path, holder);
  if (fd < 0) return -1;
  if (!MakeRaw(fd)) {
    const int saved = errno;
    CloseRaw(fd);
    errno = saved;
    return -1;
  }
  return fd;
}

void CloseRaw(int fd) {
  // The exclusive mode belongs to the terminal, not to this descriptor: it
  // would outlive the close while another descriptor keeps the terminal open.
  ::ioctl(fd, TIOCNXCL);
  ::flock(fd, LOCK_UN);
  ::close(fd);
}

bool HeldByOther(int n, Holder* holder) {
  const LockInfo lock = ReadLock(n);
  if (lock.alive && lock.pid != getpid()) {
    *holder = {lock.pid, lock.process, "through " + LockPath(n)};
    return true;
  }
  const int fd = OpenHeld(NodePath(n), holder);
  if (fd >= 0) CloseRaw(fd);
  return fd < 0 && errno == EBUSY;
}

// Looks at the record block the library read at the hand-over, in its
// cache (no other thread of the library touches the cache of a handed-over
// port): only a block with the product marker yields an identity. The
// library keeps whatever part of a short reply arrived, marker included, and
// does not say how much that was; so the block is read once more through an
// exchange, which checks the length, and must bring the same record.
Probe ProbeHandedOver() {
  Probe probe;
  probe.block.assign(reinterpret_cast<const char*>(g_DeviceHWInfo), sizeof g_DeviceHWInfo);
  probe.answered = probe.block.find_first_not_of('\0') != std::string::npos;
  probe.marker = probe.block.substr(5, 3);
  if (probe.marker != "VRX") return probe;
  unsigned char request[5] = {0x12, 0x55, 0xAA, 0x00, 0x00};
  unsigned char reply[64] = {};
  int length = sizeof reply;
  probe.whole = ZervSendCommandEx(request, sizeof request, reply, &length) == 0 &&
                probe.block.compare(5, 59, reinterpret_cast<const char*>(reply) + 5, 59) == 0;
  if (!probe.whole) return probe;
  HW_INFORMATION hw{};
  ZervGetHWInformation(&hw);
  probe.serial = ZervGetSerialNumber();
  probe.fwMain = hw.nFirmwareMain;
  probe.fwSub = hw.nFirmwareSub;
  probe.hwCode = hw.nHWCode;
  return probe;
}

Probe ProbePort(const std::string& path, unsigned timeoutMs, int* error, Holder* holder) {
  *error = 0;
  const int n = NodeNumber(path);
  Take take = Take::kNotTaken;
  if (n >= 0) {
    take = TakeLock(n);
    if (take == Take::kBusy) {
      *error = EBUSY;
      return Probe();
    }
  }
  const int fd = OpenRaw(path, holder);
  if (fd < 0) {
    *error = errno;
    if (take == Take::kTaken) ReleaseLock();
    return Probe();
  }
  // Traced with -v too, through the relay.
  const int handed = StartRelay(fd);
  const Probe probe = HandOver(handed >= 0 ? handed : fd, timeoutMs);
  ZervSetDeviceHandle(Handle(-1));
  StopRelay();
  CloseRaw(fd);
  if (take == Take::kTaken) ReleaseLock();
  return probe;
}

void Connect(const Options& options, bool viaLibrary) {
  if (!options.port.empty()) {
    const int n = NodeNumber(options.port);
    if (viaLibrary) {
      if (n < 0)
        Fail(kUsage, options.port + " is no /dev/ttyACM<N> node: this command needs the instrument's node, "
                                    "since the instrument restarts and is found again by it");
      CheckLock(options.port, n);
      CheckAccess({n});
      if (!ZervConnect(n, options.timeoutMs)) {
        CheckLock(options.port, n);
        CheckHeld({n});
        Fail(kNoDevice, "no instrument answers on " + NodePath(n) + " within " + std::to_string(options.timeoutMs) +
                            " ms (see 'zervon doctor')");
      }
      g_mode = Mode::kLibrary;
      return;
    }
    CheckLock(options.port, n);
    Holder holder;
    g_fd = OpenRaw(options.port, &holder);
    if (g_fd < 0) {
      const int error = errno;
      if (error == EBUSY) Fail(kBusy, options.port + " is busy: held by " + holder.Text());
      Fail(kNoDevice, "cannot open " + options.port + ": " + std::strerror(error) +
                          (error == EACCES ? " (see 'zervon doctor')" : error == ENOTTY ? " (not a serial port)" : ""));
    }
    g_mode = Mode::kHandedOver;
    g_port = options.port;
    if (n >= 0 && TakeLock(n) == Take::kBusy) {
      Disconnect();
      CheckLock(options.port, n);
      Fail(kBusy, options.port + " is busy: " + LockPath(n) + " was taken meanwhile");
    }
    const int handed = StartRelay(g_fd);
    if (handed < 0) {
      Disconnect();
      Fail(kFailed, std::string("cannot make the pseudo-terminal for the wire trace: ") + std::strerror(errno));
    }
    const Probe probe = HandOver(handed, options.timeoutMs);
    if (!probe.Instrument()) {
      Disconnect();
      const std::string within = " within " + std::to_string(options.timeoutMs) + " ms";
      if (!probe.answered) Fail(kNoDevice, "no instrument answers on " + options.port + within);
      if (probe.marker == "VRX") Fail(kNoDevice, "no whole record block arrived from " + options.port + within);
      Fail(kNoDevice, options.port + " answers but is not the instrument (marker '" + Printable(probe.marker) + "')");
    }
    // As the library does on every connection: the instrument goes under
    // host control and is given a moment to switch.
    unsigned char control = kHostControl;
    ZervSendCommand(&control, 1, nullptr, 0);
    usleep(kHostControlPauseMs * 1000);
    return;
  }
  CheckAccess(PresentNodes());
  if (g_verbose && !viaLibrary) {
    // The trace needs the port in the tool's hands: the tool looks for the
    // instrument itself, as list does, and then uses its node.
    const double end = Now() + options.timeoutMs / 1000.0;
    do {
      for (int n : PresentNodes()) {
        Holder holder;
        if (HeldByOther(n, &holder)) continue;
        int error = 0;
        if (ProbePort(NodePath(n), 300, &error, &holder).Instrument()) {
          Options found = options;
          found.port = NodePath(n);
          Connect(found);
          return;
        }
      }
      if (Now() < end) usleep(500 * 1000);
    } while (Now() < end);
    CheckHeld(PresentNodes());
    Fail(kNoDevice, "no instrument found within " + std::to_string(options.timeoutMs) + " ms (see 'zervon doctor')");
  }
  // The library searches and keeps the connection; its callback tells when
  // the instrument comes and goes.
  g_connection = -1;
  g_mode = Mode::kSearch;
  if (ZervInit(OnConnection) && WaitConnection(true, options.timeoutMs)) return;
  Disconnect();
  CheckHeld(PresentNodes());
  Fail(kNoDevice, "no instrument found within " + std::to_string(options.timeoutMs) + " ms (see 'zervon doctor')");
}

void Disconnect() {
  if (g_mode == Mode::kHandedOver) {
    ZervSetDeviceHandle(Handle(-1));
    StopRelay();
    if (g_fd >= 0) CloseRaw(g_fd);
    g_fd = -1;
  } else if (g_mode == Mode::kLibrary || g_mode == Mode::kSearch) {
    ZervFree();
  }
  ReleaseLock();
  g_mode = Mode::kNone;
}

bool Searching() { return g_mode == Mode::kSearch; }

bool WaitConnection(bool connected, unsigned ms) {
  const double end = Now() + ms / 1000.0;
  while (g_connection != (connected ? 1 : 0)) {
    if (Now() >= end) return false;
    usleep(10 * 1000);
  }
  return true;
}

bool PortGone() {
  if (g_mode != Mode::kHandedOver) return false;
  struct stat st;
  pollfd p = {g_fd, POLLIN, 0};
  return ::stat(g_port.c_str(), &st) != 0 || (::poll(&p, 1, 0) == 1 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)));
}

std::string ConnectedPort() {
  if (g_mode == Mode::kHandedOver) return g_port;
  // The library does not tell which node it holds; its descriptor does, by
  // the terminal's own name, which is mapped back to the node.
  intptr_t fd = reinterpret_cast<intptr_t>(ZervGetDeviceHandle());
  if (fd < 0) return "";
  const std::string target = RealPath("/proc/self/fd/" + std::to_string(fd));
  if (target.empty()) return "";
  const int n = NodeNumber(target);
  return n >= 0 ? NodePath(n) : target;
}

}  // namespace cli
