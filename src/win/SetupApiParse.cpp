// Text handling of the Windows device search.
#include "win/SetupApiParse.h"

#include <climits>
#include <cstdlib>
#include <cstring>

const char kInstrumentIdentity[] = "vid_04d8&pid_000a";

int ComNumberFromFriendlyName(const char* friendlyName) {
  if (friendlyName == nullptr) return -1;
  // Bounded: a name never holds more than its buffer.
  const std::size_t length = strnlen(friendlyName, kFriendlyNameSize);
  char text[kFriendlyNameSize + 1];
  std::memcpy(text, friendlyName, length);
  text[length] = '\0';
  char* com = std::strstr(text, "COM");
  if (com == nullptr) return -1;
  char* close = std::strchr(com, ')');
  if (close != nullptr) *close = '\0';
  // strtol reads what atoi reads, but with a defined result on overflow.
  const long value = std::strtol(com + 3, nullptr, 10);
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

bool IsInstrumentPath(const char* path) {
  return path != nullptr && std::strstr(path, kInstrumentIdentity) != nullptr;
}

bool FitsDevicePath(const char* path) {
  return path != nullptr && strnlen(path, kDevicePathSize) < kDevicePathSize;
}

bool PortWanted(int wantedPort, int comNumber) {
  return wantedPort == -1 || wantedPort == comNumber;
}

bool IsCandidate(const char* path, const char* friendlyName, int wantedPort) {
  if (!FitsDevicePath(path) || !IsInstrumentPath(path)) return false;
  return PortWanted(wantedPort, ComNumberFromFriendlyName(friendlyName));
}
