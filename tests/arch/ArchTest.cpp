// The per-architecture parts of the interface, checked against what the
// target architecture fixes (TargetArch.h): the char fields of the identity
// records, the size type of the manufacturing entry points, and the
// pointer-wide device handle, as the shared library itself has them.
#include <dlfcn.h>
#include <elf.h>
#include <gtest/gtest.h>
#include <link.h>

#include <array>
#include <climits>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "InstrumentFixture.h"
#include "TargetArch.h"
#include "zervon.h"
#include "zervon_ext.h"

extern long g_hDevice;

// The widths are part of the exported names (ZervReadMfgInfo(unsigned char*,
// unsigned long) on 64 bits, (..., unsigned int) on 32 bits): an application
// built for the platform calls exactly these.
static_assert(sizeof(size_t) * CHAR_BIT == target::kPointerBits, "size_t is pointer-wide");
static_assert(sizeof(void*) * CHAR_BIT == target::kPointerBits, "pointer width");
static_assert(sizeof(long) * CHAR_BIT == target::kPointerBits, "long is pointer-wide on Linux");
static_assert(std::is_same<decltype(&ZervReadMfgInfo), bool (*)(unsigned char*, size_t)>::value,
              "ZervReadMfgInfo takes the platform's size_t");
static_assert(std::is_same<decltype(&ZervWriteMfgInfo), bool (*)(const unsigned char*, size_t)>::value,
              "ZervWriteMfgInfo takes the platform's size_t");
static_assert(std::is_signed<char>::value == target::kCharIsSigned, "plain char of the platform");

namespace {

// Size in bytes of the library's own definition of `name`, from its dynamic
// symbol table; 0 when it cannot be found.
size_t LibrarySymbolSize(const char* name) {
  void* address = dlsym(RTLD_DEFAULT, name);
  if (address == nullptr) return 0;
  Dl_info info;
  void* entry = nullptr;
  if (dladdr1(address, &info, &entry, RTLD_DL_SYMENT) == 0 || entry == nullptr) return 0;
  return static_cast<const ElfW(Sym)*>(entry)->st_size;
}

// Lengths whose low 32 bits are small or zero: a length cut to 32 bits (or
// to int) anywhere on the way would copy fewer than four bytes.
std::vector<size_t> HugeLengths() {
  std::vector<size_t> lengths = {SIZE_MAX, SIZE_MAX / 2 + 1};
  if (sizeof(size_t) > 4) lengths.push_back(static_cast<size_t>(UINT64_C(0x100000002)));
  return lengths;
}

}  // namespace

TEST(Arch, CharFieldsOfTheModelRecordAreThePlatformsChar) {
  std::array<uint8_t, 64> block{};
  const uint8_t head[] = {0x12, 0x55, 0xAA, 0x00, 0x00, 'V', 'R', 'X', 0xF0, 0x80, 0x03, 0x01, 0x2C};
  memcpy(block.data(), head, sizeof head);
  zsim::VirtualInstrument sim;
  sim.SetBlock(0, block);
  ASSERT_TRUE(sim.Start());
  int fd = sim.OpenHostPort();
  ASSERT_GE(fd, 0);
  ZervSetDeviceHandle(HandleOf(fd));
  MODEL_INFORMATION model{};
  ASSERT_TRUE(ZervGetDeviceInformation(&model));
  EXPECT_EQ(static_cast<int>(model.cSerialGroup1), target::kCharIsSigned ? -16 : 240) << target::kName;
  EXPECT_EQ(static_cast<int>(model.cSerialGroup2), target::kCharIsSigned ? -128 : 128) << target::kName;
  EXPECT_STREQ(ZervGetSerialNumber(), target::kCharIsSigned ? "VRX-16-128-030300" : "VRX240128-030300")
      << target::kName;
  ZervSetDeviceHandle(HandleOf(-1));
  close(fd);
}

using ArchMfg = InstrumentTest;

TEST_F(ArchMfg, LengthsAreTakenInTheirFullWidth) {
  sim.SetMfgInfo({0xDE, 0xAD, 0xBE, 0xEF});
  for (size_t length : HugeLengths()) {
    unsigned char buf[8];
    memset(buf, 0x11, sizeof buf);
    ASSERT_TRUE(ZervReadMfgInfo(buf, length)) << length;
    EXPECT_EQ(0, memcmp(buf, "\xDE\xAD\xBE\xEF\x11", 5)) << "length " << length;
  }
  const unsigned char data[4] = {1, 2, 3, 4};
  for (size_t length : HugeLengths()) {
    sim.SetMfgInfo({9, 9, 9, 9});
    ASSERT_TRUE(ZervWriteMfgInfo(data, length)) << length;
    auto back = sim.Block(1);
    EXPECT_EQ(0, memcmp(back.data() + 60, data, 4)) << "length " << length;
  }
}

TEST(ArchHandle, DeviceHandleIsAPointerWideDescriptor) {
  EXPECT_EQ(LibrarySymbolSize("g_hDevice"), sizeof(void*));

  // No port: all bits of the pointer set, not only the low 32.
  ZervSetDeviceHandle(HandleOf(-1));
  EXPECT_EQ(g_hDevice, -1L);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(ZervGetDeviceHandle()), UINTPTR_MAX);

  zsim::VirtualInstrument sim;
  ASSERT_TRUE(sim.Start());
  int fd = sim.OpenHostPort();
  ASSERT_GE(fd, 0);
  ZervSetDeviceHandle(HandleOf(fd));
  EXPECT_EQ(g_hDevice, static_cast<long>(fd));
  EXPECT_EQ(ZervGetDeviceHandle(), HandleOf(fd));
  unsigned char request[1] = {0x14};
  unsigned char reply[64] = {0};
  int length = 64;
  EXPECT_EQ(ZervSendCommandEx(request, 1, reply, &length), 0);  // the descriptor works as handed over
  ZervSetDeviceHandle(HandleOf(-1));
  EXPECT_EQ(reinterpret_cast<uintptr_t>(ZervGetDeviceHandle()), UINTPTR_MAX);
  close(fd);
}
