// Device layer, macOS: the instrument is one of the nodes
// "/dev/cu.usbmodem<n>", found through a listing of /dev in name order, and
// an open port also carries an advisory write lock.
#include "stdafx.h"
#include "Device.h"
#include "Device_mac.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include "SimpleCriticalSection.h"
#include "zervon_platform.h"

namespace {

const char kDeviceDirectory[] = "/dev";
const char kNodePrefix[] = "cu.usbmodem";
const char kNodeStem[] = "/dev/cu.usbmodem";

// The current listing of the instrument's candidate nodes, each entry
// trimmed as a line of the shell listing would be.
std::vector<std::string> ListCandidates() {
  std::vector<std::string> lines;
  for (const std::string& node : ListDeviceNodes(kDeviceDirectory, kNodePrefix)) {
    char line[512] = {0};
    snprintf(line, sizeof line, "%s", node.c_str());
    StringTrim(line);
    lines.push_back(line);
  }
  return lines;
}

}  // namespace

std::vector<std::string> ListDeviceNodes(const char* directory, const char* prefix) {
  std::vector<std::string> nodes;
  DIR* dir = opendir(directory);  // null when it cannot be read
  if (dir == nullptr) return nodes;
  const size_t prefixLength = strlen(prefix);
  while (const dirent* entry = readdir(dir)) {
    if (strncmp(entry->d_name, prefix, prefixLength) != 0) continue;
    nodes.push_back(std::string(directory) + "/" + entry->d_name);
  }
  closedir(dir);
  std::sort(nodes.begin(), nodes.end());  // byte-wise, as the listing is read in order
  return nodes;
}

int ParseDeviceNumber(const char* path, int* number) {
  if (path == nullptr || number == nullptr) return 0;
  const size_t stemLength = sizeof kNodeStem - 1;
  if (strncmp(path, kNodeStem, stemLength) != 0) return 0;
  const char* digits = path + stemLength;
  char* end = nullptr;
  errno = 0;
  const long value = strtol(digits, &end, 10);  // skips blanks, takes a sign
  if (end == digits) return 0;  // no digits
  // A number too large for an int is no port number (sscanf would be
  // undefined here).
  if (errno == ERANGE || value < INT_MIN || value > INT_MAX) return 0;
  *number = static_cast<int>(value);
  return 1;
}

int DevicePortOfPath(const char* path) {
  int number = -1;
  return ParseDeviceNumber(path, &number) && number >= 0 ? number : -1;
}

void FormatDevicePath(char* buffer, size_t size, int port) {
  snprintf(buffer, size, "/dev/cu.usbmodem%d", port);
}

int LockDevice(int descriptor) {
  // A write lock over the whole file, refused at once (not waited for) when
  // another process holds one.
  struct flock lock;
  memset(&lock, 0, sizeof lock);
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = 0;
  lock.l_len = 0;
  if (fcntl(descriptor, F_SETLK, &lock) == -1) return 0;  // 0 or -1
  SetPortExclusive(descriptor);
  return 1;
}

// UUCP lock files are not looked at on macOS.
int IsPortLockedElsewhere(int) { return 0; }

int FindDevice(int port) {
  if (port != -1) {
    CAutoCriticalSection guard(g_APICriticalSection);
    return DoFindDevice(port);
  }
  // In the listing's order. A line without a number keeps the number of the
  // line before (at first -1, which names no node) and probes it again.
  int number = -1;
  for (const std::string& line : ListCandidates()) {
    ParseDeviceNumber(line.c_str(), &number);
    CAutoCriticalSection guard(g_APICriticalSection);
    if (DoFindDevice(number)) return 1;
  }
  return 0;
}

int DeviceIsAlive() {
  if (g_szDevicePath[0] == '\0') return 0;
  for (const std::string& line : ListCandidates()) {
    std::vector<char> path(line.begin(), line.end());
    path.push_back('\0');
    if (DeviceCheckPath(path.data())) return 1;
  }
  return 0;
}
