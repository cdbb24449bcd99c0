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

namespace {
// The record block read is discovery's instrument check.
const bool g_bTargetCheckRegistered = (SetTargetCheck(ReadDeviceHWInfo), true);
}  // namespace

int ReadDeviceHWInfo() {
  memset(g_DeviceHWInfo, 0, sizeof g_DeviceHWInfo);
  unsigned char request[5] = {0x12, 0x55, 0xAA, 0x00, 0x00};
  DiscardInput();
  if (WriteData(request, 5, kRequestWriteTimeoutMs) != 5) return 0;
  memset(g_DeviceHWInfo, 0, sizeof g_DeviceHWInfo);
  if (ReadData(g_DeviceHWInfo, 64, kRecordReadTimeoutMs) != 64) return 0;
  return memcmp(g_DeviceHWInfo + 5, kProductMarker, 3) == 0 ? 1 : 0;
}

void GetModelInfo(MODEL_INFORMATION* model) {
  const unsigned char* block = g_DeviceHWInfo;
  model->cModel1 = static_cast<char>(block[6]);
  model->cModel2 = static_cast<char>(block[7]);
  model->cSerialGroup1 = static_cast<char>(block[8]);
  model->cSerialGroup2 = static_cast<char>(block[9]);
  model->nSerialGroup3 = block[10];
  model->nSerialGroup4 = block[11] * 256 + block[12];
}

void GetHWInfo(HW_INFORMATION* hw) {
  const unsigned char* block = g_DeviceHWInfo;
  hw->nFirmwareMain = block[14];
  hw->nFirmwareSub = block[15];
  hw->nHWCode = block[13];
}

int UpdateDeviceInformation(MODEL_INFORMATION* model, HW_INFORMATION* hw) {
  unsigned char* block = g_DeviceHWInfo;
  block[6] = static_cast<unsigned char>(model->cModel1);
  block[7] = static_cast<unsigned char>(model->cModel2);
  block[8] = static_cast<unsigned char>(model->cSerialGroup1);
  block[9] = static_cast<unsigned char>(model->cSerialGroup2);
  block[10] = static_cast<unsigned char>(model->nSerialGroup3);
  block[11] = static_cast<unsigned char>(model->nSerialGroup4 >> 8);
  block[12] = static_cast<unsigned char>(model->nSerialGroup4);
  block[13] = static_cast<unsigned char>(hw->nHWCode);
  block[14] = static_cast<unsigned char>(hw->nFirmwareMain);
  block[15] = static_cast<unsigned char>(hw->nFirmwareSub);
  block[3] = 0xFF;  // the block-write operation
  unsigned char reply[64] = {0};
  return SendCommand(block, 64, reply, 64, 200) == kExchangeOk ? 1 : 0;
}

// ---- Display-module (LCM) calibration ----

#include "Flash.h"
#include "SimpleCriticalSection.h"

namespace {

constexpr unsigned char kCalibrationCommand = 0x4D;
constexpr unsigned char kCalibrationStart = 0x01;
constexpr unsigned char kCalibrationStop = 0x00;
constexpr int kCalibrationLength = 26;  // request and reply
constexpr int kCalibrationResultOffset = 2;
constexpr int kCalibrationResultLength = 24;
constexpr unsigned kCalibrationReplyTimeoutMs = 200;

// One calibration exchange; the reply lands in `reply`.
int ExchangeCalibration(unsigned char operation, unsigned char (&reply)[kCalibrationLength]) {
  unsigned char request[kCalibrationLength] = {kCalibrationCommand, operation};
  memset(reply, 0, sizeof reply);
  return SendCommand(request, kCalibrationLength, reply, kCalibrationLength,
                     kCalibrationReplyTimeoutMs);
}

}  // namespace

int StartLCMCalibration() {
  unsigned char reply[kCalibrationLength];
  return ExchangeCalibration(kCalibrationStart, reply) == kExchangeOk ? 1 : 0;
}

int StopLCMCalibration(ZervFlashProgressCallback progress) {
  unsigned char reply[kCalibrationLength];
  if (ExchangeCalibration(kCalibrationStop, reply) != kExchangeOk) return 0;
  unsigned char result[kCalibrationResultLength];
  memcpy(result, reply + kCalibrationResultOffset, sizeof result);
  return SPIFlashWriteEx(CHIP_FLASH_REGION_2, result, kCalibrationResultLength, progress);
}

extern "C" ZERVON_API bool ZERVON_CALL ZervStartLCMCalibration(void) {
  return LockedCall(false, [] { return StartLCMCalibration() != 0; });
}

extern "C" ZERVON_API bool ZERVON_CALL ZervStopLCMCalibration(ZervFlashProgressCallback cb) {
  return LockedCall(false, [cb] { return StopLCMCalibration(cb) != 0; });
}
