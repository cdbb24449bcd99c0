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

// Takes the node's lock file for a port opened by the tool, so that no
// process using the library probes it meanwhile. Best effort: a lock
// directory the user may not write is no reason to refuse.
void TakeLock(int n) {
  const std::string path = LockPath(n);
  for (int pass = 0; pass < 2; ++pass) {
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) {
      int32_t pid = getpid();
      bool ok = ::write(fd, &pid, 4) == 4;
      ::close(fd);
      if (ok) g_ownLock = path;
      else ::unlink(path.c_str());
      return;
    }
    if (errno != EEXIST) return;
    LockInfo lock = ReadLock(n);
    if (lock.alive) return;
    ::unlink(path.c_str());  // stale
  }
}

}  // namespace

std::string NodePath(int n) { return "/dev/ttyACM" + std::to_string(n); }
std::string LockPath(int n) { return "/var/lock/torvanel.ACM" + std::to_string(n) + ".lock"; }

int NodeNumber(const std::string& path) {
  auto number = [](const std::string& p) {
    int n = -1;
    char tail;
    if (std::sscanf(p.c_str(), "/dev/ttyACM%d%c", &n, &tail) == 1 && n >= 0 && n <= 127) return n;
    return -1;
  };
  int n = number(path);
  if (n >= 0) return n;
  char resolved[PATH_MAX];
  if (realpath(path.c_str(), resolved)) return number(resolved);
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
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return info;
  int32_t pid = 0;
  info.readable = ::read(fd, &pid, 4) == 4;
  ::close(fd);
  if (!info.readable) return info;
  info.pid = pid;
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
  return probe;
}

void Connect(const Options& options) {
  if (!options.port.empty()) {
    const int n = NodeNumber(options.port);
    if (n >= 0) {
      LockInfo lock = ReadLock(n);
      if (lock.alive && lock.pid != getpid())
        Fail(kBusy, options.port + " is busy: held by process " + std::to_string(lock.pid) + " (" +
                        lock.process + ") through " + LockPath(n));
    }
    g_fd = OpenRaw(options.port);
    if (g_fd < 0) {
      const int error = errno;
      Fail(error == EBUSY ? kBusy : kNoDevice,
           "cannot open " + options.port + ": " + std::strerror(error) +
               (error == EACCES ? " (see 'zervon doctor')" : error == ENOTTY ? " (not a serial port)" : ""));
    }
    if (n >= 0) TakeLock(n);
    g_mode = Mode::kHandedOver;
    g_port = options.port;
    const double end = Now() + options.timeoutMs / 1000.0;
    Probe probe;
    for (;;) {
      ZervSetDeviceHandle(Handle(g_fd));
      probe = ProbeHandedOver();
      if (probe.answered && probe.marker == "VRX") break;
      if (probe.answered || Now() >= end) break;
      usleep(200 * 1000);
    }
    if (!probe.answered) {
      Disconnect();
      Fail(kNoDevice, "no instrument answers on " + options.port + " within " + std::to_string(options.timeoutMs) + " ms");
    }
    if (probe.marker != "VRX") {
      Disconnect();
      Fail(kNoDevice, options.port + " answers but is not the instrument (marker '" + probe.marker + "')");
    }
    return;
  }
  if (ZervConnect(-1, options.timeoutMs)) {
    g_mode = Mode::kLibrary;
    return;
  }
  // Tell a busy port from no instrument at all.
  for (int n = 0; n <= 127; ++n) {
    struct stat st;
    if (::stat(NodePath(n).c_str(), &st) != 0) continue;
    LockInfo lock = ReadLock(n);
    if (lock.alive && lock.pid != getpid())
      Fail(kBusy, "no free instrument: " + NodePath(n) + " is held by process " + std::to_string(lock.pid) + " (" +
                      lock.process + ") through " + LockPath(n));
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
  if (!g_ownLock.empty()) {
    ::unlink(g_ownLock.c_str());
    g_ownLock.clear();
  }
  g_mode = Mode::kNone;
}

std::string ConnectedPort() {
  if (g_mode == Mode::kHandedOver) return g_port;
  // The library does not tell which node it holds; its descriptor does.
  intptr_t fd = reinterpret_cast<intptr_t>(ZervGetDeviceHandle());
  if (fd < 0) return "";
  char target[PATH_MAX];
  ssize_t n = ::readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), target, sizeof target - 1);
  if (n <= 0) return "";
  target[n] = '\0';
  return target;
}

}  // namespace cli
