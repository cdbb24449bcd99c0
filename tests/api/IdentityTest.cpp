// Identity records, the serial-number text, the record write-back and the
// manufacturing field, through the exported interface.
#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "InstrumentFixture.h"
#include "TargetArch.h"
#include "zervon.h"
#include "zervon_ext.h"

extern unsigned char g_DeviceHWInfo[64];

namespace {

// A record block with the given bytes 6 to 15 and recognisable filler elsewhere.
std::array<uint8_t, 64> BlockWith(std::initializer_list<uint8_t> bytes6to15) {
  std::array<uint8_t, 64> block{};
  block[0] = 0x12;
  block[1] = 0x55;
  block[2] = 0xAA;
  block[3] = 0x00;
  block[4] = 0x00;
  block[5] = 'V';
  size_t i = 6;
  for (uint8_t b : bytes6to15) block[i++] = b;
  for (i = 16; i < 64; ++i) block[i] = static_cast<uint8_t>(0xA0 + i);
  return block;
}

class Identity : public InstrumentTest {
 protected:
  // Gives the instrument `block` and hands its port over again, so the
  // library caches that block.
  void Present(const std::array<uint8_t, 64>& block) {
    sim.SetBlock(0, block);
    ZervSetDeviceHandle(HandleOf(fd));
    sim.ClearLog();
  }
};

}  // namespace

TEST_F(Identity, RecordsAreCutFromTheCachedBlock) {
  Present(BlockWith({'R', 'X', 21, 7, 3, 0x12, 0x34, 0x85, 3, 9}));
  MODEL_INFORMATION model;
  memset(&model, 0x5A, sizeof model);
  ASSERT_TRUE(ZervGetDeviceInformation(&model));
  EXPECT_EQ(model.cModel1, 'R');
  EXPECT_EQ(model.cModel2, 'X');
  EXPECT_EQ(model.cSerialGroup1, 21);
  EXPECT_EQ(model.cSerialGroup2, 7);
  EXPECT_EQ(model.nSerialGroup3, 3);
  EXPECT_EQ(model.nSerialGroup4, 0x1234);
  HW_INFORMATION hw;
  ASSERT_TRUE(ZervGetHWInformation(&hw));
  EXPECT_EQ(hw.nHWCode, 0x85);  // zero-extended, not sign-extended
  EXPECT_EQ(hw.nFirmwareMain, 3);
  EXPECT_EQ(hw.nFirmwareSub, 9);
  EXPECT_EQ(sim.RequestCount(), 0u);  // read from the cache, no exchange
}

TEST_F(Identity, SerialNumberText) {
  Present(BlockWith({0x52, 0x58, 0x15, 0x07, 0x03, 0x01, 0x2C}));
  const char* text = ZervGetSerialNumber();
  EXPECT_STREQ(text, "VRX2107-030300");
  EXPECT_EQ(ZervGetSerialNumber(), text);  // one static buffer

  // A byte of 0xF0 prints as the platform's char promotes it: -16 on the
  // x86 builds, 240 on the ARM builds.
  Present(BlockWith({0x52, 0x58, 0xF0, 0x07, 0x03, 0x01, 0x2C}));
  EXPECT_STREQ(ZervGetSerialNumber(), target::kCharIsSigned ? "VRX-1607-030300" : "VRX24007-030300")
      << "on " << target::kName;
  Present(BlockWith({0x52, 0x58, 0x15, 0xF0, 0x03, 0x01, 0x2C}));
  EXPECT_STREQ(ZervGetSerialNumber(), target::kCharIsSigned ? "VRX21-16-030300" : "VRX21240-030300")
      << "on " << target::kName;

  // The widest text still fits.
  Present(BlockWith({0x80, 0x80, 0x80, 0x80, 0xFF, 0xFF, 0xFF}));
  EXPECT_LE(strlen(ZervGetSerialNumber()), 20u);
}

TEST_F(Identity, NoInstrumentGivesZerosAndAJustV) {
  ZervSetDeviceHandle(HandleOf(-1));
  MODEL_INFORMATION model;
  memset(&model, 0x5A, sizeof model);
  HW_INFORMATION hw;
  memset(&hw, 0x5A, sizeof hw);
  EXPECT_TRUE(ZervGetDeviceInformation(&model));
  EXPECT_TRUE(ZervGetHWInformation(&hw));
  EXPECT_EQ(model.cModel1, 0);
  EXPECT_EQ(model.nSerialGroup4, 0);
  EXPECT_EQ(hw.nFirmwareMain, 0);
  EXPECT_EQ(hw.nFirmwareSub, 0);
  EXPECT_EQ(hw.nHWCode, 0);
  EXPECT_STREQ(ZervGetSerialNumber(), "V");
}

TEST_F(Identity, NullRecordsAreRefused) {
  EXPECT_FALSE(ZervGetDeviceInformation(nullptr));
  EXPECT_FALSE(ZervGetHWInformation(nullptr));
  MODEL_INFORMATION model{};
  HW_INFORMATION hw{};
  EXPECT_FALSE(ZervSetDeviceInformation(nullptr, &hw));
  EXPECT_FALSE(ZervSetDeviceInformation(&model, nullptr));
  usleep(100 * 1000);
  EXPECT_EQ(sim.RequestCount(), 0u);
}

TEST_F(Identity, WriteBackSendsTheWholeBlockWithNewFields) {
  Present(BlockWith({'R', 'X', 21, 7, 3, 0x01, 0x2C, 5, 3, 2}));
  std::array<uint8_t, 64> original;
  memcpy(original.data(), g_DeviceHWInfo, 64);  // the block as the instrument sent it
  MODEL_INFORMATION model{};
  model.cModel1 = 'Q';  // overwrites the marker's second letter
  model.cModel2 = 'Z';
  model.cSerialGroup1 = 22;
  model.cSerialGroup2 = 8;
  model.nSerialGroup3 = 0x104;   // only the low 8 bits travel
  model.nSerialGroup4 = 0x1ABCD; // only the low 16 bits travel
  HW_INFORMATION hw{};
  hw.nFirmwareMain = 0x104;
  hw.nFirmwareSub = 7;
  hw.nHWCode = 0x1FF;
  // The instrument refuses a block that changes its product marker: no reply.
  EXPECT_FALSE(ZervSetDeviceInformation(&model, &hw));

  ASSERT_EQ(Sent().size(), 1u);
  std::vector<uint8_t> sent = Sent()[0];
  ASSERT_EQ(sent.size(), 64u);
  EXPECT_EQ(sent[3], 0xFF);
  for (int i : {0, 1, 2, 4, 5}) EXPECT_EQ(sent[i], original[i]) << "header byte " << i;
  EXPECT_EQ(sent[6], 'Q');
  EXPECT_EQ(sent[7], 'Z');
  EXPECT_EQ(sent[8], 22);
  EXPECT_EQ(sent[9], 8);
  EXPECT_EQ(sent[10], 0x04);
  EXPECT_EQ(sent[11], 0xAB);
  EXPECT_EQ(sent[12], 0xCD);
  EXPECT_EQ(sent[13], 0xFF);
  EXPECT_EQ(sent[14], 0x04);
  EXPECT_EQ(sent[15], 7);
  for (int i = 16; i < 64; ++i) EXPECT_EQ(sent[i], original[i]) << "byte " << i;

  // The cache holds what was written, truncated.
  HW_INFORMATION back{};
  ZervGetHWInformation(&back);
  EXPECT_EQ(back.nFirmwareMain, 4);
  EXPECT_EQ(back.nHWCode, 0xFF);
  EXPECT_EQ(g_DeviceHWInfo[3], 0xFF);
  EXPECT_EQ(0, memcmp(sim.Block(0).data() + 5, "VRX", 3));

  // With the marker kept the instrument takes the block.
  model.cModel1 = 'R';
  model.cModel2 = 'X';
  EXPECT_TRUE(ZervSetDeviceInformation(&model, &hw));
  EXPECT_EQ(sim.Block(0)[13], 0xFF);
}

TEST_F(Identity, WriteBackFailureIsReportedButTheCacheKeepsTheValues) {
  sim.DropReplies(1);
  MODEL_INFORMATION model{};
  HW_INFORMATION hw{};
  hw.nFirmwareMain = 9;
  EXPECT_FALSE(ZervSetDeviceInformation(&model, &hw));
  HW_INFORMATION back{};
  ZervGetHWInformation(&back);
  EXPECT_EQ(back.nFirmwareMain, 9);
}

// ---- Manufacturing information ----

using MfgInfo = InstrumentTest;

TEST_F(MfgInfo, ReadCopiesAtMostFourBytesFromOffsetSixty) {
  sim.SetMfgInfo({0xDE, 0xAD, 0xBE, 0xEF});
  unsigned char buf[8];
  memset(buf, 0x11, sizeof buf);
  ASSERT_TRUE(ZervReadMfgInfo(buf, 2));
  EXPECT_EQ(buf[0], 0xDE);
  EXPECT_EQ(buf[1], 0xAD);
  EXPECT_EQ(buf[2], 0x11);
  memset(buf, 0x11, sizeof buf);
  ASSERT_TRUE(ZervReadMfgInfo(buf, 100));
  EXPECT_EQ(0, memcmp(buf, "\xDE\xAD\xBE\xEF\x11", 5));
  ASSERT_GE(Sent().size(), 1u);
  EXPECT_EQ(Sent()[0], std::vector<uint8_t>({0x12, 0x55, 0xAA, 0x00, 0x01}));
}

TEST_F(MfgInfo, WriteIsAReadModifyWriteOfTheBlock) {
  sim.SetMfgInfo({1, 2, 3, 4});
  auto before = sim.Block(1);
  const unsigned char data[4] = {0xA1, 0xA2, 0xA3, 0xA4};
  ASSERT_TRUE(ZervWriteMfgInfo(data, 3));
  auto frames = Sent();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0], std::vector<uint8_t>({0x12, 0x55, 0xAA, 0x00, 0x01}));
  const auto& written = frames[1];
  ASSERT_EQ(written.size(), 64u);
  EXPECT_EQ(written[3], 0xFF);
  EXPECT_EQ(written[60], 0xA1);
  EXPECT_EQ(written[61], 0xA2);
  EXPECT_EQ(written[62], 0xA3);
  EXPECT_EQ(written[63], 4);  // beyond the count: as read
  for (int i = 0; i < 60; ++i) {
    if (i != 3) {
      EXPECT_EQ(written[i], before[i]) << "byte " << i;
    }
  }
  unsigned char back[4];
  ASSERT_TRUE(ZervReadMfgInfo(back, 4));
  EXPECT_EQ(0, memcmp(back, "\xA1\xA2\xA3\x04", 4));
}

TEST_F(MfgInfo, WriteOfNothingSendsTheBlockBackWithOnlyTheOperationChanged) {
  auto before = sim.Block(1);
  ASSERT_TRUE(ZervWriteMfgInfo(nullptr, 0));
  auto frames = Sent();
  ASSERT_EQ(frames.size(), 2u);
  for (int i = 0; i < 64; ++i) EXPECT_EQ(frames[1][i], i == 3 ? 0xFF : before[i]) << "byte " << i;
}

TEST_F(MfgInfo, FailedReadWritesNothing) {
  sim.TruncateReplies(1, 63);
  const unsigned char data[4] = {9, 9, 9, 9};
  EXPECT_FALSE(ZervWriteMfgInfo(data, 4));
  usleep(100 * 1000);
  EXPECT_EQ(Sent().size(), 1u);  // only the read request
  unsigned char buf[4] = {7, 7, 7, 7};
  sim.DropReplies(1);
  EXPECT_FALSE(ZervReadMfgInfo(buf, 4));
  EXPECT_EQ(buf[0], 7);
}

TEST_F(MfgInfo, NullDataWithALengthIsRefusedWithoutAnExchange) {
  EXPECT_FALSE(ZervReadMfgInfo(nullptr, 4));
  EXPECT_FALSE(ZervWriteMfgInfo(nullptr, 1));
  usleep(100 * 1000);
  EXPECT_EQ(sim.RequestCount(), 0u);
}
