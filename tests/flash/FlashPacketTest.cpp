// The flash packet primitives below the transfers: exact request frames,
// progress reports, erase granularity and the port time-outs around writes
// and erases, against the virtual instrument.
#include <gtest/gtest.h>

#include <cstring>

#include "Device.h"
#include "Flash.h"
#include "FlashTestSupport.h"

using namespace flashtest;

namespace {

// The port time-outs last set, as (read, write).
std::pair<int, int> PortTimeouts() { return {g_nDeviceReadTimeout, g_nDeviceWriteTimeout}; }

// Port time-outs seen by the first report of a primitive.
std::pair<int, int> g_seenTimeouts;
void RecordWithTimeouts(unsigned done, unsigned total) {
  if (Recorded().empty()) g_seenTimeouts = PortTimeouts();
  Record(done, total);
}

class FlashPacketTest : public FlashTest {
 protected:
  void SetUp() override {
    FlashTest::SetUp();
    g_seenTimeouts = {-1, -1};
    g_FlashAccessCb = RecordWithTimeouts;
  }
  void TearDown() override {
    g_FlashAccessCb = nullptr;
    FlashTest::TearDown();
  }
};

const std::pair<int, int> kNormalTimeouts{100, 200};

}  // namespace

TEST_F(FlashPacketTest, ReadsOfZeroAndThirtyThreeBytes) {
  unsigned char buffer[40];
  memset(buffer, 0xAB, sizeof buffer);
  EXPECT_EQ(DoSPIFlashRead(0x1234, buffer, 0), 1);
  EXPECT_EQ(Recorded(), (Reports{{0, 0}}));
  EXPECT_EQ(sim.RequestCount(), 0u);

  auto data = RandomBytes(33, 1);
  sim.LoadFlash(0x1234, data);
  Recorded().clear();
  EXPECT_EQ(DoSPIFlashRead(0x1234, buffer, 33), 1);
  EXPECT_EQ(Sent(), (Frames{ReadFrame(kFlash, 0x1234, 32), ReadFrame(kFlash, 0x1254, 1)}));
  EXPECT_EQ(Recorded(), (Reports{{0, 33}, {32, 33}, {33, 33}}));
  EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 33), data);
  EXPECT_EQ(buffer[33], 0xAB);

  // The memory map is reached the same way under its own signature.
  sim.LoadMemMap(0x300010, {0x5A});
  sim.ClearLog();
  EXPECT_EQ(DoMemMapRead(0x300010, buffer, 1), 1);
  EXPECT_EQ(Sent(), (Frames{ReadFrame(kMemMap, 0x300010, 1)}));
  EXPECT_EQ(buffer[0], 0x5A);
}

TEST_F(FlashPacketTest, WritesOfZeroAndThirtyThreeBytes) {
  auto data = RandomBytes(33, 2);
  EXPECT_EQ(DoSPIFlashWrite(0x20000, data.data(), 0), 1);
  EXPECT_EQ(Recorded(), (Reports{{0, 0}}));
  EXPECT_EQ(g_seenTimeouts, std::make_pair(2000, 200));
  EXPECT_EQ(PortTimeouts(), kNormalTimeouts);
  EXPECT_EQ(sim.RequestCount(), 0u);

  Recorded().clear();
  g_seenTimeouts = {-1, -1};
  EXPECT_EQ(DoSPIFlashWrite(0x20000, data.data(), 33), 1);
  EXPECT_EQ(Sent(), (Frames{WriteFrame(kFlash, 0x20000, data.data(), 32),
                            WriteFrame(kFlash, 0x20020, data.data() + 32, 1)}));
  EXPECT_EQ(Recorded(), (Reports{{32, 33}, {33, 33}, {33, 33}}));
  EXPECT_EQ(g_seenTimeouts, std::make_pair(2000, 200));
  EXPECT_EQ(PortTimeouts(), kNormalTimeouts);
  EXPECT_EQ(sim.ReadFlash(0x20000, 33), data);
}

TEST_F(FlashPacketTest, OneByteEraseIsOneSectorAtTheUnalignedAddress) {
  sim.LoadFlash(0x11000, std::vector<uint8_t>(0x3000, 0x00));
  EXPECT_EQ(SPIFlashErase(0x12345, 1), 1);
  EXPECT_EQ(Sent(), (Frames{SectorEraseFrame(kFlash, 0x12345)}));
  EXPECT_EQ(Recorded(), (Reports{{0, 4096}, {4096, 4096}}));
  EXPECT_EQ(g_seenTimeouts, std::make_pair(400, 200));
  EXPECT_EQ(PortTimeouts(), kNormalTimeouts);
  // The instrument erased the sector that holds the address, nothing more.
  EXPECT_EQ(sim.ReadFlash(0x12000, 0x1000), std::vector<uint8_t>(0x1000, 0xFF));
  EXPECT_EQ(sim.ReadFlash(0x11000, 0x1000), std::vector<uint8_t>(0x1000, 0x00));
  EXPECT_EQ(sim.ReadFlash(0x13000, 0x1000), std::vector<uint8_t>(0x1000, 0x00));
}

TEST_F(FlashPacketTest, LengthsThatAreNoWholeBlocksEraseSectorBySector) {
  // 36 KiB: nine sectors, not one block and one sector.
  EXPECT_EQ(SPIFlashErase(0x40000, 0x9000), 1);
  Frames expected;
  Reports reports;
  for (uint32_t offset = 0; offset < 0x9000; offset += 0x1000) {
    expected.push_back(SectorEraseFrame(kFlash, 0x40000 + offset));
    reports.emplace_back(offset, 0x9000);
  }
  reports.emplace_back(0x9000, 0x9000);
  EXPECT_EQ(Sent(), expected);
  EXPECT_EQ(Recorded(), reports);
  EXPECT_EQ(g_seenTimeouts, std::make_pair(400, 200));

  // A length just short of whole blocks is raised to sectors, not blocks.
  sim.ClearLog();
  Recorded().clear();
  EXPECT_EQ(MemMapErase(0x300000, 0x1001), 1);
  EXPECT_EQ(Sent(), (Frames{SectorEraseFrame(kMemMap, 0x300000),
                            SectorEraseFrame(kMemMap, 0x301000)}));
  EXPECT_EQ(Recorded(), (Reports{{0, 0x2000}, {0x1000, 0x2000}, {0x2000, 0x2000}}));
  EXPECT_EQ(PortTimeouts(), kNormalTimeouts);
}

TEST_F(FlashPacketTest, WholeBlocksAreErasedAsBlocksWithTheLongTimeout) {
  // Each reply comes a second late: within the block erase's 2000 ms, far
  // beyond a sector erase's 400 ms.
  sim.DelayReplies(2, 1000);
  long ms = ElapsedMs([&] { EXPECT_EQ(SPIFlashErase(0x18000, 0x10000), 1); });
  EXPECT_EQ(Sent(), (Frames{BlockEraseFrame(kFlash, 0x18000), BlockEraseFrame(kFlash, 0x20000)}));
  EXPECT_EQ(Recorded(), (Reports{{0, 0x10000}, {0x8000, 0x10000}, {0x10000, 0x10000}}));
  EXPECT_EQ(g_seenTimeouts, std::make_pair(2000, 200));
  EXPECT_EQ(PortTimeouts(), kNormalTimeouts);
  EXPECT_GE(ms, 1900);
}

TEST_F(FlashPacketTest, ErasesAndWritesAtTheChipsMaximumTimesSucceed) {
  // The instrument's real timing with every erase and write at the flash
  // chip's maximum: a 4 KiB sector 400 ms (the sector erase's own
  // time-out), a 32 KiB block 1600 ms, a packet 3 ms, each reply a 1 ms USB
  // frame later still.
  sim.SetTiming(zsim::Timing::Real);
  sim.SetSlowestFlash(true);
  long ms = ElapsedMs([&] { EXPECT_EQ(SPIFlashErase(0x12000, 0x2000), 1); });
  EXPECT_EQ(Sent(), (Frames{SectorEraseFrame(kFlash, 0x12000), SectorEraseFrame(kFlash, 0x13000)}));
  EXPECT_GE(ms, 800);
  EXPECT_EQ(MemMapErase(0x300000, 0x8000), 1);
  auto data = RandomBytes(33, 4);
  EXPECT_EQ(DoSPIFlashWrite(0x12000, data.data(), 33), 1);
  EXPECT_EQ(sim.ReadFlash(0x12000, 33), data);
  EXPECT_EQ(PortTimeouts(), kNormalTimeouts);
}

TEST_F(FlashPacketTest, ReadReplyLaterThanItsTimeoutFails) {
  sim.DelayReplies(1, 1000);
  unsigned char buffer[4];
  long ms = ElapsedMs([&] { EXPECT_EQ(DoSPIFlashRead(0, buffer, 4), 0); });
  EXPECT_LT(ms, 900);
  EXPECT_TRUE(Recorded().empty());  // no report, not even a final one
}

TEST_F(FlashPacketTest, FailedWriteAndEraseRestoreTheNormalTimeouts) {
  auto data = RandomBytes(33, 3);
  sim.DropReplies(1);
  EXPECT_EQ(DoSPIFlashWrite(0x30000, data.data(), 33), 0);
  EXPECT_EQ(sim.RequestCount(), 1u);  // stopped at the failed packet
  EXPECT_TRUE(Recorded().empty());
  EXPECT_EQ(PortTimeouts(), kNormalTimeouts);

  // A failure in the second packet: the first one has taken effect.
  sim.ClearLog();
  sim.LoadFlash(0x30000, std::vector<uint8_t>(64, 0xFF));
  g_FlashAccessCb = Record;
  OnReport() = [this](unsigned, unsigned) { sim.TruncateReplies(1, 10); };
  EXPECT_EQ(DoSPIFlashWrite(0x30000, data.data(), 33), 0);
  EXPECT_EQ(Recorded(), (Reports{{32, 33}}));
  EXPECT_EQ(sim.ReadFlash(0x30000, 32), std::vector<uint8_t>(data.begin(), data.begin() + 32));
  EXPECT_EQ(PortTimeouts(), kNormalTimeouts);
  OnReport() = nullptr;

  Recorded().clear();
  sim.DropReplies(1);
  EXPECT_EQ(SPIFlashErase(0x30000, 1), 0);
  EXPECT_TRUE(Recorded().empty());
  EXPECT_EQ(PortTimeouts(), kNormalTimeouts);
}

TEST_F(FlashPacketTest, RequestsThatWouldLeaveTheAddressSpaceAreRefused) {
  unsigned char buffer[32];
  EXPECT_EQ(DoSPIFlashRead(0xFFFFF0, buffer, 32), 0);
  EXPECT_EQ(DoSPIFlashWrite(0xFFFFFF, buffer, 2), 0);
  EXPECT_EQ(SPIFlashErase(0, 0xFFFFFFFFu), 0);  // its sector length does not fit 32 bits
  EXPECT_EQ(SPIFlashErase(0x1000000, 1), 0);
  EXPECT_EQ(DoSPIFlashRead(0, nullptr, 1), 0);
  EXPECT_EQ(DoSPIFlashWrite(0, nullptr, 1), 0);
  EXPECT_EQ(sim.RequestCount(), 0u);
  EXPECT_TRUE(Recorded().empty());

  // The last bytes of the address space are reachable.
  EXPECT_EQ(DoSPIFlashRead(0xFFFFE0, buffer, 32), 1);
  EXPECT_EQ(Sent(), (Frames{ReadFrame(kFlash, 0xFFFFE0, 32)}));
}

TEST(FlashPacketNoPort, EveryPrimitiveFailsAtItsFirstRequest) {
  ZervSetDeviceHandle(HandleOf(-1));
  g_FlashAccessCb = Record;
  Recorded().clear();
  unsigned char buffer[8] = {0};
  long ms = ElapsedMs([&] {
    EXPECT_EQ(DoSPIFlashRead(0, buffer, 8), 0);
    EXPECT_EQ(DoSPIFlashWrite(0, buffer, 8), 0);
    EXPECT_EQ(SPIFlashErase(0, 8), 0);
    EXPECT_EQ(SPIFlashWriteEx(CHIP_FLASH_REGION_0, buffer, 8, Record), 0);
  });
  EXPECT_LT(ms, 1000);
  EXPECT_TRUE(Recorded().empty());
  EXPECT_EQ(PortTimeouts(), kNormalTimeouts);
  g_FlashAccessCb = nullptr;
}
