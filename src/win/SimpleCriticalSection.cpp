// Windows variant of the recursive lock: a critical section.
#include "SimpleCriticalSection.h"

CSimpleCriticalSection::CSimpleCriticalSection() { InitializeCriticalSection(&m_cs); }

// Left in place on purpose: a thread that still runs while the library is
// unloaded may yet take or release it.
CSimpleCriticalSection::~CSimpleCriticalSection() = default;

CSimpleCriticalSection g_APICriticalSection;

void CSimpleCriticalSection::Lock() { EnterCriticalSection(&m_cs); }

void CSimpleCriticalSection::Unlock() { LeaveCriticalSection(&m_cs); }
