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

#include "Device.h"
#include "Protocol.h"
#include "SimpleCriticalSection.h"
#include "zervon_ext.h"

const unsigned char QFlashSignature[2] = {'Q', 'F'};
const unsigned char LCMSignature[2] = {'L', 'M'};

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
constexpr unsigned kMaxPacketData = kFlashPacketData;
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
// An erase is answered when the chip is done, and a 4 KiB sector may take
// the full 400 ms; the reply then still crosses the USB link (the host polls
// once per 1 ms frame) and reaches this process through the kernel and the
// scheduler. The reply time-out of an erase is its erase time-out plus this
// allowance, so that an erase at the chip's maximum time is not taken for a
// failure. Against a simulated instrument at the maximum times on a loaded
// two-core machine (load average 8 to 12) the reply came 1.5 to 4.6 ms after
// the 400 ms; 50 ms is ten times the worst seen. The port's settling wait
// before the erases keeps the plain erase time-out.
constexpr unsigned kEraseReplyAllowanceMs = 50;
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

const FlashRegion kMemoryMapRegions[4] = {
    {0x000000, 0x100000},
    {0x300000, 0x2000},
    {0x302000, 0x1000},
    {0x308000, 0x1000},
};

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

const FlashRegion* MemoryMapRegion(MemoryMap region) {
  const unsigned int index = static_cast<unsigned int>(region);
  return index < 4 ? &kMemoryMapRegions[index] : nullptr;
}

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
    if (SendCommand(request, kHeaderLength, reply, kReplyLength, timeoutMs + kEraseReplyAllowanceMs) !=
        kExchangeOk)
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

int DoMemMapRead(unsigned int address, unsigned char* buffer, unsigned int length) {
  return DoFlashRead(address, buffer, length, LCMSignature);
}

int DoMemMapWrite(unsigned int address, const unsigned char* data, unsigned int length) {
  return DoFlashWrite(address, data, length, LCMSignature);
}

int MemMapErase(unsigned int address, unsigned int length) {
  return DoFlashErase(address, length, LCMSignature);
}

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

int MemMapReadEx(MemoryMap region, unsigned char* buffer, unsigned int length,
                 ZervFlashProgressCallback callback) {
  return ReadRegion(MemoryMapRegion(region), LCMSignature, buffer, length, callback);
}

int MemMapWriteEx(MemoryMap region, const unsigned char* data, unsigned int length,
                  ZervFlashProgressCallback callback) {
  return WriteRegion(MemoryMapRegion(region), LCMSignature, data, length, callback);
}

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

bool ZervMemMapReadEx(MemoryMap region, unsigned char* data, unsigned int length,
                      ZervFlashProgressCallback cb) {
  return LockedCall(false, [&] { return MemMapReadEx(region, data, length, cb) != 0; });
}

bool ZervMemMapWriteEx(MemoryMap region, unsigned char* data, unsigned int length,
                       ZervFlashProgressCallback cb) {
  return LockedCall(false, [&] { return MemMapWriteEx(region, data, length, cb) != 0; });
}
