// Command exchange with the instrument and the device record block read.
#include "stdafx.h"
#include "Protocol.h"

#include "Device.h"

unsigned char g_DeviceHWInfo[64] = {0};

namespace {

constexpr unsigned kRecordReadTimeoutMs = 300;
const unsigned char kProductMarker[3] = {'V', 'R', 'X'};

// Writes the request; result code of the write half of an exchange, or -1
// when the exchange goes on to its reply.
int WriteRequest(unsigned char* request, int requestLength, bool expectReply) {
  if (request == nullptr || requestLength < 0) return kExchangeFailed;
  // A late reply to an earlier request must not be taken for this one's.
  if (expectReply) DiscardInput();
  int n = WriteData(request, requestLength, kRequestWriteTimeoutMs);
  if (n == -1) return kExchangeFailed;
  if (n != requestLength) return kExchangeShort;
  return -1;
}

}  // namespace

void SwitchToDeviceControl() {
  unsigned char control = 0x43;
  WriteData(&control, 1, kRequestWriteTimeoutMs);
}

int SendCommand(unsigned char* request, int requestLength, unsigned char* reply,
                int replyLength, unsigned readTimeoutMs) {
  if (replyLength < 0) return kExchangeFailed;
  const bool expectReply = reply != nullptr && replyLength != 0;
  int rc = WriteRequest(request, requestLength, expectReply);
  if (rc != -1) return rc;
  if (!expectReply) return kExchangeOk;
  int m = ReadData(reply, replyLength, readTimeoutMs);
  if (m == -1) return kExchangeFailed;
  return m == replyLength ? kExchangeOk : kExchangeShort;
}

int SendCommandEx(unsigned char* request, int requestLength, unsigned char* reply,
                  int* replyLength, unsigned readTimeoutMs) {
  const bool expectReply = reply != nullptr && replyLength != nullptr;
  if (expectReply && *replyLength < 0) return kExchangeFailed;
  int rc = WriteRequest(request, requestLength, expectReply);
  if (rc != -1) return rc;
  if (!expectReply) return kExchangeOk;
  int m = ReadData(reply, *replyLength, readTimeoutMs);
  if (m == -1) return kExchangeFailed;
  if (m == *replyLength) return kExchangeOk;
  *replyLength = m;
  return kExchangeShort;
}

int ReadDeviceHWInfo() {
  memset(g_DeviceHWInfo, 0, sizeof g_DeviceHWInfo);
  unsigned char request[5] = {0x12, 0x55, 0xAA, 0x00, 0x00};
  DiscardInput();
  if (WriteData(request, 5, kRequestWriteTimeoutMs) != 5) return 0;
  memset(g_DeviceHWInfo, 0, sizeof g_DeviceHWInfo);
  if (ReadData(g_DeviceHWInfo, 64, kRecordReadTimeoutMs) != 64) return 0;
  return memcmp(g_DeviceHWInfo + 5, kProductMarker, 3) == 0 ? 1 : 0;
}
