// How the virtual instrument reads the byte stream (framing, resynchronising,
// incomplete frames), how its fault knobs change the replies, and what its
// wire log records; a few cases drive the instrument model directly, with the
// time given instead of waited for.
#include <gtest/gtest.h>
#include <unistd.h>

#include <thread>

#include "HostPort.h"

using namespace simtest;

// ---- framing ----

using SimFraming = SimTest;

TEST_F(SimFraming, FrameSplitAcrossSeveralWritesIsAnsweredOnceWhole) {
  Bytes data(32, 0x5A);
  const Bytes request = FlashWrite('Q', 0x4000, data);
  for (size_t i = 0; i < request.size(); i += 7) {
    host->Write(Bytes(request.begin() + i, request.begin() + std::min(i + 7, request.size())));
    usleep(15 * 1000);
  }
  EXPECT_EQ(host->Read(64, 1000).size(), 64u);
  EXPECT_EQ(sim.ReadFlash(0x4000, 32), data);
  ASSERT_EQ(sim.Requests().size(), 1u);
  EXPECT_EQ(sim.Requests()[0], request);
}

TEST_F(SimFraming, SeveralRequestsInOneWriteAreAnsweredInOrder) {
  host->Write(Concat(Concat({0x14}, ReadBlock(0)), Concat({0x43}, ReadBlock(1))));
  const Bytes replies = host->Read(3 * 64, 1000);
  ASSERT_EQ(replies.size(), 3u * 64);
  EXPECT_EQ(replies[0], 0x14);
  EXPECT_EQ(replies[64 + 4], 0x00);
  EXPECT_EQ(replies[128 + 4], 0x01);
  EXPECT_EQ(sim.RequestCount(), 4u);
}

TEST_F(SimFraming, UnknownBytesDropTheRestOfTheirWrite) {
  // 0x12 0x99 starts nothing: the status request after it in the same write
  // is dropped with it; the next write is read afresh.
  host->Write(Concat({0x12, 0x99}, {0x14}));
  ASSERT_TRUE(WaitUntil([&] { return sim.DroppedBytes() == 3; }, 3000));
  EXPECT_TRUE(host->Drain(100).empty());
  host->Write(Concat(Text("FWX"), {0x14}));  // fails the loader prefix
  ASSERT_TRUE(WaitUntil([&] { return sim.DroppedBytes() == 7; }, 3000));
  const Bytes reply = host->Exchange({0x14}, 64);
  ASSERT_EQ(reply.size(), 64u);
  EXPECT_EQ(reply[0], 0x14);
  EXPECT_EQ(sim.Requests(), std::vector<Bytes>({{0x14}}));
}

TEST_F(SimFraming, IncompleteFrameIsDroppedAfterTheHostFallsSilent) {
  host->Write({0x12, 0x55, 0xAA});  // a record read missing its last two bytes
  const auto start = Clock::now();
  ASSERT_TRUE(WaitUntil([&] { return sim.DroppedFrames() == 1; }, 3000));
  EXPECT_GE(MsSince(start), 80);
  EXPECT_TRUE(host->Drain(20).empty());
  // Had the stale bytes stayed, this request would complete them wrongly.
  const Bytes reply = host->Exchange({0x14}, 64);
  ASSERT_EQ(reply.size(), 64u);
  EXPECT_EQ(reply[0], 0x14);
}

TEST_F(SimFraming, OverlongFlashPacketIsRejectedAtItsLengthByte) {
  host->Write({0x12, 'Q', 'F', 'W', 32});  // 33 data bytes do not exist
  ASSERT_TRUE(WaitUntil([&] { return sim.DroppedBytes() == 5; }, 3000));
  host->Write({0x14});
  const Bytes reply = host->Read(64, 1000);
  ASSERT_EQ(reply.size(), 64u);
  EXPECT_EQ(reply[0], 0x14);
}

TEST_F(SimFraming, ModelGivesTheTerminalsBytesAndDropsAFrameAtTheTimeGiven) {
  // A status request, a block read cut in two, host control, then a stray
  // byte that takes the status request after it down with it.
  const Bytes stream = {0x14, 0x12, 0x55, 0xAA, 0x00, 0x00, 0x43, 0x99, 0x14};
  zsim::InstrumentModel model;
  const auto first = Feed(model, Bytes(stream.begin(), stream.begin() + 3));
  const auto rest = Feed(model, Bytes(stream.begin() + 3, stream.end()));
  EXPECT_EQ(first.requests, std::vector<Bytes>({{0x14}}));
  EXPECT_EQ(rest.requests, std::vector<Bytes>({ReadBlock(0), {0x43}}));
  ASSERT_EQ(first.replies.size(), 1u);
  ASSERT_EQ(rest.replies.size(), 1u);
  EXPECT_EQ(model.DroppedBytes(), 2u);
  EXPECT_TRUE(model.state.hostControl);
  // A request whose wrong byte comes in a later write goes with that write.
  EXPECT_TRUE(Feed(model, {0x12, 0x55}).requests.empty());
  EXPECT_TRUE(Feed(model, {0x99, 0x14}).requests.empty());
  EXPECT_EQ(model.DroppedBytes(), 6u);
  EXPECT_EQ(Feed(model, {0x14}).replies.size(), 1u);
  // The instrument on the terminal writes exactly these bytes.
  host->Write(stream);
  EXPECT_EQ(host->Read(128, 1000), Concat(first.replies[0].bytes, rest.replies[0].bytes));

  // An incomplete frame is dropped once 100 ms have passed since its last byte.
  const zsim::Clock::time_point t0(std::chrono::seconds(1));
  Feed(model, {0x12, 0x55, 0xAA}, t0);
  EXPECT_EQ(model.FrameDeadline(), t0 + std::chrono::milliseconds(100));
  zsim::InstrumentModel::Recorder out;
  model.ExpireFrame(t0 + std::chrono::milliseconds(99), out);
  EXPECT_EQ(model.DroppedFrames(), 0u);
  model.ExpireFrame(t0 + std::chrono::milliseconds(100), out);
  EXPECT_EQ(model.DroppedFrames(), 1u);
  EXPECT_EQ(model.FrameDeadline(), zsim::Clock::time_point::max());
}

// ---- fault knobs ----

using SimFaults = SimTest;

TEST_F(SimFaults, DroppedReplyIsNeverSentAndOnlyTheNextCountAreDropped) {
  sim.DropReplies(2);
  EXPECT_TRUE(host->Exchange({0x14}, 64, 120).empty());
  EXPECT_TRUE(host->Exchange(ReadBlock(0), 64, 120).empty());
  // A setting has no reply and does not use up a count.
  sim.DropReplies(1);
  host->Write({0x00, 1, 2, 3, 4, 0, 1, 0});
  EXPECT_TRUE(host->Exchange({0x14}, 64, 120).empty());
  EXPECT_EQ(host->Exchange({0x14}, 64).size(), 64u);
  EXPECT_EQ(sim.Settings().size(), 1u);  // dropped replies' requests still take effect
}

TEST_F(SimFaults, DelayedReplyArrivesLateAndWhole) {
  sim.DelayReplies(1, 300);
  const auto start = Clock::now();
  host->Write({0x14});
  EXPECT_TRUE(host->Read(64, 150).empty());
  const Bytes reply = host->Read(64, 2000);
  const long ms = MsSince(start);
  EXPECT_EQ(reply.size(), 64u);
  EXPECT_GE(ms, 280);
  EXPECT_LT(ms, 1500);
  // The next one is prompt again.
  const auto again = Clock::now();
  EXPECT_EQ(host->Exchange({0x14}, 64).size(), 64u);
  EXPECT_LT(MsSince(again), 250);
}

TEST_F(SimFaults, RequestsBehindADelayedReplyAreAnsweredAfterIt) {
  sim.DelayReplies(1, 200);
  host->Write({0x14});
  host->Write(ReadBlock(0));
  const Bytes both = host->Read(128, 2000);
  ASSERT_EQ(both.size(), 128u);
  EXPECT_EQ(both[0], 0x14);
  EXPECT_EQ(both[64], 0x12);
}

TEST_F(SimFaults, TruncatedReplyIsItsFirstBytes) {
  sim.TruncateReplies(1, 40);
  Bytes reply = host->Exchange(ReadBlock(0), 40);
  EXPECT_TRUE(host->Drain(50).empty());
  ASSERT_EQ(reply.size(), 40u);
  const auto block = sim.Block(0);
  EXPECT_EQ(reply, Bytes(block.begin(), block.begin() + 40));
  EXPECT_EQ(host->Exchange(ReadBlock(0), 64).size(), 64u);
}

TEST_F(SimFaults, SplitReplyComesAsTwoWritesWithTheGapBetween) {
  sim.SplitReplies(1, 20, 150);
  host->Write({0x14});
  const Bytes first = host->Read(20, 2000);
  EXPECT_EQ(first.size(), 20u);
  const Bytes rest = host->Read(44, 2000);
  EXPECT_EQ(rest.size(), 44u);
  const auto log = sim.Log();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[1].bytes.size(), 20u);
  EXPECT_EQ(log[2].bytes.size(), 44u);
  const auto gap = std::chrono::duration_cast<std::chrono::milliseconds>(log[2].when - log[1].when).count();
  EXPECT_GE(gap, 140);
  EXPECT_LT(gap, 1000);
}

TEST_F(SimFaults, GarbageReplyHasTheLengthButNoTrueByte) {
  sim.GarbageReplies(1);
  const Bytes garbage = host->Exchange(ReadBlock(0), 64);
  ASSERT_EQ(garbage.size(), 64u);
  const auto block = sim.Block(0);
  for (size_t i = 0; i < 64; ++i) EXPECT_NE(garbage[i], block[i]) << "byte " << i;
  EXPECT_EQ(host->Exchange(ReadBlock(0), 64), Bytes(block.begin(), block.end()));
}

TEST_F(SimFaults, NegativeCountKeepsAKnobOnUntilItIsReset) {
  sim.TruncateReplies(-1, 10);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(host->Exchange({0x14}, 10).size(), 10u);
  EXPECT_TRUE(host->Drain(50).empty());
  sim.TruncateReplies(0, 10);
  EXPECT_EQ(host->Exchange({0x14}, 64).size(), 64u);
}

TEST_F(SimFaults, SilentInstrumentLogsButNeitherAnswersNorActs) {
  sim.SetSilent(true);
  EXPECT_TRUE(host->Exchange(ReadBlock(0), 64, 120).empty());
  host->Write({0x00, 1, 2, 3, 4, 0, 1, 0});
  host->Write({0x43});
  ASSERT_TRUE(sim.WaitForRequests(3, 1000));
  EXPECT_TRUE(sim.Settings().empty());
  EXPECT_FALSE(sim.HostControl());
  sim.SetSilent(false);
  EXPECT_EQ(host->Exchange(ReadBlock(0), 64).size(), 64u);
}

TEST_F(SimFaults, KnobsSetFromAnotherThreadWhileServing) {
  std::thread toggler([&] {
    for (int i = 0; i < 200; ++i) {
      sim.TruncateReplies(1, 10);
      sim.TruncateReplies(0, 10);
    }
  });
  int answered = 0;
  for (int i = 0; i < 50; ++i) {
    const size_t n = host->Exchange({0x14}, 64, 200).size();
    if (n == 10 || n == 64) ++answered;
  }
  toggler.join();
  EXPECT_EQ(answered, 50);
}

TEST_F(SimFaults, ModelShapesTheSameRepliesWithEveryKnobAndStatesTheirTiming) {
  zsim::InstrumentModel model;
  const Bytes status = Feed(model, {0x14}).replies.at(0).bytes;
  model.faults.drop.count = 1;
  model.faults.delay.count = 2;
  model.faults.delayMs = 300;
  model.faults.truncate.count = 2;
  model.faults.truncateLength = 40;
  model.faults.split.count = -1;
  model.faults.splitFirst = 20;
  model.faults.splitGapMs = 150;
  const auto out = Feed(model, {0x14, 0x14, 0x14});
  EXPECT_EQ(out.requests.size(), 3u);
  EXPECT_EQ(out.notes, std::vector<std::string>({"reply dropped"}));
  // The dropped first reply used up a count of every knob.
  ASSERT_EQ(out.replies.size(), 2u);
  EXPECT_EQ(out.replies[0].bytes, Bytes(status.begin(), status.begin() + 40));
  EXPECT_EQ(out.replies[0].delay, std::chrono::milliseconds(300));
  EXPECT_EQ(out.replies[0].firstPart, 20u);
  EXPECT_EQ(out.replies[0].gap, std::chrono::milliseconds(150));
  EXPECT_EQ(out.replies[1].bytes, status);
  EXPECT_EQ(out.replies[1].delay, std::chrono::milliseconds(0));
  EXPECT_EQ(out.replies[1].firstPart, 20u);
  model.ClearFaults();
  EXPECT_EQ(Feed(model, {0x14}).replies.at(0).firstPart, 0u);
}

// ---- wire log ----

using SimWireLog = SimTest;

TEST_F(SimWireLog, RecordsRequestsAndRepliesInOrderWithTimes) {
  const auto before = Clock::now();
  host->Exchange({0x14}, 64);
  host->Write({0x43});
  ASSERT_TRUE(sim.WaitForRequests(2, 1000));
  const auto log = sim.Log();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_TRUE(log[0].fromHost);
  EXPECT_EQ(log[0].bytes, Bytes({0x14}));
  EXPECT_FALSE(log[1].fromHost);
  EXPECT_EQ(log[1].bytes.size(), 64u);
  EXPECT_TRUE(log[2].fromHost);
  EXPECT_LE(before, log[0].when);
  EXPECT_LE(log[0].when, log[1].when);
  EXPECT_LE(log[1].when, log[2].when);
  EXPECT_EQ(sim.Requests(), std::vector<Bytes>({{0x14}, {0x43}}));
  EXPECT_EQ(sim.RequestCount(), 2u);
  EXPECT_EQ(sim.ReplyCount(), 1u);
  // One service time, for the one answered request.
  const auto times = sim.ServiceTimes();
  ASSERT_EQ(times.size(), 1u);
  EXPECT_GE(times[0].count(), 0);
  EXPECT_LT(times[0], std::chrono::milliseconds(500));
}

TEST_F(SimWireLog, WaitForRequestsTimesOutAndClearLogStartsAfresh) {
  const auto start = Clock::now();
  EXPECT_FALSE(sim.WaitForRequests(1, 120));
  EXPECT_GE(MsSince(start), 100);
  host->Exchange({0x14}, 64);
  EXPECT_TRUE(sim.WaitForRequests(1, 0));
  sim.ClearLog();
  EXPECT_EQ(sim.RequestCount(), 0u);
  EXPECT_TRUE(sim.Log().empty());
  EXPECT_TRUE(sim.ServiceTimes().empty());
}

TEST_F(SimWireLog, AnswersFastEnoughForBenchmarks) {
  // A thousand exchanges; the instrument's own share stays small.
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(host->Exchange({0x14}, 64).size(), 64u);
  auto times = sim.ServiceTimes();
  ASSERT_EQ(times.size(), 1000u);
  std::sort(times.begin(), times.end());
  EXPECT_LT(times[times.size() / 2], std::chrono::milliseconds(2));
}
