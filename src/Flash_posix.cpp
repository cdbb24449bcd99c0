// Flash unit, POSIX builds: the firmware image loader and the burner, which
// sends an image through the instrument's ISP loader (and, on newer
// instruments, its second part to SPI flash with the flash primitives of
// Flash.cpp). The Windows build has no firmware entry points.
#include "stdafx.h"
#include "Flash.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <new>
#include <vector>

#include "Device.h"
#include "Platform.h"
#include "Protocol.h"
#include "SimpleCriticalSection.h"
#include "zervon_ext.h"
#include "zervon_platform.h"

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
// What identifies an instrument in its record block: the product marker,
// the serial number's fields and the hardware code (bytes 5 to 13). The
// firmware version that follows is what a burn changes.
constexpr int kIdentityOffset = 5;
constexpr int kIdentityLength = 9;
constexpr unsigned kPauseAfterFailedSearchMs = 1000;

// The identity of the instrument being burned, read before it enters its
// loader; only the burn, under the API lock, reads or writes it.
unsigned char g_BurnedIdentity[kIdentityLength];

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
  const int64_t giveUp = zervon_detail::MonotonicMs() + kEnterAnswerWaitMs;
  while (ReadData(answer, kLoaderFrameLength, kLoaderReadTimeoutMs) == 0 &&
         zervon_detail::MonotonicMs() < giveUp)
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

// Reads the BMP block back from SPI flash one packet at a time with the read
// primitive and compares each with the image, reporting
// (2, offset * 24 / length + 75) before each packet; the first difference
// ends the read.
int VerifyBmpBlock(unsigned int length) {
  unsigned char packet[kFlashPacketData];
  const unsigned char* image = g_pFlashData + kIspPartLength;
  g_FlashAccessCb = nullptr;
  for (unsigned int offset = 0; offset < length;) {
    const unsigned int n = std::min(length - offset, kFlashPacketData);
    ReportStage(kStageVerifying, static_cast<int>(offset * 24 / length + 75));
    if (!DoSPIFlashRead(kBmpFlashAddress + offset, packet, n)) return Finish(kBurnFlashReadFailed);
    if (memcmp(packet, image + offset, n) != 0) return Finish(kBurnMismatch);
    offset += n;
  }
  return kBurnOk;
}

int IsBurnedInstrument() {
  return memcmp(g_DeviceHWInfo + kIdentityOffset, g_BurnedIdentity, kIdentityLength) == 0 ? 1
                                                                                         : 0;
}

// Sets the identity check of discovery for as long as it lives.
class CIdentityGate {
 public:
  CIdentityGate() { SetIdentityCheck(IsBurnedInstrument); }
  ~CIdentityGate() { SetIdentityCheck(nullptr); }
  CIdentityGate(const CIdentityGate&) = delete;
  CIdentityGate& operator=(const CIdentityGate&) = delete;
};

// Finds the restarted instrument again: up to kReconnectAttempts searches a
// second apart, each trying the node it left from first and then every
// port. Only a port whose record shows the identity read before the burn is
// taken; another instrument that is found (an idle neighbour on the same
// host) is released at once, nothing written to it. True when the burned
// instrument's port is open again, its record in the cache.
bool FindBurnedInstrument(int oldPort) {
  CIdentityGate gate;
  for (int i = 0; i < kReconnectAttempts; ++i) {
    if (oldPort >= 0 && FindDevice(oldPort)) return true;
    if (FindDevice(-1)) return true;
    SleepEx(kPauseAfterFailedSearchMs);
  }
  return false;
}

// Leaves the loader, lets the instrument restart, finds that same
// instrument again and writes the image's version into its record block;
// the reply to that write becomes the cached record. The port is abandoned
// while the instrument restarts, but its lock file stays held (kept aside,
// so that probing other ports does not give it up) and no other process of
// this library takes the port meanwhile; a probe of the old node takes the
// lock file up again, and finding the instrument under another node gives
// it up.
int RestartInstrument() {
  unsigned char command[kLoaderShortLength] = {'F', 'W', 'P', 'U'};
  if (WriteData(command, kLoaderShortLength, kLoaderWriteTimeoutMs) != kLoaderShortLength)
    return Finish(kBurnLeaveNotWritten);
  const int oldPort = DevicePortOfPath(g_szDevicePath);
  DeviceDropPort();
  SleepEx(kRestartWaitMs);
  ReportStage(kStageRestarted, 100);
  if (!FindBurnedInstrument(oldPort)) {
    // The cache holds the last refused instrument's record, if any: it is
    // not this process's instrument.
    memset(g_DeviceHWInfo, 0, sizeof g_DeviceHWInfo);
    return Finish(kBurnNotBack);
  }
  NoteInstrumentMoved(DevicePortOfPath(g_szDevicePath));
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
      DeviceRelease();
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
  memcpy(g_BurnedIdentity, g_DeviceHWInfo + kIdentityOffset, kIdentityLength);
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
