// The connection to the instrument, and the ports and lock files the tool
// looks at on its own.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "Cli.h"
#include "zervon.h"
#include "zervon_ext.h"

namespace cli {

namespace {

void* Handle(long fd) { return reinterpret_cast<void*>(static_cast<intptr_t>(fd)); }

enum class Mode { kNone, kHandedOver, kLibrary };
Mode g_mode = Mode::kNone;
int g_fd = -1;
std::string g_port;
std::string g_ownLock;  // lock file this process made for a --port node

constexpr int kHighestNode = 127;
constexpr unsigned char kHostControl = 0x43;
constexpr unsigned kHostControlPauseMs = 200;

std::string RealPath(const std::string& path) {
  char resolved[PATH_MAX];
  return realpath(path.c_str(), resolved) ? std::string(resolved) : std::string();
}

std::string Holder(const LockInfo& lock) {
  return "process " + std::to_string(lock.pid) + (lock.process.empty() ? "" : " (" + lock.process + ")");
}

// Refuses a node whose lock file another process holds, as the library
// would; a lock file of fewer than 4 bytes may be one being written this
// moment, so it is not taken for stale either.
void CheckLock(const std::string& port, int n) {
  if (n < 0) return;
  const LockInfo lock = ReadLock(n);
  if (lock.alive && lock.pid != getpid())
    Fail(kBusy, port + " is busy: held by " + Holder(lock) + " through " + LockPath(n));
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

// Hands `fd` over and asks for the record block until an answer comes or
// the time is up (one try at least).
Probe HandOver(int fd, unsigned timeoutMs) {
  const double end = Now() + timeoutMs / 1000.0;
  Probe probe;
  for (;;) {
    ZervSetDeviceHandle(Handle(fd));
    probe = ProbeHandedOver();
    if (probe.answered || Now() >= end) break;
    usleep(200 * 1000);
  }
  return probe;
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

int OpenRaw(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  termios tio;
  if (tcgetattr(fd, &tio) != 0) {
    int saved = errno;
    ::close(fd);
    errno = saved;
    return -1;
  }
  cfmakeraw(&tio);
  tio.c_cflag |= CLOCAL | CREAD;
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  cfsetispeed(&tio, B115200);
  cfsetospeed(&tio, B115200);
  if (tcsetattr(fd, TCSANOW, &tio) != 0) {
    int saved = errno;
    ::close(fd);
    errno = saved;
    return -1;
  }
  return fd;
}

// Asks for the record block and looks at it; the library has just read the
// same block into its cache.
Probe ProbeHandedOver() {
  Probe probe;
  unsigned char request[5] = {0x12, 0x55, 0xAA, 0x00, 0x00};
  unsigned char reply[64] = {};
  int length = sizeof reply;
  if (ZervSendCommandEx(request, sizeof request, reply, &length) != 0) return probe;
  probe.answered = true;
  probe.marker.assign(reinterpret_cast<char*>(reply) + 5, 3);
  HW_INFORMATION hw{};
  ZervGetHWInformation(&hw);
  probe.serial = ZervGetSerialNumber();
  probe.fwMain = hw.nFirmwareMain;
  probe.fwSub = hw.nFirmwareSub;
  probe.hwCode = hw.nHWCode;
  return probe;
}

Probe ProbePort(const std::string& path, unsigned timeoutMs, int* error) {
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
  const int fd = OpenRaw(path);
  if (fd < 0) {
    *error = errno;
    if (take == Take::kTaken) ReleaseLock();
    return Probe();
  }
  const Probe probe = HandOver(fd, timeoutMs);
  ZervSetDeviceHandle(Handle(-1));
  ::close(fd);
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
      if (!ZervConnect(n, options.timeoutMs)) {
        CheckLock(options.port, n);
        Fail(kNoDevice, "no instrument answers on " + NodePath(n) + " within " + std::to_string(options.timeoutMs) +
                            " ms (see 'zervon doctor')");
      }
      g_mode = Mode::kLibrary;
      return;
    }
    CheckLock(options.port, n);
    g_fd = OpenRaw(options.port);
    if (g_fd < 0) {
      const int error = errno;
      Fail(error == EBUSY ? kBusy : kNoDevice,
           "cannot open " + options.port + ": " + std::strerror(error) +
               (error == EACCES ? " (see 'zervon doctor')" : error == ENOTTY ? " (not a serial port)" : ""));
    }
    g_mode = Mode::kHandedOver;
    g_port = options.port;
    if (n >= 0 && TakeLock(n) == Take::kBusy) {
      Disconnect();
      CheckLock(options.port, n);
      Fail(kBusy, options.port + " is busy: " + LockPath(n) + " was taken meanwhile");
    }
    const Probe probe = HandOver(g_fd, options.timeoutMs);
    if (!probe.answered) {
      Disconnect();
      Fail(kNoDevice, "no instrument answers on " + options.port + " within " + std::to_string(options.timeoutMs) + " ms");
    }
    if (probe.marker != "VRX") {
      Disconnect();
      Fail(kNoDevice, options.port + " answers but is not the instrument (marker '" + probe.marker + "')");
    }
    // As the library does on every connection: the instrument goes under
    // host control and is given a moment to switch.
    unsigned char control = kHostControl;
    ZervSendCommand(&control, 1, nullptr, 0);
    usleep(kHostControlPauseMs * 1000);
    return;
  }
  if (ZervConnect(-1, options.timeoutMs)) {
    g_mode = Mode::kLibrary;
    return;
  }
  // Tell a busy port from no instrument at all.
  for (int n : PresentNodes()) {
    const LockInfo lock = ReadLock(n);
    if (lock.alive && lock.pid != getpid())
      Fail(kBusy, "no free instrument: " + NodePath(n) + " is held by " + Holder(lock) + " through " + LockPath(n));
  }
  Fail(kNoDevice, "no instrument found within " + std::to_string(options.timeoutMs) + " ms (see 'zervon doctor')");
}

void Disconnect() {
  if (g_mode == Mode::kHandedOver) {
    ZervSetDeviceHandle(Handle(-1));
    if (g_fd >= 0) ::close(g_fd);
    g_fd = -1;
  } else if (g_mode == Mode::kLibrary) {
    ZervFree();
  }
  ReleaseLock();
  g_mode = Mode::kNone;
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
