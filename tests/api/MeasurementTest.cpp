// Output settings, the status report, the measured value and the battery
// state, through the exported interface.
#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "InstrumentFixture.h"
#include "zervon.h"

using Settings = InstrumentTest;

TEST_F(Settings, OnlyTheLowBytesTravelInAFixedFrame) {
  EXPECT_EQ(ZervUpdateSetting(1, 2, 3, 4), 0);
  EXPECT_EQ(ZervUpdateSettingEx(0x1FF, 0, 0, 0, 0x102), 0);
  EXPECT_EQ(ZervUpdateSettingEx(-1, 256, 0x7F, 0x80, -2), 0);
  ASSERT_TRUE(sim.WaitForRequests(3, 2000));
  auto frames = Sent();
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(frames[0], std::vector<uint8_t>({0x00, 0x01, 0x02, 0x03, 0x04, 0x00, 0x01, 0x00}));
  EXPECT_EQ(frames[1], std::vector<uint8_t>({0x00, 0xFF, 0x00, 0x00, 0x00, 0x02, 0x01, 0x00}));
  EXPECT_EQ(frames[2], std::vector<uint8_t>({0x00, 0xFF, 0x00, 0x7F, 0x80, 0xFE, 0x01, 0x00}));
  auto seen = sim.Settings();
  ASSERT_EQ(seen.size(), 3u);
}

TEST(SettingsClosed, NoPortGivesOne) {
  ZervSetDeviceHandle(HandleOf(-1));
  EXPECT_EQ(ZervUpdateSetting(1, 2, 3, 4), 1);
  EXPECT_EQ(ZervUpdateSettingEx(1, 2, 3, 4, 5), 1);
  int a = 77;
  double v = 7.7;
  EXPECT_EQ(ZervReadValue(&a, nullptr, nullptr, nullptr, nullptr, &v), 2);
  EXPECT_EQ(a, 77);
  EXPECT_EQ(v, 7.7);
  EXPECT_EQ(ZervGetBatteryStatus(), 0);
}

using Measurement = InstrumentTest;

TEST_F(Measurement, ReportBytesAndScaledValue) {
  sim.SetReportBytes({3, 200, 0, 17, 255});
  sim.SetMeasuredRaw(0x04D2);
  int o[5] = {-1, -1, -1, -1, -1};
  double value = 0;
  ASSERT_EQ(ZervReadValue(&o[0], &o[1], &o[2], &o[3], &o[4], &value), 0);
  EXPECT_EQ(o[0], 3);
  EXPECT_EQ(o[1], 200);
  EXPECT_EQ(o[2], 0);
  EXPECT_EQ(o[3], 17);
  EXPECT_EQ(o[4], 255);  // unsigned, not -1
  EXPECT_DOUBLE_EQ(value, 12.34);

  sim.SetReportBytes({1, 0, 0, 0, 0});
  ASSERT_EQ(ZervReadValue(nullptr, nullptr, nullptr, nullptr, nullptr, &value), 0);
  EXPECT_DOUBLE_EQ(value, 1.234);

  sim.SetReportBytes({4, 0, 0, 0, 0});
  sim.SetMeasuredRaw(0xFFFF);
  ASSERT_EQ(ZervReadValue(nullptr, nullptr, nullptr, nullptr, nullptr, &value), 0);
  EXPECT_DOUBLE_EQ(value, 655.35);  // the raw value is unsigned 16 bits

  // The virtual instrument shows the last setting in the report bytes: the
  // setting arrived, and the scale follows it.
  ASSERT_EQ(ZervUpdateSettingEx(1, 2, 3, 4, 5), 0);
  ASSERT_EQ(ZervReadValue(&o[0], &o[1], &o[2], &o[3], &o[4], &value), 0);
  EXPECT_EQ(std::vector<int>(o, o + 5), std::vector<int>({1, 2, 3, 4, 5}));
  EXPECT_DOUBLE_EQ(value, 65.535);
  ASSERT_EQ(ZervUpdateSetting(3, 0, 0, 0), 0);
  ASSERT_EQ(ZervReadValue(&o[0], nullptr, nullptr, nullptr, &o[4], &value), 0);
  EXPECT_EQ(o[0], 3);
  EXPECT_EQ(o[4], 0);
  EXPECT_DOUBLE_EQ(value, 655.35);
}

TEST_F(Measurement, AllPointersNullStillExchanges) {
  EXPECT_EQ(ZervReadValue(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), 0);
  ASSERT_EQ(Sent().size(), 1u);
  EXPECT_EQ(Sent()[0], std::vector<uint8_t>({0x14}));
}

TEST_F(Measurement, ShortOrForeignReplyIsRejectedAndNothingStored) {
  int a = 77;
  double v = 7.7;
  sim.TruncateReplies(1, 26);
  EXPECT_EQ(ZervReadValue(&a, nullptr, nullptr, nullptr, nullptr, &v), 2);
  EXPECT_EQ(a, 77);
  EXPECT_EQ(v, 7.7);

  sim.GarbageReplies(1);
  int rc = ZervReadValue(&a, nullptr, nullptr, nullptr, nullptr, &v);
  // Garbage that happens to start with 0x14 is indistinguishable from a report.
  if (rc != 0) {
    EXPECT_EQ(a, 77);
  }

  sim.DropReplies(1);
  EXPECT_EQ(ZervReadValue(&a, nullptr, nullptr, nullptr, nullptr, &v), 2);

  // A 27-byte reply is enough.
  sim.TruncateReplies(1, 27);
  EXPECT_EQ(ZervReadValue(&a, nullptr, nullptr, nullptr, nullptr, &v), 0);
}

TEST_F(Measurement, BatteryFlagIsBitTwoOfByteTwentyNine) {
  EXPECT_EQ(ZervGetBatteryStatus(), 1);
  sim.SetBatteryLow(true);
  EXPECT_EQ(ZervGetBatteryStatus(), 0);
  sim.SetStatusFlags(0x04);
  EXPECT_EQ(ZervGetBatteryStatus(), 0);
  sim.SetStatusFlags(0xFB);
  EXPECT_EQ(ZervGetBatteryStatus(), 1);

  // A valid reply too short to hold the flags reads as a good battery; a
  // reply too short to be valid reads as 0.
  sim.SetStatusFlags(0x04);
  sim.TruncateReplies(1, 28);
  EXPECT_EQ(ZervGetBatteryStatus(), 1);
  sim.TruncateReplies(1, 26);
  EXPECT_EQ(ZervGetBatteryStatus(), 0);
}

TEST_F(Measurement, ValueFollowsTheInstrument) {
  sim.SetReportBytes({3, 0, 0, 0, 0});
  double seen[3] = {0, 0, 0};
  const uint16_t raws[3] = {100, 2500, 65000};
  for (int i = 0; i < 3; ++i) {
    sim.SetMeasuredRaw(raws[i]);
    ASSERT_EQ(ZervReadValue(nullptr, nullptr, nullptr, nullptr, nullptr, &seen[i]), 0);
    EXPECT_DOUBLE_EQ(seen[i], raws[i] / 100.0);
  }
}
