#include "NorMemory.h"

#include <algorithm>

namespace zsim {

NorMemory::NorMemory(size_t size) : bytes_(size, 0xFF) {}

void NorMemory::Read(uint32_t address, uint8_t* out, size_t length) const {
  for (size_t i = 0; i < length; ++i) out[i] = bytes_[Wrap(uint64_t{address} + i)];
}

std::vector<uint8_t> NorMemory::Read(uint32_t address, size_t length) const {
  std::vector<uint8_t> out(length);
  Read(address, out.data(), length);
  return out;
}

void NorMemory::Program(uint32_t address, const uint8_t* data, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    const size_t at = Wrap(uint64_t{address} + i);
    uint8_t value = bytes_[at] & data[i];
    if (!corruptions_.empty()) {
      auto fault = corruptions_.find(at);
      if (fault != corruptions_.end()) {
        value ^= fault->second;
        corruptions_.erase(fault);
      }
    }
    bytes_[at] = value;
  }
}

void NorMemory::Load(uint32_t address, const uint8_t* data, size_t length) {
  for (size_t i = 0; i < length; ++i) bytes_[Wrap(uint64_t{address} + i)] = data[i];
}

void NorMemory::Erase(uint32_t address, uint32_t unit) {
  if (unit == 0) return;
  const size_t span = std::min<size_t>(unit, bytes_.size());
  const size_t start = Wrap(address) & ~(span - 1);
  std::fill(bytes_.begin() + static_cast<std::ptrdiff_t>(start),
            bytes_.begin() + static_cast<std::ptrdiff_t>(start + span), 0xFF);
}

void NorMemory::ArmCorruption(uint32_t address, uint8_t mask) { corruptions_[Wrap(address)] = mask; }

void NorMemory::Clear() {
  std::fill(bytes_.begin(), bytes_.end(), 0xFF);
  corruptions_.clear();
}

}  // namespace zsim
