// The SPI-flash and memory-map transfers, driven through the exported
// interface the way an application drives them, against the virtual
// instrument, whose memories follow the NOR rule (erase sets 0xFF, a write
// can only clear bits): a missing erase or a wrong address shows up in the
// memory and in verification.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "FlashTestSupport.h"
#include "zervon.h"
#include "zervon_ext.h"

using namespace flashtest;

namespace {

struct Region {
  uint32_t base;
  uint32_t capacity;
};
const Region kChipFlash[4] = {
    {0x000000, 0x8000}, {0x008000, 0x8000}, {0x010000, 0x8000}, {0x018000, 0x1E8000}};
const Region kMemoryMap[4] = {
    {0x000000, 0x100000}, {0x300000, 0x2000}, {0x302000, 0x1000}, {0x308000, 0x1000}};

std::vector<uint8_t> Zeros(size_t n) { return std::vector<uint8_t>(n, 0x00); }
std::vector<uint8_t> Erased(size_t n) { return std::vector<uint8_t>(n, 0xFF); }

using FlashTransferTest = FlashTest;

}  // namespace

TEST_F(FlashTransferTest, RegionsStartAtTheirBasesAndHoldTheirCapacity) {
  std::vector<uint8_t> big(0x1E8001, 0x11);
  unsigned char byte = 0;
  for (int r = 0; r < 4; ++r) {
    sim.ClearLog();
    EXPECT_TRUE(ZervSPIFlashReadEx(static_cast<ChipFlash>(r), &byte, 1, nullptr));
    EXPECT_EQ(Sent(), (Frames{ReadFrame(kFlash, kChipFlash[r].base, 1)})) << "flash region " << r;
    sim.ClearLog();
    EXPECT_TRUE(ZervMemMapReadEx(static_cast<MemoryMap>(r), &byte, 1, nullptr));
    EXPECT_EQ(Sent(), (Frames{ReadFrame(kMemMap, kMemoryMap[r].base, 1)})) << "map region " << r;
  }
  // One byte more than a region holds is refused before anything is sent.
  sim.ClearLog();
  for (int r = 0; r < 4; ++r) {
    EXPECT_FALSE(ZervSPIFlashWriteEx(static_cast<ChipFlash>(r), big.data(),
                                     kChipFlash[r].capacity + 1, Record));
    EXPECT_FALSE(ZervMemMapWriteEx(static_cast<MemoryMap>(r), big.data(),
                                   kMemoryMap[r].capacity + 1, Record));
  }
  usleep(50 * 1000);
  EXPECT_EQ(sim.RequestCount(), 0u);
  EXPECT_TRUE(Recorded().empty());
}

TEST_F(FlashTransferTest, UnknownRegionsAndBadBuffersAreRefusedWithNothingSent) {
  unsigned char buffer[64];
  memset(buffer, 0xAB, sizeof buffer);
  for (int r : {4, -1, 0x7FFFFFFF}) {
    EXPECT_FALSE(ZervSPIFlashReadEx(static_cast<ChipFlash>(r), buffer, 8, Record)) << r;
    EXPECT_FALSE(ZervSPIFlashWriteEx(static_cast<ChipFlash>(r), buffer, 8, Record)) << r;
    EXPECT_FALSE(ZervMemMapReadEx(static_cast<MemoryMap>(r), buffer, 8, Record)) << r;
    EXPECT_FALSE(ZervMemMapWriteEx(static_cast<MemoryMap>(r), buffer, 8, Record)) << r;
  }
  EXPECT_FALSE(ZervSPIFlashRead(nullptr, 8, Record));
  EXPECT_FALSE(ZervSPIFlashWrite(nullptr, 8, Record));
  EXPECT_FALSE(ZervSPIFlashWriteEx(CHIP_FLASH_REGION_0, nullptr, 8, Record));
  EXPECT_FALSE(ZervMemMapWriteEx(MEMORY_MAP_REGION_2, nullptr, 8, Record));
  // Lengths whose padding does not fit the 24-bit addresses (the largest
  // would wrap to an empty image in 32-bit arithmetic).
  EXPECT_FALSE(ZervSPIFlashWrite(buffer, 0xFFFFF001u, Record));
  EXPECT_FALSE(ZervSPIFlashWrite(buffer, 0x1000001u, Record));
  EXPECT_FALSE(ZervSPIFlashRead(buffer, 0x1000001u, Record));
  usleep(50 * 1000);
  EXPECT_EQ(sim.RequestCount(), 0u);
  EXPECT_TRUE(Recorded().empty());
  for (unsigned char b : buffer) ASSERT_EQ(b, 0xAB);
}

TEST_F(FlashTransferTest, ReadsOfZeroThirtyThreeAndSixtyFourKilobytes) {
  unsigned char small[33];
  EXPECT_TRUE(ZervSPIFlashRead(small, 0, Record));
  EXPECT_EQ(sim.RequestCount(), 0u);
  EXPECT_EQ(Recorded(), (Reports{{0, 0}}));

  auto data = RandomBytes(0x10000, 10);
  sim.LoadFlash(0, data);
  Recorded().clear();
  EXPECT_TRUE(ZervSPIFlashRead(small, 33, Record));
  EXPECT_EQ(Sent(), (Frames{ReadFrame(kFlash, 0, 32), ReadFrame(kFlash, 32, 1)}));
  EXPECT_EQ(Recorded(), (Reports{{0, 33}, {32, 33}, {33, 33}}));
  EXPECT_EQ(0, memcmp(small, data.data(), 33));

  // Region 0 is 32 KiB; a longer read goes on into region 1.
  std::vector<uint8_t> buffer(0x10000);
  sim.ClearLog();
  Recorded().clear();
  EXPECT_TRUE(ZervSPIFlashReadEx(CHIP_FLASH_REGION_0, buffer.data(), 0x10000, Record));
  EXPECT_EQ(buffer, data);
  auto frames = Sent();
  ASSERT_EQ(frames.size(), 2048u);
  EXPECT_EQ(frames.back(), ReadFrame(kFlash, 0xFFE0, 32));
  ASSERT_EQ(Recorded().size(), 2049u);
  EXPECT_EQ(Recorded()[2047], Report(0xFFE0, 0x10000));
  EXPECT_EQ(Recorded().back(), Report(0x10000, 0x10000));
}

TEST_F(FlashTransferTest, RegionWriteOfThirtyThreeBytesErasesTheWholeRegion) {
  sim.LoadFlash(0x8000, Zeros(0x8000));
  sim.LoadFlash(0x10000, Zeros(0x100));
  auto data = RandomBytes(33, 11);
  EXPECT_TRUE(ZervSPIFlashWriteEx(CHIP_FLASH_REGION_1, data.data(), 33, Record));
  EXPECT_EQ(Sent(), (Frames{BlockEraseFrame(kFlash, 0x8000),
                            WriteFrame(kFlash, 0x8000, data.data(), 32),
                            WriteFrame(kFlash, 0x8020, data.data() + 32, 1),
                            ReadFrame(kFlash, 0x8000, 32), ReadFrame(kFlash, 0x8020, 32)}));
  EXPECT_EQ(Recorded(), (Reports{{0, 0x8000}, {0x8000, 0x8000},      // erase pass
                                 {32, 33}, {33, 33}, {33, 33},       // write pass
                                 {0, 64}, {32, 64}, {64, 64}}));     // read-back pass
  EXPECT_EQ(sim.ReadFlash(0x8000, 33), data);
  EXPECT_EQ(sim.ReadFlash(0x8021, 0x8000 - 33), Erased(0x8000 - 33));
  EXPECT_EQ(sim.ReadFlash(0x10000, 0x100), Zeros(0x100));  // region 2 untouched
}

TEST_F(FlashTransferTest, WritesOfZeroBytes) {
  unsigned char data[1] = {0};
  // From address 0: nothing at all to erase, write or compare.
  EXPECT_TRUE(ZervSPIFlashWrite(data, 0, Record));
  EXPECT_EQ(sim.RequestCount(), 0u);
  EXPECT_EQ(Recorded(), (Reports{{0, 0}, {0, 0}, {0, 0}}));

  // A region write still erases its whole region, and sends no data packet.
  sim.LoadFlash(0, Zeros(0x8000));
  Recorded().clear();
  EXPECT_TRUE(ZervSPIFlashWriteEx(CHIP_FLASH_REGION_0, data, 0, Record));
  EXPECT_EQ(Sent(), (Frames{BlockEraseFrame(kFlash, 0)}));
  EXPECT_EQ(Recorded(), (Reports{{0, 0x8000}, {0x8000, 0x8000}, {0, 0}, {0, 0}}));
  EXPECT_EQ(sim.ReadFlash(0, 0x8000), Erased(0x8000));
}

TEST_F(FlashTransferTest, WriteFromAddressZeroIsPaddedToWholeSectors) {
  sim.LoadFlash(0, Zeros(0x3000));
  auto data = RandomBytes(5000, 12);
  std::vector<uint8_t> image = data;
  image.resize(8192, 0xFF);
  EXPECT_TRUE(ZervSPIFlashWrite(data.data(), 5000, Record));

  Frames expected = {SectorEraseFrame(kFlash, 0), SectorEraseFrame(kFlash, 0x1000)};
  for (uint32_t a = 0; a < 8192; a += 32) expected.push_back(WriteFrame(kFlash, a, &image[a], 32));
  for (uint32_t a = 0; a < 8192; a += 32) expected.push_back(ReadFrame(kFlash, a, 32));
  EXPECT_EQ(Sent(), expected);

  const Reports& r = Recorded();
  ASSERT_EQ(r.size(), 3u + 257u + 257u);
  EXPECT_EQ(Reports(r.begin(), r.begin() + 3), (Reports{{0, 8192}, {4096, 8192}, {8192, 8192}}));
  EXPECT_EQ(r[3], Report(32, 8192));
  EXPECT_EQ(r[3 + 255], Report(8192, 8192));
  EXPECT_EQ(r[3 + 256], Report(8192, 8192));
  EXPECT_EQ(r[3 + 257], Report(0, 8192));
  EXPECT_EQ(r[3 + 257 + 255], Report(8160, 8192));
  EXPECT_EQ(r.back(), Report(8192, 8192));

  EXPECT_EQ(sim.ReadFlash(0, 8192), image);
  EXPECT_EQ(sim.ReadFlash(0x2000, 0x1000), Zeros(0x1000));  // the third sector was not erased
}

TEST_F(FlashTransferTest, MemoryMapRegionOneWrite) {
  sim.LoadMemMap(0x300000, Zeros(0x2100));
  auto data = RandomBytes(100, 13);
  EXPECT_TRUE(ZervMemMapWriteEx(MEMORY_MAP_REGION_1, data.data(), 100, Record));
  EXPECT_EQ(Sent(),
            (Frames{SectorEraseFrame(kMemMap, 0x300000), SectorEraseFrame(kMemMap, 0x301000),
                    WriteFrame(kMemMap, 0x300000, &data[0], 32),
                    WriteFrame(kMemMap, 0x300020, &data[32], 32),
                    WriteFrame(kMemMap, 0x300040, &data[64], 32),
                    WriteFrame(kMemMap, 0x300060, &data[96], 4),
                    ReadFrame(kMemMap, 0x300000, 32), ReadFrame(kMemMap, 0x300020, 32),
                    ReadFrame(kMemMap, 0x300040, 32), ReadFrame(kMemMap, 0x300060, 32)}));
  EXPECT_EQ(Recorded(), (Reports{{0, 0x2000}, {0x1000, 0x2000}, {0x2000, 0x2000},
                                 {32, 100}, {64, 100}, {96, 100}, {100, 100}, {100, 100},
                                 {0, 128}, {32, 128}, {64, 128}, {96, 128}, {128, 128}}));
  EXPECT_EQ(sim.ReadMemMap(0x300000, 100), data);
  EXPECT_EQ(sim.ReadMemMap(0x300064, 0x2000 - 100), Erased(0x2000 - 100));
  EXPECT_EQ(sim.ReadMemMap(0x302000, 0x100), Zeros(0x100));  // region 2 untouched

  std::vector<uint8_t> back(100);
  EXPECT_TRUE(ZervMemMapReadEx(MEMORY_MAP_REGION_1, back.data(), 100, nullptr));
  EXPECT_EQ(back, data);
}

TEST_F(FlashTransferTest, VerificationCatchesACorruptedByte) {
  // A byte of the data...
  auto data = RandomBytes(24, 14);
  sim.CorruptFlashOnWrite(0x10007, 0x10);
  EXPECT_FALSE(ZervSPIFlashWriteEx(CHIP_FLASH_REGION_2, data.data(), 24, nullptr));
  auto stored = sim.ReadFlash(0x10000, 24);
  EXPECT_EQ(stored[7], data[7] ^ 0x10);  // the written data stay in place

  // ...and a byte of the 0xFF padding, which is verified as well.
  auto image = RandomBytes(5000, 15);
  sim.CorruptFlashOnWrite(6000, 0x01);
  EXPECT_FALSE(ZervSPIFlashWrite(image.data(), 5000, nullptr));

  // The memory map is verified the same way.
  sim.CorruptMemMapOnWrite(0x308000 + 3, 0x80);
  EXPECT_FALSE(ZervMemMapWriteEx(MEMORY_MAP_REGION_3, data.data(), 24, nullptr));
}

TEST_F(FlashTransferTest, FailingReadBackFailsTheWrite) {
  auto data = RandomBytes(24, 16);
  int finalWriteReports = 0;
  // The write pass ends with (24, 24) twice; from then on the instrument is silent.
  OnReport() = [&](unsigned done, unsigned total) {
    if (done == 24 && total == 24 && ++finalWriteReports == 2) sim.SetSilent(true);
  };
  EXPECT_FALSE(ZervSPIFlashWriteEx(CHIP_FLASH_REGION_2, data.data(), 24, Record));
  sim.SetSilent(false);
  EXPECT_EQ(Recorded(), (Reports{{0, 0x8000}, {0x8000, 0x8000}, {24, 24}, {24, 24}}));
  EXPECT_EQ(sim.ReadFlash(0x10000, 24), data);  // written, not verified

  // A read-back that breaks off after its first packet fails too.
  Recorded().clear();
  OnReport() = [&](unsigned done, unsigned total) {
    if (done == 0 && total == 64) sim.TruncateReplies(1, 20);
  };
  auto longer = RandomBytes(40, 17);
  EXPECT_FALSE(ZervSPIFlashWriteEx(CHIP_FLASH_REGION_2, longer.data(), 40, Record));
  EXPECT_EQ(Recorded().back(), Report(0, 64));
}

namespace {
Reports g_innerReports;
void RecordInner(unsigned done, unsigned total) { g_innerReports.emplace_back(done, total); }
}  // namespace

TEST_F(FlashTransferTest, ProgressCallbackMayCallOtherEntryPoints) {
  auto data = RandomBytes(64, 18);
  sim.LoadFlash(0, data);
  g_innerReports.clear();
  std::vector<uint8_t> inner(4);
  void* handleSeen = nullptr;
  OnReport() = [&](unsigned done, unsigned) {
    if (done != 0) return;
    handleSeen = ZervGetDeviceHandle();
    EXPECT_TRUE(ZervSPIFlashReadEx(CHIP_FLASH_REGION_0, inner.data(), 4, RecordInner));
  };
  unsigned char outer[64];
  MustReturnWithin(20000, [&] { EXPECT_TRUE(ZervSPIFlashRead(outer, 64, Record)); });
  EXPECT_EQ(handleSeen, HandleOf(fd));
  EXPECT_EQ(std::vector<uint8_t>(outer, outer + 64), data);
  EXPECT_EQ(inner, std::vector<uint8_t>(data.begin(), data.begin() + 4));
  EXPECT_EQ(g_innerReports, (Reports{{0, 4}, {4, 4}}));
  // The outer transfer kept reporting to its own callback after the inner one.
  EXPECT_EQ(Recorded(), (Reports{{0, 64}, {32, 64}, {64, 64}}));
}

TEST_F(FlashTransferTest, NullCallbackAfterACallbackReportsNothing) {
  unsigned char buffer[24];
  EXPECT_TRUE(ZervSPIFlashRead(buffer, 4, Record));
  Recorded().clear();
  EXPECT_TRUE(ZervSPIFlashReadEx(CHIP_FLASH_REGION_1, buffer, 4, nullptr));
  EXPECT_TRUE(ZervMemMapWriteEx(MEMORY_MAP_REGION_3, buffer, 24, nullptr));
  EXPECT_TRUE(Recorded().empty());
  EXPECT_EQ(sim.ReadMemMap(0x308000, 24), std::vector<uint8_t>(buffer, buffer + 24));
}

TEST_F(FlashTransferTest, WholeRegionThreeRoundTrip) {
#ifdef ZERVON_TEST_EMULATED
  // About 60,000 exchanges: a minute and more under qemu, where the virtual
  // instrument is emulated too and one late reply fails the transfer. The
  // smaller round trips cover the same code; the native suite runs this one.
  GTEST_SKIP() << "whole-region transfer: native builds only";
#endif
  const uint32_t kBase = 0x18000, kCapacity = 0x1E8000;
  std::vector<uint8_t> data = RandomBytes(kCapacity + 1, 19);
  EXPECT_FALSE(ZervSPIFlashWriteEx(CHIP_FLASH_REGION_3, data.data(), kCapacity + 1, Record));
  usleep(50 * 1000);
  EXPECT_EQ(sim.RequestCount(), 0u);
  EXPECT_TRUE(Recorded().empty());

  data.resize(kCapacity);
  sim.LoadFlash(kBase, Zeros(kCapacity));  // a missing erase would leave zeros behind
  long ms = ElapsedMs([&] {
    EXPECT_TRUE(ZervSPIFlashWriteEx(CHIP_FLASH_REGION_3, data.data(), kCapacity, Record))
        << "last report " << (Recorded().empty() ? Report(0, 0) : Recorded().back()).first
        << " of " << (Recorded().empty() ? Report(0, 0) : Recorded().back()).second
        << "; dropped bytes " << sim.DroppedBytes() << ", dropped frames " << sim.DroppedFrames();
  });
  printf("whole region 3 write: %ld ms\n", ms);
  EXPECT_EQ(sim.RequestCount(), 61u + 2u * 62464u);
  // Passes of 61 + 1, 62464 + 1 and 62464 + 1 reports.
  const Reports& r = Recorded();
  ASSERT_EQ(r.size(), 62u + 62465u + 62465u);
  EXPECT_EQ(r[60], Report(60 * 0x8000, kCapacity));
  EXPECT_EQ(r[61], Report(kCapacity, kCapacity));
  EXPECT_EQ(r[62], Report(32, kCapacity));
  EXPECT_EQ(r[62 + 62464], Report(kCapacity, kCapacity));
  EXPECT_EQ(r[62 + 62465], Report(0, kCapacity));
  EXPECT_EQ(r.back(), Report(kCapacity, kCapacity));
  EXPECT_TRUE(sim.ReadFlash(kBase, kCapacity) == data);

  sim.ClearLog();
  std::vector<uint8_t> back(kCapacity);
  Recorded().clear();
  EXPECT_TRUE(ZervSPIFlashReadEx(CHIP_FLASH_REGION_3, back.data(), kCapacity, Record))
      << "stopped after offset " << (Recorded().empty() ? 0 : Recorded().back().first)
      << "; requests " << sim.RequestCount() << ", replies " << sim.ReplyCount()
      << ", dropped bytes " << sim.DroppedBytes() << ", dropped frames " << sim.DroppedFrames();
  EXPECT_TRUE(back == data);
}
