// The text handling of the Windows device search, kept free of any system
// call so that it can be tested with sample strings on every platform.
#pragma once

#include <cstddef>

// Size of the buffer that holds an interface path (g_szDevicePath and the
// search's own buffer), terminator included.
constexpr std::size_t kDevicePathSize = 512;

// Size of the buffer a device's friendly name is read into.
constexpr std::size_t kFriendlyNameSize = 300;

// The instrument's USB identity as it appears in an interface path.
extern const char kInstrumentIdentity[];  // "vid_04d8&pid_000a"

// The COM number in a friendly name such as "USB Serial Device (COM7)": the
// number after the first "COM", read up to the first ")" after it the way
// atoi reads (leading blanks and a sign allowed, the leading digits, 0 when
// there are none; values beyond the int range are clamped). -1 for a null
// name or one without "COM".
int ComNumberFromFriendlyName(const char* friendlyName);

// True when the interface path carries the instrument's identity (a
// case-sensitive substring test). False for null.
bool IsInstrumentPath(const char* path);

// True when the path fits an interface-path buffer whole (fewer than 512
// characters). A longer path is never cut to size: it is no candidate.
bool FitsDevicePath(const char* path);

// True when a device with COM number `comNumber` may be tried for the wanted
// port: any device for -1, else only the one with that number.
bool PortWanted(int wantedPort, int comNumber);

// Whether a device with this interface path and friendly name (either may be
// null) is a candidate for the wanted port: it fits the path buffer, carries
// the identity, and its COM number is the wanted one.
bool IsCandidate(const char* path, const char* friendlyName, int wantedPort);
