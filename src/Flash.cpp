// Flash unit: the packet commands of the SPI flash chip and the display
// memory map, the whole-region transfers built from them and their entry
// points.
//
// Every packet is built in place in a fixed buffer on the stack: a packet
// costs the library no allocation and no system call beyond the exchange
// itself. Working buffers (padded image, read-back) are allocated once per
// transfer, before the first packet, so a failed allocation leaves the
// memory untouched.
#include "stdafx.h"
#include "Flash.h"

#include <algorithm>
#include <memory>
#include <new>
#if !defined(_WIN32)
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <vector>
#endif

#include "Device.h"
#include "Protocol.h"
#include "main.h"
#if !defined(_WIN32)
#include "zervon_ext.h"
#endif

const unsigned char QFlashSignature[2] = {'Q', 'F'};
#if !defined(_WIN32)
const unsigned char LCMSignature[2] = {'L', 'M'};
#endif

ZervFlashProgressCallback g_FlashAccessCb = nullptr;

namespace {

// Request layout: command, two signature bytes, operation, count or erase
// opcode, 24-bit big-endian address, then the data of a write.
constexpr unsigned char kBlockAccessCommand = 0x12;
constexpr unsigned char kOperationRead = 'R';
constexpr unsigned char kOperationWrite = 'W';
constexpr unsigned char kOperationErase = 'E';
constexpr unsigned char kSectorEraseOpcode = 0x20;  // 4 KiB sector
constexpr unsigned char kBlockEraseOpcode = 0x52;   // 32 KiB block
constexpr int kHeaderLength = 8;
constexpr unsigned kMaxPacketData = 32;
// Every request of the family is answered with 64 bytes; a read's data
// follow the eight header bytes.
constexpr int kReplyLength = 64;
constexpr int kReplyDataOffset = 8;

constexpr unsigned kSectorSize = 0x1000;
constexpr unsigned kBlockSize = 0x8000;
constexpr uint64_t kAddressSpace = 0x1000000;  // addresses travel as 24 bits

// Reply time-outs per request, in ms.
constexpr unsigned kReadReplyTimeoutMs = 200;
constexpr unsigned kWriteReplyTimeoutMs = 200;
constexpr unsigned kSectorEraseTimeoutMs = 400;
constexpr unsigned kBlockEraseTimeoutMs = 2000;
// Port time-outs: raised for a write transfer, normal otherwise.
constexpr unsigned kWriteTransferReadTimeoutMs = 2000;
constexpr unsigned kPortWriteTimeoutMs = 200;
constexpr unsigned kNormalReadTimeoutMs = 100;

const FlashRegion kChipFlashRegions[4] = {
    {0x000000, 0x8000},
    {0x008000, 0x8000},
    {0x010000, 0x8000},  // the display-module calibration result
    {0x018000, 0x1E8000},  // the firmware image beyond its first 32 KiB
};

#if !defined(_WIN32)
const FlashRegion kMemoryMapRegions[4] = {
    {0x000000, 0x100000},
    {0x300000, 0x2000},
    {0x302000, 0x1000},
    {0x308000, 0x1000},
};
#endif

void Report(unsigned int done, unsigned int total) {
  ZervFlashProgressCallback cb = g_FlashAccessCb;
  if (cb != nullptr) cb(done, total);
}

void PutHeader(unsigned char* request, const unsigned char* signature, unsigned char operation) {
  request[0] = kBlockAccessCommand;
  request[1] = signature[0];
  request[2] = signature[1];
  request[3] = operation;
}

void PutAddress(unsigned char* request, unsigned int address) {
  request[5] = static_cast<unsigned char>(address >> 16);
  request[6] = static_cast<unsigned char>(address >> 8);
  request[7] = static_cast<unsigned char>(address);
}

uint64_t RoundUp(uint64_t length, uint64_t unit) { return (length + unit - 1) / unit * unit; }

// True when every byte of [address, address + length) has a 24-bit address,
// so no request wraps around to the start of the memory.
bool WithinAddressSpace(unsigned int address, uint64_t length) {
  return length == 0 || address + length <= kAddressSpace;
}

// Puts back the port's normal time-outs when a write or erase ends, on every
// way out: a failed transfer must not leave the long time-outs in place.
class CNormalTimeoutsOnExit {
 public:
  CNormalTimeoutsOnExit() = default;
  ~CNormalTimeoutsOnExit() { SetDeviceTimeoutSetting(kNormalReadTimeoutMs, kPortWriteTimeoutMs); }
  CNormalTimeoutsOnExit(const CNormalTimeoutsOnExit&) = delete;
  CNormalTimeoutsOnExit& operator=(const CNormalTimeoutsOnExit&) = delete;
};

// Stores a transfer's callback in g_FlashAccessCb for the transfer. A
// transfer started from inside another transfer's progress callback (same
// thread, the API lock held) gives the outer transfer its callback back when
// it ends, so the outer one keeps reporting to its own caller. The outermost
// transfer leaves its callback stored, as the next one overwrites it anyway.
// Only one thread runs transfers at a time (the API lock), so the depth
// needs no lock of its own.
int s_nTransferDepth = 0;

class CTransferCallback {
 public:
  explicit CTransferCallback(ZervFlashProgressCallback callback) : m_previous(g_FlashAccessCb) {
    ++s_nTransferDepth;
    g_FlashAccessCb = callback;
  }
  ~CTransferCallback() {
    if (--s_nTransferDepth > 0) g_FlashAccessCb = m_previous;
  }
  CTransferCallback(const CTransferCallback&) = delete;
  CTransferCallback& operator=(const CTransferCallback&) = delete;

 private:
  ZervFlashProgressCallback m_previous;
};

// A byte array for one transfer; null when it cannot be allocated.
std::unique_ptr<unsigned char[]> AllocateBuffer(unsigned int size) {
  return std::unique_ptr<unsigned char[]>(new (std::nothrow) unsigned char[size]);
}

bool SameBytes(const unsigned char* a, const unsigned char* b, unsigned int length) {
  return length == 0 || memcmp(a, b, length) == 0;
}

int ReadRegion(const FlashRegion* region, const unsigned char* signature, unsigned char* buffer,
               unsigned int length, ZervFlashProgressCallback callback) {
  if (region == nullptr) return 0;
  CTransferCallback stored(callback);
  return DoFlashRead(region->base, buffer, length, signature);
}

// Replaces a region's content: erase all of it, write exactly `length`
// bytes at its base, read them back in whole packets and compare.
int WriteRegion(const FlashRegion* region, const unsigned char* signature,
                const unsigned char* data, unsigned int length,
                ZervFlashProgressCallback callback) {
  if (region == nullptr) return 0;
  CTransferCallback stored(callback);
  if (length > region->capacity) return 0;
  if (data == nullptr && length != 0) return 0;
  const unsigned int readBackLength = static_cast<unsigned int>(RoundUp(length, kMaxPacketData));
  std::unique_ptr<unsigned char[]> readBack = AllocateBuffer(readBackLength);
  if (!readBack) return 0;
  if (!DoFlashErase(region->base, region->capacity, signature)) return 0;
  if (!DoFlashWrite(region->base, data, length, signature)) return 0;
  if (!DoFlashRead(region->base, readBack.get(), readBackLength, signature)) return 0;
  return SameBytes(data, readBack.get(), length) ? 1 : 0;
}

}  // namespace

const FlashRegion* ChipFlashRegion(ChipFlash region) {
  const unsigned int index = static_cast<unsigned int>(region);
  return index < 4 ? &kChipFlashRegions[index] : nullptr;
}

#if !defined(_WIN32)
const FlashRegion* MemoryMapRegion(MemoryMap region) {
  const unsigned int index = static_cast<unsigned int>(region);
  return index < 4 ? &kMemoryMapRegions[index] : nullptr;
}
#endif

// ---- Packet primitives ----

int DoFlashRead(unsigned int address, unsigned char* buffer, unsigned int length,
                const unsigned char* signature) {
  if (signature == nullptr || (buffer == nullptr && length != 0)) return 0;
  if (!WithinAddressSpace(address, length)) return 0;
  unsigned char request[kHeaderLength] = {0};
  PutHeader(request, signature, kOperationRead);
  unsigned char reply[kReplyLength];
  for (unsigned int done = 0; done < length;) {
    memset(reply, 0, sizeof reply);
    const unsigned int n = std::min(length - done, kMaxPacketData);
    request[4] = static_cast<unsigned char>(n - 1);
    PutAddress(request, address + done);
    if (SendCommand(request, kHeaderLength, reply, kReplyLength, kReadReplyTimeoutMs) !=
        kExchangeOk)
      return 0;
    Report(done, length);  // the offset before this packet
    memcpy(buffer + done, reply + kReplyDataOffset, n);
    done += n;
  }
  Report(length, length);
  return 1;
}

int DoFlashWrite(unsigned int address, const unsigned char* data, unsigned int length,
                 const unsigned char* signature) {
  if (signature == nullptr || (data == nullptr && length != 0)) return 0;
  if (!WithinAddressSpace(address, length)) return 0;
  unsigned char request[kHeaderLength + kMaxPacketData] = {0};
  PutHeader(request, signature, kOperationWrite);
  unsigned char reply[kReplyLength];
  SetDeviceTimeoutSetting(kWriteTransferReadTimeoutMs, kPortWriteTimeoutMs);
  CNormalTimeoutsOnExit restore;
  for (unsigned int done = 0; done < length;) {
    const unsigned int n = std::min(length - done, kMaxPacketData);
    request[4] = static_cast<unsigned char>(n - 1);
    PutAddress(request, address + done);
    memcpy(request + kHeaderLength, data + done, n);
    done += n;
    if (SendCommand(request, kHeaderLength + static_cast<int>(n), reply, kReplyLength,
                    kWriteReplyTimeoutMs) != kExchangeOk)
      return 0;
    Report(done, length);  // the offset after this packet
  }
  Report(length, length);
  return 1;
}

int DoFlashErase(unsigned int address, unsigned int length, const unsigned char* signature) {
  if (signature == nullptr) return 0;
  // Whole sectors; 32 KiB blocks only when the whole erase length is made of
  // them, else every part is erased sector by sector.
  const uint64_t eraseLength = RoundUp(length, kSectorSize);
  const bool byBlocks = eraseLength % kBlockSize == 0;
  const unsigned int step = byBlocks ? kBlockSize : kSectorSize;
  const unsigned int timeoutMs = byBlocks ? kBlockEraseTimeoutMs : kSectorEraseTimeoutMs;
  // The last request goes to address + eraseLength - step; it must not wrap.
  if (eraseLength != 0 && address + eraseLength - step >= kAddressSpace) return 0;
  const unsigned int total = static_cast<unsigned int>(eraseLength);

  unsigned char request[kHeaderLength] = {0};
  PutHeader(request, signature, kOperationErase);
  request[4] = byBlocks ? kBlockEraseOpcode : kSectorEraseOpcode;
  unsigned char reply[kReplyLength];
  SetDeviceTimeoutSetting(timeoutMs, kPortWriteTimeoutMs);
  CNormalTimeoutsOnExit restore;
  for (unsigned int offset = 0; offset < total; offset += step) {
    PutAddress(request, address + offset);
    if (SendCommand(request, kHeaderLength, reply, kReplyLength, timeoutMs) != kExchangeOk)
      return 0;
    Report(offset, total);  // the offset before this erase
  }
  Report(total, total);
  return 1;
}

int DoSPIFlashRead(unsigned int address, unsigned char* buffer, unsigned int length) {
  return DoFlashRead(address, buffer, length, QFlashSignature);
}

int DoSPIFlashWrite(unsigned int address, const unsigned char* data, unsigned int length) {
  return DoFlashWrite(address, data, length, QFlashSignature);
}

int SPIFlashErase(unsigned int address, unsigned int length) {
  return DoFlashErase(address, length, QFlashSignature);
}

#if !defined(_WIN32)
int DoMemMapRead(unsigned int address, unsigned char* buffer, unsigned int length) {
  return DoFlashRead(address, buffer, length, LCMSignature);
}

int DoMemMapWrite(unsigned int address, const unsigned char* data, unsigned int length) {
  return DoFlashWrite(address, data, length, LCMSignature);
}

int MemMapErase(unsigned int address, unsigned int length) {
  return DoFlashErase(address, length, LCMSignature);
}
#endif

// ---- Transfers ----

int SPIFlashRead(unsigned char* buffer, unsigned int length, ZervFlashProgressCallback callback) {
  CTransferCallback stored(callback);
  return DoSPIFlashRead(0, buffer, length);
}

int SPIFlashReadEx(ChipFlash region, unsigned char* buffer, unsigned int length,
                   ZervFlashProgressCallback callback) {
  return ReadRegion(ChipFlashRegion(region), QFlashSignature, buffer, length, callback);
}

int SPIFlashWrite(const unsigned char* data, unsigned int length,
                  ZervFlashProgressCallback callback) {
  CTransferCallback stored(callback);
  if (data == nullptr && length != 0) return 0;
  const uint64_t padded = RoundUp(length, kSectorSize);
  if (!WithinAddressSpace(0, padded)) return 0;
  const unsigned int n = static_cast<unsigned int>(padded);
  std::unique_ptr<unsigned char[]> image = AllocateBuffer(n);
  std::unique_ptr<unsigned char[]> readBack = AllocateBuffer(n);
  if (!image || !readBack) return 0;
  memset(image.get(), 0xFF, n);
  if (length != 0) memcpy(image.get(), data, length);
  if (!SPIFlashErase(0, n)) return 0;
  if (!DoSPIFlashWrite(0, image.get(), n)) return 0;  // the 0xFF padding included
  if (!DoSPIFlashRead(0, readBack.get(), n)) return 0;
  return SameBytes(image.get(), readBack.get(), n) ? 1 : 0;
}

int SPIFlashWriteEx(ChipFlash region, const unsigned char* data, unsigned int length,
                    ZervFlashProgressCallback callback) {
  return WriteRegion(ChipFlashRegion(region), QFlashSignature, data, length, callback);
}

#if !defined(_WIN32)
int MemMapReadEx(MemoryMap region, unsigned char* buffer, unsigned int length,
                 ZervFlashProgressCallback callback) {
  return ReadRegion(MemoryMapRegion(region), LCMSignature, buffer, length, callback);
}

int MemMapWriteEx(MemoryMap region, const unsigned char* data, unsigned int length,
                  ZervFlashProgressCallback callback) {
  return WriteRegion(MemoryMapRegion(region), LCMSignature, data, length, callback);
}
#endif

// ---- Entry points: the API lock is held for the whole transfer ----

extern "C" ZERVON_API bool ZERVON_CALL ZervSPIFlashRead(unsigned char* data, unsigned int length,
                                                        ZervFlashProgressCallback cb) {
  return LockedCall(false, [&] { return SPIFlashRead(data, length, cb) != 0; });
}

extern "C" ZERVON_API bool ZERVON_CALL ZervSPIFlashReadEx(ChipFlash region, unsigned char* data,
                                                          unsigned int length,
                                                          ZervFlashProgressCallback cb) {
  return LockedCall(false, [&] { return SPIFlashReadEx(region, data, length, cb) != 0; });
}

extern "C" ZERVON_API bool ZERVON_CALL ZervSPIFlashWrite(unsigned char* data, unsigned int length,
                                                         ZervFlashProgressCallback cb) {
  return LockedCall(false, [&] { return SPIFlashWrite(data, length, cb) != 0; });
}

extern "C" ZERVON_API bool ZERVON_CALL ZervSPIFlashWriteEx(ChipFlash region, unsigned char* data,
                                                           unsigned int length,
                                                           ZervFlashProgressCallback cb) {
  return LockedCall(false, [&] { return SPIFlashWriteEx(region, data, length, cb) != 0; });
}

#if !defined(_WIN32)
bool ZervMemMapReadEx(MemoryMap region, unsigned char* data, unsigned int length,
                      ZervFlashProgressCallback cb) {
  return LockedCall(false, [&] { return MemMapReadEx(region, data, length, cb) != 0; });
}

bool ZervMemMapWriteEx(MemoryMap region, unsigned char* data, unsigned int length,
                       ZervFlashProgressCallback cb) {
  return LockedCall(false, [&] { return MemMapWriteEx(region, data, length, cb) != 0; });
}
#endif

#if !defined(_WIN32)
// ---- Firmware image and burner ----
//
// The burn holds the API lock from its start until the port is closed again,
// so the connect thread, the monitor and application calls (which take the
// lock per step) wait and nothing else reaches the wire between "FWPS" and
// the record write. If the connection already holds the instrument's port,
// the burn works on that port: probing it again would fail on this
// process's own lock file. At the end the burn closes whatever port it holds
// with its lock file and path, so the library never takes itself for
// connected without an open port, and then, with the lock released, wakes
// the connect thread: if one runs it notices the closed port, reports the
// loss and connects to the restarted instrument as after an unplug.

unsigned char* g_pFlashData = nullptr;
int g_nFlashSize = 0;
unsigned char g_bBinMainVer = 0;
unsigned char g_bBinSubVer = 0;
ZervBurnProgressCallback g_FlashProgressCb = nullptr;

namespace {

constexpr int kRowSize = 32;
// The ISP loader takes an image's first 32 KiB; on V3 instruments the rest,
// the BMP block, goes to SPI flash at the start of region 3.
constexpr unsigned kIspPartLength = 0x8000;
constexpr int kIspPartRows = kIspPartLength / kRowSize;  // 1024
constexpr unsigned kBmpFlashAddress = 0x18000;
constexpr unsigned kMaxImageLength = kIspPartLength + 0x1E8000;
// Row offsets travel as 16 bits.
constexpr unsigned kRowOffsetSpace = 0x10000;

constexpr int kLoaderFrameLength = 40;
constexpr int kLoaderShortLength = 4;
constexpr int kRowDataOffset = 8;
constexpr unsigned kLoaderWriteTimeoutMs = 200;
constexpr unsigned kLoaderReadTimeoutMs = 100;
constexpr unsigned kEnterPauseMs = 6;
constexpr unsigned kV2EnterRetryMs = 6;
constexpr unsigned kV3EnterRetryMs = 100;
constexpr unsigned kRowPauseMs = 6;
// A port that has hung up reads nothing, at once and for ever: empty reads
// after "FWPS" are repeated for this long at most.
constexpr unsigned kEnterAnswerWaitMs = 3000;

constexpr int kConnectAttempts = 5;
constexpr int kReconnectAttempts = 15;
constexpr unsigned kRestartWaitMs = 5000;
constexpr unsigned kRecordReplyPauseMs = 10;
constexpr int kRecordLength = 64;
constexpr int kRecordOperationByte = 3;
constexpr unsigned char kRecordWriteOperation = 0xFF;
constexpr int kFirmwareMainByte = 14;
constexpr int kFirmwareSubByte = 15;
constexpr unsigned char kLastV2MainVersion = 2;

enum BurnStage {
  kStageErasing = 0,
  kStageWriting = 1,
  kStageVerifying = 2,
  kStageLeaving = 3,
  kStageRestarted = 4,
  kStageFinished = 5,
};

void ReportStage(int stage, int value) {
  ZervBurnProgressCallback cb = g_FlashProgressCb;
  if (cb != nullptr) cb(stage, value);
}

// Ends a sequence: reports the result as stage 5 and hands it on.
int Finish(int code) {
  ReportStage(kStageFinished, code);
  return code;
}

// "FWPW" or "FWPR" for `row`: the letters, 0x00 0xA0, the row's byte offset
// big-endian in 16 bits, then the row's 32 bytes (a write) or zeros (a read).
void BuildRowCommand(unsigned char (&frame)[kLoaderFrameLength], char operation, int row) {
  const unsigned offset = static_cast<unsigned>(row) * kRowSize;
  memset(frame, 0, sizeof frame);
  memcpy(frame, "FWP", 3);
  frame[3] = static_cast<unsigned char>(operation);
  frame[4] = 0x00;
  frame[5] = 0xA0;
  frame[6] = static_cast<unsigned char>(offset >> 8);
  frame[7] = static_cast<unsigned char>(offset);
  if (operation == 'W') memcpy(frame + kRowDataOffset, g_pFlashData + offset, kRowSize);
}

// Enters the ISP loader and waits for its first answer, which is not
// examined: data, a time-out or a failed read end the wait; empty reads are
// repeated `retryMs` apart for kEnterAnswerWaitMs at most, after which the
// burn goes on as after a time-out.
int EnterLoader(unsigned retryMs) {
  unsigned char command[kLoaderShortLength] = {'F', 'W', 'P', 'S'};
  DiscardInput();
  if (WriteData(command, kLoaderShortLength, kLoaderWriteTimeoutMs) != kLoaderShortLength)
    return Finish(kBurnEnterNotWritten);
  SleepEx(kEnterPauseMs);
  unsigned char answer[kLoaderFrameLength];
  const auto giveUp =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kEnterAnswerWaitMs);
  while (ReadData(answer, kLoaderFrameLength, kLoaderReadTimeoutMs) == 0 &&
         std::chrono::steady_clock::now() < giveUp)
    SleepEx(retryMs);
  return kBurnOk;
}

// Sends rows 0 to count - 1 through the loader, reporting
// (1, progress(row)) before each and pausing after each.
template <typename Progress>
int WriteRows(int count, Progress progress) {
  unsigned char frame[kLoaderFrameLength];
  unsigned char reply[kLoaderFrameLength];
  for (int i = 0; i < count; ++i) {
    BuildRowCommand(frame, 'W', i);
    ReportStage(kStageWriting, progress(i));
    DiscardInput();
    if (WriteData(frame, kLoaderFrameLength, kLoaderWriteTimeoutMs) != kLoaderFrameLength)
      return Finish(kBurnRowNotWritten);
    if (ReadData(reply, kLoaderFrameLength, kLoaderReadTimeoutMs) != kLoaderFrameLength)
      return Finish(kBurnRowWriteUnanswered);
    SleepEx(kRowPauseMs);
  }
  return kBurnOk;
}

// Reads rows 0 to count - 1 back through the loader and compares each with
// the image, reporting (2, progress(row)) before each.
template <typename Progress>
int VerifyRows(int count, Progress progress) {
  unsigned char frame[kLoaderFrameLength];
  unsigned char reply[kLoaderFrameLength];
  for (int i = 0; i < count; ++i) {
    BuildRowCommand(frame, 'R', i);
    ReportStage(kStageVerifying, progress(i));
    DiscardInput();
    if (WriteData(frame, kLoaderFrameLength, kLoaderWriteTimeoutMs) != kLoaderFrameLength)
      return Finish(kBurnRowReadNotWritten);
    if (ReadData(reply, kLoaderFrameLength, kLoaderReadTimeoutMs) != kLoaderFrameLength)
      return Finish(kBurnRowReadUnanswered);
    if (memcmp(reply + kRowDataOffset, g_pFlashData + i * kRowSize, kRowSize) != 0)
      return Finish(kBurnMismatch);
  }
  return kBurnOk;
}

// Reads the BMP block back from SPI flash packet by packet and compares it
// with the image, reporting (2, offset * 24 / length + 75) before each packet.
int VerifyBmpBlock(unsigned int length) {
  unsigned char request[kHeaderLength] = {0};
  PutHeader(request, QFlashSignature, kOperationRead);
  unsigned char reply[kReplyLength];
  const unsigned char* image = g_pFlashData + kIspPartLength;
  for (unsigned int offset = 0; offset < length;) {
    memset(reply, 0, sizeof reply);
    const unsigned int n = std::min(length - offset, kMaxPacketData);
    request[4] = static_cast<unsigned char>(n - 1);
    PutAddress(request, kBmpFlashAddress + offset);
    ReportStage(kStageVerifying, static_cast<int>(offset * 24 / length + 75));
    if (SendCommand(request, kHeaderLength, reply, kReplyLength, kReadReplyTimeoutMs) !=
        kExchangeOk)
      return Finish(kBurnFlashReadFailed);
    if (memcmp(reply + kReplyDataOffset, image + offset, n) != 0) return Finish(kBurnMismatch);
    offset += n;
  }
  return kBurnOk;
}

// Leaves the loader, lets the instrument restart, finds it again and writes
// the image's version into its record block; the reply to that write becomes
// the cached record. The port is abandoned while the instrument restarts;
// its lock file stays held until the first probe after the restart gives it
// up, so that attempt fails and the next one takes the port.
int RestartInstrument() {
  unsigned char command[kLoaderShortLength] = {'F', 'W', 'P', 'U'};
  if (WriteData(command, kLoaderShortLength, kLoaderWriteTimeoutMs) != kLoaderShortLength)
    return Finish(kBurnLeaveNotWritten);
  DeviceDropPort();
  SleepEx(kRestartWaitMs);
  ReportStage(kStageRestarted, 100);
  if (!DeviceConnect(-1, kReconnectAttempts)) return Finish(kBurnNotBack);
  g_DeviceHWInfo[kFirmwareMainByte] = g_bBinMainVer;
  g_DeviceHWInfo[kFirmwareSubByte] = g_bBinSubVer;
  g_DeviceHWInfo[kRecordOperationByte] = kRecordWriteOperation;
  DiscardInput();
  if (WriteData(g_DeviceHWInfo, kRecordLength, kLoaderWriteTimeoutMs) != kRecordLength)
    return Finish(kBurnRecordNotWritten);
  SleepEx(kRecordReplyPauseMs);
  memset(g_DeviceHWInfo, 0, sizeof g_DeviceHWInfo);
  if (ReadData(g_DeviceHWInfo, kRecordLength, kLoaderReadTimeoutMs) != kRecordLength)
    return Finish(kBurnRecordUnanswered);
  return Finish(kBurnOk);
}

// The port the connection holds, if the burn can work on it: one that
// discovery accepted and whose node is still there. One whose node is gone
// is closed, so the burn searches afresh. True when the port is taken over.
bool TakeOverHeldPort(bool& touched) {
  if (g_hDevice == -1 || g_szDevicePath[0] == '\0') return false;
  touched = true;
  if (DeviceIsAlive()) return true;
  DeviceClose();
  return false;
}

// Closes the port the burn holds with its lock file and path, including the
// lock file kept across a restart after which the instrument never came
// back; clears both callbacks. Runs under the API lock.
class CBurnCleanup {
 public:
  CBurnCleanup() = default;
  ~CBurnCleanup() {
    if (touched) {
      DeviceClose();
      UnlockDeviceFile();
      memset(g_szDevicePath, 0, sizeof g_szDevicePath);
    }
    g_FlashProgressCb = nullptr;
    g_FlashAccessCb = nullptr;
  }
  CBurnCleanup(const CBurnCleanup&) = delete;
  CBurnCleanup& operator=(const CBurnCleanup&) = delete;

  bool touched = false;  // the burn took over, closed or opened a port
};

// Wakes the connect thread after the API lock has been released, when the
// burn has changed the connection.
class CReconnectAfterBurn {
 public:
  CReconnectAfterBurn() = default;
  ~CReconnectAfterBurn() {
    if (wake) ReconnectDevice();
  }
  CReconnectAfterBurn(const CReconnectAfterBurn&) = delete;
  CReconnectAfterBurn& operator=(const CReconnectAfterBurn&) = delete;

  bool wake = false;
};

// Reads a whole file of at most kMaxImageLength bytes. Result 0 or a load code.
int ReadImageFile(const char* path, std::vector<unsigned char>& bytes) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC);  // descriptor, or -1
  if (fd == -1) return kLoadUnreadable;
  int result = kBurnOk;
  unsigned char chunk[65536];
  for (;;) {
    const ssize_t n = read(fd, chunk, sizeof chunk);  // byte count, 0 at the end, or -1
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      result = kLoadUnreadable;
      break;
    }
    if (bytes.size() + static_cast<size_t>(n) > kMaxImageLength) {
      result = kBurnImageTooLarge;
      break;
    }
    bytes.insert(bytes.end(), chunk, chunk + n);
  }
  close(fd);
  return result;
}

bool IsVersionByte(const int* value) { return value != nullptr && *value >= 0 && *value <= 255; }

}  // namespace

void ISPEraseBMPBlockProgressHandler(unsigned int done, unsigned int total) {
  if (g_FlashProgressCb == nullptr || total == 0) return;
  g_FlashProgressCb(kStageErasing, static_cast<int>(done * 7u / total + 3u));
}

void ISPWriteBMPBlockProgressHandler(unsigned int done, unsigned int total) {
  if (g_FlashProgressCb == nullptr || total == 0) return;
  g_FlashProgressCb(kStageWriting, static_cast<int>(done * 20u / total + 30u));
}

int FlashLoadBinFile(char* path, int* mainVersion, int* subVersion) {
  CAutoCriticalSection guard(g_APICriticalSection);
  if (!IsVersionByte(mainVersion) || !IsVersionByte(subVersion)) return kLoadBadVersion;
  if (path == nullptr) return kLoadUnreadable;
  std::vector<unsigned char> bytes;
  const int loaded = ReadImageFile(path, bytes);
  if (loaded != kBurnOk) return loaded;
  if (bytes.empty()) return kLoadEmpty;
  const size_t rows = (bytes.size() + kRowSize - 1) / kRowSize;
  unsigned char* image = new (std::nothrow) unsigned char[rows * kRowSize];
  if (image == nullptr) return kLoadUnreadable;
  memset(image, 0xFF, rows * kRowSize);
  memcpy(image, bytes.data(), bytes.size());
  delete[] g_pFlashData;
  g_pFlashData = image;
  g_nFlashSize = static_cast<int>(rows);
  g_bBinMainVer = static_cast<unsigned char>(*mainVersion);
  g_bBinSubVer = static_cast<unsigned char>(*subVersion);
  return kBurnOk;
}

int DoFlashBurnBinFileV2() {
  const int rows = g_nFlashSize;
  // Rows beyond 64 KiB cannot be addressed; none is sent.
  if (static_cast<unsigned>(rows) * kRowSize > kRowOffsetSpace) return Finish(kBurnImageTooLarge);
  int rc = EnterLoader(kV2EnterRetryMs);
  if (rc != kBurnOk) return rc;
  rc = WriteRows(rows, [rows](int i) { return i * 50 / rows; });
  if (rc != kBurnOk) return rc;
  rc = VerifyRows(rows, [rows](int i) { return i * 50 / rows + 49; });
  if (rc != kBurnOk) return rc;
  ReportStage(kStageLeaving, 99);
  return RestartInstrument();
}

int DoFlashBurnBinFileV3() {
  const int rows = g_nFlashSize;
  const int ispRows = std::min(rows, kIspPartRows);
  const unsigned int bmpLength = static_cast<unsigned>(rows) * kRowSize - kIspPartLength;
  int rc = EnterLoader(kV3EnterRetryMs);
  if (rc != kBurnOk) return rc;
  ReportStage(kStageErasing, 3);

  g_FlashAccessCb = ISPEraseBMPBlockProgressHandler;
  const int erased = SPIFlashErase(kBmpFlashAddress, bmpLength);
  g_FlashAccessCb = nullptr;
  if (!erased) return Finish(kBurnFlashEraseFailed);
  ReportStage(kStageErasing, 10);

  rc = WriteRows(ispRows, [rows](int i) { return i * 20 / rows + 10; });
  if (rc != kBurnOk) return rc;
  ReportStage(kStageWriting, 30);

  g_FlashAccessCb = ISPWriteBMPBlockProgressHandler;
  const int written = DoSPIFlashWrite(kBmpFlashAddress, g_pFlashData + kIspPartLength, bmpLength);
  g_FlashAccessCb = nullptr;
  if (!written) return Finish(kBurnFlashWriteFailed);
  ReportStage(kStageWriting, 50);

  rc = VerifyRows(ispRows, [rows](int i) { return i * 25 / rows + 50; });
  if (rc != kBurnOk) return rc;
  ReportStage(kStageVerifying, 75);
  rc = VerifyBmpBlock(bmpLength);
  if (rc != kBurnOk) return rc;
  ReportStage(kStageVerifying, 99);
  ReportStage(kStageLeaving, 99);
  return RestartInstrument();
}

int FlashBurnBinFile(ZervBurnProgressCallback callback) {
  CReconnectAfterBurn reconnect;  // last: after the lock is released
  CAutoCriticalSection guard(g_APICriticalSection);
  CBurnCleanup cleanup;  // first: with the lock still held
  g_FlashProgressCb = callback;
  if (g_pFlashData == nullptr || g_nFlashSize <= 0) return Finish(kBurnNoImage);
  const bool heldPort = TakeOverHeldPort(cleanup.touched);
  reconnect.wake = cleanup.touched;
  if (!heldPort && !DeviceConnect(-1, kConnectAttempts)) return Finish(kBurnNoInstrument);
  cleanup.touched = reconnect.wake = true;
  if (!ReadDeviceHWInfo()) return Finish(kBurnRecordUnreadable);
  const bool v2 = g_DeviceHWInfo[kFirmwareMainByte] <= kLastV2MainVersion ||
                  static_cast<unsigned>(g_nFlashSize) * kRowSize <= kIspPartLength;
  return v2 ? DoFlashBurnBinFileV2() : DoFlashBurnBinFileV3();
}

int ZervLoadBinFile(char* path, int* mainVersion, int* subVersion) {
  try {
    return FlashLoadBinFile(path, mainVersion, subVersion);
  } catch (...) {
    return kLoadUnreadable;  // the file's bytes could not be held
  }
}

int ZervBurnBinFile(void (*callback)(int stage, int value)) { return FlashBurnBinFile(callback); }
#endif
