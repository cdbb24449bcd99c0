// API unit: the global state the entry points share and the API lock.
#pragma once

#include "SimpleCriticalSection.h"

// The one lock of the API. It serialises every exchange that an entry point
// makes with the instrument. Recursive: a flash progress callback, which runs
// under it, may call other entry points on the same thread.
extern CSimpleCriticalSection g_APICriticalSection;

// Runs `body` under the API lock and keeps every exception inside the
// library: an exception gives `onFailure` instead. The lock is released on
// every path out.
template <typename R, typename Body>
R LockedCall(R onFailure, Body&& body) noexcept {
  try {
    CAutoCriticalSection guard(g_APICriticalSection);
    return body();
  } catch (...) {
    return onFailure;
  }
}

// The same for a body without result.
template <typename Body>
void LockedCall(Body&& body) noexcept {
  try {
    CAutoCriticalSection guard(g_APICriticalSection);
    body();
  } catch (...) {
  }
}
