// The instrument model: framing, command handlers and reply faults.
#include "InstrumentModel.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "Framing.h"

namespace zsim {

namespace {

using std::chrono::milliseconds;

constexpr uint32_t kSectorSize = 0x1000;  // erase opcode 0x20
constexpr uint32_t kBlockSize32 = 0x8000;  // erase opcode 0x52
constexpr uint8_t kEraseSector = 0x20;
constexpr uint8_t kEraseBlock = 0x52;
constexpr size_t kStatusSize = 64;
constexpr char kForeignMarker[3] = {'X', 'Y', 'Z'};

std::array<uint8_t, 64> DefaultRecordBlock() {
  std::array<uint8_t, 64> b{};
  const uint8_t header[5] = {kCmdBlock, 0x55, 0xAA, 0x00, 0x00};
  std::memcpy(b.data(), header, 5);
  b[5] = 'V';
  b[6] = 'R';
  b[7] = 'X';
  b[8] = 21;
  b[9] = 7;
  b[10] = 3;
  b[11] = 300 >> 8;
  b[12] = 300 & 0xFF;
  b[13] = 5;
  b[14] = 3;
  b[15] = 2;
  return b;
}

std::array<uint8_t, 64> DefaultManufacturingBlock() {
  std::array<uint8_t, 64> b{};
  const uint8_t header[5] = {kCmdBlock, 0x55, 0xAA, 0x00, 0x01};
  std::memcpy(b.data(), header, 5);
  b[60] = 0x24;
  b[61] = 0x05;
  b[62] = 0x17;
  b[63] = 0x01;
  return b;
}

std::array<uint8_t, 24> DefaultCalibrationResult() {
  std::array<uint8_t, 24> r{};
  for (size_t i = 0; i < r.size(); ++i) r[i] = static_cast<uint8_t>(0xC0 + i);
  return r;
}

// "FWPS" and "FWPU" are 4 bytes; only "FWPW" and "FWPR" carry a row offset.
size_t RowOffset(const uint8_t* frame) { return (size_t{frame[6]} << 8) | frame[7]; }

}  // namespace

std::string Hex(const uint8_t* data, size_t size, size_t limit) {
  std::string text;
  char buf[4];
  for (size_t i = 0; i < size && i < limit; ++i) {
    std::snprintf(buf, sizeof buf, i ? " %02X" : "%02X", data[i]);
    text += buf;
  }
  if (size > limit) text += " ...";
  return text;
}

InstrumentState::InstrumentState()
    : blocks{DefaultRecordBlock(), DefaultManufacturingBlock()}, calibrationResult(DefaultCalibrationResult()) {}

// ---- byte stream ----

void InstrumentModel::Feed(const uint8_t* data, size_t size, Clock::time_point now, Output& out) {
  if (leaving_) return;
  rx_.insert(rx_.end(), data, data + size);
  lastRx_ = now;
  // Cuts complete requests off the front of the receive buffer.
  size_t pos = 0;
  while (!leaving_ && pos < rx_.size()) {
    const int length = FrameLength(rx_.data() + pos, rx_.size() - pos);
    if (length < 0) {
      // A byte that starts no request, or a request whose first bytes are
      // wrong: the rest of this write is dropped with it, as a USB device
      // drops a bad packet, instead of hunting for a request inside data.
      NoteDropped(pos, out);
      rx_.resize(pos);
      break;
    }
    if (length == 0 || rx_.size() - pos < static_cast<size_t>(length)) break;
    Handle(rx_.data() + pos, static_cast<size_t>(length), now, out);
    pos += static_cast<size_t>(length);
  }
  if (leaving_)
    rx_.clear();  // bytes after "FWPU" go to an instrument that is leaving
  else
    rx_.erase(rx_.begin(), rx_.begin() + static_cast<std::ptrdiff_t>(pos));
}

void InstrumentModel::NoteDropped(size_t at, Output& out) {
  const size_t count = rx_.size() - at;
  droppedBytes_ += count;
  out.Note("dropped " + std::to_string(count) + " byte(s) from a byte that starts no request: " +
           Hex(rx_.data() + at, count));
}

void InstrumentModel::ExpireFrame(Clock::time_point now, Output& out) {
  if (!rx_.empty() && now - lastRx_ >= kFrameTimeout) {
    ++droppedFrames_;
    out.Note("dropped incomplete frame after 100 ms: " + Hex(rx_.data(), rx_.size()));
    rx_.clear();
  }
}

Clock::time_point InstrumentModel::FrameDeadline() const {
  return rx_.empty() ? Clock::time_point::max() : lastRx_ + kFrameTimeout;
}

// Fresh-terminal state: what a power-up of the instrument resets.
void InstrumentModel::PowerUp() {
  rx_.clear();
  busyUntil_ = Clock::time_point{};
  leaving_ = false;
  state.hostControl = false;
  state.inLoader = false;
  state.calibrating = false;
}

void InstrumentModel::ClearFaults() {
  faults.drop = faults.delay = faults.truncate = faults.split = faults.garbage = Knob{};
  faults.silent = false;
  faults.foreign = false;
  timing.slowestFlash = false;
  state.flash.DisarmCorruptions();
  state.memMap.DisarmCorruptions();
  state.ispFaults.clear();
}

// ---- replies ----

void InstrumentModel::Answer(std::vector<uint8_t> bytes, Clock::time_point now, Output& out) {
  // Every knob counts every reply, so "the next N replies" means the same
  // replies whichever knobs are set together.
  const bool dropIt = faults.drop.Take();
  const bool delayIt = faults.delay.Take();
  const bool truncateIt = faults.truncate.Take();
  const bool garbleIt = faults.garbage.Take();
  const bool splitIt = faults.split.Take();
  Reply reply;
  if (timing.real) {
    // The request waits for the work of those before it, then does its own;
    // the reply is seen a USB frame after that (a dropped one still took
    // the instrument its time).
    busyUntil_ = std::max(now, busyUntil_) + work_;
    reply.delay = std::chrono::duration_cast<std::chrono::microseconds>(busyUntil_ - now) + kUsbFrame;
    reply.packet = kUsbPacketSize;
    reply.packetGap = kUsbFrame;
  }
  if (dropIt) {
    out.Note("reply dropped");
    return;
  }
  if (delayIt) reply.delay += milliseconds(faults.delayMs);
  if (truncateIt && bytes.size() > faults.truncateLength) bytes.resize(faults.truncateLength);
  if (garbleIt) {
    // XOR with a non-zero byte: every byte differs from the true reply, so
    // a garbled reply can never pass for a valid one.
    for (auto& b : bytes) b ^= static_cast<uint8_t>(1 + rng_() % 255);
  }
  if (bytes.empty()) {
    out.Note("reply truncated to nothing");
    return;
  }
  if (splitIt && faults.splitFirst > 0 && faults.splitFirst < bytes.size()) {
    reply.firstPart = faults.splitFirst;
    reply.gap = milliseconds(faults.splitGapMs);
  }
  reply.bytes = std::move(bytes);
  out.Send(std::move(reply), now);
}

// ---- requests ----

void InstrumentModel::Handle(const uint8_t* frame, size_t size, Clock::time_point now, Output& out) {
  out.Request(frame, size, now);
  if (faults.silent) return;
  work_ = std::chrono::microseconds(0);

  // The loader is a mode: in it only the loader's own requests and the SPI
  // flash packets are carried out; outside it the loader takes nothing but
  // "FWPS".
  const bool loaderRequest = frame[0] == kCmdLoader;
  if (state.inLoader) {
    const bool flash = frame[0] == kCmdBlock && frame[1] == 'Q';
    if (!loaderRequest && !flash) {
      out.Note("not answered in the loader: " + Hex(frame, size, 8));
      return;
    }
  } else if (loaderRequest && frame[3] != 'S') {
    out.Note("not answered outside the loader: " + Hex(frame, size, 8));
    return;
  }

  switch (frame[0]) {
    case kCmdHostControl:
      state.hostControl = true;
      return;
    case kCmdSetting: {
      std::array<uint8_t, 8> s;
      std::memcpy(s.data(), frame, 8);
      if (state.settings.size() >= kSettingsCap) state.settings.pop_front();
      state.settings.push_back(s);
      // The instrument's own model of a setting: its five argument bytes
      // become the five report bytes of the status reply.
      std::copy(frame + 1, frame + 1 + state.report.size(), state.report.begin());
      return;
    }
    case kCmdStatus:
      Answer(StatusReply(now), now, out);
      return;
    case kCmdCalibration:
      Calibration(frame, now, out);
      return;
    case kCmdBlock:
      if (frame[1] == 0x55)
        RecordBlock(frame, now, out);
      else
        FlashPacket(frame, now, out);
      return;
    case kCmdLoader:
      Loader(frame, now, out);
      return;
    default:
      return;  // FrameLength() accepts nothing else
  }
}

uint16_t InstrumentModel::MeasuredRaw(Clock::time_point now) const {
  if (!state.autoValue) return state.raw;
  const double t = std::chrono::duration<double>(now - state.epoch).count();
  const double amplitude = std::max(1.0, state.raw / 5.0);
  const double value = state.raw + amplitude * std::sin(2.0 * M_PI * t / 20.0);
  return static_cast<uint16_t>(std::clamp(std::lround(value), 0L, 65535L));
}

std::vector<uint8_t> InstrumentModel::StatusReply(Clock::time_point now) const {
  std::vector<uint8_t> r(kStatusSize, 0);
  r[0] = kCmdStatus;
  std::copy(state.report.begin(), state.report.end(), r.begin() + 1);
  const uint16_t value = MeasuredRaw(now);
  r[25] = static_cast<uint8_t>(value >> 8);
  r[26] = static_cast<uint8_t>(value & 0xFF);
  r[29] = state.flags;
  return r;
}

void InstrumentModel::Calibration(const uint8_t* frame, Clock::time_point now, Output& out) {
  std::vector<uint8_t> r(kCalibrationSize, 0);
  r[0] = kCmdCalibration;
  r[1] = frame[1];
  if (frame[1] == 0x01) {
    state.calibrating = true;
  } else if (frame[1] == 0x00) {
    state.calibrating = false;  // a stop without a start is answered the same way
    std::copy(state.calibrationResult.begin(), state.calibrationResult.end(), r.begin() + 2);
  } else {
    out.Note("unknown calibration operation " + Hex(frame + 1, 1));
  }
  Answer(std::move(r), now, out);
}

void InstrumentModel::RecordBlock(const uint8_t* frame, Clock::time_point now, Output& out) {
  const uint8_t which = frame[4];
  if (which > 1) {
    out.Note("ignored request for unknown block " + std::to_string(which));
    return;
  }
  auto& block = state.blocks[which];
  if (frame[3] != 0x00 && which == 0 && std::memcmp(frame + 5, block.data() + 5, 3) != 0) {
    out.Note("refused a record write that changes the product marker to " + Hex(frame + 5, 3));
    return;
  }
  if (frame[3] == 0x00) {
    std::vector<uint8_t> r(block.begin(), block.end());
    if (which == 0 && faults.foreign) std::memcpy(r.data() + 5, kForeignMarker, 3);
    Answer(std::move(r), now, out);
    return;
  }
  // A write: stored as sent, with the operation byte back at 0x00 so that a
  // later read carries the same header as any block read.
  std::memcpy(block.data(), frame, kBlockSize);
  block[3] = 0x00;
  Answer(std::vector<uint8_t>(block.begin(), block.end()), now, out);
}

void InstrumentModel::FlashPacket(const uint8_t* frame, Clock::time_point now, Output& out) {
  NorMemory& memory = frame[1] == 'Q' ? state.flash : state.memMap;
  const uint32_t address = (uint32_t{frame[5]} << 16) | (uint32_t{frame[6]} << 8) | frame[7];
  std::vector<uint8_t> r(kBlockSize, 0);
  std::copy(frame, frame + kFlashHeaderSize, r.begin());  // bytes 0..7 echo the request
  const size_t n = size_t{frame[4]} + 1;
  switch (frame[3]) {
    case 'R':
      if (n > kFlashMaxData) {
        out.Note("refused a read of " + std::to_string(n) + " bytes, more than one packet");
        return;
      }
      memory.Read(address, r.data() + kFlashHeaderSize, n);
      break;
    case 'W':  // the framing takes no write of more than one packet
      memory.Program(address, frame + kFlashHeaderSize, n);
      memory.Read(address, r.data() + kFlashHeaderSize, n);  // what the chip now holds
      work_ = ProgramTime();
      break;
    case 'E':
      work_ = EraseTime(frame[4]);
      if (frame[4] == kEraseSector) {
        memory.Erase(address, kSectorSize);
      } else if (frame[4] == kEraseBlock) {
        memory.Erase(address, kBlockSize32);
      } else {
        out.Note("refused unknown erase opcode " + Hex(frame + 4, 1) + ", nothing erased");
        return;
      }
      break;
  }
  Answer(std::move(r), now, out);
}

void InstrumentModel::Loader(const uint8_t* frame, Clock::time_point now, Output& out) {
  switch (frame[3]) {
    case 'S': {
      state.inLoader = true;
      work_ = kLoaderEnter;
      std::vector<uint8_t> r(kLoaderFrameSize, 0);
      std::memcpy(r.data(), "FWPS", 4);
      Answer(std::move(r), now, out);
      return;
    }
    case 'W': {
      if (!RowRequestValid(frame, out)) return;
      const size_t offset = RowOffset(frame);
      for (size_t i = 0; i < kLoaderRowSize; ++i) {
        const size_t at = (offset + i) % kIspSize;
        uint8_t value = frame[8 + i];
        auto fault = state.ispFaults.find(at);
        if (fault != state.ispFaults.end()) {
          value ^= fault->second;
          state.ispFaults.erase(fault);
        }
        state.isp[at] = value;
      }
      work_ = kLoaderRowWrite;
      Answer(LoaderRowReply(frame, offset), now, out);
      return;
    }
    case 'R':
      if (!RowRequestValid(frame, out)) return;
      Answer(LoaderRowReply(frame, RowOffset(frame)), now, out);
      return;
    case 'U':
      out.Note("leaving the loader: restart");
      leaving_ = true;
      out.Restart();
      return;
  }
}

// A row request carries 00 A0 in bytes 4 and 5 and a whole row's offset;
// a read carries 32 zero bytes in place of the row. Anything else is
// refused without a reply.
bool InstrumentModel::RowRequestValid(const uint8_t* frame, Output& out) const {
  bool valid = frame[4] == 0x00 && frame[5] == 0xA0 && RowOffset(frame) % kLoaderRowSize == 0;
  if (frame[3] == 'R')
    valid = valid && std::all_of(frame + 8, frame + kLoaderFrameSize, [](uint8_t b) { return b == 0; });
  if (!valid) out.Note("refused a malformed row request: " + Hex(frame, 8));
  return valid;
}

// ---- real timing ----

std::chrono::microseconds InstrumentModel::EraseTime(uint8_t opcode) const {
  if (opcode == kEraseSector) return timing.slowestFlash ? kSectorEraseMaximum : kSectorEraseTypical;
  if (opcode == kEraseBlock) return timing.slowestFlash ? kBlockEraseMaximum : kBlockEraseTypical;
  return std::chrono::microseconds(0);  // unknown opcode: nothing erased
}

std::chrono::microseconds InstrumentModel::ProgramTime() const {
  return timing.slowestFlash ? kProgramMaximum : kProgramTypical;
}

std::vector<uint8_t> InstrumentModel::LoaderRowReply(const uint8_t* frame, size_t offset) const {
  std::vector<uint8_t> r(kLoaderFrameSize, 0);
  std::copy(frame, frame + 8, r.begin());
  for (size_t i = 0; i < kLoaderRowSize; ++i) r[8 + i] = state.isp[(offset + i) % kIspSize];
  return r;
}

}  // namespace zsim
