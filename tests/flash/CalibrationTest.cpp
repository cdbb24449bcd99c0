// Display-module calibration through the exported interface: the start and
// stop commands and the store of the result in SPI flash region 2.
#include <gtest/gtest.h>

#include <array>

#include "FlashTestSupport.h"
#include "zervon.h"

using namespace flashtest;

namespace {

Frame CalibrationFrame(uint8_t operation) {
  Frame f(26, 0x00);
  f[0] = 0x4D;
  f[1] = operation;
  return f;
}

std::array<uint8_t, 24> Result(unsigned seed) {
  auto bytes = RandomBytes(24, seed);
  std::array<uint8_t, 24> a;
  std::copy(bytes.begin(), bytes.end(), a.begin());
  return a;
}

std::vector<uint8_t> AsVector(const std::array<uint8_t, 24>& a) { return {a.begin(), a.end()}; }

using CalibrationTest = FlashTest;

}  // namespace

TEST_F(CalibrationTest, StartSendsTheStartCommand) {
  EXPECT_TRUE(ZervStartLCMCalibration());
  EXPECT_EQ(Sent(), (Frames{CalibrationFrame(0x01)}));
  EXPECT_TRUE(sim.Calibrating());

  sim.DropReplies(1);
  EXPECT_FALSE(ZervStartLCMCalibration());

  ZervSetDeviceHandle(HandleOf(-1));
  EXPECT_FALSE(ZervStartLCMCalibration());
  EXPECT_FALSE(ZervStopLCMCalibration(Record));
  EXPECT_TRUE(Recorded().empty());
}

TEST_F(CalibrationTest, StopStoresTheResultAtTheStartOfRegionTwo) {
  auto result = Result(30);
  sim.SetCalibrationResult(result);
  sim.LoadFlash(0x10000, std::vector<uint8_t>(0x8000, 0x00));
  EXPECT_TRUE(ZervStopLCMCalibration(Record));
  Frame write = Header(kFlash, 'W', 23, 0x10000);
  write.insert(write.end(), result.begin(), result.end());
  EXPECT_EQ(Sent(), (Frames{CalibrationFrame(0x00), BlockEraseFrame(kFlash, 0x10000), write,
                            ReadFrame(kFlash, 0x10000, 32)}));
  EXPECT_EQ(Recorded(), (Reports{{0, 0x8000}, {0x8000, 0x8000}, {24, 24}, {24, 24},
                                 {0, 32}, {32, 32}}));
  EXPECT_EQ(sim.ReadFlash(0x10000, 24), AsVector(result));
  EXPECT_EQ(sim.ReadFlash(0x10018, 0x8000 - 24), std::vector<uint8_t>(0x8000 - 24, 0xFF));
}

TEST_F(CalibrationTest, StopWithoutCallbackReportsNothing) {
  unsigned char buffer[4];
  ASSERT_TRUE(ZervSPIFlashRead(buffer, 4, Record));  // leaves a callback behind
  Recorded().clear();
  auto result = Result(31);
  sim.SetCalibrationResult(result);
  EXPECT_TRUE(ZervStopLCMCalibration(nullptr));
  EXPECT_TRUE(Recorded().empty());
  EXPECT_EQ(sim.ReadFlash(0x10000, 24), AsVector(result));
}

TEST_F(CalibrationTest, ShortStopReplyLeavesTheFlashAlone) {
  auto before = RandomBytes(64, 32);
  sim.LoadFlash(0x10000, before);
  sim.TruncateReplies(1, 25);
  EXPECT_FALSE(ZervStopLCMCalibration(Record));
  usleep(50 * 1000);
  EXPECT_EQ(Sent(), (Frames{CalibrationFrame(0x00)}));
  EXPECT_TRUE(Recorded().empty());
  EXPECT_EQ(sim.ReadFlash(0x10000, 64), before);
}

TEST_F(CalibrationTest, FailedStoreIsReportedAsFailure) {
  sim.SetCalibrationResult(Result(33));
  sim.CorruptFlashOnWrite(0x10000 + 23, 0x01);
  EXPECT_FALSE(ZervStopLCMCalibration(nullptr));
}
