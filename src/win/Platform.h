// Portability pieces of the Windows build. Threads, sleeps and handles are
// the kernel's own (CreateThread through the runtime's _beginthreadex, Sleep,
// CloseHandle); there are no timers. What is declared here is what the
// shared code needs beyond the kernel.
#pragma once

#include "win/Event.h"

// String and version utilities (Utils.cpp), internal on this build.
void StringTrimRight(char* text);
void StringTrimLeft(char* text);
void StringTrim(char* text);
unsigned int ConvertVersion(const char* text);
