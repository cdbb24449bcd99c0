// The virtual instrument: a simulated Zervon instrument that serves the
// instrument's command protocol on a pseudo-terminal, so that the library,
// its tests, the demo and the benchmarks can run without hardware.
//
// The host opens SlavePath() (or a node link made with Plug()) exactly as it
// opens the real port, and configures it as it must configure the real port
// (see SetRawTerminal). A serving thread answers every request with the bytes
// the real instrument sends, keeps the instrument's state (record blocks,
// SPI flash, display memory map, loader image, settings, calibration), and
// can be told to misbehave in the ways a real connection does (lost, late,
// short, split or garbled replies, a foreign device, a silent one).
//
// Every member function is thread-safe and may be called while the
// instrument serves. Several instances can serve in one process.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "WireLog.h"  // WireRecord

namespace zsim {

// How long the instrument takes to answer (the figures are in
// InstrumentModel.h). Instant: every reply as soon as its request is
// complete, the way the fast tests want it. Real: the time a real
// instrument takes: a reply is seen no sooner than one 1 ms USB frame after
// its request, in 64-byte packets one frame apart; erases and flash writes
// are answered when the chip is done (typical figures of a 16 Mbit SPI NOR
// part: 4 KiB sector 45 ms, 32 KiB block 120 ms, a packet of up to 32 bytes
// 0.7 ms); the loader answers after 10 ms on entry and 3 ms per written
// row; and after leaving the loader the instrument is back 1.5 s later
// (unless SetRestartDelayMs chose another time). A request waits for the
// work of the requests before it.
enum class Timing { Instant, Real };

class VirtualInstrument {
 public:
  // Defaults: marker "VRX", serial groups 21, 07, 03, 300, hardware code 5,
  // firmware 3.2, report bytes 3,0,0,0,0, measured value raw 1234 (12.34),
  // battery good, manufacturing information 24 05 17 01, restart delay
  // 1000 ms, both memories and the loader image erased (0xFF).
  VirtualInstrument();
  ~VirtualInstrument();  // Stop()
  VirtualInstrument(const VirtualInstrument&) = delete;
  VirtualInstrument& operator=(const VirtualInstrument&) = delete;

  // ---- terminal ----
  bool Start();  // open a pseudo-terminal and serve; false on failure; true if already serving
  void Stop();   // hang up (after the grace time), remove the node link, end the thread; idempotent
  std::string SlavePath() const;  // e.g. "/dev/pts/5"; changes when a new terminal is up after a restart/replug
  bool Serving() const;           // a terminal is open (false while unplugged or restarting)
  // Opens SlavePath() the way an application opens the instrument's port
  // (O_RDWR|O_NOCTTY|O_NONBLOCK|O_CLOEXEC) and applies the settings the
  // library applies to it (raw, 115200). Returns the descriptor (the caller
  // closes it) or -1.
  int OpenHostPort() const;
  // How each new terminal (at Start, Replug, the restart after the loader)
  // starts. By default it has the kernel's defaults for a terminal, as a
  // freshly plugged USB serial port has (canonical input, echo, CR/NL
  // translation, output processing, XON/XOFF), and keeps them until a host
  // changes them: whoever opens it must configure it, or the exchanges fail
  // as they would on the real port (and the host's echo of the replies
  // reaches the instrument as host bytes). Raw: each new terminal is made
  // raw at 115200 at once, for programs that never configure a port. Takes
  // effect with the next new terminal.
  void SetRawTerminal(bool raw);

  // ---- device node ----
  // Makes `node` a symbolic link to the terminal, replacing an existing link
  // (never a file or device that is not a link). During a restart the link
  // is made when the new terminal is up. False when no terminal is serving
  // or the link cannot be made.
  bool Plug(const std::string& node);
  // Removes the node link and hangs the terminal up (after the grace time);
  // returns once the terminal is closed.
  void Unplug();
  // Unplugs if needed, opens a fresh terminal and links `node` to it.
  // Starts serving first when the instrument was not started.
  bool Replug(const std::string& node);
  std::string NodePath() const;  // the node link name, empty when not plugged

  // ---- record blocks (0 = device record, 1 = manufacturing) ----
  // Bytes 0..4 of a block are the header of its read reply, 12 55 AA 00 <n>.
  // A block written by the host is stored as sent except byte 3, which is
  // kept at 0x00; the write is answered with the stored block. A write of
  // block 0 that would change its product marker (bytes 5..7) is refused
  // without a reply; other block numbers get no reply.
  std::array<uint8_t, 64> Block(int n) const;  // zeros for n other than 0 or 1
  void SetBlock(int n, const std::array<uint8_t, 64>& bytes);  // stored as given
  void SetMarker(const char marker[3]);                         // bytes 5..7
  void SetSerial(uint8_t g1, uint8_t g2, uint8_t g3, uint16_t g4);  // bytes 8, 9, 10, 11..12 BE
  void SetHWCode(uint8_t code);                                 // byte 13
  void SetFirmware(uint8_t mainVer, uint8_t subVer);            // bytes 14, 15
  void SetMfgInfo(const std::array<uint8_t, 4>& info);          // block 1 bytes 60..63
  // A foreign device: block-0 replies carry the marker "XYZ" in place of the
  // stored one (the stored block is not changed).
  void SetForeign(bool foreign);

  // ---- status report ----
  // Reply bytes 1..5. Every setting request sets them too, to its bytes
  // 1..5 (the instrument's own model of a setting).
  void SetReportBytes(const std::array<uint8_t, 5>& bytes);
  void SetMeasuredRaw(uint16_t raw);                          // fixed value (switches auto mode off)
  // Auto mode: the value follows a slow sine (period 20 s, amplitude a fifth
  // of the last fixed value) around the last fixed value.
  void SetMeasuredAuto(bool on);
  void SetBatteryLow(bool low);        // bit 2 of byte 29
  void SetStatusFlags(uint8_t flags);  // byte 29 as a whole
  uint16_t MeasuredRaw() const;        // the value the next status reply carries
  std::vector<std::array<uint8_t, 8>> Settings() const;  // setting requests received, in order (last 10000)
  void ClearSettings();
  bool HostControl() const;  // 0x43 seen since start, restart or replug

  // ---- calibration ----
  void SetCalibrationResult(const std::array<uint8_t, 24>& result);  // stop reply bytes 2..25
  bool Calibrating() const;  // started and not stopped

  // ---- memories (SPI flash: 2 MiB, addresses wrap; memory map: 16 MiB) ----
  std::vector<uint8_t> ReadFlash(uint32_t address, size_t length) const;
  void LoadFlash(uint32_t address, const std::vector<uint8_t>& bytes);  // raw store, no NOR rule
  std::vector<uint8_t> ReadMemMap(uint32_t address, size_t length) const;
  void LoadMemMap(uint32_t address, const std::vector<uint8_t>& bytes);
  // One-shot faults: the next host write covering `address` stores the
  // byte XORed with `xorMask` (after the NOR rule), so verification fails.
  void CorruptFlashOnWrite(uint32_t address, uint8_t xorMask);
  void CorruptMemMapOnWrite(uint32_t address, uint8_t xorMask);

  // ---- loader ----
  std::vector<uint8_t> IspImage() const;  // rows stored by "FWPW" (64 KiB, 0xFF where never written)
  // One-shot fault: the next "FWPW" covering image offset `offset` stores
  // that byte XORed with `xorMask`.
  void CorruptIspOnWrite(uint32_t offset, uint8_t xorMask);
  // The loader is a mode: "FWPW", "FWPR" and "FWPU" are answered only after
  // "FWPS"; in the loader only they and the SPI flash packets are, not the
  // status, setting, calibration, host-control or record requests. Row
  // requests whose offset is no multiple of 32, whose bytes 4..5 are not
  // 00 A0, or (reads) whose row bytes are not zero get no reply.
  bool InLoader() const;  // "FWPS" seen and no restart since
  // Time without a terminal after "FWPU" (default: 1000 ms with instant
  // timing, 1500 ms with real timing); once set, it stays whatever the timing.
  void SetRestartDelayMs(unsigned ms);
  // The node a restart comes back under (e.g. "/dev/ttyACM1" where it was
  // "/dev/ttyACM0"), for every later restart; empty (the default): the same.
  void SetRestartNode(const std::string& node);
  // How long the old node stays after a restart hangs up (default 0): its
  // link stays, listed but leading to the terminal that is gone (an open
  // fails), until the time is up or a new terminal takes the name over.
  void SetNodeLingerMs(unsigned ms);
  int RestartCount() const;             // restarts completed (new terminal up)
  bool WaitForRestarts(int count, unsigned timeoutMs) const;

  // ---- timing ----
  void SetTiming(Timing timing);  // default Instant; takes effect from the next request
  Timing GetTiming() const;
  // Fault knob of the real timing: every erase and flash write takes the
  // chip's maximum time (4 KiB sector 400 ms, 32 KiB block 1600 ms, a
  // packet 3 ms) instead of the typical one, until switched off.
  void SetSlowestFlash(bool on);

  // ---- faults ----
  // Each count-based knob applies to the next `count` replies (requests that
  // have no reply do not count); a negative count applies it to every reply
  // until the knob is set again; 0 switches it off. Every active knob counts
  // every reply, so knobs set together hit the same replies: a dropped reply
  // is never written; otherwise it is delayed, then truncated, then garbled,
  // then split. Requests whose replies are dropped still take effect.
  void DropReplies(int count);
  // Delayed replies model a busy instrument: they stay in order, so every
  // later reply waits behind a delayed one (it never overtakes it).
  void DelayReplies(int count, unsigned ms);
  void TruncateReplies(int count, size_t length);
  void SplitReplies(int count, size_t firstPart, unsigned gapMs);
  void GarbageReplies(int count);  // same length, every byte different from the true reply
  // Silent: requests are still framed and logged but not carried out and
  // never answered, until switched off.
  void SetSilent(bool silent);
  void ClearFaults();  // every knob above off (the one-shot corruptions and SetSlowestFlash too)

  // ---- wire log ----
  // Host frames and reply writes, oldest first; the last 100000 records are
  // kept. A split reply appears as its two writes, a reply longer than a
  // packet under real timing as its packets; a dropped one not at all.
  std::vector<WireRecord> Log() const;
  std::vector<std::vector<uint8_t>> Requests() const;  // host frames only, in order
  size_t RequestCount() const;  // host frames since start or ClearLog (not capped)
  size_t ReplyCount() const;    // reply writes since start or ClearLog (not capped)
  bool WaitForRequests(size_t count, unsigned timeoutMs) const;
  // Time from a request frame being complete to its reply being written
  // (first part for a split reply), one entry per answered request, last
  // 100000 kept.
  std::vector<std::chrono::nanoseconds> ServiceTimes() const;
  size_t DroppedBytes() const;  // bytes that started no request, with the rest of their writes
  size_t DroppedFrames() const;  // incomplete frames dropped after 100 ms of silence
  void ClearLog();              // log, counters and service times

  // ---- hosts ----
  // The processes that hold the current terminal open, found by looking
  // through every visible process's descriptors (/proc/<pid>/fd), once per
  // descriptor, sorted; the instrument's own slave is left out. Through any
  // node link and from any process of the same user. A snapshot: a probe
  // that opens and closes the port in between two looks is not seen.
  std::vector<int> HostPids() const;
  int HostOpens() const;  // HostPids().size()
  bool WaitForHostOpens(int count, unsigned timeoutMs) const;  // until HostOpens() == count

  // ---- diagnostics ----
  // Receives one line per notable event (terminal opened or hung up, node
  // linked, restart, bytes dropped, incomplete frame dropped, request refused)
  // and, with the wire trace on, one line per request and reply. Called on
  // the serving thread (or the caller's thread for Plug/Unplug/Replug) with
  // no lock held. Stop() and the destructor still report the hang-up, so
  // whatever the sink refers to must outlive the instrument (or the sink is
  // cleared first).
  void SetEventSink(std::function<void(const std::string&)> sink);
  void SetWireTrace(bool on);
  void SetHangupGraceMs(unsigned ms);  // default 100

  // ---- state file (blocks, SPI flash, memory map, loader image) ----
  bool LoadState(const std::string& path);
  bool SaveState(const std::string& path) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace zsim
