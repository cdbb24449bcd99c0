// The virtual instrument's answers to each request, seen from the host side
// of its terminal: record blocks, status report, settings, calibration, the
// two flash-like memories and the loader's rows.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <thread>

#include "HostPort.h"

using namespace simtest;

// ---- record blocks ----

using SimBlocks = SimTest;

TEST_F(SimBlocks, DeviceRecordCarriesHeaderMarkerSerialAndVersions) {
  const Bytes reply = host->Exchange(ReadBlock(0), 64);
  ASSERT_EQ(reply.size(), 64u);
  EXPECT_EQ(Bytes(reply.begin(), reply.begin() + 5), Bytes({0x12, 0x55, 0xAA, 0x00, 0x00}));
  EXPECT_EQ(0, memcmp(reply.data() + 5, "VRX", 3));
  EXPECT_EQ(Bytes(reply.begin() + 8, reply.begin() + 16), Bytes({21, 7, 3, 0x01, 0x2C, 5, 3, 2}));
  const auto block = sim.Block(0);
  EXPECT_EQ(reply, Bytes(block.begin(), block.end()));
}

TEST_F(SimBlocks, SettersChangeTheBytesTheHostReads) {
  sim.SetMarker("ABC");
  sim.SetSerial(1, 2, 3, 0x1234);
  sim.SetHWCode(9);
  sim.SetFirmware(2, 7);
  const Bytes reply = host->Exchange(ReadBlock(0), 64);
  ASSERT_EQ(reply.size(), 64u);
  EXPECT_EQ(Bytes(reply.begin() + 5, reply.begin() + 16), Bytes({'A', 'B', 'C', 1, 2, 3, 0x12, 0x34, 9, 2, 7}));
}

TEST_F(SimBlocks, WrittenBlockIsStoredWithItsOperationByteClearedAndEchoed) {
  Bytes block = host->Exchange(ReadBlock(0), 64);
  ASSERT_EQ(block.size(), 64u);
  block[3] = 0xFF;
  block[14] = 4;
  block[15] = 1;
  block[40] = 0x5A;
  const Bytes echo = host->Exchange(block, 64);
  Bytes stored = block;
  stored[3] = 0x00;
  EXPECT_EQ(echo, stored);
  const auto held = sim.Block(0);
  EXPECT_EQ(Bytes(held.begin(), held.end()), stored);
  EXPECT_EQ(host->Exchange(ReadBlock(0), 64), stored);
  // The manufacturing block is a separate block.
  EXPECT_EQ(sim.Block(1)[4], 1);
}

TEST_F(SimBlocks, ManufacturingBlockReadAndWrittenByItsNumber) {
  sim.SetMfgInfo({0xDE, 0xAD, 0xBE, 0xEF});
  Bytes block = host->Exchange(ReadBlock(1), 64);
  ASSERT_EQ(block.size(), 64u);
  EXPECT_EQ(Bytes(block.begin(), block.begin() + 5), Bytes({0x12, 0x55, 0xAA, 0x00, 0x01}));
  EXPECT_EQ(Bytes(block.begin() + 60, block.end()), Bytes({0xDE, 0xAD, 0xBE, 0xEF}));

  block[3] = 0xFF;
  block[60] = 0x11;
  ASSERT_EQ(host->Exchange(block, 64).size(), 64u);
  EXPECT_EQ(sim.Block(1)[60], 0x11);
  EXPECT_EQ(sim.Block(1)[3], 0x00);
  EXPECT_EQ(0, memcmp(sim.Block(0).data() + 5, "VRX", 3));  // block 0 untouched
}

TEST_F(SimBlocks, ForeignDeviceReportsAnotherMarkerWithoutChangingTheBlock) {
  sim.SetForeign(true);
  Bytes reply = host->Exchange(ReadBlock(0), 64);
  ASSERT_EQ(reply.size(), 64u);
  EXPECT_NE(0, memcmp(reply.data() + 5, "VRX", 3));
  EXPECT_EQ(0, memcmp(sim.Block(0).data() + 5, "VRX", 3));
  sim.SetForeign(false);
  reply = host->Exchange(ReadBlock(0), 64);
  EXPECT_EQ(0, memcmp(reply.data() + 5, "VRX", 3));
}

TEST_F(SimBlocks, UnknownBlockNumberIsNotAnswered) {
  EXPECT_TRUE(host->Exchange(ReadBlock(7), 64, 150).empty());
  EXPECT_EQ(host->Exchange(ReadBlock(0), 64).size(), 64u);
}

// ---- status report, settings, host control ----

using SimStatus = SimTest;

TEST_F(SimStatus, ReportBytesValueAndFlagsSitAtTheirOffsets) {
  sim.SetReportBytes({4, 10, 20, 30, 40});
  sim.SetMeasuredRaw(0xABCD);
  const Bytes reply = host->Exchange({0x14}, 64);
  ASSERT_EQ(reply.size(), 64u);
  EXPECT_EQ(Bytes(reply.begin(), reply.begin() + 6), Bytes({0x14, 4, 10, 20, 30, 40}));
  EXPECT_EQ(reply[25], 0xAB);
  EXPECT_EQ(reply[26], 0xCD);
  EXPECT_EQ(reply[29], 0x00);
}

TEST_F(SimStatus, BatteryLowIsBitTwoOfByte29AndLeavesOtherFlags) {
  sim.SetStatusFlags(0x81);
  sim.SetBatteryLow(true);
  EXPECT_EQ(host->Exchange({0x14}, 64).at(29), 0x85);
  sim.SetBatteryLow(false);
  EXPECT_EQ(host->Exchange({0x14}, 64).at(29), 0x81);
  sim.SetStatusFlags(0xFB);
  EXPECT_EQ(host->Exchange({0x14}, 64).at(29), 0xFB);
}

TEST(SimStatusAuto, ValueMovesAroundTheFixedValueAndStopsWhenFixedAgain) {
  zsim::VirtualInstrument sim;
  sim.SetMeasuredRaw(1000);
  sim.SetMeasuredAuto(true);
  ASSERT_TRUE(sim.Start());
  HostPort host(sim);
  auto value = [&] {
    Bytes r = host.Exchange({0x14}, 64);
    return r.size() == 64 ? (r[25] << 8) | r[26] : -1;
  };
  const int first = value();
  usleep(150 * 1000);
  const int later = value();
  EXPECT_NE(first, later);
  for (int v : {first, later}) {
    EXPECT_GE(v, 800);
    EXPECT_LE(v, 1200);
  }
  sim.SetMeasuredRaw(777);
  EXPECT_EQ(value(), 777);
  usleep(50 * 1000);
  EXPECT_EQ(value(), 777);
}

TEST(SimStatusAuto, ModelValueIsASineOfTheTimeItIsGiven) {
  zsim::InstrumentModel model;
  model.state.raw = 1000;
  model.state.autoValue = true;
  const auto epoch = model.state.epoch;
  using std::chrono::seconds;
  EXPECT_EQ(model.MeasuredRaw(epoch), 1000);
  EXPECT_EQ(model.MeasuredRaw(epoch + seconds(5)), 1200);  // a quarter period: a fifth above
  EXPECT_EQ(model.MeasuredRaw(epoch + seconds(15)), 800);
  EXPECT_EQ(model.MeasuredRaw(epoch + seconds(25)), 1200);  // period 20 s
  const Bytes reply = Feed(model, {0x14}, epoch + seconds(15)).replies.at(0).bytes;
  EXPECT_EQ((reply.at(25) << 8) | reply.at(26), 800);
}

TEST_F(SimStatus, SettingsAreRecordedInOrderWithoutReply) {
  const Bytes a = {0x00, 1, 2, 3, 4, 0, 1, 0};
  const Bytes b = {0x00, 0xFF, 0, 0, 0, 2, 1, 0};
  host->Write(Concat(a, b));
  ASSERT_TRUE(sim.WaitForRequests(2, 1000));
  EXPECT_TRUE(host->Drain(100).empty());
  const auto settings = sim.Settings();
  ASSERT_EQ(settings.size(), 2u);
  EXPECT_EQ(Bytes(settings[0].begin(), settings[0].end()), a);
  EXPECT_EQ(Bytes(settings[1].begin(), settings[1].end()), b);
  sim.ClearSettings();
  EXPECT_TRUE(sim.Settings().empty());
}

TEST_F(SimStatus, HostControlByteIsNotedAndNotAnswered) {
  EXPECT_FALSE(sim.HostControl());
  host->Write({0x43});
  ASSERT_TRUE(sim.WaitForRequests(1, 1000));
  EXPECT_TRUE(sim.HostControl());
  EXPECT_TRUE(host->Drain(100).empty());
}

// ---- calibration ----

using SimCalibration = SimTest;

TEST_F(SimCalibration, StartThenStopReturnsTheResult) {
  std::array<uint8_t, 24> result;
  for (size_t i = 0; i < result.size(); ++i) result[i] = static_cast<uint8_t>(100 + i);
  sim.SetCalibrationResult(result);

  const Bytes started = host->Exchange(Calibration(1), 26);
  ASSERT_EQ(started.size(), 26u);
  EXPECT_EQ(started[0], 0x4D);
  EXPECT_TRUE(sim.Calibrating());

  const Bytes stopped = host->Exchange(Calibration(0), 26);
  ASSERT_EQ(stopped.size(), 26u);
  EXPECT_EQ(Bytes(stopped.begin() + 2, stopped.end()), Bytes(result.begin(), result.end()));
  EXPECT_FALSE(sim.Calibrating());

  // A stop without a start is answered the same way.
  EXPECT_EQ(host->Exchange(Calibration(0), 26), stopped);
}

// ---- SPI flash and memory map ----

using SimFlash = SimTest;

TEST_F(SimFlash, ErasedChipReadsAllOnesAndRepliesEchoTheHeader) {
  const Bytes request = FlashRead('Q', 0x012345, 32);
  const Bytes reply = host->Exchange(request, 64);
  ASSERT_EQ(reply.size(), 64u);
  EXPECT_EQ(Bytes(reply.begin(), reply.begin() + 8), request);
  EXPECT_EQ(Bytes(reply.begin() + 8, reply.begin() + 40), Bytes(32, 0xFF));
}

TEST_F(SimFlash, WriteReadBackAndPacketSizes) {
  Bytes data(32);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
  const Bytes request = FlashWrite('Q', 0x18000, data);
  ASSERT_EQ(request.size(), 40u);
  const Bytes reply = host->Exchange(request, 64);
  ASSERT_EQ(reply.size(), 64u);
  EXPECT_EQ(Bytes(reply.begin(), reply.begin() + 8), Bytes(request.begin(), request.begin() + 8));
  EXPECT_EQ(sim.ReadFlash(0x18000, 32), data);

  // A one-byte packet (byte 4 = 0) is 9 bytes long, a read of 5 gives 5.
  ASSERT_EQ(host->Exchange(FlashWrite('Q', 0x18100, {0x42}), 64).size(), 64u);
  const Bytes five = host->Exchange(FlashRead('Q', 0x18000, 5), 64);
  ASSERT_EQ(five.size(), 64u);
  EXPECT_EQ(Bytes(five.begin() + 8, five.begin() + 13), Bytes(data.begin(), data.begin() + 5));
  EXPECT_EQ(sim.ReadFlash(0x18100, 1), Bytes({0x42}));
}

TEST_F(SimFlash, WriteWithoutEraseOnlyClearsBits) {
  host->Exchange(FlashWrite('Q', 0x100, {0xF0, 0x0F, 0xAA}), 64);
  host->Exchange(FlashWrite('Q', 0x100, {0x3C, 0xFF, 0x55}), 64);
  EXPECT_EQ(sim.ReadFlash(0x100, 3), Bytes({0x30, 0x0F, 0x00}));
}

TEST_F(SimFlash, SectorEraseClearsTheWholeContainingSectorOnly) {
  sim.LoadFlash(0x1FFF, {0x11, 0x22});        // last byte of sector 1, first of sector 2
  sim.LoadFlash(0x2FFF, {0x33, 0x44});        // last byte of sector 2, first of sector 3
  ASSERT_EQ(host->Exchange(SectorErase('Q', 0x2ABC), 64).size(), 64u);  // unaligned address
  EXPECT_EQ(sim.ReadFlash(0x1FFF, 2), Bytes({0x11, 0xFF}));
  EXPECT_EQ(sim.ReadFlash(0x2FFF, 2), Bytes({0xFF, 0x44}));
}

TEST_F(SimFlash, BlockEraseClearsTheWholeContaining32KiBBlockOnly) {
  sim.LoadFlash(0x17FFF, {0x01, 0x02});
  sim.LoadFlash(0x1FFFF, {0x03, 0x04});
  sim.LoadFlash(0x1A000, {0x05});
  ASSERT_EQ(host->Exchange(BlockErase('Q', 0x1C123), 64).size(), 64u);
  EXPECT_EQ(sim.ReadFlash(0x17FFF, 2), Bytes({0x01, 0xFF}));
  EXPECT_EQ(sim.ReadFlash(0x1A000, 1), Bytes({0xFF}));
  EXPECT_EQ(sim.ReadFlash(0x1FFFF, 2), Bytes({0xFF, 0x04}));
  // After the erase the block takes new data whole.
  host->Exchange(FlashWrite('Q', 0x1A000, {0x5A}), 64);
  EXPECT_EQ(sim.ReadFlash(0x1A000, 1), Bytes({0x5A}));
}

TEST_F(SimFlash, FlashAddressesWrapAtTwoMebibytes) {
  host->Exchange(FlashWrite('Q', 0x200010, {0x12, 0x34}), 64);
  EXPECT_EQ(sim.ReadFlash(0x10, 2), Bytes({0x12, 0x34}));
  const Bytes reply = host->Exchange(FlashRead('Q', 0x600010, 2), 64);
  ASSERT_EQ(reply.size(), 64u);
  EXPECT_EQ(Bytes(reply.begin() + 8, reply.begin() + 10), Bytes({0x12, 0x34}));
}

TEST_F(SimFlash, MemoryMapIsASeparate24BitMemoryWithTheSameRules) {
  host->Exchange(FlashWrite('L', 0xFFFFF0, {0xC3}), 64);
  host->Exchange(FlashWrite('L', 0x300000, {0x0F}), 64);
  host->Exchange(FlashWrite('L', 0x300000, {0xF1}), 64);
  EXPECT_EQ(sim.ReadMemMap(0xFFFFF0, 1), Bytes({0xC3}));
  EXPECT_EQ(sim.ReadMemMap(0x300000, 1), Bytes({0x01}));
  EXPECT_EQ(sim.ReadFlash(0x100000, 1), Bytes({0xFF}));  // 0x300000 mod 2 MiB in the SPI flash

  sim.LoadMemMap(0x308FFF, {0x77, 0x66});
  host->Exchange(SectorErase('L', 0x308800), 64);
  EXPECT_EQ(sim.ReadMemMap(0x308FFF, 2), Bytes({0xFF, 0x66}));
  const Bytes reply = host->Exchange(FlashRead('L', 0x309000, 1), 64);
  ASSERT_EQ(reply.size(), 64u);
  EXPECT_EQ(reply[8], 0x66);
}

TEST_F(SimFlash, CorruptionHitsTheNextWriteCoveringTheByteOnce) {
  sim.CorruptFlashOnWrite(0x10005, 0x01);
  host->Exchange(FlashWrite('Q', 0x10000, {0, 0, 0}), 64);  // does not cover it
  EXPECT_EQ(sim.ReadFlash(0x10005, 1), Bytes({0xFF}));
  host->Exchange(FlashWrite('Q', 0x10004, {0xA0, 0xA0, 0xA0}), 64);
  EXPECT_EQ(sim.ReadFlash(0x10004, 3), Bytes({0xA0, 0xA1, 0xA0}));
  host->Exchange(SectorErase('Q', 0x10000), 64);
  host->Exchange(FlashWrite('Q', 0x10004, {0xA0, 0xA0, 0xA0}), 64);
  EXPECT_EQ(sim.ReadFlash(0x10004, 3), Bytes({0xA0, 0xA0, 0xA0}));
}

// ---- loader rows ----

using SimLoader = SimTest;

TEST_F(SimLoader, RowsAreStoredAndReadBackAtTheirOffsets) {
  const Bytes entered = host->Exchange(Text("FWPS"), 40);
  EXPECT_EQ(entered.size(), 40u);
  EXPECT_TRUE(sim.InLoader());

  Bytes row(32);
  for (size_t i = 0; i < row.size(); ++i) row[i] = static_cast<uint8_t>(0x80 + i);
  const Bytes written = host->Exchange(LoaderRow('W', 0x7FE0, row), 40);
  ASSERT_EQ(written.size(), 40u);

  const Bytes read = host->Exchange(LoaderRow('R', 0x7FE0, Bytes(32, 0)), 40);
  ASSERT_EQ(read.size(), 40u);
  EXPECT_EQ(Bytes(read.begin() + 8, read.end()), row);

  const Bytes image = sim.IspImage();
  ASSERT_EQ(image.size(), 65536u);
  EXPECT_EQ(Bytes(image.begin() + 0x7FE0, image.begin() + 0x8000), row);
  EXPECT_EQ(image[0x7FDF], 0xFF);
  EXPECT_EQ(image[0x8000], 0xFF);
}

TEST_F(SimLoader, FlashCommandsAreAnsweredInsideTheLoader) {
  ASSERT_EQ(host->Exchange(Text("FWPS"), 40).size(), 40u);
  host->Exchange(BlockErase('Q', 0x18000), 64);
  host->Exchange(FlashWrite('Q', 0x18000, {1, 2, 3}), 64);
  const Bytes reply = host->Exchange(FlashRead('Q', 0x18000, 3), 64);
  ASSERT_EQ(reply.size(), 64u);
  EXPECT_EQ(Bytes(reply.begin() + 8, reply.begin() + 11), Bytes({1, 2, 3}));
  EXPECT_TRUE(sim.InLoader());
}

// The loader is a mode: row requests and "FWPU" only after "FWPS", and in
// it none of the application's requests.
TEST_F(SimLoader, EachModeAnswersOnlyItsOwnRequests) {
  zsim::InstrumentModel model;
  const Bytes row(32, 0x11);
  for (const Bytes& r : {LoaderRow('W', 0, row), LoaderRow('R', 0, Bytes(32, 0)), Text("FWPU")})
    EXPECT_TRUE(Feed(model, r).replies.empty()) << zsim::Hex(r.data(), 4);
  EXPECT_FALSE(Feed(model, Text("FWPU")).restarted);
  EXPECT_EQ(model.state.isp[0], 0xFF);

  ASSERT_EQ(Feed(model, Text("FWPS")).replies.size(), 1u);
  const Bytes setting = {0x00, 1, 2, 3, 4, 5, 1, 0};
  for (const Bytes& r : {Bytes{0x14}, Bytes{0x43}, setting, Calibration(1), ReadBlock(0), FlashRead('L', 0, 1)})
    EXPECT_TRUE(Feed(model, r).replies.empty()) << zsim::Hex(r.data(), r.size());
  EXPECT_TRUE(model.state.settings.empty());
  EXPECT_FALSE(model.state.hostControl);
  EXPECT_FALSE(model.state.calibrating);
  for (const Bytes& r : {LoaderRow('W', 0, row), FlashRead('Q', 0, 1), Text("FWPS")})
    EXPECT_EQ(Feed(model, r).replies.size(), 1u) << zsim::Hex(r.data(), 4);
  EXPECT_EQ(model.state.isp[0], 0x11);
  EXPECT_TRUE(Feed(model, Text("FWPU")).restarted);
  model.PowerUp();  // back in application mode
  EXPECT_EQ(Feed(model, {0x14}).replies.size(), 1u);
  EXPECT_TRUE(Feed(model, LoaderRow('R', 0, Bytes(32, 0))).replies.empty());
}

TEST_F(SimLoader, MalformedRowRequestsAreRefused) {
  zsim::InstrumentModel model;
  ASSERT_EQ(Feed(model, Text("FWPS")).replies.size(), 1u);
  Bytes unaligned = LoaderRow('W', 0x30, Bytes(32, 0x22));
  Bytes badHeader = LoaderRow('W', 0x40, Bytes(32, 0x22));
  badHeader[5] = 0xA1;
  Bytes readWithData = LoaderRow('R', 0x40, Bytes(32, 0));
  readWithData[39] = 1;
  for (const Bytes& r : {unaligned, badHeader, readWithData})
    EXPECT_TRUE(Feed(model, r).replies.empty()) << zsim::Hex(r.data(), 8);
  EXPECT_TRUE(std::all_of(model.state.isp.begin(), model.state.isp.end(), [](uint8_t b) { return b == 0xFF; }));
  EXPECT_EQ(Feed(model, LoaderRow('W', 0x40, Bytes(32, 0x22))).replies.size(), 1u);
  EXPECT_EQ(model.state.isp[0x40], 0x22);
}

TEST_F(SimLoader, CorruptedRowFailsItsReadBack) {
  ASSERT_EQ(host->Exchange(Text("FWPS"), 40).size(), 40u);
  sim.CorruptIspOnWrite(0x21, 0x80);
  const Bytes row(32, 0x00);
  host->Exchange(LoaderRow('W', 0x20, row), 40);
  const Bytes read = host->Exchange(LoaderRow('R', 0x20, Bytes(32, 0)), 40);
  ASSERT_EQ(read.size(), 40u);
  EXPECT_EQ(read[8], 0x00);
  EXPECT_EQ(read[9], 0x80);
}

TEST_F(SimLoader, ModelLeavesAtFwpuAndTakesNoBytesUntilItPowersUp) {
  zsim::InstrumentModel model;
  const auto out = Feed(model, Concat(Concat(Text("FWPS"), Text("FWPU")), {0x14}));
  EXPECT_EQ(out.requests, std::vector<Bytes>({Text("FWPS"), Text("FWPU")}));  // the status request is lost
  EXPECT_EQ(out.replies.size(), 1u);
  EXPECT_TRUE(out.restarted);
  EXPECT_TRUE(model.state.inLoader);
  EXPECT_TRUE(Feed(model, {0x14}).requests.empty());
  model.PowerUp();
  EXPECT_FALSE(model.state.inLoader);
  EXPECT_EQ(Feed(model, {0x14}).replies.size(), 1u);
}

// ---- the instrument's own model ----

using SimModel = SimTest;

// The five report bytes show the last setting's bytes 1..5, so that a host
// sees its setting arrive (and the value's scale follow report byte 1).
TEST_F(SimModel, SettingDrivesTheReportBytes) {
  Bytes reply = host->Exchange({0x14}, 64);
  ASSERT_EQ(reply.size(), 64u);
  EXPECT_EQ(Bytes(reply.begin() + 1, reply.begin() + 6), Bytes({3, 0, 0, 0, 0}));
  host->Write({0x00, 1, 0xFF, 7, 0, 9, 1, 0});
  reply = host->Exchange({0x14}, 64);
  ASSERT_EQ(reply.size(), 64u);
  EXPECT_EQ(Bytes(reply.begin() + 1, reply.begin() + 6), Bytes({1, 0xFF, 7, 0, 9}));
  sim.SetReportBytes({4, 0, 0, 0, 0});  // still a direct setter
  EXPECT_EQ(host->Exchange({0x14}, 64).at(1), 4);
}

TEST_F(SimModel, MalformedRequestsGetNoReply) {
  zsim::InstrumentModel model;
  const uint8_t zero = 0x00;
  model.state.flash.Load(0x1000, &zero, 1);
  Bytes markerChanged(model.state.blocks[0].begin(), model.state.blocks[0].end());
  markerChanged[3] = 0xFF;
  markerChanged[7] = 'Z';
  markerChanged[14] = 9;
  for (const Bytes& r : {ReadBlock(2), FlashRequest('Q', 'E', 0x21, 0x1000), FlashRequest('Q', 'R', 32, 0),
                         markerChanged})
    EXPECT_TRUE(Feed(model, r).replies.empty()) << zsim::Hex(r.data(), 8);
  EXPECT_EQ(model.state.flash.Read(0x1000, 1), Bytes({0x00}));  // nothing erased
  EXPECT_EQ(model.state.blocks[0][7], 'X');
  EXPECT_EQ(model.state.blocks[0][14], 3);  // the refused write changed nothing
  markerChanged[7] = 'X';
  EXPECT_EQ(Feed(model, markerChanged).replies.size(), 1u);
  EXPECT_EQ(model.state.blocks[0][14], 9);
}
