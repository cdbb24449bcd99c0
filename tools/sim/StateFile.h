// The virtual instrument's state file: the record blocks, the SPI flash, the
// memory map and the loader image, kept across runs of the instrument.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "InstrumentModel.h"
#include "NorMemory.h"

namespace zsim {

// Writes the parts of `state` a state file holds to `path`, through a
// temporary file renamed into place. False on any failure (no file left).
bool SaveStateFile(const std::string& path, const InstrumentState& state);

// What a state file holds.
struct StoredState {
  std::array<std::array<uint8_t, 64>, 2> blocks{};
  NorMemory flash{kFlashSize};
  NorMemory memMap{kMemMapSize};
  std::vector<uint8_t> isp = std::vector<uint8_t>(kIspSize, 0xFF);
};

// Reads `path` into `stored`, whose memories start erased; a block the file
// does not hold keeps what `stored.blocks` had. False when the file is
// missing, not a state file or damaged (`stored` is then partly filled).
bool LoadStateFile(const std::string& path, StoredState& stored);

}  // namespace zsim
