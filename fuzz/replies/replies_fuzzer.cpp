// libFuzzer target: the library's handling of instrument replies. A fake
// instrument on one end of a socket pair answers the library's reads with
// replies cut from the fuzzer's bytes, and the library, handed the other end
// as its port, runs a sequence of entry points (chosen by the input too)
// that read replies: the record block, status, battery, raw exchanges, the
// manufacturing block, flash and memory-map reads, writes with their
// read-back, calibration and the identity write-back.
//
// Input: byte 0 gives the number of operations (1 to 8), the next bytes one
// operation each; the rest is a sequence of replies, each a length byte and
// that many bytes (shorter at the end of the input). Each reply is one
// message of a SOCK_SEQPACKET pair, so each read of the library takes one
// reply whole (or the part its buffer holds): the replies answer the
// library's reads in order, with no thread and no timing in the way. When
// the replies run out the fake instrument hangs up, so every further read
// ends at once (no time-out is ever waited for).
//
// Besides what the sanitizers and libFuzzer catch (bad reads and writes,
// undefined behaviour, leaks, hangs), the target traps on results outside
// the documented ranges.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "zervon.h"
#include "zervon_ext.h"

namespace {

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

void* Handle(int fd) { return reinterpret_cast<void*>(static_cast<intptr_t>(fd)); }

// Requests the library writes pile up on the instrument's side; drained
// after every operation so the socket never fills.
void Drain(int fd) {
  unsigned char buf[512];
  while (recv(fd, buf, sizeof buf, MSG_DONTWAIT) > 0) {
  }
}

void RunOperation(uint8_t op, int host) {
  switch (op % 14) {
    case 0:  // a hand-over again: reads the record block into the cache
      ZervSetDeviceHandle(Handle(host));
      break;
    case 1: {
      int r[5];
      double value = 0;
      const int rc = ZervReadValue(&r[0], &r[1], &r[2], &r[3], &r[4], &value);
      Check(rc == 0 || rc == 2);
      if (rc == 0)
        for (int x : r) Check(x >= 0 && x <= 255);
      break;
    }
    case 2: {
      const int battery = ZervGetBatteryStatus();
      Check(battery == 0 || battery == 1);
      break;
    }
    case 3: {
      unsigned char request = 0x14, reply[64];
      int length = 64;
      const int rc = ZervSendCommandEx(&request, 1, reply, &length);
      Check(rc >= 0 && rc <= 2);
      Check(length >= 0 && length <= 64);
      break;
    }
    case 4: {
      unsigned char request[5] = {0x12, 0x55, 0xAA, 0x00, 0x00}, reply[64];
      const int rc = ZervSendCommand(request, 5, reply, 64);
      Check(rc >= 0 && rc <= 2);
      break;
    }
    case 5: {
      unsigned char info[4];
      ZervReadMfgInfo(info, 4);
      break;
    }
    case 6: {
      const unsigned char info[4] = {1, 2, 3, 4};
      ZervWriteMfgInfo(info, 4);
      break;
    }
    case 7: {
      std::vector<unsigned char> data(100);
      ZervSPIFlashReadEx(CHIP_FLASH_REGION_2, data.data(), 100, nullptr);
      break;
    }
    case 8: {
      std::vector<unsigned char> data(70, 0x5A);
      ZervSPIFlashWriteEx(CHIP_FLASH_REGION_2, data.data(), 70, nullptr);
      break;
    }
    case 9: {
      std::vector<unsigned char> data(40);
      ZervMemMapReadEx(MEMORY_MAP_REGION_3, data.data(), 40, nullptr);
      break;
    }
    case 10: {
      std::vector<unsigned char> data(33, 0xA5);
      ZervMemMapWriteEx(MEMORY_MAP_REGION_3, data.data(), 33, nullptr);
      break;
    }
    case 11:
      ZervStartLCMCalibration();
      break;
    case 12:
      ZervStopLCMCalibration(nullptr);
      break;
    default: {
      MODEL_INFORMATION model;
      HW_INFORMATION hw;
      ZervGetDeviceInformation(&model);
      ZervGetHWInformation(&hw);
      Check(hw.nFirmwareMain >= 0 && hw.nFirmwareMain <= 255);
      ZervSetDeviceInformation(&model, &hw);
      break;
    }
  }
  const char* serial = ZervGetSerialNumber();
  Check(serial != nullptr && std::strlen(serial) <= 20);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const size_t count = 1 + data[0] % 8;
  if (size < 1 + count) return 0;
  const uint8_t* ops = data + 1;
  size_t at = 1 + count;

  int pair[2];
  if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) return 0;
  const int instrument = pair[0], host = pair[1];
  // Enough room for every reply of an input and the requests in between.
  int room = 1 << 20;
  setsockopt(instrument, SOL_SOCKET, SO_SNDBUF, &room, sizeof room);
  setsockopt(host, SOL_SOCKET, SO_SNDBUF, &room, sizeof room);
  while (at < size) {
    size_t length = data[at++];
    if (length > size - at) length = size - at;
    if (send(instrument, data + at, length, MSG_DONTWAIT) < 0) break;
    at += length;
  }
  shutdown(instrument, SHUT_WR);  // the replies end here: later reads see the hang-up

  ZervSetDeviceHandle(Handle(host));  // reads the record block: the first reply
  Drain(instrument);
  for (size_t i = 0; i < count; ++i) {
    RunOperation(ops[i], host);
    Drain(instrument);
  }
  ZervSetDeviceHandle(Handle(-1));
  close(host);
  close(instrument);
  return 0;
}
