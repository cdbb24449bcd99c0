// A memory with the rules of serial NOR flash: erased bytes read 0xFF, a
// program operation can only clear bits (the stored byte becomes old & new),
// and only an erase of a whole sector or block sets them again. Writing over
// data that was not erased therefore corrupts it, as on the real chip.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

namespace zsim {

class NorMemory {
 public:
  // `size` must be a power of two; addresses wrap modulo `size`.
  explicit NorMemory(size_t size);

  size_t Size() const { return bytes_.size(); }

  void Read(uint32_t address, uint8_t* out, size_t length) const;
  std::vector<uint8_t> Read(uint32_t address, size_t length) const;

  // Programs bytes with the NOR rule (old & new). A byte armed with
  // ArmCorruption() is flipped by its mask once, when a program covers it.
  void Program(uint32_t address, const uint8_t* data, size_t length);

  // Stores bytes as given, without the NOR rule (test set-up, state files).
  void Load(uint32_t address, const uint8_t* data, size_t length);

  // Sets the `unit`-byte unit containing `address` (aligned down) to 0xFF.
  // `unit` must be a power of two.
  void Erase(uint32_t address, uint32_t unit);

  // Makes the next program that covers `address` store the byte XORed with
  // `mask`: a one-shot fault for testing read-back verification.
  void ArmCorruption(uint32_t address, uint8_t mask);
  void DisarmCorruptions() { corruptions_.clear(); }

  // Everything back to 0xFF; armed faults are forgotten.
  void Clear();

  const std::vector<uint8_t>& Bytes() const { return bytes_; }

 private:
  size_t Wrap(uint64_t address) const { return static_cast<size_t>(address) & (bytes_.size() - 1); }

  std::vector<uint8_t> bytes_;
  std::map<size_t, uint8_t> corruptions_;  // address -> XOR mask
};

}  // namespace zsim
