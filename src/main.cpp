// API unit: the entry points of the library and the state they share.
#include "stdafx.h"
#include "main.h"

#include "Device.h"
#include "Monitor.h"
#include "Platform.h"
#include "Protocol.h"
#include "Utils.h"
#include "zervon_ext.h"

#include <atomic>

namespace {

// The version this library reports through ZervGetVersion.
const char kLibraryVersion[] = "1.0.5.1";

// Read time-out of the raw exchange entry points, in ms.
constexpr unsigned kRawReplyTimeoutMs = 200;

// The wait between switching the instrument to host control and reporting
// the connection.
constexpr unsigned kHostControlSettleMs = 200;

}  // namespace

// ---- State shared by the entry points, in the order it comes into being ----

std::atomic<int> g_nPortNumber{-1};
std::atomic<ZervConnectionCallback> g_Callback{nullptr};
ThreadHandle g_hConnectDeviceThread = 0;
std::atomic<int> g_bStopConnectDeviceThread{0};
// g_hReconnectEvent and g_hConnectedEvent come into being with the other
// load-time objects, in the order each build's main file states.


// ---- Connection lifecycle ----

void NotifyListener(bool connected) {
  ZervConnectionCallback callback = g_Callback;
  if (callback != nullptr) callback(connected);
}

void ConnectedHandler(bool connected) {
  if (connected) g_hConnectedEvent.SetEvent();
}

void ReconnectDevice() { g_hReconnectEvent.SetEvent(); }

void WinEventCb(unsigned int message, unsigned int, unsigned long) {
  if (message == kDeviceChangeMessage) ReconnectDevice();
}

namespace {

// The connect thread's port steps, each under the API lock, so that an
// application exchange never meets a port that is being opened or closed.
void SwitchToDeviceControlLocked() {
  CAutoCriticalSection guard(g_APICriticalSection);
  if (DeviceIsConnected()) SwitchToDeviceControl();
}

// After a wake-up while connected: true when the instrument is still there.
// A port that is no longer open (a burn closed it), or whose device is gone,
// counts as lost; the port is then closed.
bool CheckAliveOrClose() {
  CAutoCriticalSection guard(g_APICriticalSection);
  if (!DeviceIsConnected()) return false;
  if (DeviceIsAlive()) return true;
  DeviceClose();
  return false;
}

// The port the next search is for: the application's choice, except that
// an instrument that a burn restarted under another node is followed there.
// A connection that was made to a given port moves with it for good, so
// that it never ends up on whatever instrument now sits at the old node; a
// search of every port tries the new node first.
// Under the API lock, as DoInit sets the port: a new choice of the
// application is never overwritten with an older move.
int ConnectionPort() {
  CAutoCriticalSection guard(g_APICriticalSection);
  const int moved = TakeInstrumentMove();
  if (moved < 0) return g_nPortNumber;
  if (g_nPortNumber != -1) g_nPortNumber = moved;
  return moved;
}

void ForgetInstrument() {
  CAutoCriticalSection guard(g_APICriticalSection);
  memset(g_DeviceHWInfo, 0, sizeof g_DeviceHWInfo);
  DeviceClose();
}

}  // namespace

bool DoInit(int port, ZervConnectionCallback callback) {
  CAutoCriticalSection guard(g_APICriticalSection);
  g_nPortNumber = port;
  TakeInstrumentMove();  // the application's port counts from here on
  g_hReconnectEvent.ResetEvent();
  g_bStopConnectDeviceThread = 0;
  g_Callback = callback;
  return StartConnectThread();
}

void RunConnections() {
  while (g_bStopConnectDeviceThread == 0) {
    if (!DeviceConnect(ConnectionPort(), 1)) continue;
    SwitchToDeviceControlLocked();
    SleepMs(kHostControlSettleMs);
    NotifyListener(true);
    WatchInstrument(true);
    while (g_bStopConnectDeviceThread == 0) {
      g_hReconnectEvent.Wait();
      if (!CheckAliveOrClose()) break;
    }
    ForgetInstrument();
    WatchInstrument(false);
    NotifyListener(false);
  }
}



extern "C" ZERVON_API bool ZERVON_CALL ZervInit(ZervConnectionCallback callback) {
  try {
    return DoInit(-1, callback);
  } catch (...) {
    return false;
  }
}

extern "C" ZERVON_API bool ZERVON_CALL ZervConnect(int port, unsigned int timeoutMs) {
  try {
    g_hConnectedEvent.ResetEvent();
    if (!DoInit(port, ConnectedHandler)) return false;
    if (g_hConnectedEvent.WaitTimeout(timeoutMs) == 0) return true;
    ZervFree();
    return false;
  } catch (...) {
    return false;
  }
}


extern "C" ZERVON_API unsigned int ZERVON_CALL ZervGetVersion(void) {
  return ConvertVersion(kLibraryVersion);
}

int ZervSendCommand(unsigned char* command, int commandLength, unsigned char* reply,
                    int replyLength) {
  return LockedCall(kExchangeFailed, [&] {
    return SendCommand(command, commandLength, reply, replyLength, kRawReplyTimeoutMs);
  });
}

int ZervSendCommandEx(unsigned char* command, int commandLength, unsigned char* reply,
                      int* replyLength) {
  return LockedCall(kExchangeFailed, [&] {
    return SendCommandEx(command, commandLength, reply, replyLength, kRawReplyTimeoutMs);
  });
}

#if !defined(_WIN32)
void* ZervGetDeviceHandle() {
  return LockedCall(reinterpret_cast<void*>(-1), [] {
    return reinterpret_cast<void*>(static_cast<intptr_t>(g_hDevice));
  });
}

void ZervSetDeviceHandle(void* handle) {
  LockedCall([handle] {
    DeviceAdoptHandle(static_cast<DeviceHandle>(reinterpret_cast<intptr_t>(handle)));
    if (g_hDevice != 0) IsTargetDevice();  // fills the record cache; the verdict is not used
  });
}
#endif

// ---- Identity ----

namespace {
// Text of the last ZervGetSerialNumber call.
char g_szSerialNumber[32] = {0};
}  // namespace

extern "C" ZERVON_API bool ZERVON_CALL ZervGetDeviceInformation(MODEL_INFORMATION* info) {
  if (info == nullptr) return false;
  return LockedCall(false, [info] {
    GetModelInfo(info);
    return true;
  });
}

extern "C" ZERVON_API bool ZERVON_CALL ZervGetHWInformation(HW_INFORMATION* info) {
  if (info == nullptr) return false;
  return LockedCall(false, [info] {
    GetHWInfo(info);
    return true;
  });
}

extern "C" ZERVON_API const char* ZERVON_CALL ZervGetSerialNumber(void) {
  return LockedCall<const char*>(g_szSerialNumber, [] {
    MODEL_INFORMATION model;
    memset(&model, 0, sizeof model);
    GetModelInfo(&model);
    // The two number groups held in char fields print as the platform's
    // char: 0xF0 is -16 where char is signed and 240 where it is not.
    snprintf(g_szSerialNumber, sizeof g_szSerialNumber, "V%c%c%02d%02d-%02d%04d", model.cModel1,
             model.cModel2, model.cSerialGroup1, model.cSerialGroup2, model.nSerialGroup3,
             model.nSerialGroup4);
    return static_cast<const char*>(g_szSerialNumber);
  });
}

bool ZervSetDeviceInformation(MODEL_INFORMATION* model, HW_INFORMATION* hw) {
  if (model == nullptr || hw == nullptr) return false;
  return LockedCall(false, [=] { return UpdateDeviceInformation(model, hw) != 0; });
}

// ---- Settings and measurement ----

namespace {

constexpr unsigned kSettingWriteTimeoutMs = 200;

// The status report as far as the library reads it.
constexpr int kStatusMinimumLength = 27;
constexpr unsigned char kStatusCode = 0x14;
constexpr int kMeasuredHigh = 25, kMeasuredLow = 26;
constexpr int kStatusFlags = 29;
constexpr unsigned char kBatteryLowFlag = 0x04;

// Asks for the status report. True when a valid one arrived in `reply`.
bool ReadStatusReport(unsigned char (&reply)[64]) {
  memset(reply, 0, sizeof reply);
  int length = sizeof reply;
  unsigned char request = kStatusCode;
  ZervSendCommandEx(&request, 1, reply, &length);  // a failure shows in the length or byte 0
  return length >= kStatusMinimumLength && reply[0] == kStatusCode;
}

}  // namespace

int DoUpdateSettingEx(int a, int b, int c, int d, int e, int f) {
  unsigned char request[8] = {0x00,
                              static_cast<unsigned char>(a),
                              static_cast<unsigned char>(b),
                              static_cast<unsigned char>(c),
                              static_cast<unsigned char>(d),
                              static_cast<unsigned char>(e),
                              static_cast<unsigned char>(f),
                              0x00};
  int n = WriteData(request, 8, kSettingWriteTimeoutMs);
  if (n == -1) return kExchangeFailed;
  return n == 8 ? kExchangeOk : kExchangeShort;
}

extern "C" ZERVON_API int ZERVON_CALL ZervUpdateSetting(int a, int b, int c, int d) {
  return LockedCall(kExchangeFailed, [=] { return DoUpdateSettingEx(a, b, c, d, 0, 1); });
}

extern "C" ZERVON_API int ZERVON_CALL ZervUpdateSettingEx(int a, int b, int c, int d, int e) {
  return LockedCall(kExchangeFailed, [=] { return DoUpdateSettingEx(a, b, c, d, e, 1); });
}

extern "C" ZERVON_API int ZERVON_CALL ZervReadValue(int* out1, int* out2, int* out3, int* out4,
                                                    int* out5, double* value) {
  unsigned char reply[64];
  if (!ReadStatusReport(reply)) return kExchangeShort;
  int* outs[5] = {out1, out2, out3, out4, out5};
  for (int i = 0; i < 5; ++i) {
    if (outs[i] != nullptr) *outs[i] = reply[1 + i];
  }
  if (value != nullptr) {
    const unsigned raw = reply[kMeasuredHigh] * 256u + reply[kMeasuredLow];
    // The first report byte selects the scale: hundredths for 3 and 4.
    const bool hundredths = reply[1] == 3 || reply[1] == 4;
    *value = hundredths ? raw / 100.0 : raw / 1000.0;
  }
  return kExchangeOk;
}

extern "C" ZERVON_API int ZERVON_CALL ZervGetBatteryStatus(void) {
  unsigned char reply[64];
  if (!ReadStatusReport(reply)) return 0;
  return (reply[kStatusFlags] & kBatteryLowFlag) != 0 ? 0 : 1;
}

// ---- Manufacturing information ----

namespace {

constexpr int kMfgInfoOffset = 60;
constexpr size_t kMfgInfoSize = 4;

// Reads the manufacturing block into `block`; true on a whole 64-byte reply.
bool ReadMfgBlock(unsigned char (&block)[64]) {
  unsigned char request[5] = {0x12, 0x55, 0xAA, 0x00, 0x01};
  memset(block, 0, sizeof block);
  return SendCommand(request, 5, block, 64, 200) == kExchangeOk;
}

}  // namespace

bool ZervReadMfgInfo(unsigned char* data, size_t length) {
  if (data == nullptr && length > 0) return false;
  return LockedCall(false, [=] {
    unsigned char block[64];
    if (!ReadMfgBlock(block)) return false;
    if (length > 0) memcpy(data, block + kMfgInfoOffset, length < kMfgInfoSize ? length : kMfgInfoSize);
    return true;
  });
}

bool ZervWriteMfgInfo(const unsigned char* data, size_t length) {
  if (data == nullptr && length > 0) return false;
  return LockedCall(false, [=] {
    unsigned char block[64];
    if (!ReadMfgBlock(block)) return false;
    unsigned char copy[64];
    memcpy(copy, block, sizeof copy);
    if (length > 0) memcpy(copy + kMfgInfoOffset, data, length < kMfgInfoSize ? length : kMfgInfoSize);
    copy[3] = 0xFF;  // the block-write operation
    SendCommand(copy, 64, block, 64, 200);  // the answer to the write-back is not checked
    return true;
  });
}

// ---- Diagnostics ----

void ProgressCB(int done, int total) {
  printf("%d - %d\n", done, total);
  fflush(stdout);
}

void FlashAccessProgressHandler(unsigned int done, unsigned int total) {
  printf("%08x/%08x\r\n", done, total);
  fflush(stdout);
}

void DebugConnectedHandler(bool connected) {
  if (!connected) return;
  printf("connected\n");
  fflush(stdout);
  DebugTest();
}

void DebugReadFlashTable() {
  unsigned char request[5] = {0x12, 0x55, 0xAA, 0x00, 0x00};
  unsigned char reply[64] = {0};
  ZervSendCommand(request, 5, reply, 64);
}

void DebugTest() {
  // One-shot: the first caller stays in the cycle for good.
  static std::atomic<bool> activated{false};
  if (activated.exchange(true)) return;
  static const unsigned char kCycle[11][6] = {
      {0x01, 0x04, 0x00, 0x00, 0x00, 0x11}, {0x00, 0x01, 0x00, 0x01, 0x00, 0x11},
      {0x03, 0x01, 0x00, 0x00, 0x00, 0x11}, {0x03, 0x01, 0x00, 0x00, 0x00, 0x11},
      {0x03, 0x02, 0x00, 0x00, 0x00, 0x11}, {0x03, 0x03, 0x00, 0x00, 0x00, 0x11},
      {0x03, 0x04, 0x00, 0x00, 0x00, 0x11}, {0x01, 0x03, 0x00, 0x00, 0x00, 0x11},
      {0x01, 0x04, 0x00, 0x00, 0x00, 0x11}, {0x02, 0x01, 0x00, 0x00, 0x00, 0x11},
      {0x05, 0x01, 0x00, 0x00, 0x00, 0x11},
  };
  for (;;) {
    for (const auto& entry : kCycle) {
      unsigned char request[8] = {0x00};
      memcpy(request + 1, entry, 6);
      ZervSendCommand(request, 8, nullptr, 0);
      DebugReadFlashTable();
    }
  }
}
