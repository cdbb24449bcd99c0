// Device layer of the Windows build: the instrument's COM port found through
// SetupAPI by its USB identity, opened as a file, and event-signalled
// transfers on it.
//
// Result rules of the transfers: ReadData and WriteData give -1 only when no
// port is open; a time-out or an I/O error on an open port gives a short
// count (0 on failure), so the exchanges report it as a short transfer (2).
#include "stdafx.h"
#include "Device.h"
#include "Platform.h"

#include <initguid.h>  // defines the interface class GUID below in this unit
#include <setupapi.h>
#include <usbiodef.h>

#include "SimpleCriticalSection.h"
#include "win/SetupApiParse.h"

DeviceHandle g_hDevice = INVALID_HANDLE_VALUE;
char g_szDevicePath[512] = {0};
int g_nDeviceReadTimeout = 100;
int g_nDeviceWriteTimeout = 200;

static_assert(sizeof g_szDevicePath == kDevicePathSize, "one size for every path buffer");

namespace {

constexpr DWORD kNormalReadTimeoutMs = 100;
constexpr DWORD kNormalWriteTimeoutMs = 200;
constexpr DWORD kQueueSize = 4096;
constexpr DWORD kListFlags = DIGCF_PRESENT | DIGCF_DEVICEINTERFACE;  // 0x12
// A walk of the device list ends at ERROR_NO_MORE_ITEMS; a list that keeps
// failing with other errors ends here instead of never.
constexpr DWORD kMaxListMembers = 0x10000;

#if !defined(_WIN64)
// The record sizes the 32-bit system expects.
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 28, "SP_DEVICE_INTERFACE_DATA on x86");
static_assert(sizeof(SP_DEVINFO_DATA) == 28, "SP_DEVINFO_DATA on x86");
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 5, "detail record on x86");
#endif

// Sets the port's time-outs (no interval or multiplier parts) and its driver
// queue sizes; the outcomes are not reported.
void ApplyPortSettings(HANDLE handle, DWORD readMs, DWORD writeMs) {
  COMMTIMEOUTS timeouts;
  memset(&timeouts, 0, sizeof timeouts);
  timeouts.ReadIntervalTimeout = 0;
  timeouts.ReadTotalTimeoutMultiplier = 0;
  timeouts.ReadTotalTimeoutConstant = readMs;
  timeouts.WriteTotalTimeoutMultiplier = 0;
  timeouts.WriteTotalTimeoutConstant = writeMs;
  SetCommTimeouts(handle, &timeouts);
  SetupComm(handle, kQueueSize, kQueueSize);
}

// One transfer on the open port with its own event. `start` issues the
// ReadFile or WriteFile call. Result: the count moved, -1 when no port is
// open.
template <typename Start>
int EventTransfer(DWORD waitMs, Start start) {
  const HANDLE handle = g_hDevice;
  if (handle == INVALID_HANDLE_VALUE) return -1;
  OVERLAPPED overlapped;
  memset(&overlapped, 0, sizeof overlapped);
  overlapped.hEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  start(handle, &overlapped);  // completion is judged from the overlapped result
  WaitForSingleObject(overlapped.hEvent, waitMs);
  DWORD count = 0;
  if (!GetOverlappedResult(handle, &overlapped, &count, FALSE)) {
    count = 0;
    // The port is opened for synchronous I/O, so the transfer is normally
    // over by now. Should it still run, it is cancelled and awaited: the
    // record and the event must outlive it.
    if (GetLastError() == ERROR_IO_INCOMPLETE) {
      CancelIo(handle);
      DWORD ignored = 0;
      GetOverlappedResult(handle, &overlapped, &ignored, TRUE);
    }
  }
  if (overlapped.hEvent != nullptr) CloseHandle(overlapped.hEvent);
  return static_cast<int>(count);
}

// Reads the interface path of list member `index` into `path` (zeroed
// first). Result: ERROR_SUCCESS, ERROR_NO_MORE_ITEMS at the end of the list,
// or another error for a member to skip. A path that does not fit the buffer
// leaves it empty: it is never cut to size.
DWORD ReadInterfacePath(HDEVINFO list, DWORD index, char (&path)[kDevicePathSize],
                        SP_DEVINFO_DATA* device) {
  memset(path, 0, sizeof path);
  SP_DEVICE_INTERFACE_DATA data;
  memset(&data, 0, sizeof data);
  data.cbSize = sizeof data;
  if (!SetupDiEnumDeviceInterfaces(list, nullptr, &GUID_DEVINTERFACE_USB_DEVICE, index,
                                   &data)) {
    const DWORD error = GetLastError();
    return error == ERROR_NO_MORE_ITEMS ? ERROR_NO_MORE_ITEMS
                                        : (error == ERROR_SUCCESS ? ERROR_GEN_FAILURE : error);
  }
  DWORD required = 0;
  SetupDiGetDeviceInterfaceDetailA(list, &data, nullptr, 0, &required, nullptr);
  if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) return ERROR_SUCCESS;
  auto* detail = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(malloc(required + 1));
  if (detail == nullptr) return ERROR_SUCCESS;
  memset(detail, 0, required + 1);
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
  memset(device, 0, sizeof *device);
  device->cbSize = sizeof *device;
  if (SetupDiGetDeviceInterfaceDetailA(list, &data, detail, required, nullptr, device)) {
    // The allocation carries one zero byte beyond what the system filled.
    if (FitsDevicePath(detail->DevicePath)) strcpy(path, detail->DevicePath);
  }
  free(detail);
  return ERROR_SUCCESS;
}

// Reads the device's friendly name into `name` (zeroed first). False when
// it cannot be read.
bool ReadFriendlyName(HDEVINFO list, SP_DEVINFO_DATA* device, char (&name)[kFriendlyNameSize]) {
  memset(name, 0, sizeof name);
  // One byte short of the buffer, so the name always ends inside it.
  return SetupDiGetDeviceRegistryPropertyA(list, device, SPDRP_FRIENDLYNAME, nullptr,
                                           reinterpret_cast<BYTE*>(name), sizeof name - 1,
                                           nullptr) != FALSE;
}

HDEVINFO OpenDeviceList() {
  return SetupDiGetClassDevsA(&GUID_DEVINTERFACE_USB_DEVICE, nullptr, nullptr, kListFlags);
}

// Closes the open port without clearing the recorded path.
void CloseHandleOnly() {
  if (g_hDevice == INVALID_HANDLE_VALUE) return;
  CloseHandle(g_hDevice);
  g_hDevice = INVALID_HANDLE_VALUE;
  MarkPortSettled();
}

// Opens and checks one candidate. 1 when it is the instrument: the port
// stays open and its path is recorded. API lock.
int TryCandidate(const char (&path)[kDevicePathSize]) {
  HANDLE handle = CreateFileA(path, GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                              nullptr);
  if (handle == INVALID_HANDLE_VALUE) return 0;
  ApplyPortSettings(handle, kNormalReadTimeoutMs, kNormalWriteTimeoutMs);
  g_hDevice = handle;
  MarkPortSettled();
  if (IsTargetDevice()) {
    memcpy(g_szDevicePath, path, sizeof g_szDevicePath);
    return 1;
  }
  PurgeComm(handle, PURGE_TXCLEAR | PURGE_RXCLEAR);
  CloseHandleOnly();
  return 0;
}

// ---- Settling after an incomplete reply ----

constexpr DWORD kSettleLimitMs = 1000;
constexpr DWORD kSettleLookMs = 5;

// Bytes waiting in the driver's receive queue; 0 when it cannot be told.
DWORD InputQueued(HANDLE handle) {
  DWORD errors = 0;
  COMSTAT status;
  memset(&status, 0, sizeof status);
  if (!ClearCommError(handle, &errors, &status)) return 0;  // nonzero on success
  return status.cbInQue;
}

// Purges input until none has arrived for the quiet interval, never waiting
// longer than that interval plus kSettleLimitMs from now, looking at the
// receive queue every few milliseconds.
void SettleInput(HANDLE handle) {
  const int64_t quiet = QuietIntervalMs();
  const int64_t limit = MonotonicMs() + quiet + kSettleLimitMs;
  int64_t quietUntil = UnsettledSinceMs() + quiet;
  for (;;) {
    if (InputQueued(handle) != 0) {
      PurgeComm(handle, PURGE_RXCLEAR);
      quietUntil = MonotonicMs() + quiet;
    }
    const int64_t now = MonotonicMs();
    if (now >= quietUntil || now >= limit) break;
    Sleep(kSettleLookMs);
  }
  PurgeComm(handle, PURGE_RXCLEAR);
  MarkPortSettled();
}

}  // namespace

int ReadData(unsigned char* buffer, int size, unsigned timeoutMs) {
  if (size < 0 || (buffer == nullptr && size > 0)) return -1;
  if (g_hDevice == INVALID_HANDLE_VALUE) return -1;
  const int n = EventTransfer(timeoutMs, [&](HANDLE handle, OVERLAPPED* overlapped) {
    ReadFile(handle, buffer, static_cast<DWORD>(size), nullptr, overlapped);
  });
  NoteReadOutcome(n, size, timeoutMs);
  return n;
}

int WriteData(unsigned char* data, int size, unsigned timeoutMs) {
  if (size < 0 || (data == nullptr && size > 0)) return -1;
  // Callers give 200 ms; the port's own write time-out ends the transfer
  // within that.
  return EventTransfer(timeoutMs, [&](HANDLE handle, OVERLAPPED* overlapped) {
    WriteFile(handle, data, static_cast<DWORD>(size), nullptr, overlapped);
  });
}

void DiscardInput() {
  if (g_hDevice == INVALID_HANDLE_VALUE) return;
  if (QuietIntervalMs() != 0) {
    SettleInput(g_hDevice);
    return;
  }
  PurgeComm(g_hDevice, PURGE_RXCLEAR);
}

void DeviceCancelIO() {
  if (g_hDevice == INVALID_HANDLE_VALUE) return;
  CancelIo(g_hDevice);
}

void SetDeviceTimeoutSetting(unsigned readMs, unsigned writeMs) {
  g_nDeviceReadTimeout = static_cast<int>(readMs);
  g_nDeviceWriteTimeout = static_cast<int>(writeMs);
  if (g_hDevice == INVALID_HANDLE_VALUE) return;
  ApplyPortSettings(g_hDevice, readMs, writeMs);
}

void ConfigurePort(DeviceHandle) {
  // No line settings on this build: the port keeps the driver's own.
}


int FindDevice(int port) {
  HDEVINFO list = OpenDeviceList();
  if (list == INVALID_HANDLE_VALUE) return 0;
  {
    CAutoCriticalSection guard(g_APICriticalSection);
    CloseHandleOnly();
  }
  int found = 0;
  char path[kDevicePathSize];
  char name[kFriendlyNameSize];
  for (DWORD index = 0; !found && index < kMaxListMembers; ++index) {
    SP_DEVINFO_DATA device;
    const DWORD rc = ReadInterfacePath(list, index, path, &device);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    if (rc != ERROR_SUCCESS || path[0] == '\0') continue;
    const bool named = ReadFriendlyName(list, &device, name);
    if (!IsCandidate(path, named ? name : nullptr, port)) continue;
    CAutoCriticalSection guard(g_APICriticalSection);
    found = TryCandidate(path);
  }
  SetupDiDestroyDeviceInfoList(list);
  return found;
}

void DeviceClose() {
  if (g_hDevice == INVALID_HANDLE_VALUE) return;
  memset(g_szDevicePath, 0, sizeof g_szDevicePath);
  CloseHandleOnly();
}

void DeviceDropPort() { CloseHandleOnly(); }

void DeviceRelease() {
  CloseHandleOnly();
  memset(g_szDevicePath, 0, sizeof g_szDevicePath);
}

int DeviceIsAlive() {
  if (g_szDevicePath[0] == '\0') return 0;
  HDEVINFO list = OpenDeviceList();
  if (list == INVALID_HANDLE_VALUE) return 0;
  int alive = 0;
  char path[kDevicePathSize];
  for (DWORD index = 0; !alive && index < kMaxListMembers; ++index) {
    SP_DEVINFO_DATA device;
    const DWORD rc = ReadInterfacePath(list, index, path, &device);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    if (rc == ERROR_SUCCESS && path[0] != '\0' && strcmp(path, g_szDevicePath) == 0) alive = 1;
  }
  SetupDiDestroyDeviceInfoList(list);
  return alive;
}
