// Device monitor unit, POSIX builds: the monitor thread and its switch.
// The monitor object itself comes into being with the other load-time
// objects of the library, in main_posix.cpp.
#include "stdafx.h"
#include "Monitor.h"

#include "Device.h"
#include "SimpleCriticalSection.h"
#include "zervon_ext.h"

namespace {

constexpr unsigned kRestBetweenPassesMs = 1200;
constexpr unsigned kRestBetweenChecksMs = 500;
constexpr unsigned kRestAfterLossMs = 100;
constexpr int kFurtherChecks = 3;

// One liveness check, made under the API lock so that it never meets a port
// that is being opened or closed.
bool DeviceIsAliveLocked() {
  CAutoCriticalSection guard(g_APICriticalSection);
  return DeviceIsAlive() != 0;
}

}  // namespace

std::atomic<int> g_bStopMonitor{0};

CAutoMonitor::CAutoMonitor() : m_hThread(), m_bThreadStarted(false), m_evMonitor(false), m_evStop(false) {
  m_bThreadStarted = CreateThread(&m_hThread, MonitorDeviceThread, nullptr) != 0;
}

CAutoMonitor::~CAutoMonitor() { Stop(); }

void CAutoMonitor::StartMonitor() { m_evMonitor.SetEvent(); }

void CAutoMonitor::PauseMonitor() { m_evMonitor.ResetEvent(); }

bool CAutoMonitor::IsMonitored() { return m_evMonitor.WaitTimeout(0) == 0; }

void CAutoMonitor::Stop() {
  g_bStopMonitor = 1;
  m_evStop.SetEvent();
  m_evMonitor.SetEvent();  // a thread blocked on the switch wakes and sees the flag
  if (m_bThreadStarted && !pthread_equal(m_hThread, pthread_self())) {
    pthread_join(m_hThread, nullptr);
    m_bThreadStarted = false;
  }
}

void CAutoMonitor::Rest(unsigned int ms) { m_evStop.WaitTimeout(ms); }

void CAutoMonitor::WaitUntilSwitchedOn() { m_evMonitor.Wait(); }

void* MonitorDeviceThread(void*) {
  while (g_bStopMonitor == 0) {
    if (!g_AutoMonitor.IsMonitored()) {
      // Blocks until switched on (or stopped): no wake-ups while unused.
      g_AutoMonitor.WaitUntilSwitchedOn();
      continue;
    }
    bool present = DeviceIsAliveLocked();
    for (int i = 0; i < kFurtherChecks && g_bStopMonitor == 0 && g_AutoMonitor.IsMonitored(); ++i) {
      if (DeviceIsAliveLocked()) {
        present = true;
        break;
      }
      g_AutoMonitor.Rest(kRestBetweenChecksMs);
    }
    if (g_bStopMonitor != 0) break;
    if (present) {
      g_AutoMonitor.Rest(kRestBetweenPassesMs);
      continue;
    }
    {
      // Checked once more under the lock: the connect thread may have found
      // the instrument again during the last rest, and its fresh port stays.
      // A switch turned off meanwhile means the connection ended (ZervFree)
      // and the port, if any, is no longer the one that was watched: one the
      // application has handed over since (it has no node to look for) is
      // the application's and is never closed here.
      CAutoCriticalSection guard(g_APICriticalSection);
      if (!g_AutoMonitor.IsMonitored() || DeviceIsAlive()) continue;
      DeviceClose();
    }
    ReconnectDevice();
    g_AutoMonitor.Rest(kRestAfterLossMs);
  }
  return nullptr;
}

