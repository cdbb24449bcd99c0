// The virtual instrument's life as a device: starting and stopping, the node
// link, unplugging and plugging back, the restart after leaving the loader,
// several instruments in one process (and the program's rack of them) and
// the state file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
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

// The zervon-sim program, run with `args`, its standard output on a pipe.
struct SimProgram {
  explicit SimProgram(const std::vector<std::string>& args) {
    // The command line is built before the fork: the child of a threaded
    // process may only make async-signal-safe calls before exec.
    std::vector<std::string> words;
    const std::string launcher = ZERVON_SIM_LAUNCHER;  // the emulator of a cross build, '|'-separated
    for (size_t start = 0; start < launcher.size();) {
      size_t end = launcher.find('|', start);
      if (end == std::string::npos) end = launcher.size();
      if (end > start) words.push_back(launcher.substr(start, end - start));
      start = end + 1;
    }
    words.push_back(ZERVON_SIM_PATH);
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(&w[0]);
    argv.push_back(nullptr);
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) return;
    pid = ::fork();
    if (pid == 0) {
      ::dup2(pipeFds[1], 1);
      const int null = ::open("/dev/null", O_RDWR);
      ::dup2(null, 0);
      ::dup2(null, 2);
      ::execvp(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(pipeFds[1]);
    out = pipeFds[0];
    ::fcntl(out, F_SETFD, FD_CLOEXEC);  // not for the programs of later tests
  }
  ~SimProgram() {
    if (pid > 0) ::kill(pid, SIGKILL), ::waitpid(pid, nullptr, 0);
    if (out >= 0) ::close(out);
  }
  // The next line of standard output, empty when none comes within `ms`.
  std::string Line(int ms) {
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    size_t newline;
    while ((newline = pending.find('\n')) == std::string::npos) {
      pollfd p{out, POLLIN, 0};
      if (Clock::now() >= end || ::poll(&p, 1, 20) < 0) return "";
      char buf[256];
      const ssize_t n = (p.revents & (POLLIN | POLLHUP)) ? ::read(out, buf, sizeof buf) : -1;
      if (n == 0) return "";
      if (n > 0) pending.append(buf, static_cast<size_t>(n));
    }
    const std::string line = pending.substr(0, newline);
    pending.erase(0, newline + 1);
    return line;
  }
  // Its exit code once it has ended within `ms`; -1 otherwise.
  int Wait(int ms) {
    int status = 0;
    if (!WaitUntil([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, ms)) return -1;
    pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  pid_t pid = -1;
  int out = -1;
  std::string pending;
};

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

// The program serves a rack: every instrument on its own terminal, linked
// at consecutive node numbers, with its own serial number, restart delay,
// restart node, control address and state file; a bad per-instrument list
// is a usage error that serves nothing.
TEST(SimNode, ProgramServesARackOfInstruments) {
  char dirTemplate[] = "/tmp/zsim-rack.XXXXXX";
  ASSERT_NE(::mkdtemp(dirTemplate), nullptr);
  const std::string dir = dirTemplate;
  const std::string fifo = dir + "/control";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::vector<std::vector<std::string>> wrong = {
      {"--count", "3", "--restart-delay", "100,200"},
      {"--count", "3", "--restart-node", dir + "/ttyACM1," + dir + "/ttyACM2"},
      {"--count", "2", "--restart-node", dir + "/ttyACM"},
      {"--count", "2", "--node", dir + "/ttyACM"},
      {"--count", "3", "--nodes", dir + "/a," + dir + "/b"},
      {"--count", "33"}};
  for (const auto& args : wrong) {
    SimProgram bad(args);
    EXPECT_EQ(bad.Line(10000), "") << args.back();
    EXPECT_EQ(bad.Wait(10000), 2) << args.back();
  }

  // Instrument 1 restarts at once; the others would take 20 s.
  SimProgram rack({"--count", "3", "--raw", "--node", dir + "/ttyACM5", "--restart-delay", "20000,100,20000",
                   "--restart-node", dir + "/ttyACM9", "--state", dir + "/state", "--control", fifo});
  std::vector<std::string> paths;
  for (int i = 0; i < 3; ++i) paths.push_back(rack.Line(10000));
  ASSERT_FALSE(paths[2].empty());
  EXPECT_NE(paths[0], paths[1]);
  EXPECT_NE(paths[1], paths[2]);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(LinkTarget(dir + "/ttyACM" + std::to_string(5 + i)), paths[static_cast<size_t>(i)]);
    HostPort host(paths[static_cast<size_t>(i)]);
    const Bytes block = host.Exchange(ReadBlock(0), 64);
    ASSERT_EQ(block.size(), 64u);
    EXPECT_EQ(Bytes(block.begin() + 8, block.begin() + 13), Bytes({21, 7, 3, 0x01, static_cast<uint8_t>(0x2C + i)}));
  }
  {
    const int control = ::open(fifo.c_str(), O_WRONLY);
    ASSERT_GE(control, 0);
    const std::string lines = "1 @2 value 777\n2 @3 value 1\n";
    ASSERT_EQ(::write(control, lines.data(), lines.size()), static_cast<ssize_t>(lines.size()));
    ::close(control);
  }
  EXPECT_EQ(rack.Line(10000), "1 ok");
  EXPECT_EQ(rack.Line(10000), "2 error @3 value 1");
  for (size_t i : {0u, 2u}) {
    HostPort host(paths[i]);
    const Bytes status = host.Exchange({0x14}, 64);
    ASSERT_EQ(status.size(), 64u);
    EXPECT_EQ(status[25] << 8 | status[26], i == 2 ? 777 : 1234);
  }
  {
    HostPort host(paths[1]);
    ASSERT_EQ(host.Exchange(Text("FWPS"), 40).size(), 40u);
    host.Write(Text("FWPU"));
    ASSERT_TRUE(host.HungUp(5000));
  }
  ASSERT_TRUE(WaitUntil([&] { return !LinkTarget(dir + "/ttyACM10").empty(); }, 10000));
  EXPECT_NE(LinkTarget(dir + "/ttyACM10"), paths[1]);
  {
    HostPort host(LinkTarget(dir + "/ttyACM10"));
    EXPECT_EQ(host.Exchange(ReadBlock(0), 64).size(), 64u);
  }

  ASSERT_EQ(::kill(rack.pid, SIGTERM), 0);
  EXPECT_EQ(rack.Wait(10000), 0);
  for (const char* node : {"/ttyACM5", "/ttyACM6", "/ttyACM7", "/ttyACM10"}) EXPECT_FALSE(Exists(dir + node));
  for (int i = 0; i < 3; ++i) {
    zsim::VirtualInstrument saved;
    ASSERT_TRUE(saved.LoadState(dir + "/state" + (i ? "." + std::to_string(i) : ""))) << i;
    EXPECT_EQ(saved.Block(0)[12], 0x2C + i);
  }
  EXPECT_EQ(std::system(("rm -rf '" + dir + "'").c_str()), 0);
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
