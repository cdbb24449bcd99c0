// Portability pieces of the Windows build. Threads, sleeps and handles are
// the kernel's own (CreateThread through the runtime's _beginthreadex, Sleep,
// CloseHandle); there are no timers. What is declared here is what the
// shared code needs beyond the kernel.
#pragma once

#include <cstdint>

#include "win/Event.h"

// The two time primitives the shared units use, under the same names on
// every build (Platform.h has the POSIX pair): milliseconds on a clock that
// changes of the system time do not move, and a plain sleep.
inline int64_t MonotonicMs() { return static_cast<int64_t>(GetTickCount64()); }
inline void SleepMs(unsigned int ms) { Sleep(ms); }

// String and version utilities (Utils.cpp), internal on this build.
void StringTrimRight(char* text);
void StringTrimLeft(char* text);
void StringTrim(char* text);
unsigned int ConvertVersion(const char* text);
