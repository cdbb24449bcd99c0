// The recursive lock of the API, its scope guard, and the one instance that
// every entry point takes. This unit sits at the bottom of the library: the
// device, protocol, flash and monitor units take the lock through it without
// reaching up into the API unit.
#pragma once

#if defined(_WIN32)
#include <windows.h>
#else
#include <pthread.h>
#endif

// A recursive lock: a thread that holds it may take it again. Lock() and
// Unlock() must pair up on the same thread. It is never destroyed, so a
// thread still running at unload can leave it without touching freed state.
class CSimpleCriticalSection {
 public:
  CSimpleCriticalSection();
  ~CSimpleCriticalSection();
  CSimpleCriticalSection(const CSimpleCriticalSection&) = delete;
  CSimpleCriticalSection& operator=(const CSimpleCriticalSection&) = delete;

  void Lock();
  void Unlock();

 private:
#if defined(_WIN32)
  CRITICAL_SECTION m_cs;
#else
  pthread_mutex_t m_cs;
#endif
};

// Holds a CSimpleCriticalSection for its own lifetime, so every path out of
// a scope (return or exception) releases it.
class CAutoCriticalSection {
 public:
  explicit CAutoCriticalSection(CSimpleCriticalSection& section) : m_pSection(section) {
    m_pSection.Lock();
  }
  ~CAutoCriticalSection() { m_pSection.Unlock(); }
  CAutoCriticalSection(const CAutoCriticalSection&) = delete;
  CAutoCriticalSection& operator=(const CAutoCriticalSection&) = delete;

 private:
  CSimpleCriticalSection& m_pSection;
};

// The one lock of the API. It serialises every exchange that an entry point
// makes with the instrument, and the connect thread's and the monitor's
// opening, checking and closing of the port. Recursive: a flash progress
// callback, which runs under it, may call other entry points on the same
// thread. It comes into being at load before any thread of the library can
// take it, and it is never destroyed (see the destructor above), so a thread
// that still runs while the library is unloaded can take and release it
// safely.
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
