// The virtual instrument's state file.
//
// Layout: the magic line "ZSIMSTATE1\n", then chunks of
//   tag (1 byte), address (u32, little-endian), length (u32, little-endian), bytes
// with the tags 'B' (record block; address = block number), 'F' (SPI flash),
// 'M' (memory map) and 'I' (loader image), ended by a chunk with tag 'E'.
// Only 4 KiB pages that hold something other than 0xFF are written, so a
// mostly erased instrument makes a small file.
#include "StateFile.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>

namespace zsim {

namespace {

constexpr char kStateMagic[] = "ZSIMSTATE1\n";
constexpr size_t kStatePage = 4096;

void PutU32(std::ostream& os, uint32_t v) {
  const char b[4] = {static_cast<char>(v & 0xFF), static_cast<char>((v >> 8) & 0xFF),
                     static_cast<char>((v >> 16) & 0xFF), static_cast<char>((v >> 24) & 0xFF)};
  os.write(b, 4);
}

bool GetU32(std::istream& is, uint32_t& v) {
  unsigned char b[4];
  if (!is.read(reinterpret_cast<char*>(b), 4)) return false;
  v = uint32_t{b[0]} | (uint32_t{b[1]} << 8) | (uint32_t{b[2]} << 16) | (uint32_t{b[3]} << 24);
  return true;
}

void PutChunk(std::ostream& os, char tag, uint32_t address, const uint8_t* data, size_t length) {
  os.put(tag);
  PutU32(os, address);
  PutU32(os, static_cast<uint32_t>(length));
  os.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(length));
}

void PutPages(std::ostream& os, char tag, const std::vector<uint8_t>& bytes) {
  for (size_t at = 0; at < bytes.size(); at += kStatePage) {
    const size_t n = std::min(kStatePage, bytes.size() - at);
    const auto begin = bytes.begin() + static_cast<std::ptrdiff_t>(at);
    if (std::all_of(begin, begin + static_cast<std::ptrdiff_t>(n), [](uint8_t b) { return b == 0xFF; })) continue;
    PutChunk(os, tag, static_cast<uint32_t>(at), bytes.data() + at, n);
  }
}

}  // namespace

bool SaveStateFile(const std::string& path, const InstrumentState& state) {
  const std::string temp = path + ".tmp";
  {
    std::ofstream os(temp, std::ios::binary | std::ios::trunc);
    if (!os) return false;
    os.write(kStateMagic, sizeof kStateMagic - 1);
    for (uint32_t n = 0; n < 2; ++n) PutChunk(os, 'B', n, state.blocks[n].data(), 64);
    PutPages(os, 'F', state.flash.Bytes());
    PutPages(os, 'M', state.memMap.Bytes());
    PutPages(os, 'I', state.isp);
    PutChunk(os, 'E', 0, nullptr, 0);
    os.flush();
    if (!os) {
      ::unlink(temp.c_str());
      return false;
    }
  }
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    ::unlink(temp.c_str());
    return false;
  }
  return true;
}

bool LoadStateFile(const std::string& path, StoredState& stored) {
  std::ifstream is(path, std::ios::binary);
  if (!is) return false;
  char magic[sizeof kStateMagic - 1];
  if (!is.read(magic, sizeof magic) || std::memcmp(magic, kStateMagic, sizeof magic) != 0) return false;

  std::vector<uint8_t> data;
  for (;;) {
    char tag;
    uint32_t address, length;
    if (!is.get(tag) || !GetU32(is, address) || !GetU32(is, length)) return false;
    if (tag == 'E') break;
    if (length > kMemMapSize) return false;
    data.resize(length);
    if (!is.read(reinterpret_cast<char*>(data.data()), length)) return false;
    switch (tag) {
      case 'B':
        if (address > 1 || length != 64) return false;
        std::copy(data.begin(), data.end(), stored.blocks[address].begin());
        break;
      case 'F':
        if (uint64_t{address} + length > kFlashSize) return false;
        stored.flash.Load(address, data.data(), length);
        break;
      case 'M':
        if (uint64_t{address} + length > kMemMapSize) return false;
        stored.memMap.Load(address, data.data(), length);
        break;
      case 'I':
        if (uint64_t{address} + length > kIspSize) return false;
        std::copy(data.begin(), data.end(), stored.isp.begin() + address);
        break;
      default:
        return false;
    }
  }
  return true;
}

}  // namespace zsim
