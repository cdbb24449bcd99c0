// The device monitor: the switch the connect thread throws, the notify
// registry, and what the monitor does while switched on: a port whose node
// has gone is closed and the connect thread woken; a node missing from one
// look only is no loss.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <vector>

#include "Device.h"
#include "Monitor.h"
#include "NamespaceSupport.h"
#include "SimpleCriticalSection.h"
#include "main.h"
#include "zervon.h"
#include "zervon_ext.h"

namespace {

std::atomic<int> g_calls{0};
void CountCall(unsigned int, unsigned int, unsigned long) { ++g_calls; }
void OtherCall(unsigned int, unsigned int, unsigned long) {}

class Monitor : public ::testing::Test {
 protected:
  void SetUp() override { REQUIRE_NAMESPACE(); }
  void TearDown() override {
    ZervFree();
    g_AutoMonitor.PauseMonitor();
    CAutoCriticalSection guard(g_APICriticalSection);
    DeviceClose();
    rack.Clear();
  }
  InstrumentRack rack;
};

}  // namespace

TEST_F(Monitor, SwitchAndNotifyRegistry) {
  EXPECT_FALSE(g_AutoMonitor.IsMonitored());
  g_AutoMonitor.StartMonitor();
  EXPECT_TRUE(g_AutoMonitor.IsMonitored());
  g_AutoMonitor.PauseMonitor();
  EXPECT_FALSE(g_AutoMonitor.IsMonitored());

  EXPECT_EQ(LookupNotifyEvent(4711), nullptr);
  RegisterNotifyEvent(4711, OtherCall);
  RegisterNotifyEvent(4711, CountCall);  // a second registration replaces the first
  NotifyCallback cb = LookupNotifyEvent(4711);
  ASSERT_EQ(cb, &CountCall);
  cb(4711, 0, 0);
  EXPECT_EQ(g_calls.load(), 1);
  RegisterNotifyEvent(4711, nullptr);
  EXPECT_EQ(LookupNotifyEvent(4711), nullptr);
}

// Switched on over a port whose node goes away, the monitor closes the port
// under the API lock and wakes the connect thread, within its cadence (a
// 1.2 s rest and 1.5 s of failed checks) plus a margin.
TEST_F(Monitor, GoneNodeClosesThePortAndWakesTheConnectThread) {
  auto& sim = rack.PlugAt(2);
  {
    CAutoCriticalSection guard(g_APICriticalSection);
    ASSERT_EQ(FindDevice(2), 1);
  }
  g_hReconnectEvent.ResetEvent();
  g_AutoMonitor.StartMonitor();
  usleep(300 * 1000);
  EXPECT_TRUE(DeviceIsConnected());
  sim.Unplug();
  EXPECT_EQ(g_hReconnectEvent.WaitTimeout(8000), 0u) << "the connect thread was not woken";
  EXPECT_FALSE(DeviceIsConnected());
  EXPECT_EQ(LockFiles(), 0);
}

TEST_F(Monitor, ANodeMissingFromOneLookCausesNoLoss) {
  static std::vector<bool> reports;
  reports.clear();
  auto& sim = rack.PlugAt(3);
  ASSERT_TRUE(ZervInit([](bool connected) { reports.push_back(connected); }));
  ASSERT_TRUE(WaitFor([] { return !reports.empty(); }, 5000));
  const std::string target = sim.SlavePath();
  for (int i = 0; i < 3; ++i) {
    unlink(NodePath(3).c_str());
    usleep(300 * 1000);  // shorter than the three further checks
    ASSERT_EQ(symlink(target.c_str(), NodePath(3).c_str()), 0);
    usleep(1500 * 1000);
  }
  ZervFree();
  EXPECT_EQ(reports, std::vector<bool>({true}));
}
