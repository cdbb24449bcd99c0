// A thousand connection cycles on the fast path: an instrument that comes
// and goes (a new terminal each time) handed to the library as its port,
// with status exchanges, a flash read and a fault in every cycle. After them
// the process holds the descriptors and threads it held before, and (under
// AddressSanitizer) LeakSanitizer finds no leak.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "FaultSupport.h"
#include "InstrumentFixture.h"
#include "zervon.h"
#include "zervon_ext.h"

TEST(LeakCycles, AThousandHandOverCyclesWithFaultsLeakNothing) {
  char dir[] = "/tmp/zervon-leak.XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string node = std::string(dir) + "/ttyACM0";
  zsim::VirtualInstrument sim;
  sim.SetHangupGraceMs(0);
  ASSERT_TRUE(sim.Start());
  ASSERT_TRUE(sim.Replug(node));
  sim.Unplug();
  const faults::Resources before = faults::Count();

  std::mt19937 rng(29);
  int exchanges = 0, good = 0, faulty = 0, wrong = 0;
#ifdef ZERVON_TEST_EMULATED
  const int kCycles = 200;  // under an emulator every cycle costs ten times as much
#else
  const int kCycles = 1000;
#endif
  for (int i = 0; i < kCycles; ++i) {
    ASSERT_TRUE(sim.Replug(node)) << "cycle " << i;
    int fd = sim.OpenHostPort();
    ASSERT_GE(fd, 0) << "cycle " << i;
    ZervSetDeviceHandle(HandleOf(fd));
    const uint16_t raw = static_cast<uint16_t>(rng() % 60000);
    sim.SetMeasuredRaw(raw);
    for (int k = 0; k < 2; ++k) {
      // A fault on the cycle's second reply, every cycle a different kind; a
      // dropped reply (which costs its 200 ms time-out) every 50th cycle.
      // (An exchange right after a cut-short reply waits for the line to go
      // quiet, so the fault comes last but for the flash read of every 10th
      // cycle and the read on the pulled port, which ends at the hang-up.)
      if (k == 1 && i % 50 == 49) {
        sim.DropReplies(1);
      } else if (k == 1) {
        switch (i % 3) {
          case 0: sim.TruncateReplies(1, 10); break;
          case 1: sim.GarbageReplies(1); break;
          default: sim.SplitReplies(1, 20, 5); break;
        }
      }
      double value = 0;
      int r1 = -1;
      int rc = ZervReadValue(&r1, nullptr, nullptr, nullptr, nullptr, &value);
      ++exchanges;
      if (rc != 0) {
        ++faulty;
      } else {
        ++good;
        if (r1 != 3 || static_cast<long>(value * 100 + 0.5) != raw) ++wrong;
      }
    }
    unsigned char block[64];
    if (i % 10 == 0) {
      EXPECT_TRUE(ZervSPIFlashReadEx(CHIP_FLASH_REGION_0, block, 64, nullptr)) << "cycle " << i;
    }
    sim.ClearFaults();
    // Pulled while the library still holds the port, as a cable is.
    sim.Unplug();
    double value;
    EXPECT_NE(ZervReadValue(nullptr, nullptr, nullptr, nullptr, nullptr, &value), 0);
    ZervSetDeviceHandle(HandleOf(-1));
    close(fd);
  }
  RecordProperty("exchanges", exchanges);
  RecordProperty("faulty", faulty);
  EXPECT_EQ(wrong, 0);
  EXPECT_GE(faulty, kCycles * 9 / 10);
  EXPECT_LE(faulty, kCycles * 11 / 10);
  EXPECT_EQ(faults::SettleTo(before), before);
  EXPECT_TRUE(faults::NoLeakSoFar());
  sim.Stop();
  rmdir(dir);
}
