// The virtual instrument's timing: instant replies for the fast tests, and
// the real instrument's time (USB frames and packets, NOR flash erase and
// program times, the loader's rows and restart) when asked for it.
#include <gtest/gtest.h>

#include "HostPort.h"

using namespace simtest;
using std::chrono::microseconds;
using std::chrono::milliseconds;

namespace {

// The one reply `request` gets from `model` when it arrives at `now`.
zsim::Reply ReplyAt(zsim::InstrumentModel& model, const Bytes& request, zsim::Clock::time_point now) {
  const auto out = Feed(model, request, now);
  EXPECT_EQ(out.replies.size(), 1u);
  return out.replies.empty() ? zsim::Reply{} : out.replies[0];
}

template <typename F>
long ElapsedMsOf(F&& f) {
  const auto t0 = Clock::now();
  f();
  return MsSince(t0);
}

}  // namespace

TEST(SimTiming, ModelGivesEveryReplyItsTimeAndInstantGivesNone) {
  zsim::InstrumentModel model;
  const zsim::Clock::time_point t0{};
  // Instant: today's replies, at once and in one write.
  zsim::Reply r = ReplyAt(model, SectorErase('Q', 0x1000), t0);
  EXPECT_EQ(r.delay, microseconds(0));
  EXPECT_EQ(r.packet, 0u);

  model.timing.real = true;
  const milliseconds hour(3600 * 1000);  // far from the last request: nothing is pending
  struct Case {
    Bytes request;
    microseconds typical, slowest;  // with the USB frame
  } cases[] = {
      {{0x14}, microseconds(1000), microseconds(1000)},
      {ReadBlock(0), microseconds(1000), microseconds(1000)},
      {FlashRead('Q', 0x18000, 32), microseconds(1000), microseconds(1000)},
      {FlashWrite('Q', 0x18000, Bytes(32, 0x5A)), microseconds(1700), microseconds(4000)},
      {FlashWrite('L', 0x300000, {0x01}), microseconds(1700), microseconds(4000)},
      {SectorErase('Q', 0x18000), microseconds(46000), microseconds(401000)},
      {BlockErase('L', 0x300000), microseconds(121000), microseconds(1601000)},
      {Text("FWPS"), microseconds(11000), microseconds(11000)},
      {LoaderRow('W', 0x20, Bytes(32, 1)), microseconds(4000), microseconds(4000)},
      {LoaderRow('R', 0x20, Bytes(32, 0)), microseconds(1000), microseconds(1000)},
  };
  zsim::Clock::time_point now = t0;
  for (bool slowest : {false, true}) {
    model.PowerUp();  // back in the application: the cases above the loader's are not answered in it
    model.timing.slowestFlash = slowest;
    for (const Case& c : cases) {
      now += hour;
      r = ReplyAt(model, c.request, now);
      EXPECT_EQ(r.delay, slowest ? c.slowest : c.typical) << zsim::Hex(c.request.data(), c.request.size());
      EXPECT_EQ(r.packet, 64u);
      EXPECT_EQ(r.packetGap, microseconds(1000));
    }
  }
  model.ClearFaults();  // the slowest-flash knob is a fault knob
  EXPECT_FALSE(model.timing.slowestFlash);
  EXPECT_TRUE(model.timing.real);

  // A request waits for the work of the one before: a status request 10 ms
  // into a sector erase is answered when the erase is done, a frame later.
  model.PowerUp();
  now += hour;
  EXPECT_EQ(ReplyAt(model, SectorErase('Q', 0), now).delay, microseconds(46000));
  r = ReplyAt(model, {0x14}, now + milliseconds(10));
  EXPECT_EQ(r.delay, microseconds(36000));
  // The delay knob comes on top of the real time.
  model.faults.delay.count = 1;
  model.faults.delayMs = 50;
  EXPECT_EQ(ReplyAt(model, {0x14}, now + hour).delay, microseconds(51000));
}

TEST(SimTiming, RealRepliesComeAFrameLaterInPacketsAFrameApart) {
  zsim::VirtualInstrument sim;
  sim.SetTiming(zsim::Timing::Real);
  EXPECT_EQ(sim.GetTiming(), zsim::Timing::Real);
  ASSERT_TRUE(sim.Start());
  HostPort host(sim);
  // No reply is seen sooner than a frame after its request.
  for (int i = 0; i < 5; ++i) {
    const auto t0 = Clock::now();
    ASSERT_EQ(host.Exchange({0x14}, 64).size(), 64u);
    EXPECT_GE(std::chrono::duration_cast<microseconds>(Clock::now() - t0).count(), 1000);
  }
  // An erase is answered when the chip is done: 45 ms typical, 400 ms with
  // the slowest-flash knob (upper bounds generous for a loaded machine).
  long ms = ElapsedMsOf([&] { EXPECT_EQ(host.Exchange(SectorErase('Q', 0x18000), 64, 5000).size(), 64u); });
  EXPECT_GE(ms, 45);
  EXPECT_LT(ms, 2000);
  sim.SetSlowestFlash(true);
  ms = ElapsedMsOf([&] { EXPECT_EQ(host.Exchange(SectorErase('Q', 0x18000), 64, 5000).size(), 64u); });
  EXPECT_GE(ms, 400);
  EXPECT_LT(ms, 3000);
  sim.SetSlowestFlash(false);

  // Three replies queued together leave as 64-byte packets, each written
  // at least a frame after the one before it.
  sim.ClearLog();
  host.Write({0x14, 0x14, 0x14});
  EXPECT_EQ(host.Read(192, 2000).size(), 192u);
  std::vector<zsim::WireRecord> replies;
  for (const auto& r : sim.Log())
    if (!r.fromHost) replies.push_back(r);
  ASSERT_EQ(replies.size(), 3u);
  for (size_t i = 1; i < replies.size(); ++i) {
    EXPECT_EQ(replies[i].bytes.size(), 64u);
    EXPECT_GE(std::chrono::duration_cast<microseconds>(replies[i].when - replies[i - 1].when).count(), 1000);
  }

  // Instant again: no frame to wait for (the model's delays are zero; the
  // terminal alone is fast).
  sim.SetTiming(zsim::Timing::Instant);
  EXPECT_EQ(host.Exchange({0x14}, 64).size(), 64u);
}

TEST(SimTiming, RealRestartTakesItsTimeUnlessARestartDelayWasChosen) {
  for (bool chosen : {false, true}) {
    zsim::VirtualInstrument sim;
    if (chosen) sim.SetRestartDelayMs(3000);
    sim.SetTiming(zsim::Timing::Real);
    ASSERT_TRUE(sim.Start());
    HostPort host(sim);
    ASSERT_EQ(host.Exchange(Text("FWPS"), 40).size(), 40u);
    const auto t0 = Clock::now();
    host.Write(Text("FWPU"));
    host.Close();  // the host lets go, as the library does: the hang-up is at once
    ASSERT_TRUE(sim.WaitForRestarts(1, 10000));
    const long ms = MsSince(t0);
    EXPECT_GE(ms, chosen ? 3000 : 1500);
  }
}
