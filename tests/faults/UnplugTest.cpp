// The cable pulled at the worst moments, with the library's real node and
// lock paths inside the scratch namespace: during status exchanges, during a
// flash write, during each stage of a firmware burn, while four application
// threads exchange and the instrument comes and goes under changing node
// numbers. Every call returns within its bound, no failure is reported as
// success, and the library ends up holding nothing it should not.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "Device.h"
#include "FaultSupport.h"
#include "Flash.h"
#include "NamespaceSupport.h"
#include "zervon.h"
#include "zervon_ext.h"

namespace {

using Bytes = std::vector<uint8_t>;
const char kSerial[] = "VRX2107-030300";

// Connection reports, with a wait for the next one.
std::mutex g_m;
std::condition_variable g_cv;
std::vector<bool> g_reports;

void OnConnection(bool connected) {
  std::lock_guard<std::mutex> lk(g_m);
  g_reports.push_back(connected);
  g_cv.notify_all();
}

bool WaitForReport(bool connected, long ms) {
  std::unique_lock<std::mutex> lk(g_m);
  return g_cv.wait_for(lk, std::chrono::milliseconds(ms),
                       [connected] { return !g_reports.empty() && g_reports.back() == connected; });
}

std::vector<bool> Reports() {
  std::lock_guard<std::mutex> lk(g_m);
  return g_reports;
}

bool Alternate(const std::vector<bool>& reports) {
  for (size_t i = 0; i < reports.size(); ++i)
    if (reports[i] != (i % 2 == 0)) return false;
  return true;
}

bool ValueIs(double value, uint16_t raw) { return static_cast<long>(value * 100 + 0.5) == raw; }

// Unplugs `sim` once it has received `more` further requests (or after
// 5 s); join() waits for that. The instrument falls silent at that request,
// on its own serving thread (the wire trace's sink sees each request as it
// comes), so a host that is quick on a quiet machine cannot finish its
// transfer in the moment before the pull: the pull always lands mid-way.
class Puller {
 public:
  Puller(zsim::VirtualInstrument& sim, size_t more) {
    auto state = state_;
    const size_t target = sim.RequestCount() + more;
    sim.SetEventSink([state, &sim, target](const std::string&) {
      if (state->silenced || sim.RequestCount() < target) return;
      sim.SetSilent(true);
      std::lock_guard<std::mutex> lk(state->m);
      state->silenced = true;
      state->cv.notify_all();
    });
    sim.SetWireTrace(true);
    thread_ = std::thread([state, &sim] {
      {
        std::unique_lock<std::mutex> lk(state->m);
        state->cv.wait_for(lk, std::chrono::seconds(5), [&] { return state->silenced.load(); });
      }
      sim.Unplug();
      sim.SetWireTrace(false);
      sim.SetEventSink(nullptr);
      sim.SetSilent(false);
    });
  }
  ~Puller() { join(); }
  void join() {
    if (thread_.joinable()) thread_.join();
  }

 private:
  struct State {
    std::mutex m;
    std::condition_variable cv;
    std::atomic<bool> silenced{false};
  };
  std::shared_ptr<State> state_ = std::make_shared<State>();
  std::thread thread_;
};

class Unplug : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_NAMESPACE();
    {
      std::lock_guard<std::mutex> lk(g_m);
      g_reports.clear();
    }
    sim.SetRestartDelayMs(100);
    ASSERT_TRUE(sim.Start());
    // Counted in the instrument's unplugged state, which the tests end in.
    ASSERT_TRUE(sim.Replug(NodePath(9)));
    sim.Unplug();
    before = faults::Count();
  }
  void TearDown() override {
    ZervFree();  // closes the port the connect thread held; a burn closes its own
    sim.Stop();
  }

  // Connects through the connect thread with the instrument at node `n`.
  void ConnectAt(int n) {
    ASSERT_TRUE(sim.Replug(NodePath(n)));
    ASSERT_TRUE(ZervInit(OnConnection));
    ASSERT_TRUE(WaitForReport(true, 8000));
  }

  // After ZervFree, with the instrument unplugged: what the process held
  // before the test.
  void ExpectReleased() {
    ZervFree();
    sim.Unplug();
    EXPECT_EQ(faults::SettleTo(before), before);
    EXPECT_EQ(g_hDevice, -1);
    EXPECT_EQ(g_nLockFile, -1);
  }

  zsim::VirtualInstrument sim;
  faults::Resources before;
};

}  // namespace

// Pulled during a run of status exchanges: the exchanges fail within their
// time-outs, the loss is reported once, and the instrument plugged back
// under another number is found and answers correctly.
TEST_F(Unplug, DuringExchangesThenReplugUnderAnotherNumber) {
  ConnectAt(0);
  sim.SetMeasuredRaw(4321);
  int good = 0, failed = 0, wrong = 0;
  {
    // Exchanging, 2 ms apart, until well after the cable has gone.
    Puller puller(sim, 15);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(6);
    while (failed < 10 && std::chrono::steady_clock::now() < end) {
      double value = 0;
      int rc = 0;
      long ms = faults::ElapsedMs([&] { rc = ZervReadValue(nullptr, nullptr, nullptr, nullptr, nullptr, &value); });
      EXPECT_LE(ms, 1000);
      if (rc == 0 && ValueIs(value, 4321)) ++good;
      else if (rc == 0) ++wrong;
      else ++failed;
      usleep(2000);
    }
  }
  EXPECT_EQ(wrong, 0);
  EXPECT_GE(good, 10);
  EXPECT_EQ(failed, 10);
  ASSERT_TRUE(WaitForReport(false, 8000));
  EXPECT_EQ(LockFiles(), 0);
  EXPECT_STREQ(ZervGetSerialNumber(), "V");

  ASSERT_TRUE(sim.Replug(NodePath(7)));
  ASSERT_TRUE(WaitForReport(true, 8000));
  EXPECT_STREQ(g_szDevicePath, "/dev/ttyACM7");
  EXPECT_EQ(FileBytes(LockPath(7)), PidBytes(getpid()));
  EXPECT_STREQ(ZervGetSerialNumber(), kSerial);
  double value = 0;
  EXPECT_EQ(ZervReadValue(nullptr, nullptr, nullptr, nullptr, nullptr, &value), 0);
  EXPECT_TRUE(ValueIs(value, 4321));
  EXPECT_EQ(Reports(), std::vector<bool>({true, false, true}));
  ExpectReleased();
}

// Pulled at several points of a memory-map write (erase, write and
// read-back passes): the write reports failure and returns promptly.
TEST_F(Unplug, DuringAFlashWriteTheWriteFailsWithoutHanging) {
  std::mt19937 rng(11);
  Bytes data(4096);
  for (auto& b : data) b = static_cast<uint8_t>(rng());
  // A region-2 write: 1 erase, 128 write and 128 read-back exchanges.
  for (size_t at : {1u, 60u, 200u}) {
    SCOPED_TRACE("unplugged after " + std::to_string(at) + " requests");
    ConnectAt(static_cast<int>(at % 3));
    bool ok = true;
    long ms = 0;
    {
      Puller puller(sim, at);
      ms = faults::ElapsedMs([&] {
        ok = faults::MustReturnWithin(30000, "ZervMemMapWriteEx", [&] {
          return ZervMemMapWriteEx(MEMORY_MAP_REGION_2, data.data(), 4096, nullptr);
        });
      });
    }
    EXPECT_FALSE(ok);
    EXPECT_LE(ms, 8000);
    ReconnectDevice();  // the loss at once, not at the monitor's next look
    EXPECT_TRUE(WaitForReport(false, 8000));
    ZervFree();
  }
  EXPECT_TRUE(Alternate(Reports()));
  ExpectReleased();
}

// ---- firmware burn ----

namespace {

std::mutex g_stageMutex;
std::vector<std::pair<int, int>> g_stages;
std::function<void(int, int)> g_onStage;

void OnStage(int stage, int value) {
  {
    std::lock_guard<std::mutex> lk(g_stageMutex);
    g_stages.emplace_back(stage, value);
  }
  if (g_onStage) g_onStage(stage, value);
}

int LoadImage(const Bytes& bytes, int mainVer, int subVer) {
  char path[] = "/tmp/zervon-faults-image.XXXXXX";
  int fd = mkstemp(path);
  if (fd < 0) return -100;
  bool whole = write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  close(fd);
  int rc = whole ? ZervLoadBinFile(path, &mainVer, &subVer) : -100;
  unlink(path);
  return rc;
}

}  // namespace

// Pulled while the burn writes rows into the loader, while it verifies
// them, and while it writes the image's second part into the SPI flash
// (V3): each burn ends with a failure code, reported as the last stage,
// within its bound. (An instrument that does not come back after the
// restart is a burn test of its own.)
TEST_F(Unplug, DuringEachStageOfABurnTheBurnEndsWithACode) {
  struct Case {
    const char* what;
    size_t imageBytes;
    uint8_t mainVer;
    int stage, value;  // unplug at this progress report
  };
  const Case cases[] = {
      {"row writes (V2)", 4096, 2, 1, 0},
      {"row verify (V2)", 4096, 2, 2, 49},
      {"SPI flash write (V3)", 0x8000 + 2048, 3, 1, 30},
  };
  std::mt19937 rng(17);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    for (int attempt = 0;; ++attempt) {
      Bytes image(c.imageBytes);
      for (auto& b : image) b = static_cast<uint8_t>(rng());
      ASSERT_EQ(LoadImage(image, 3, 7), 0);
      sim.SetFirmware(c.mainVer, 1);
      ASSERT_TRUE(sim.Replug(NodePath(2)));
      {
        std::lock_guard<std::mutex> lk(g_stageMutex);
        g_stages.clear();
      }
      std::atomic<bool> pulled{false};
      std::thread puller;
      std::chrono::steady_clock::time_point pulledAt{};
      g_onStage = [&](int stage, int value) {
        if (pulled || stage != c.stage || value < c.value) return;
        pulled = true;
        // Off this thread, a few requests later: mid-stage, not at its edge.
        puller = std::thread([this, &pulledAt] {
          sim.WaitForRequests(sim.RequestCount() + 3, 2000);
          sim.Unplug();
          pulledAt = std::chrono::steady_clock::now();
        });
      };
      int rc = 0;
      faults::MustReturnWithin(60000, "ZervBurnBinFile", [&] { rc = ZervBurnBinFile(OnStage); return rc; });
      const auto returnedAt = std::chrono::steady_clock::now();
      g_onStage = nullptr;
      if (puller.joinable()) puller.join();
      // The time from the pull to the burn's end: the part before the pull
      // (1,024 loader rows for the V3 image) stretches with the machine's load.
      const long ms = pulled ? static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   returnedAt - pulledAt).count())
                             : 0;
      // -11: the instrument was not back after the restart, so the pull
      // came after the loader was left (the puller was late on a loaded
      // machine) and the burn rightly searched for 15 s; the stage was
      // never cut.
      if ((!pulled || rc == -11) && attempt < 5) {
        // The burn ended before the point of the pull (a reply time-out
        // missed on a loaded machine), or the pull came too late: that is no
        // answer to this case, so it is tried again, and the log says so; a
        // cut it did not notice fails below.
        EXPECT_LT(rc, 0);
        std::printf("[ retry    ] %s: the burn ended with %d %s; trying again\n", c.what, rc,
                    pulled ? "after the pull came too late" : "before the point of the pull");
        sim.Unplug();
        sim.ClearFaults();
        continue;
      }
      EXPECT_TRUE(pulled) << "the last attempt's burn ended with " << rc << " before the point of the pull";
      EXPECT_LT(rc, 0) << "a burn cut short was reported good";
      EXPECT_LE(ms, 10000);
      std::vector<std::pair<int, int>> stages;
      {
        std::lock_guard<std::mutex> lk(g_stageMutex);
        stages = g_stages;
      }
      ASSERT_FALSE(stages.empty());
      EXPECT_EQ(stages.back(), std::make_pair(5, rc)) << "the last report names the result";
      sim.Unplug();
      EXPECT_EQ(g_hDevice, -1);
      EXPECT_EQ(LockFiles(), 0);
      sim.ClearFaults();
      break;
    }
  }
  delete[] g_pFlashData;
  g_pFlashData = nullptr;
  g_nFlashSize = 0;
  ExpectReleased();
}

// Four application threads exchange without pause while the instrument is
// pulled and plugged back under changing numbers 30 times: no call hangs,
// no success carries wrong data, and once the instrument stays put the
// library holds it again, with nothing leaked.
TEST_F(Unplug, FourThreadsExchangeWhilePlugCyclesRun) {
  const Bytes pattern = [] {
    Bytes p(64);
    for (size_t i = 0; i < p.size(); ++i) p[i] = static_cast<uint8_t>(i * 7 + 1);
    return p;
  }();
  sim.LoadMemMap(0x308000, pattern);
  sim.SetMeasuredRaw(2468);
  ConnectAt(0);
  const int threadsConnected = Threads();

  std::atomic<bool> stop{false};
  std::atomic<long> calls{0}, successes{0}, wrong{0}, slow{0};
  auto timed = [&](long boundMs, const std::function<bool(bool&)>& call) {
    bool right = true;
    bool ok = false;
    long ms = faults::ElapsedMs([&] { ok = call(right); });
    ++calls;
    if (ms > boundMs) ++slow;
    if (ok) {
      ++successes;
      if (!right) ++wrong;
    }
    usleep(1000);  // calls without a port return at once: no busy loop
  };
  std::vector<std::thread> apps;
  apps.emplace_back([&] {
    while (!stop) timed(1000, [](bool& right) {
        double value = 0;
        int r1 = -1;
        bool ok = ZervReadValue(&r1, nullptr, nullptr, nullptr, nullptr, &value) == 0;
        right = r1 == 3 && ValueIs(value, 2468);
        return ok;
      });
  });
  apps.emplace_back([&] {
    while (!stop) timed(1000, [](bool& right) {
        unsigned char request = 0x14, reply[64] = {0};
        int length = 64;
        bool ok = ZervSendCommandEx(&request, 1, reply, &length) == 0;
        right = reply[0] == 0x14;
        return ok;
      });
  });
  apps.emplace_back([&] {
    while (!stop) timed(3000, [&](bool& right) {
        Bytes got(64);
        bool ok = ZervMemMapReadEx(MEMORY_MAP_REGION_3, got.data(), 64, nullptr);
        right = got == pattern;
        return ok;
      });
  });
  apps.emplace_back([&] {
    while (!stop) timed(1000, [](bool& right) {
        std::string serial = ZervGetSerialNumber();
        right = serial == kSerial || serial == "V";
        MODEL_INFORMATION info{};
        ZervGetDeviceInformation(&info);
        usleep(1000);
        return true;
      });
  });

  std::mt19937 rng(23);
  for (int i = 0; i < 30; ++i) {
    usleep((20 + rng() % 300) * 1000);
    sim.Unplug();
    usleep((20 + rng() % 300) * 1000);
    ASSERT_TRUE(sim.Replug(NodePath(static_cast<int>(rng() % 4))));
  }
  // The instrument stays: the library holds it again.
  EXPECT_TRUE(WaitFor([] { return !Reports().empty() && Reports().back(); }, 10000));
  usleep(300 * 1000);
  stop = true;
  for (auto& t : apps) t.join();

  RecordProperty("calls", static_cast<int>(calls));
  RecordProperty("successes", static_cast<int>(successes));
  EXPECT_EQ(wrong.load(), 0) << "of " << successes << " successful calls";
  EXPECT_EQ(slow.load(), 0) << "of " << calls << " calls";
  EXPECT_GT(successes.load(), 100);
  EXPECT_TRUE(Alternate(Reports()));
  EXPECT_EQ(LockFiles(), 1);
  // A thread just joined may stay listed for a moment (so under qemu-user).
  EXPECT_TRUE(ThreadsBackTo(threadsConnected, 2000)) << Threads() << " threads, " << threadsConnected << " expected";
  ExpectReleased();
}

// Pulled and plugged back under the same number faster than the monitor
// looks (it looks about every 1.2 s): the library must not stay on the
// dead port it still holds.
TEST_F(Unplug, FastReplugUnderTheSameNumberIsNoticed) {
  ConnectAt(4);
  sim.SetMeasuredRaw(1357);
  sim.Unplug();
  ASSERT_TRUE(sim.Replug(NodePath(4)));
  double value = 0;
  const bool answered = WaitFor([&] {
    return ZervReadValue(nullptr, nullptr, nullptr, nullptr, nullptr, &value) == 0 && ValueIs(value, 1357);
  }, 10000);
  EXPECT_TRUE(answered) << "still on the dead port after 10 s";
  // The connection is reported 200 ms after the port is usable.
  EXPECT_TRUE(WaitForReport(true, 3000));
  EXPECT_EQ(Reports(), std::vector<bool>({true, false, true}));
  ExpectReleased();
}
