// The virtual instrument's model: what the instrument does with the bytes
// the host sends, with no terminal, thread or clock of its own.
//
// Feed() takes the host's bytes in the order they arrived, cuts them into
// requests (Framing.h), carries each complete request out against the
// instrument's state and reports, through an Output, every request and the
// reply it gave, one request after the other. One Feed() is one write of the
// host as the instrument receives it (a USB packet): a byte that starts no
// request drops the rest of its write.
//
// The instrument is in one of two modes. In application mode it answers
// everything but "FWPW", "FWPR" and "FWPU"; "FWPS" puts it in its loader,
// where only the loader's requests and the SPI flash packets ("QF") are
// carried out, until "FWPU" restarts it in application mode. Requests
// outside their mode, and malformed ones (an unknown block or erase opcode,
// a read of more than 32 bytes, a row request with other bytes than the
// loader's, a record write that changes the product marker), are reported
// but neither carried out nor answered. A reply says when and how it
// leaves: how long after its request, and whether in two parts with a gap
// between. Writing it at that time is the caller's business (the terminal
// transport, or a test that only looks at it).
//
// Time only ever comes in as a parameter: the time the bytes arrived, the
// time the incomplete-frame time-out is checked at, the time the status
// value is read at (state.epoch is the start of its sine).
//
// Timing (below): instant answers every request as soon as it is complete;
// real gives each reply the time the real instrument takes, on its USB
// full-speed link and with the typical figures of a 16 Mbit SPI NOR chip.
//
// The state and the fault knobs are plain data that callers may read and
// change between calls. Nothing here is thread-safe: one caller at a time
// (in the virtual instrument, whoever holds the terminal transport's lock).
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "NorMemory.h"

namespace zsim {

using Clock = std::chrono::steady_clock;

constexpr size_t kFlashSize = size_t{2} << 20;    // SPI flash, 2 MiB
constexpr size_t kMemMapSize = size_t{16} << 20;  // display memory map, the whole 24-bit space
constexpr size_t kIspSize = size_t{64} << 10;     // loader image, 16-bit row offsets
constexpr auto kFrameTimeout = std::chrono::milliseconds(100);

// ---- real timing ----
// USB full speed: the host polls the instrument's bulk IN endpoint once per
// 1 ms frame, and a packet carries at most 64 bytes. A reply is therefore
// seen one frame after the instrument has it ready, never sooner, and the
// endpoint carries one packet per frame: a reply longer than 64 bytes (or
// several replies queued together) leaves as 64-byte packets a frame apart.
constexpr auto kUsbFrame = std::chrono::microseconds(1000);
constexpr size_t kUsbPacketSize = 64;
// SPI NOR flash (both memories), from the datasheet of a common 16 Mbit
// part: typical and maximum times. The reply to an erase or a write comes
// when the chip is done; a read takes no time worth counting (32 bytes at
// the SPI clock are microseconds).
constexpr auto kSectorEraseTypical = std::chrono::microseconds(45000);    // 4 KiB
constexpr auto kSectorEraseMaximum = std::chrono::microseconds(400000);
constexpr auto kBlockEraseTypical = std::chrono::microseconds(120000);    // 32 KiB
constexpr auto kBlockEraseMaximum = std::chrono::microseconds(1600000);
constexpr auto kProgramTypical = std::chrono::microseconds(700);          // one packet, up to 32 bytes
constexpr auto kProgramMaximum = std::chrono::microseconds(3000);
// The loader (the instrument's own microcontroller flash): entering it
// stops the application and answers after 10 ms; a row write erases and
// programs the row in the controller's flash, about 3 ms; a row read takes
// no time worth counting. After "FWPU" the instrument resets and enumerates
// again: its port is gone at once and back 1.5 s later (kRealRestartDelay).
constexpr auto kLoaderEnter = std::chrono::microseconds(10000);
constexpr auto kLoaderRowWrite = std::chrono::microseconds(3000);
constexpr unsigned kRealRestartDelayMs = 1500;
constexpr unsigned kInstantRestartDelayMs = 1000;

// Which timing the model applies.
struct ReplyTiming {
  bool real = false;         // false: instant, every reply at once (the delay knob aside)
  bool slowestFlash = false;  // fault knob, real timing only: every erase and program takes the maximum
};

// Bytes as hex for notes and traces: "12 55 AA", cut after `limit` bytes.
std::string Hex(const uint8_t* data, size_t size, size_t limit = 80);

// A reply as it leaves the instrument.
struct Reply {
  std::vector<uint8_t> bytes;  // never empty
  // Due this long after its request was complete. Replies leave in order,
  // so every later reply waits behind a delayed one.
  std::chrono::microseconds delay{0};
  // 0: one write. Otherwise the first `firstPart` bytes (fewer than all),
  // then the rest `gap` after the first part is out.
  size_t firstPart = 0;
  std::chrono::milliseconds gap{0};
  // 0: written as it is. Otherwise the bytes leave in packets of at most
  // `packet` bytes (counted from the start of each part), every packet at
  // least `packetGap` after the packet written before it, of this reply or
  // an earlier one (real timing: the USB endpoint, one packet per frame).
  size_t packet = 0;
  std::chrono::microseconds packetGap{0};
};

// A count-based fault knob: applies to the next `count` replies, to every
// reply while `count` is negative, to none at 0.
struct Knob {
  int count = 0;
  bool Take() {
    if (count == 0) return false;
    if (count > 0) --count;
    return true;
  }
};

// How the instrument misbehaves. Every knob counts every reply, so knobs set
// together hit the same replies: a dropped reply is never sent; otherwise it
// is delayed, then truncated, then garbled, then split.
struct Faults {
  Knob drop, delay, truncate, split, garbage;
  unsigned delayMs = 0;
  size_t truncateLength = 0;
  size_t splitFirst = 0;
  unsigned splitGapMs = 0;
  bool silent = false;   // requests are framed and reported but neither carried out nor answered
  bool foreign = false;  // block-0 replies carry the marker "XYZ"
};

// What the instrument holds. Fresh: the defaults VirtualInstrument.h lists.
struct InstrumentState {
  InstrumentState();

  std::array<std::array<uint8_t, 64>, 2> blocks;  // 0 = device record, 1 = manufacturing
  std::array<uint8_t, 5> report{3, 0, 0, 0, 0};  // bytes 1..5 of the last setting
  uint16_t raw = 1234;
  bool autoValue = false;
  uint8_t flags = 0;
  Clock::time_point epoch{};  // the status value's sine starts here
  std::deque<std::array<uint8_t, 8>> settings;  // the last kSettingsCap setting requests
  bool hostControl = false;
  std::array<uint8_t, 24> calibrationResult;
  bool calibrating = false;
  NorMemory flash{kFlashSize};
  NorMemory memMap{kMemMapSize};
  std::vector<uint8_t> isp = std::vector<uint8_t>(kIspSize, 0xFF);
  std::map<size_t, uint8_t> ispFaults;  // image offset -> XOR mask, one shot each
  bool inLoader = false;
};

class InstrumentModel {
 public:
  // Where the model's results go, in the order they happen.
  class Output {
   public:
    virtual ~Output() = default;
    // A complete request, before it is carried out (also when silent).
    virtual void Request(const uint8_t* frame, size_t size, Clock::time_point now) = 0;
    // The reply to the request just reported; `requestDone` is when that
    // request was complete.
    virtual void Send(Reply reply, Clock::time_point requestDone) = 0;
    // "FWPU": the instrument leaves the loader and restarts. It takes no
    // more bytes until PowerUp().
    virtual void Restart() = 0;
    // One line about a notable event (bytes dropped, frame dropped, reply
    // dropped, request refused).
    virtual void Note(std::string text) = 0;
  };

  // An Output that keeps everything, for driving the model directly.
  struct Recorder : Output {
    std::vector<std::vector<uint8_t>> requests;
    std::vector<Reply> replies;
    std::vector<std::string> notes;
    bool restarted = false;
    void Request(const uint8_t* frame, size_t size, Clock::time_point) override {
      requests.emplace_back(frame, frame + size);
    }
    void Send(Reply reply, Clock::time_point) override { replies.push_back(std::move(reply)); }
    void Restart() override { restarted = true; }
    void Note(std::string text) override { notes.push_back(std::move(text)); }
  };

  static constexpr size_t kSettingsCap = 10000;

  InstrumentState state;
  Faults faults;
  ReplyTiming timing;

  // Bytes from the host that arrived at `now`. Complete requests are
  // carried out at once; the rest of a request waits for the next bytes.
  void Feed(const uint8_t* data, size_t size, Clock::time_point now, Output& out);
  // Drops an incomplete request once kFrameTimeout has passed since the
  // last bytes arrived.
  void ExpireFrame(Clock::time_point now, Output& out);
  // When ExpireFrame() next has something to do; time_point::max() if never.
  Clock::time_point FrameDeadline() const;
  // Forgets bytes of a request not yet complete (the line went away).
  void ClearInput() { rx_.clear(); }
  // A power-up: no partial request, no host control, not in the loader,
  // not calibrating; bytes are taken again after a restart.
  void PowerUp();

  // The value the next status reply at `now` carries.
  uint16_t MeasuredRaw(Clock::time_point now) const;

  // Every fault off, the one-shot memory and loader corruptions and the
  // slowest-flash knob too.
  void ClearFaults();

  size_t DroppedBytes() const { return droppedBytes_; }    // bad bytes and the rest of their writes
  size_t DroppedFrames() const { return droppedFrames_; }  // incomplete requests dropped
  void ClearCounters() { droppedBytes_ = droppedFrames_ = 0; }

 private:
  void NoteDropped(size_t at, Output& out);
  void Handle(const uint8_t* frame, size_t size, Clock::time_point now, Output& out);
  void Answer(std::vector<uint8_t> bytes, Clock::time_point now, Output& out);
  std::chrono::microseconds EraseTime(uint8_t opcode) const;
  std::chrono::microseconds ProgramTime() const;
  std::vector<uint8_t> StatusReply(Clock::time_point now) const;
  void Calibration(const uint8_t* frame, Clock::time_point now, Output& out);
  void RecordBlock(const uint8_t* frame, Clock::time_point now, Output& out);
  void FlashPacket(const uint8_t* frame, Clock::time_point now, Output& out);
  void Loader(const uint8_t* frame, Clock::time_point now, Output& out);
  bool RowRequestValid(const uint8_t* frame, Output& out) const;
  std::vector<uint8_t> LoaderRowReply(const uint8_t* frame, size_t offset) const;

  std::vector<uint8_t> rx_;  // bytes of requests not yet complete
  Clock::time_point lastRx_;
  bool leaving_ = false;  // "FWPU" seen: no more bytes until PowerUp()
  // Real timing: the work of the request being handled (set by its handler),
  // and when the instrument is done with the work of the requests before,
  // which a new request waits for.
  std::chrono::microseconds work_{0};
  Clock::time_point busyUntil_{};
  size_t droppedBytes_ = 0;
  size_t droppedFrames_ = 0;
  std::minstd_rand rng_{20240517u};
};

}  // namespace zsim
