// POSIX variant of the recursive lock.
#include "stdafx.h"
#include "SimpleCriticalSection.h"

CSimpleCriticalSection::CSimpleCriticalSection() {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(&m_cs, &attr);
  pthread_mutexattr_destroy(&attr);
}

// Left in place on purpose: a thread that still runs while the library is
// unloaded may yet take or release it.
CSimpleCriticalSection::~CSimpleCriticalSection() = default;

CSimpleCriticalSection g_APICriticalSection;

void CSimpleCriticalSection::Lock() { pthread_mutex_lock(&m_cs); }

void CSimpleCriticalSection::Unlock() { pthread_mutex_unlock(&m_cs); }
