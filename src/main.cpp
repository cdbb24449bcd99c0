// API unit: the entry points of the library and the state they share.
#include "stdafx.h"
#include "main.h"

#include "Device.h"
#include "Protocol.h"
#include "Utils.h"
#include "zervon_ext.h"

namespace {

// The version this library reports through ZervGetVersion.
const char kLibraryVersion[] = "1.0.5.1";

// Read time-out of the raw exchange entry points, in ms.
constexpr unsigned kRawReplyTimeoutMs = 200;

}  // namespace

CSimpleCriticalSection g_APICriticalSection;

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

void* ZervGetDeviceHandle() {
  return LockedCall(reinterpret_cast<void*>(-1), [] {
    return reinterpret_cast<void*>(static_cast<intptr_t>(g_hDevice));
  });
}

void ZervSetDeviceHandle(void* handle) {
  LockedCall([handle] {
    g_hDevice = static_cast<DeviceHandle>(reinterpret_cast<intptr_t>(handle));
    if (g_hDevice != 0) IsTargetDevice();  // fills the record cache; the verdict is not used
  });
}
