// Events of the Windows build.
#include "win/Event.h"

CAutoResetEvent::CAutoResetEvent(bool initial)
    : m_hEvent(::CreateEventA(nullptr, FALSE, initial ? TRUE : FALSE, nullptr)) {}

CAutoResetEvent::~CAutoResetEvent() {
  if (m_hEvent != nullptr) ::CloseHandle(m_hEvent);
  m_hEvent = nullptr;
}

void CAutoResetEvent::SetEvent() { ::SetEvent(m_hEvent); }

void CAutoResetEvent::ResetEvent() { ::ResetEvent(m_hEvent); }

void CAutoResetEvent::Wait() { ::WaitForSingleObject(m_hEvent, INFINITE); }

unsigned int CAutoResetEvent::WaitTimeout(unsigned int ms) {
  return static_cast<unsigned int>(::WaitForSingleObject(m_hEvent, ms));
}
