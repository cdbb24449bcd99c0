// The virtual instrument: a facade over its three pieces, the instrument
// model (InstrumentModel.h: framing, command handlers, state, reply faults),
// the terminal transport that serves it (TerminalTransport.h) and the state
// file (StateFile.h). Every accessor takes the transport's lock, which the
// serving thread holds while it feeds the model.
#include "VirtualInstrument.h"

#include <algorithm>
#include <cstring>
#include <thread>

#include "InstrumentModel.h"
#include "StateFile.h"
#include "TerminalTransport.h"

namespace zsim {

using std::chrono::milliseconds;

struct VirtualInstrument::Impl {
  InstrumentModel model;
  WireLog log;
  TerminalTransport transport{model, log};
  bool restartDelayChosen = false;  // SetRestartDelayMs was called: the timing leaves it alone

  Impl() { model.state.epoch = Clock::now(); }
  std::unique_lock<std::mutex> Lock() const { return transport.Lock(); }
};

VirtualInstrument::VirtualInstrument() : impl_(new Impl) {}

VirtualInstrument::~VirtualInstrument() { Stop(); }

// ---- terminal and device node ----

bool VirtualInstrument::Start() { return impl_->transport.Start(); }
void VirtualInstrument::Stop() { impl_->transport.Stop(); }
std::string VirtualInstrument::SlavePath() const { return impl_->transport.SlavePath(); }
bool VirtualInstrument::Serving() const { return impl_->transport.Serving(); }
int VirtualInstrument::OpenHostPort() const { return impl_->transport.OpenHostPort(); }
void VirtualInstrument::SetRawTerminal(bool raw) { impl_->transport.SetRawTerminal(raw); }
bool VirtualInstrument::Plug(const std::string& node) { return impl_->transport.Plug(node); }
void VirtualInstrument::Unplug() { impl_->transport.Unplug(); }
bool VirtualInstrument::Replug(const std::string& node) { return impl_->transport.Replug(node); }
std::string VirtualInstrument::NodePath() const { return impl_->transport.NodePath(); }

// ---- record blocks ----

std::array<uint8_t, 64> VirtualInstrument::Block(int n) const {
  const auto lk = impl_->Lock();
  if (n < 0 || n > 1) return {};
  return impl_->model.state.blocks[static_cast<size_t>(n)];
}

void VirtualInstrument::SetBlock(int n, const std::array<uint8_t, 64>& bytes) {
  const auto lk = impl_->Lock();
  if (n < 0 || n > 1) return;
  impl_->model.state.blocks[static_cast<size_t>(n)] = bytes;
}

void VirtualInstrument::SetMarker(const char marker[3]) {
  const auto lk = impl_->Lock();
  std::memcpy(impl_->model.state.blocks[0].data() + 5, marker, 3);
}

void VirtualInstrument::SetSerial(uint8_t g1, uint8_t g2, uint8_t g3, uint16_t g4) {
  const auto lk = impl_->Lock();
  auto& b = impl_->model.state.blocks[0];
  b[8] = g1;
  b[9] = g2;
  b[10] = g3;
  b[11] = static_cast<uint8_t>(g4 >> 8);
  b[12] = static_cast<uint8_t>(g4 & 0xFF);
}

void VirtualInstrument::SetHWCode(uint8_t code) {
  const auto lk = impl_->Lock();
  impl_->model.state.blocks[0][13] = code;
}

void VirtualInstrument::SetFirmware(uint8_t mainVer, uint8_t subVer) {
  const auto lk = impl_->Lock();
  impl_->model.state.blocks[0][14] = mainVer;
  impl_->model.state.blocks[0][15] = subVer;
}

void VirtualInstrument::SetMfgInfo(const std::array<uint8_t, 4>& info) {
  const auto lk = impl_->Lock();
  std::copy(info.begin(), info.end(), impl_->model.state.blocks[1].begin() + 60);
}

void VirtualInstrument::SetForeign(bool foreign) {
  const auto lk = impl_->Lock();
  impl_->model.faults.foreign = foreign;
}

// ---- status report ----

void VirtualInstrument::SetReportBytes(const std::array<uint8_t, 5>& bytes) {
  const auto lk = impl_->Lock();
  impl_->model.state.report = bytes;
}

void VirtualInstrument::SetMeasuredRaw(uint16_t raw) {
  const auto lk = impl_->Lock();
  impl_->model.state.raw = raw;
  impl_->model.state.autoValue = false;
}

void VirtualInstrument::SetMeasuredAuto(bool on) {
  const auto lk = impl_->Lock();
  impl_->model.state.autoValue = on;
}

void VirtualInstrument::SetBatteryLow(bool low) {
  const auto lk = impl_->Lock();
  if (low)
    impl_->model.state.flags |= 0x04;
  else
    impl_->model.state.flags &= static_cast<uint8_t>(~0x04);
}

void VirtualInstrument::SetStatusFlags(uint8_t flags) {
  const auto lk = impl_->Lock();
  impl_->model.state.flags = flags;
}

uint16_t VirtualInstrument::MeasuredRaw() const {
  const auto lk = impl_->Lock();
  return impl_->model.MeasuredRaw(Clock::now());
}

std::vector<std::array<uint8_t, 8>> VirtualInstrument::Settings() const {
  const auto lk = impl_->Lock();
  return {impl_->model.state.settings.begin(), impl_->model.state.settings.end()};
}

void VirtualInstrument::ClearSettings() {
  const auto lk = impl_->Lock();
  impl_->model.state.settings.clear();
}

bool VirtualInstrument::HostControl() const {
  const auto lk = impl_->Lock();
  return impl_->model.state.hostControl;
}

// ---- calibration ----

void VirtualInstrument::SetCalibrationResult(const std::array<uint8_t, 24>& result) {
  const auto lk = impl_->Lock();
  impl_->model.state.calibrationResult = result;
}

bool VirtualInstrument::Calibrating() const {
  const auto lk = impl_->Lock();
  return impl_->model.state.calibrating;
}

// ---- memories ----

std::vector<uint8_t> VirtualInstrument::ReadFlash(uint32_t address, size_t length) const {
  const auto lk = impl_->Lock();
  return impl_->model.state.flash.Read(address, length);
}

void VirtualInstrument::LoadFlash(uint32_t address, const std::vector<uint8_t>& bytes) {
  const auto lk = impl_->Lock();
  impl_->model.state.flash.Load(address, bytes.data(), bytes.size());
}

std::vector<uint8_t> VirtualInstrument::ReadMemMap(uint32_t address, size_t length) const {
  const auto lk = impl_->Lock();
  return impl_->model.state.memMap.Read(address, length);
}

void VirtualInstrument::LoadMemMap(uint32_t address, const std::vector<uint8_t>& bytes) {
  const auto lk = impl_->Lock();
  impl_->model.state.memMap.Load(address, bytes.data(), bytes.size());
}

void VirtualInstrument::CorruptFlashOnWrite(uint32_t address, uint8_t xorMask) {
  const auto lk = impl_->Lock();
  impl_->model.state.flash.ArmCorruption(address, xorMask);
}

void VirtualInstrument::CorruptMemMapOnWrite(uint32_t address, uint8_t xorMask) {
  const auto lk = impl_->Lock();
  impl_->model.state.memMap.ArmCorruption(address, xorMask);
}

// ---- loader ----

std::vector<uint8_t> VirtualInstrument::IspImage() const {
  const auto lk = impl_->Lock();
  return impl_->model.state.isp;
}

void VirtualInstrument::CorruptIspOnWrite(uint32_t offset, uint8_t xorMask) {
  const auto lk = impl_->Lock();
  impl_->model.state.ispFaults[offset % kIspSize] = xorMask;
}

bool VirtualInstrument::InLoader() const {
  const auto lk = impl_->Lock();
  return impl_->model.state.inLoader;
}

void VirtualInstrument::SetRestartDelayMs(unsigned ms) {
  {
    const auto lk = impl_->Lock();
    impl_->restartDelayChosen = true;
  }
  impl_->transport.SetRestartDelayMs(ms);
}
void VirtualInstrument::SetRestartNode(const std::string& node) { impl_->transport.SetRestartNode(node); }
void VirtualInstrument::SetNodeLingerMs(unsigned ms) { impl_->transport.SetNodeLingerMs(ms); }

int VirtualInstrument::RestartCount() const { return impl_->transport.RestartCount(); }

bool VirtualInstrument::WaitForRestarts(int count, unsigned timeoutMs) const {
  return impl_->transport.WaitForRestarts(count, timeoutMs);
}

// ---- timing ----

void VirtualInstrument::SetTiming(Timing timing) {
  bool chosen;
  {
    const auto lk = impl_->Lock();
    impl_->model.timing.real = timing == Timing::Real;
    chosen = impl_->restartDelayChosen;
  }
  if (!chosen) impl_->transport.SetRestartDelayMs(timing == Timing::Real ? kRealRestartDelayMs : kInstantRestartDelayMs);
}

Timing VirtualInstrument::GetTiming() const {
  const auto lk = impl_->Lock();
  return impl_->model.timing.real ? Timing::Real : Timing::Instant;
}

void VirtualInstrument::SetSlowestFlash(bool on) {
  const auto lk = impl_->Lock();
  impl_->model.timing.slowestFlash = on;
}

// ---- faults ----

void VirtualInstrument::DropReplies(int count) {
  const auto lk = impl_->Lock();
  impl_->model.faults.drop.count = count;
}

void VirtualInstrument::DelayReplies(int count, unsigned ms) {
  const auto lk = impl_->Lock();
  impl_->model.faults.delay.count = count;
  impl_->model.faults.delayMs = ms;
}

void VirtualInstrument::TruncateReplies(int count, size_t length) {
  const auto lk = impl_->Lock();
  impl_->model.faults.truncate.count = count;
  impl_->model.faults.truncateLength = length;
}

void VirtualInstrument::SplitReplies(int count, size_t firstPart, unsigned gapMs) {
  const auto lk = impl_->Lock();
  impl_->model.faults.split.count = count;
  impl_->model.faults.splitFirst = firstPart;
  impl_->model.faults.splitGapMs = gapMs;
}

void VirtualInstrument::GarbageReplies(int count) {
  const auto lk = impl_->Lock();
  impl_->model.faults.garbage.count = count;
}

void VirtualInstrument::SetSilent(bool silent) {
  const auto lk = impl_->Lock();
  impl_->model.faults.silent = silent;
}

void VirtualInstrument::ClearFaults() {
  const auto lk = impl_->Lock();
  impl_->model.ClearFaults();
}

// ---- wire log ----

std::vector<WireRecord> VirtualInstrument::Log() const {
  const auto lk = impl_->Lock();
  return {impl_->log.records.begin(), impl_->log.records.end()};
}

std::vector<std::vector<uint8_t>> VirtualInstrument::Requests() const {
  const auto lk = impl_->Lock();
  std::vector<std::vector<uint8_t>> frames;
  for (const auto& r : impl_->log.records)
    if (r.fromHost) frames.push_back(r.bytes);
  return frames;
}

size_t VirtualInstrument::RequestCount() const {
  const auto lk = impl_->Lock();
  return impl_->log.requests;
}

size_t VirtualInstrument::ReplyCount() const {
  const auto lk = impl_->Lock();
  return impl_->log.replies;
}

bool VirtualInstrument::WaitForRequests(size_t count, unsigned timeoutMs) const {
  return impl_->transport.WaitForRequests(count, timeoutMs);
}

std::vector<std::chrono::nanoseconds> VirtualInstrument::ServiceTimes() const {
  const auto lk = impl_->Lock();
  return {impl_->log.serviceTimes.begin(), impl_->log.serviceTimes.end()};
}

size_t VirtualInstrument::DroppedBytes() const {
  const auto lk = impl_->Lock();
  return impl_->model.DroppedBytes();
}

size_t VirtualInstrument::DroppedFrames() const {
  const auto lk = impl_->Lock();
  return impl_->model.DroppedFrames();
}

void VirtualInstrument::ClearLog() {
  const auto lk = impl_->Lock();
  impl_->log.Clear();
  impl_->model.ClearCounters();
}

// ---- hosts ----

std::vector<int> VirtualInstrument::HostPids() const { return impl_->transport.HostPids(); }

int VirtualInstrument::HostOpens() const { return static_cast<int>(HostPids().size()); }

bool VirtualInstrument::WaitForHostOpens(int count, unsigned timeoutMs) const {
  const auto end = Clock::now() + milliseconds(timeoutMs);
  for (;;) {
    if (HostOpens() == count) return true;
    if (Clock::now() >= end) return false;
    std::this_thread::sleep_for(milliseconds(5));
  }
}

// ---- diagnostics ----

void VirtualInstrument::SetEventSink(std::function<void(const std::string&)> sink) {
  impl_->transport.SetEventSink(std::move(sink));
}

void VirtualInstrument::SetWireTrace(bool on) { impl_->transport.SetWireTrace(on); }

void VirtualInstrument::SetHangupGraceMs(unsigned ms) { impl_->transport.SetHangupGraceMs(ms); }

// ---- state file ----

bool VirtualInstrument::SaveState(const std::string& path) const {
  const auto lk = impl_->Lock();
  return SaveStateFile(path, impl_->model.state);
}

bool VirtualInstrument::LoadState(const std::string& path) {
  // Parse everything first; the instrument changes only if the file is whole.
  auto stored = std::make_unique<StoredState>();
  {
    const auto lk = impl_->Lock();
    stored->blocks = impl_->model.state.blocks;
  }
  if (!LoadStateFile(path, *stored)) return false;
  const auto lk = impl_->Lock();
  InstrumentState& state = impl_->model.state;
  state.blocks = stored->blocks;
  state.flash = std::move(stored->flash);
  state.memMap = std::move(stored->memMap);
  state.isp = std::move(stored->isp);
  state.ispFaults.clear();
  return true;
}

}  // namespace zsim
