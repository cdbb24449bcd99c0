// The connection lifecycle as an application sees it: ZervInit, ZervConnect,
// ZervFree, the callback, unplug and replug, against virtual instruments
// plugged in as /dev/ttyACM<N> inside the scratch namespace.
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "InstrumentFixture.h"
#include "NamespaceSupport.h"
#include "zervon.h"
#include "zervon_ext.h"

extern char g_szDevicePath[512];

namespace {

// Records every report of the connection callback.
std::mutex g_reportsMutex;
std::vector<bool> g_reports;

void Record(bool connected) {
  std::lock_guard<std::mutex> guard(g_reportsMutex);
  g_reports.push_back(connected);
}

std::vector<bool> Reports() {
  std::lock_guard<std::mutex> guard(g_reportsMutex);
  return g_reports;
}

size_t ReportCount() { return Reports().size(); }

class Connection : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_NAMESPACE();
    std::lock_guard<std::mutex> guard(g_reportsMutex);
    g_reports.clear();
  }
  void TearDown() override {
    ZervFree();
    rack.Clear();
  }

  zsim::VirtualInstrument& PlugAt(int n) {
    zsim::VirtualInstrument& sim = rack.PlugAt(n);
    threadsBefore = Threads();
    return sim;
  }

  InstrumentRack rack;
  // Threads of the process with the library loaded and unused, and the
  // virtual instruments running.
  int threadsBefore = Threads();
};

}  // namespace

TEST_F(Connection, FreeWithoutInitReturnsAtOnce) {
  long ms = ElapsedMs([] { ZervFree(); });
  EXPECT_LT(ms, 100);
}

TEST_F(Connection, ConnectFindsTheInstrumentAndCachesItsRecords) {
  auto& sim = PlugAt(5);
  long ms = 0;
  bool connected = false;
  ms = ElapsedMs([&] { connected = ZervConnect(-1, 5000); });
  ASSERT_TRUE(connected);
  EXPECT_LT(ms, 2500);  // one search and the 200 ms settling time
  EXPECT_STREQ(g_szDevicePath, "/dev/ttyACM5");
  EXPECT_TRUE(sim.HostControl());
  MODEL_INFORMATION model{};
  ASSERT_TRUE(ZervGetDeviceInformation(&model));
  EXPECT_EQ(model.cModel1, 'R');
  EXPECT_STREQ(ZervGetSerialNumber(), "VRX2107-030300");
  EXPECT_EQ(FileBytes(LockPath(5)), PidBytes(getpid()));
  // The connection is usable at once.
  double value = 0;
  EXPECT_EQ(ZervReadValue(nullptr, nullptr, nullptr, nullptr, nullptr, &value), 0);

  ZervFree();
  EXPECT_EQ(LockFiles(), 0);
  EXPECT_STREQ(ZervGetSerialNumber(), "V");
  EXPECT_TRUE(ThreadsBackTo(threadsBefore)) << Threads() << " threads, not " << threadsBefore;
}

TEST_F(Connection, ConnectWithoutInstrumentTimesOutAndLeavesNoThread) {
  bool connected = true;
  long ms = ElapsedMs([&] { connected = ZervConnect(-1, 1500); });
  EXPECT_FALSE(connected);
  EXPECT_GE(ms, 1450);  // the whole time-out, not cut to whole seconds
  EXPECT_LT(ms, 5000);
  EXPECT_TRUE(ThreadsBackTo(threadsBefore)) << Threads() << " threads, not " << threadsBefore;
}

TEST_F(Connection, ConnectOnANumberedPortIgnoresTheOthers) {
  auto& other = PlugAt(1);
  PlugAt(7);
  ASSERT_TRUE(ZervConnect(7, 5000));
  EXPECT_STREQ(g_szDevicePath, "/dev/ttyACM7");
  EXPECT_EQ(other.RequestCount(), 0u);
}

TEST_F(Connection, UnplugAndReplugAreEachReportedOnce) {
  auto& sim = PlugAt(2);
  ASSERT_TRUE(ZervInit(Record));
  ASSERT_TRUE(WaitFor([] { return ReportCount() >= 1; }, 5000));
  EXPECT_EQ(Reports(), std::vector<bool>({true}));

  sim.Unplug();
  // The monitor declares a loss about 1.5 s after its first failed check.
  ASSERT_TRUE(WaitFor([] { return ReportCount() >= 2; }, 8000));
  EXPECT_EQ(Reports(), std::vector<bool>({true, false}));
  HW_INFORMATION hw{};
  hw.nFirmwareMain = 99;
  ZervGetHWInformation(&hw);
  EXPECT_EQ(hw.nFirmwareMain, 0);
  EXPECT_EQ(LockFiles(), 0);

  ASSERT_TRUE(sim.Replug(NodePath(2)));
  ASSERT_TRUE(WaitFor([] { return ReportCount() >= 3; }, 5000));
  usleep(1500 * 1000);  // nothing more should come
  EXPECT_EQ(Reports(), std::vector<bool>({true, false, true}));
}

TEST_F(Connection, ReplugUnderAnotherNumberIsFound) {
  auto& sim = PlugAt(0);
  ASSERT_TRUE(ZervInit(Record));
  ASSERT_TRUE(WaitFor([] { return ReportCount() >= 1; }, 5000));
  sim.Unplug();
  ASSERT_TRUE(WaitFor([] { return ReportCount() >= 2; }, 8000));
  ASSERT_TRUE(sim.Replug(NodePath(11)));
  ASSERT_TRUE(WaitFor([] { return ReportCount() >= 3; }, 5000));
  EXPECT_STREQ(g_szDevicePath, "/dev/ttyACM11");
}

TEST_F(Connection, InitTwiceStartsOneThreadAndTheSecondCallbackWins) {
  PlugAt(4);
  std::atomic<int> firstCalls{0};
  static std::atomic<int>* first = &firstCalls;
  ASSERT_TRUE(ZervInit([](bool) { ++*first; }));
  int threadsWithOne = Threads();
  ASSERT_TRUE(ZervInit(Record));
  EXPECT_EQ(Threads(), threadsWithOne);
  ASSERT_TRUE(WaitFor([] { return ReportCount() >= 1; }, 5000));
  EXPECT_EQ(firstCalls.load(), 0);
}

TEST_F(Connection, ConnectWhileAlreadyConnectedTimesOutAndStopsTheThread) {
  PlugAt(4);
  ASSERT_TRUE(ZervInit(Record));
  ASSERT_TRUE(WaitFor([] { return ReportCount() >= 1; }, 5000));
  long ms = ElapsedMs([] { EXPECT_FALSE(ZervConnect(-1, 1000)); });
  EXPECT_GE(ms, 950);
  EXPECT_TRUE(ThreadsBackTo(threadsBefore)) << Threads() << " threads, not " << threadsBefore;
  EXPECT_EQ(LockFiles(), 0);
}

TEST_F(Connection, FreeFromInsideTheCallbackDoesNotDeadlock) {
  PlugAt(6);
  static std::atomic<int> calls{0};
  calls = 0;
  ASSERT_TRUE(ZervInit([](bool connected) {
    ++calls;
    if (connected) ZervFree();
  }));
  ASSERT_TRUE(WaitFor([] { return calls.load() >= 1; }, 5000));
  // The thread ends by itself once the callback has returned.
  EXPECT_TRUE(WaitFor([&] { return Threads() == threadsBefore; }, 3000));
  EXPECT_EQ(LockFiles(), 0);
  // And the library can be started again.
  ASSERT_TRUE(ZervConnect(-1, 5000));
}

TEST_F(Connection, RapidPlugCyclesLeakNothing) {
  auto& sim = PlugAt(1);
  ASSERT_TRUE(ZervInit(Record));
  ASSERT_TRUE(WaitFor([] { return ReportCount() >= 1; }, 5000));
  const int fdsConnected = OpenDescriptors();
  std::mt19937 random(7);
  for (int i = 0; i < 200; ++i) {
    sim.Unplug();
    usleep(5000 + random() % 40000);
    ASSERT_TRUE(sim.Replug(NodePath(1 + static_cast<int>(random() % 3))));
    usleep(5000 + random() % 40000);
  }
  // Settle: the instrument stays put, so the library ends up connected to it.
  ASSERT_TRUE(WaitFor([] { return !Reports().empty() && Reports().back(); }, 10000));
  std::vector<bool> reports = Reports();
  for (size_t i = 0; i < reports.size(); ++i) EXPECT_EQ(reports[i], i % 2 == 0) << "report " << i;
  EXPECT_LE(std::abs(OpenDescriptors() - fdsConnected), 0);
  EXPECT_EQ(LockFiles(), 1);
  ZervFree();
  EXPECT_EQ(LockFiles(), 0);
  EXPECT_TRUE(ThreadsBackTo(threadsBefore)) << Threads() << " threads, not " << threadsBefore;
}

// ---- Several processes ----

namespace {

// Starts the contender program: it connects within timeoutMs, holds the
// instrument for holdMs, then frees it. Its exit code says whether it got it.
pid_t StartContender(unsigned timeoutMs, unsigned holdMs) {
  std::string program = CONTENDER_PATH;
  std::string t = std::to_string(timeoutMs), h = std::to_string(holdMs);
  char* argv[] = {&program[0], &t[0], &h[0], nullptr};
  pid_t pid = -1;
  posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, environ);
  return pid;
}

int ExitCodeOf(pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

TEST_F(Connection, TwoProcessesNeverShareTheInstrument) {
  PlugAt(0);
  // Both race for it; the loser gives up after 1.5 s while the winner holds on.
  pid_t a = StartContender(1500, 3000);
  pid_t b = StartContender(1500, 3000);
  int ra = ExitCodeOf(a), rb = ExitCodeOf(b);
  EXPECT_EQ((ra == 0) + (rb == 0), 1) << "exit codes " << ra << " and " << rb;
  EXPECT_EQ(LockFiles(), 0);

  // A patient one gets it once the holder lets go.
  pid_t holder = StartContender(3000, 1500);
  usleep(500 * 1000);
  pid_t patient = StartContender(8000, 0);
  EXPECT_EQ(ExitCodeOf(holder), 0);
  EXPECT_EQ(ExitCodeOf(patient), 0);
  EXPECT_EQ(LockFiles(), 0);
}

TEST_F(Connection, AKilledHolderLeavesAStaleLockThatIsTakenOver) {
  PlugAt(0);
  pid_t holder = StartContender(3000, 60000);
  ASSERT_TRUE(WaitFor([] { return LockFiles() == 1; }, 5000));
  usleep(300 * 1000);
  kill(holder, SIGKILL);
  ExitCodeOf(holder);
  EXPECT_EQ(LockFiles(), 1);  // left behind
  ASSERT_TRUE(ZervConnect(-1, 5000));
  EXPECT_EQ(FileBytes(LockPath(0)), PidBytes(getpid()));
}
