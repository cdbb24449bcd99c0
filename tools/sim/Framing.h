// Framing of the host's byte stream into requests.
//
// The instrument's requests carry no length field and no delimiter: the first
// byte (and for a few commands the next ones) says how long the request is.
// FrameLength() looks at the start of the receive buffer and tells the
// serving loop what it is looking at.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zsim {

// The request codes the instrument understands (first byte of a request).
enum : uint8_t {
  kCmdSetting = 0x00,      // 8 bytes, no reply
  kCmdBlock = 0x12,        // record blocks and flash packets
  kCmdStatus = 0x14,       // 1 byte, 64-byte reply
  kCmdHostControl = 0x43,  // 1 byte, no reply
  kCmdCalibration = 0x4D,  // 26 bytes, 26-byte reply
  kCmdLoader = 0x46,       // 'F' of "FWPS", "FWPW", "FWPR", "FWPU"
};

constexpr size_t kBlockSize = 64;
constexpr size_t kCalibrationSize = 26;
constexpr size_t kSettingSize = 8;
constexpr size_t kFlashHeaderSize = 8;
constexpr size_t kFlashMaxData = 32;
constexpr size_t kLoaderRowSize = 32;
constexpr size_t kLoaderFrameSize = 40;  // "FWPW"/"FWPR": 8-byte header + one row

// Looks at the first `size` bytes of the receive buffer.
//   > 0  the request starting there is that many bytes long (it may not have
//        arrived completely yet);
//     0  more bytes are needed before the length is known;
//    -1  the bytes there start no request (the model drops the rest of
//        the write they came in).
// Prefixes are checked as far as they have arrived, so a wrong second or
// third byte is rejected at once instead of after the frame time-out.
int FrameLength(const uint8_t* data, size_t size);

}  // namespace zsim
