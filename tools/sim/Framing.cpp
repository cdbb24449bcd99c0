#include "Framing.h"

#include <cstring>

namespace zsim {

namespace {

// True while the bytes that have arrived agree with `prefix`.
bool PrefixMatches(const uint8_t* data, size_t size, const char* prefix, size_t prefixLength) {
  size_t n = size < prefixLength ? size : prefixLength;
  return std::memcmp(data, prefix, n) == 0;
}

// 0x12 requests: 0x55 0xAA selects the record blocks, "QF" and "LM" the two
// flash-like memories; byte 3 is the operation.
int BlockFrameLength(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint8_t second = data[1];
  if (second != 0x55 && second != 'Q' && second != 'L') return -1;
  if (size < 3) return 0;
  const bool record = second == 0x55 && data[2] == 0xAA;
  const bool memory = (second == 'Q' && data[2] == 'F') || (second == 'L' && data[2] == 'M');
  if (!record && !memory) return -1;
  if (size < 4) return 0;
  const uint8_t op = data[3];
  if (record) {
    if (op == 0x00) return 5;
    if (op == 0xFF) return static_cast<int>(kBlockSize);
    return -1;
  }
  if (op == 'R' || op == 'E') return static_cast<int>(kFlashHeaderSize);
  if (op != 'W') return -1;
  if (size < 5) return 0;
  const size_t n = static_cast<size_t>(data[4]) + 1;
  if (n > kFlashMaxData) return -1;
  return static_cast<int>(kFlashHeaderSize + n);
}

int LoaderFrameLength(const uint8_t* data, size_t size) {
  if (!PrefixMatches(data, size, "FWP", 3)) return -1;
  if (size < 4) return 0;
  switch (data[3]) {
    case 'S':
    case 'U':
      return 4;
    case 'W':
    case 'R':
      return static_cast<int>(kLoaderFrameSize);
    default:
      return -1;
  }
}

}  // namespace

int FrameLength(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  switch (data[0]) {
    case kCmdHostControl:
    case kCmdStatus:
      return 1;
    case kCmdSetting:
      return static_cast<int>(kSettingSize);
    case kCmdCalibration:
      return static_cast<int>(kCalibrationSize);
    case kCmdBlock:
      return BlockFrameLength(data, size);
    case kCmdLoader:
      return LoaderFrameLength(data, size);
    default:
      return -1;
  }
}

}  // namespace zsim
