// The virtual instrument's life as a device: starting and stopping, the node
// link, unplugging and plugging back, the restart after leaving the loader,
// several instruments in one process and the state file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <thread>

#include "HostPort.h"

using namespace simtest;

namespace {

std::string LinkTarget(const std::string& node) {
  char buf[512];
  const ssize_t n = ::readlink(node.c_str(), buf, sizeof buf - 1);
  if (n < 0) return "";
  buf[n] = '\0';
  return buf;
}

bool Exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

}  // namespace

// ---- start and stop ----

TEST(SimLifecycle, StopIsIdempotentAndStartServesAgain) {
  zsim::VirtualInstrument sim;
  sim.Stop();  // never started
  ASSERT_TRUE(sim.Start());
  EXPECT_TRUE(sim.Start());  // already serving
  EXPECT_TRUE(sim.Serving());
  EXPECT_EQ(sim.SlavePath().rfind("/dev/pts/", 0), 0u);
  sim.Stop();
  sim.Stop();
  EXPECT_FALSE(sim.Serving());
  EXPECT_EQ(sim.OpenHostPort(), -1);
  ASSERT_TRUE(sim.Start());
  HostPort host(sim);
  EXPECT_EQ(host.Exchange({0x14}, 64).size(), 64u);
}

TEST(SimLifecycle, StopRightAfterAReplyLeavesTheHostTimeToReadIt) {
  zsim::VirtualInstrument sim;
  sim.SetHangupGraceMs(1000);  // the default 100 ms, widened for a loaded machine
  ASSERT_TRUE(sim.Start());
  HostPort host(sim);
  host.Write({0x14});
  ASSERT_TRUE(sim.WaitForRequests(1, 1000));
  std::thread stopper([&] { sim.Stop(); });
  EXPECT_EQ(host.Read(64, 500).size(), 64u);
  host.Close();  // with nobody left to read, the rest of the grace time is skipped
  const auto closed = Clock::now();
  stopper.join();
  EXPECT_LT(MsSince(closed), 700);
}

TEST(SimLifecycle, StopWithTheHostGoneSkipsTheGraceTime) {
  zsim::VirtualInstrument sim;
  sim.SetHangupGraceMs(5000);
  ASSERT_TRUE(sim.Start());
  {
    HostPort host(sim);
    EXPECT_EQ(host.Exchange({0x14}, 64).size(), 64u);
  }
  const auto start = Clock::now();
  sim.Stop();
  EXPECT_LT(MsSince(start), 2500);
}

TEST(SimLifecycle, HostCanCloseAndReopenWithoutLosingTheInstrument) {
  zsim::VirtualInstrument sim;
  ASSERT_TRUE(sim.Start());
  for (int i = 0; i < 3; ++i) {
    HostPort host(sim);
    ASSERT_TRUE(host.IsOpen());
    EXPECT_EQ(host.Exchange(ReadBlock(0), 64).size(), 64u) << "open " << i;
  }
}

// ---- node link ----

TEST(SimNode, PlugLinksTheNodeAndReplacesAnOldLink) {
  zsim::VirtualInstrument sim;
  const std::string node = TempNode("plug");
  ASSERT_EQ(::symlink("/nonexistent", node.c_str()), 0);
  EXPECT_FALSE(sim.Plug(node));  // not serving yet
  ASSERT_TRUE(sim.Start());
  ASSERT_TRUE(sim.Plug(node));
  EXPECT_EQ(LinkTarget(node), sim.SlavePath());
  EXPECT_EQ(sim.NodePath(), node);
  sim.Stop();
  EXPECT_FALSE(Exists(node));
}

TEST(SimNode, PlugLeavesAFileThatIsNotALinkAlone) {
  zsim::VirtualInstrument sim;
  const std::string node = TempNode("file");
  { std::ofstream(node) << "keep"; }
  ASSERT_TRUE(sim.Start());
  EXPECT_FALSE(sim.Plug(node));
  sim.Stop();
  std::string content;
  std::ifstream(node) >> content;
  EXPECT_EQ(content, "keep");
  ::unlink(node.c_str());
}

TEST(SimNode, UnplugRemovesTheLinkAndHangsUpReplugComesBackElsewhere) {
  zsim::VirtualInstrument sim;
  const std::string node = TempNode("unplug");
  ASSERT_TRUE(sim.Start());
  ASSERT_TRUE(sim.Plug(node));
  const std::string first = sim.SlavePath();
  HostPort host(sim);
  EXPECT_EQ(host.Exchange({0x43}, 0, 0).size(), 0u);
  ASSERT_TRUE(sim.WaitForRequests(1, 1000));
  EXPECT_TRUE(sim.HostControl());

  sim.Unplug();
  EXPECT_FALSE(Exists(node));
  EXPECT_FALSE(sim.Serving());
  EXPECT_TRUE(host.HungUp(500));
  EXPECT_FALSE(sim.Plug(node));  // nothing to link while unplugged

  ASSERT_TRUE(sim.Replug(node));
  EXPECT_NE(sim.SlavePath(), first);
  EXPECT_EQ(LinkTarget(node), sim.SlavePath());
  EXPECT_FALSE(sim.HostControl());  // a new connection starts without it
  HostPort again(sim);
  EXPECT_EQ(again.Exchange(ReadBlock(0), 64).size(), 64u);
  sim.Stop();
  EXPECT_FALSE(Exists(node));
}

TEST(SimNode, ReplugStartsAnInstrumentThatWasNotStarted) {
  zsim::VirtualInstrument sim;
  const std::string node = TempNode("replug");
  ASSERT_TRUE(sim.Replug(node));
  EXPECT_EQ(LinkTarget(node), sim.SlavePath());
  HostPort host(sim);
  EXPECT_EQ(host.Exchange({0x14}, 64).size(), 64u);
}

TEST(SimNode, SeveralInstrumentsServeSideBySide) {
  zsim::VirtualInstrument a, b;
  b.SetSerial(99, 98, 97, 9999);
  ASSERT_TRUE(a.Start());
  ASSERT_TRUE(b.Start());
  EXPECT_NE(a.SlavePath(), b.SlavePath());
  HostPort ha(a), hb(b);
  const Bytes ra = ha.Exchange(ReadBlock(0), 64);
  const Bytes rb = hb.Exchange(ReadBlock(0), 64);
  ASSERT_EQ(ra.size(), 64u);
  ASSERT_EQ(rb.size(), 64u);
  EXPECT_EQ(ra[8], 21);
  EXPECT_EQ(rb[8], 99);
  EXPECT_EQ(a.RequestCount(), 1u);
  EXPECT_EQ(b.RequestCount(), 1u);
}

// ---- restart after the loader ----

TEST(SimRestart, LeavingTheLoaderRestartsOnANewTerminalUnderTheSameNode) {
  zsim::VirtualInstrument sim;
  sim.SetRestartDelayMs(500);  // long enough to look at the gap on a loaded machine
  sim.SetHangupGraceMs(200);
  const std::string node = TempNode("restart");
  ASSERT_TRUE(sim.Start());
  ASSERT_TRUE(sim.Plug(node));
  const std::string first = sim.SlavePath();
  HostPort host(sim);
  host.Write({0x43});
  ASSERT_EQ(host.Exchange(Text("FWPS"), 40).size(), 40u);
  ASSERT_EQ(host.Exchange(LoaderRow('W', 0, Bytes(32, 0x11)), 40).size(), 40u);
  // The reply just before "FWPU" must still reach the host.
  host.Write(LoaderRow('R', 0, Bytes(32, 0)));
  host.Write(Text("FWPU"));
  EXPECT_EQ(host.Read(40, 2000).size(), 40u);
  EXPECT_TRUE(host.HungUp(2000));
  EXPECT_FALSE(Exists(node));
  EXPECT_EQ(sim.RestartCount(), 0);

  ASSERT_TRUE(sim.WaitForRestarts(1, 5000));
  EXPECT_EQ(sim.RestartCount(), 1);
  EXPECT_NE(sim.SlavePath(), first);
  EXPECT_EQ(LinkTarget(node), sim.SlavePath());
  EXPECT_FALSE(sim.InLoader());
  EXPECT_FALSE(sim.HostControl());
  EXPECT_EQ(sim.IspImage()[0], 0x11);  // the image survives the restart

  // The record block keeps the old version until the host writes a new one.
  HostPort after(sim);
  Bytes block = after.Exchange(ReadBlock(0), 64);
  ASSERT_EQ(block.size(), 64u);
  EXPECT_EQ(block[14], 3);
  EXPECT_EQ(block[15], 2);
  block[3] = 0xFF;
  block[14] = 4;
  block[15] = 0;
  ASSERT_EQ(after.Exchange(block, 64).size(), 64u);
  EXPECT_EQ(sim.Block(0)[14], 4);
  sim.Stop();
  EXPECT_FALSE(Exists(node));
}

TEST(SimRestart, ComesBackUnderAnotherNodeWhileTheOldOneLingers) {
  zsim::VirtualInstrument sim;
  sim.SetRestartDelayMs(100);
  sim.SetNodeLingerMs(3000);
  const std::string node = TempNode("old"), next = TempNode("new");
  sim.SetRestartNode(next);
  ASSERT_TRUE(sim.Start());
  ASSERT_TRUE(sim.Plug(node));
  const std::string first = sim.SlavePath();
  {
    HostPort host(sim);
    ASSERT_EQ(host.Exchange(Text("FWPS"), 40).size(), 40u);
    host.Write(Text("FWPU"));
    ASSERT_TRUE(host.HungUp(2000));
  }
  const auto hungUp = Clock::now();
  ASSERT_TRUE(sim.WaitForRestarts(1, 5000));
  EXPECT_EQ(sim.NodePath(), next);
  EXPECT_EQ(LinkTarget(next), sim.SlavePath());
  // The old node is still listed, leading to the terminal that is gone
  // (looked at only while the linger surely lasts on a loaded machine).
  const std::string oldTarget = LinkTarget(node);
  const int old = ::open(node.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (MsSince(hungUp) < 1500) {
    EXPECT_EQ(oldTarget, first);
    EXPECT_EQ(old, -1);
  }
  if (old >= 0) ::close(old);
  EXPECT_TRUE(WaitUntil([&] { return !Exists(node); }, 5000));
  EXPECT_EQ(sim.RequestCount(), 2u);  // "FWPS" and "FWPU" only
  HostPort after(sim);
  EXPECT_EQ(after.Exchange(ReadBlock(0), 64).size(), 64u);
  sim.Stop();
  EXPECT_FALSE(Exists(next));
}

TEST(SimRestart, StopDuringTheRestartDelayEndsAtOnce) {
  zsim::VirtualInstrument sim;
  sim.SetRestartDelayMs(5000);
  ASSERT_TRUE(sim.Start());
  HostPort host(sim);
  ASSERT_EQ(host.Exchange(Text("FWPS"), 40).size(), 40u);
  host.Write(Text("FWPU"));
  ASSERT_TRUE(host.HungUp(2000));
  const auto start = Clock::now();
  sim.Stop();
  EXPECT_LT(MsSince(start), 2500);
  EXPECT_EQ(sim.RestartCount(), 0);
}

// ---- state file ----

TEST(SimState, SavedStateLoadsIntoAnotherInstrument) {
  const std::string path = TempNode("state");
  {
    zsim::VirtualInstrument sim;
    sim.SetFirmware(7, 9);
    sim.SetMfgInfo({1, 2, 3, 4});
    sim.LoadFlash(0x1FFFF0, {0xAB, 0xCD});
    sim.LoadMemMap(0x308000, {0x12});
    ASSERT_TRUE(sim.Start());
    HostPort host(sim);
    host.Exchange(Text("FWPS"), 40);
    host.Exchange(LoaderRow('W', 0x100, Bytes(32, 0x33)), 40);
    ASSERT_TRUE(sim.SaveState(path));
  }
  zsim::VirtualInstrument copy;
  ASSERT_TRUE(copy.LoadState(path));
  EXPECT_EQ(copy.Block(0)[14], 7);
  EXPECT_EQ(copy.Block(1)[63], 4);
  EXPECT_EQ(copy.ReadFlash(0x1FFFF0, 3), Bytes({0xAB, 0xCD, 0xFF}));
  EXPECT_EQ(copy.ReadMemMap(0x308000, 1), Bytes({0x12}));
  EXPECT_EQ(copy.IspImage()[0x100], 0x33);
  EXPECT_EQ(copy.IspImage()[0x99], 0xFF);
  ::unlink(path.c_str());
}

TEST(SimState, DamagedOrMissingFileChangesNothing) {
  const std::string path = TempNode("bad");
  zsim::VirtualInstrument sim;
  EXPECT_FALSE(sim.LoadState(path));
  sim.LoadFlash(0, {0x01});
  ASSERT_TRUE(sim.SaveState(path));
  ::truncate(path.c_str(), 200);  // cut inside the first chunks
  zsim::VirtualInstrument other;
  other.SetFirmware(1, 1);
  EXPECT_FALSE(other.LoadState(path));
  EXPECT_EQ(other.Block(0)[14], 1);
  EXPECT_EQ(other.ReadFlash(0, 1), Bytes({0xFF}));
  ::unlink(path.c_str());
}
