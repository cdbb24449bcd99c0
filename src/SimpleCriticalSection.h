// The recursive lock of the API and its scope guard.
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
