// Loading firmware images and burning them through the instrument's loader,
// against virtual instruments plugged in as /dev/ttyACM<N> inside the
// scratch namespace: the exact command stream, the rows and flash data the
// instrument stores, the progress stages, the restart and reconnection, the
// version write-back, every failure code, and a burn beside a running
// connection.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "Device.h"
#include "SimpleCriticalSection.h"
#include "Flash.h"
#include "InstrumentFixture.h"
#include "NamespaceSupport.h"
#include "Protocol.h"
#include "zervon.h"
#include "zervon_ext.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Stage {
  int stage;
  int value;
  bool operator==(const Stage& o) const { return stage == o.stage && value == o.value; }
};

std::ostream& operator<<(std::ostream& os, const Stage& s) {
  return os << "(" << s.stage << ", " << s.value << ")";
}

// Every report of the burn callback, and an optional action run after
// recording, on the burn's thread (to disturb the instrument at one stage).
std::mutex g_mutex;
std::vector<Stage> g_stages;
std::function<void(int, int)> g_hook;

void RecordStage(int stage, int value) {
  {
    std::lock_guard<std::mutex> guard(g_mutex);
    g_stages.push_back({stage, value});
  }
  if (g_hook) g_hook(stage, value);
}

std::vector<Stage> Stages() {
  std::lock_guard<std::mutex> guard(g_mutex);
  return g_stages;
}

// Runs `action` once, at the first report (stage, value).
void At(int stage, int value, std::function<void()> action) {
  auto done = std::make_shared<bool>(false);
  g_hook = [=](int s, int v) {
    if (*done || s != stage || v != value) return;
    *done = true;
    action();
  };
}

std::mutex g_connMutex;
std::vector<bool> g_connections;

void RecordConnection(bool connected) {
  std::lock_guard<std::mutex> guard(g_connMutex);
  g_connections.push_back(connected);
}

std::vector<bool> Connections() {
  std::lock_guard<std::mutex> guard(g_connMutex);
  return g_connections;
}

Bytes RandomBytes(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  Bytes b(n);
  for (auto& x : b) x = static_cast<uint8_t>(rng());
  return b;
}

// The image as the burner holds it: whole rows, the last padded with 0xFF.
Bytes Padded(Bytes b) {
  b.resize((b.size() + 31) / 32 * 32, 0xFF);
  return b;
}

std::string TempFile(const Bytes& bytes) {
  char path[] = "/tmp/zervon-image.XXXXXX";
  int fd = mkstemp(path);
  EXPECT_GE(fd, 0);
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  close(fd);
  return path;
}

int LoadBytes(const Bytes& bytes, int mainVer, int subVer) {
  std::string path = TempFile(bytes);
  int rc = ZervLoadBinFile(&path[0], &mainVer, &subVer);
  unlink(path.c_str());
  return rc;
}

void ForgetImage() {
  delete[] g_pFlashData;
  g_pFlashData = nullptr;
  g_nFlashSize = 0;
  g_bBinMainVer = g_bBinSubVer = 0;
}

// ---- frames the burn sends ----

Bytes RecordRead() { return {0x12, 0x55, 0xAA, 0x00, 0x00}; }
Bytes Loader(char op) { return {'F', 'W', 'P', static_cast<uint8_t>(op)}; }

Bytes Row(char op, int row, const Bytes& image) {
  const unsigned offset = static_cast<unsigned>(row) * 32;
  Bytes f(40, 0);
  const uint8_t head[8] = {'F', 'W', 'P', static_cast<uint8_t>(op), 0x00, 0xA0,
                           static_cast<uint8_t>(offset >> 8), static_cast<uint8_t>(offset)};
  std::copy(head, head + 8, f.begin());
  if (op == 'W') std::copy(image.begin() + offset, image.begin() + offset + 32, f.begin() + 8);
  return f;
}

Bytes FlashHeader(char op, uint8_t count, uint32_t address) {
  return {0x12, 'Q', 'F', static_cast<uint8_t>(op), count,
          static_cast<uint8_t>(address >> 16), static_cast<uint8_t>(address >> 8),
          static_cast<uint8_t>(address)};
}

Bytes RecordWrite(std::array<uint8_t, 64> block, int mainVer, int subVer) {
  block[3] = 0xFF;
  block[14] = static_cast<uint8_t>(mainVer);
  block[15] = static_cast<uint8_t>(subVer);
  return Bytes(block.begin(), block.end());
}

size_t CountFrames(const std::vector<Bytes>& frames, const Bytes& prefix) {
  return std::count_if(frames.begin(), frames.end(), [&](const Bytes& f) {
    return f.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), f.begin());
  });
}

// Descriptors open on a terminal's slave side or on a lock file.
int PortAndLockDescriptors() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (dirent* e = readdir(d)) {
      char target[256] = {0};
      std::string link = std::string("/proc/self/fd/") + e->d_name;
      if (readlink(link.c_str(), target, sizeof target - 1) <= 0) continue;
      std::string t = target;
      if (t.rfind("/var/lock/", 0) == 0 || (t.rfind("/dev/pts/", 0) == 0 && isdigit(t[9]))) ++n;
    }
    closedir(d);
  }
  return n;
}

// The library holds no port, lock file or path and no burn callback.
// A negative count skips the descriptor count.
void ExpectReleased(int descriptorsBefore) {
  EXPECT_EQ(g_hDevice, -1);
  EXPECT_STREQ(g_szDevicePath, "");
  EXPECT_EQ(g_nLockFile, -1);
  EXPECT_EQ(LockFiles(), 0);
  if (descriptorsBefore >= 0) {
    EXPECT_EQ(OpenDescriptors(), descriptorsBefore);
  }
  EXPECT_EQ(g_FlashProgressCb, nullptr);
  EXPECT_EQ(g_FlashAccessCb, nullptr);
}

class Burn : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_NAMESPACE();
    std::lock_guard<std::mutex> guard(g_mutex);
    g_stages.clear();
    g_hook = nullptr;
  }
  void TearDown() override {
    g_hook = nullptr;
    ZervFree();
    DeviceClose();
    sims.clear();
  }

  // A virtual instrument at /dev/ttyACM<n> with the short restart delay.
  zsim::VirtualInstrument& PlugAt(int n, uint8_t mainVer, uint8_t subVer) {
    sims.push_back(std::make_unique<zsim::VirtualInstrument>());
    zsim::VirtualInstrument& sim = *sims.back();
    EXPECT_TRUE(sim.Start());
    EXPECT_TRUE(sim.Plug(NodePath(n)));
    sim.SetRestartDelayMs(100);
    sim.SetFirmware(mainVer, subVer);
    return sim;
  }

  std::vector<std::unique_ptr<zsim::VirtualInstrument>> sims;
};

// A hand-driven instrument on a pseudo-terminal of the test's own, for
// failures the virtual instrument cannot stage at the right moment: it
// answers the first `answers` record reads with a valid block (main version
// 3) and ignores later ones; with `hangUpInLoader` it hangs up on "FWPS",
// after which the port reads nothing, at once, for ever.
class HandDrivenPort {
 public:
  HandDrivenPort(int node, int answers, bool hangUpInLoader)
      : answers_(answers), hangUp_(hangUpInLoader) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    EXPECT_GE(master_, 0);
    grantpt(master_);
    unlockpt(master_);
    // Held open so that the master does not see a hang-up between probes.
    slave_ = open(ptsname(master_), O_RDWR | O_NOCTTY);
    node_ = NodePath(node);
    EXPECT_EQ(symlink(ptsname(master_), node_.c_str()), 0);
    thread_ = std::thread([this] { Serve(); });
  }
  ~HandDrivenPort() {
    stop_ = true;
    thread_.join();
    unlink(node_.c_str());
    if (slave_ >= 0) close(slave_);
    if (master_ >= 0) close(master_);
  }

 private:
  void Serve() {
    Bytes rx;
    while (!stop_ && master_ >= 0) {
      uint8_t buf[256];
      ssize_t n = read(master_, buf, sizeof buf);
      if (n <= 0) {
        usleep(1000);
        continue;
      }
      rx.insert(rx.end(), buf, buf + n);
      while (!rx.empty()) {
        if (rx.size() >= 5 && Bytes(rx.begin(), rx.begin() + 5) == RecordRead()) {
          rx.erase(rx.begin(), rx.begin() + 5);
          if (answers_-- > 0) {
            uint8_t block[64] = {0x12, 0x55, 0xAA, 0x00, 0x00, 'V', 'R', 'X'};
            block[14] = 3;
            ssize_t w = write(master_, block, sizeof block);
            (void)w;
          }
        } else if (rx.size() >= 4 && Bytes(rx.begin(), rx.begin() + 4) == Loader('S')) {
          rx.erase(rx.begin(), rx.begin() + 4);
          if (hangUp_) {
            close(slave_);
            close(master_);
            slave_ = master_ = -1;
            return;
          }
        } else if (rx.size() >= 5 || rx[0] != 0x12) {
          rx.erase(rx.begin());
        } else {
          break;
        }
      }
    }
  }

  int master_ = -1;
  int slave_ = -1;
  std::string node_;
  int answers_;
  bool hangUp_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace

// ---- loading ----

TEST(BurnLoad, RefusedInputLeavesTheImageLoadedBefore) {
  const Bytes first = RandomBytes(100, 1);
  ASSERT_EQ(LoadBytes(first, 4, 7), 0);
  EXPECT_EQ(g_nFlashSize, 4);
  EXPECT_EQ(Bytes(g_pFlashData, g_pFlashData + 128), Padded(first));
  EXPECT_EQ(g_bBinMainVer, 4);
  EXPECT_EQ(g_bBinSubVer, 7);

  // Versions are only read.
  int mainVer = 255, subVer = 0;
  std::string path = TempFile(first);
  ASSERT_EQ(ZervLoadBinFile(&path[0], &mainVer, &subVer), 0);
  EXPECT_EQ(mainVer, 255);
  EXPECT_EQ(subVer, 0);
  ASSERT_EQ(LoadBytes(first, 4, 7), 0);

  const unsigned char* kept = g_pFlashData;
  int ok = 1, low = -1, high = 256;
  EXPECT_EQ(ZervLoadBinFile(&path[0], nullptr, &ok), -22);
  EXPECT_EQ(ZervLoadBinFile(&path[0], &ok, nullptr), -22);
  EXPECT_EQ(ZervLoadBinFile(&path[0], &low, &ok), -22);
  EXPECT_EQ(ZervLoadBinFile(&path[0], &ok, &high), -22);
  unlink(path.c_str());
  EXPECT_EQ(ZervLoadBinFile(&path[0], &ok, &ok), -20);  // gone
  EXPECT_EQ(ZervLoadBinFile(nullptr, &ok, &ok), -20);
  char dir[] = "/tmp";
  EXPECT_EQ(ZervLoadBinFile(dir, &ok, &ok), -20);
  EXPECT_EQ(LoadBytes({}, 1, 1), -21);
  EXPECT_EQ(LoadBytes(Bytes(0x8000 + 0x1E8000 + 1, 0x5A), 1, 1), -15);
  EXPECT_EQ(g_pFlashData, kept);
  EXPECT_EQ(g_nFlashSize, 4);
  EXPECT_EQ(Bytes(g_pFlashData, g_pFlashData + 128), Padded(first));
  EXPECT_EQ(g_bBinMainVer, 4);
  EXPECT_EQ(g_bBinSubVer, 7);

  // The largest image any instrument takes loads, and replaces the first.
  const Bytes largest = RandomBytes(0x8000 + 0x1E8000, 2);
  ASSERT_EQ(LoadBytes(largest, 0, 255), 0);
  EXPECT_EQ(g_nFlashSize, (0x8000 + 0x1E8000) / 32);
  EXPECT_EQ(Bytes(g_pFlashData, g_pFlashData + largest.size()), largest);
  EXPECT_EQ(g_bBinMainVer, 0);
  EXPECT_EQ(g_bBinSubVer, 255);
}

// ---- early exits ----

TEST_F(Burn, WithoutImageNothingIsSent) {
  auto& sim = PlugAt(0, 3, 2);
  ForgetImage();
  const int before = OpenDescriptors();
  EXPECT_EQ(ZervBurnBinFile(RecordStage), -14);
  EXPECT_EQ(Stages(), std::vector<Stage>({{5, -14}}));
  EXPECT_EQ(ZervBurnBinFile(nullptr), -14);
  EXPECT_EQ(sim.RequestCount(), 0u);
  ExpectReleased(before);
}

TEST_F(Burn, WithoutInstrumentGivesUpAfterFiveAttempts) {
  ASSERT_EQ(LoadBytes(RandomBytes(64, 3), 1, 0), 0);
  const int before = OpenDescriptors();
  int rc = 0;
  const long ms = ElapsedMs([&] { rc = ZervBurnBinFile(RecordStage); });
  EXPECT_EQ(rc, -3);
  EXPECT_GE(ms, 4900);
  EXPECT_LT(ms, 9000);
  EXPECT_EQ(Stages(), std::vector<Stage>({{5, -3}}));
  ExpectReleased(before);
}

TEST_F(Burn, UnreadableRecordClosesThePortItOpened) {
  ASSERT_EQ(LoadBytes(RandomBytes(64, 4), 1, 0), 0);
  const int before = OpenDescriptors();
  {
    HandDrivenPort port(0, 1, false);  // the probe is answered, the record read is not
    const int during = OpenDescriptors();
    EXPECT_EQ(ZervBurnBinFile(RecordStage), -2);
    EXPECT_EQ(Stages(), std::vector<Stage>({{5, -2}}));
    ExpectReleased(during);
  }
  EXPECT_EQ(OpenDescriptors(), before);
}

TEST_F(Burn, LoaderThatHangsUpEndsTheWaitForItsAnswer) {
  ASSERT_EQ(LoadBytes(RandomBytes(32, 5), 1, 0), 0);
  const int before = OpenDescriptors();
  HandDrivenPort port(0, 2, true);
  int rc = 0;
  const long ms = ElapsedMs([&] { rc = ZervBurnBinFile(RecordStage); });
  // Empty reads for a few seconds, then the first row cannot be written.
  EXPECT_EQ(rc, -5);
  EXPECT_GE(ms, 2500);
  EXPECT_LT(ms, 15000);
  EXPECT_EQ(Stages(), std::vector<Stage>({{1, 0}, {5, -5}}));
  ExpectReleased(before);  // the hand-driven side has closed both its ends
}

TEST_F(Burn, V2RefusesAnImageAboveItsRowOffsetsBeforeAnyRow) {
  auto& sim = PlugAt(0, 2, 0);
  ASSERT_EQ(LoadBytes(RandomBytes(0x10000 + 1, 6), 1, 0), 0);
  const int before = OpenDescriptors();
  sim.ClearLog();
  EXPECT_EQ(ZervBurnBinFile(RecordStage), -15);
  EXPECT_EQ(Stages(), std::vector<Stage>({{5, -15}}));
  EXPECT_EQ(sim.Requests(), std::vector<Bytes>({RecordRead(), RecordRead()}));
  ExpectReleased(before);
}

// ---- the choice of sequence ----

// The first report tells the sequence: V2 starts writing rows (1, 0), V3
// erases SPI flash first (0, 3). A dropped reply right there ends the burn.
TEST_F(Burn, ImageOfExactly32KiBTakesV2EvenOnMainVersion3) {
  for (uint8_t mainVer : {2, 3}) {
    SCOPED_TRACE(static_cast<int>(mainVer));
    sims.clear();
    auto& sim = PlugAt(mainVer, mainVer, 0);
    ASSERT_EQ(LoadBytes(RandomBytes(0x8000, 7), 1, 0), 0);
    {
      std::lock_guard<std::mutex> guard(g_mutex);
      g_stages.clear();
    }
    At(1, 0, [&] { sim.DropReplies(1); });
    EXPECT_EQ(ZervBurnBinFile(RecordStage), -6);
    EXPECT_EQ(Stages(), std::vector<Stage>({{1, 0}, {5, -6}}));
    EXPECT_EQ(CountFrames(sim.Requests(), {0x12, 'Q', 'F'}), 0u);
  }
}

TEST_F(Burn, FailedSPIFlashEraseIsReportedAndReturned) {
  // One row above 32 KiB on main version 3: V3, and its first exchange after
  // entering the loader is the erase of one 4 KiB sector.
  auto& sim = PlugAt(0, 3, 0);
  ASSERT_EQ(LoadBytes(RandomBytes(0x8000 + 32, 8), 1, 0), 0);
  const int before = OpenDescriptors();
  sim.ClearLog();
  At(0, 3, [&] { sim.DropReplies(1); });
  EXPECT_EQ(ZervBurnBinFile(RecordStage), -16);
  EXPECT_EQ(Stages(), std::vector<Stage>({{0, 3}, {5, -16}}));
  EXPECT_EQ(sim.Requests(), std::vector<Bytes>({RecordRead(), RecordRead(), Loader('S'),
                                                FlashHeader('E', 0x20, 0x18000)}));
  ExpectReleased(before);
}

// ---- verification ----

TEST_F(Burn, RowThatReadsBackDifferentEndsTheBurnInTheLoader) {
  auto& sim = PlugAt(0, 3, 0);
  const Bytes image = RandomBytes(100, 9);  // 4 rows: V2
  ASSERT_EQ(LoadBytes(image, 1, 0), 0);
  const int before = OpenDescriptors();
  sim.CorruptIspOnWrite(70, 0x10);  // row 2
  EXPECT_EQ(ZervBurnBinFile(RecordStage), -9);
  EXPECT_EQ(Stages(), std::vector<Stage>({{1, 0}, {1, 12}, {1, 25}, {1, 37},
                                          {2, 49}, {2, 61}, {2, 74}, {5, -9}}));
  EXPECT_EQ(CountFrames(sim.Requests(), Loader('U')), 0u);
  EXPECT_TRUE(sim.InLoader());
  EXPECT_EQ(sim.RestartCount(), 0);
  ExpectReleased(before);

  // The same without a callback: no report, the same result. The instrument
  // left in its loader answers no record read: it is powered up again first.
  ASSERT_TRUE(sim.Replug(NodePath(0)));
  sim.CorruptIspOnWrite(0, 0x01);
  EXPECT_EQ(ZervBurnBinFile(nullptr), -9);
  ExpectReleased(before);
}

TEST_F(Burn, BMPBlockThatReadsBackDifferentEndsTheBurn) {
  auto& sim = PlugAt(0, 3, 0);
  ASSERT_EQ(LoadBytes(RandomBytes(0x8000 + 96, 10), 1, 0), 0);  // three BMP packets
  sim.CorruptFlashOnWrite(0x18000 + 40, 0x04);                    // in the second
  sim.ClearLog();
  EXPECT_EQ(ZervBurnBinFile(RecordStage), -9);
  const auto stages = Stages();
  ASSERT_GE(stages.size(), 3u);
  // Reported before the packets at offsets 0 and 32 of 96.
  EXPECT_EQ(std::vector<Stage>(stages.end() - 3, stages.end()),
            std::vector<Stage>({{2, 75}, {2, 83}, {5, -9}}));
  const auto frames = sim.Requests();
  EXPECT_EQ(CountFrames(frames, {0x12, 'Q', 'F', 'R'}), 2u);
  EXPECT_EQ(CountFrames(frames, Loader('U')), 0u);
}

TEST_F(Burn, FailedSPIFlashWriteIsReportedAndReturned) {
  auto& sim = PlugAt(0, 3, 0);
  ASSERT_EQ(LoadBytes(RandomBytes(0x8000 + 64, 11), 1, 0), 0);
  const int before = OpenDescriptors();
  At(1, 30, [&] { sim.DropReplies(1); });
  EXPECT_EQ(ZervBurnBinFile(RecordStage), -17);
  const auto stages = Stages();
  EXPECT_EQ(stages.back(), (Stage{5, -17}));
  EXPECT_EQ(stages[stages.size() - 2], (Stage{1, 30}));
  EXPECT_EQ(CountFrames(sim.Requests(), {'F', 'W', 'P', 'R'}), 0u);
  ExpectReleased(before);
}

TEST_F(Burn, FailedSPIFlashReadBackIsReportedAndReturned) {
  auto& sim = PlugAt(0, 3, 0);
  ASSERT_EQ(LoadBytes(RandomBytes(0x8000 + 64, 12), 1, 0), 0);
  const int before = OpenDescriptors();
  At(2, 75, [&] { sim.DropReplies(1); });
  EXPECT_EQ(ZervBurnBinFile(RecordStage), -18);
  const auto stages = Stages();
  ASSERT_GE(stages.size(), 3u);
  // (2, 75) after the loader rows, then (2, 75) before the first packet.
  EXPECT_EQ(std::vector<Stage>(stages.end() - 3, stages.end()),
            std::vector<Stage>({{2, 75}, {2, 75}, {5, -18}}));
  EXPECT_EQ(CountFrames(sim.Requests(), Loader('U')), 0u);
  ExpectReleased(before);
}

// ---- whole burns ----

TEST_F(Burn, V2BurnOf40KiBOnMainVersion2) {
  auto& sim = PlugAt(3, 2, 5);
  sim.SetRestartNode(NodePath(4));  // it comes back under another number
  const Bytes raw = RandomBytes(0xA000 - 5, 13);  // the last row padded with five 0xFF
  const Bytes image = Padded(raw);
  const int rows = 0xA000 / 32;
  ASSERT_EQ(LoadBytes(raw, 4, 9), 0);
  const auto oldBlock = sim.Block(0);
  const int before = OpenDescriptors();
  sim.ClearLog();

  int rc = -1;
  const long ms = ElapsedMs([&] { rc = ZervBurnBinFile(RecordStage); });
  EXPECT_EQ(rc, 0);
  EXPECT_GE(ms, 5000);

  std::vector<Bytes> expected = {RecordRead(), RecordRead(), Loader('S')};
  for (int i = 0; i < rows; ++i) expected.push_back(Row('W', i, image));
  for (int i = 0; i < rows; ++i) expected.push_back(Row('R', i, image));
  expected.push_back(Loader('U'));
  // After the restart: the one successful probe, then the version write.
  expected.push_back(RecordRead());
  expected.push_back(RecordWrite(oldBlock, 4, 9));
  EXPECT_EQ(sim.Requests(), expected);
  EXPECT_EQ(expected[2 + rows].back(), 0xFF);

  std::vector<Stage> stages;
  for (int i = 0; i < rows; ++i) stages.push_back({1, i * 50 / rows});
  for (int i = 0; i < rows; ++i) stages.push_back({2, i * 50 / rows + 49});
  stages.insert(stages.end(), {{3, 99}, {4, 100}, {5, 0}});
  EXPECT_EQ(Stages(), stages);

  const Bytes isp = sim.IspImage();
  EXPECT_EQ(Bytes(isp.begin(), isp.begin() + image.size()), image);
  EXPECT_EQ(sim.RestartCount(), 1);
  EXPECT_EQ(sim.NodePath(), NodePath(4));
  EXPECT_FALSE(sim.InLoader());
  // The instrument took the version, and its answer is the cached record.
  const auto block = sim.Block(0);
  EXPECT_EQ(block[14], 4);
  EXPECT_EQ(block[15], 9);
  EXPECT_EQ(Bytes(g_DeviceHWInfo, g_DeviceHWInfo + 64), Bytes(block.begin(), block.end()));
  HW_INFORMATION hw{};
  ASSERT_TRUE(ZervGetHWInformation(&hw));
  EXPECT_EQ(hw.nFirmwareMain, 4);
  EXPECT_EQ(hw.nFirmwareSub, 9);
  ExpectReleased(before);
}

TEST_F(Burn, V3BurnOf40KiBOnMainVersion3) {
  auto& sim = PlugAt(0, 3, 1);
  // It comes back under another number while its old node is still listed
  // (leading nowhere) when the burn looks for it.
  sim.SetRestartNode(NodePath(2));
  sim.SetNodeLingerMs(8000);
  const Bytes image = RandomBytes(0xA000, 14);
  const int rows = 0xA000 / 32;
  const unsigned bmp = 0x2000;
  ASSERT_EQ(LoadBytes(image, 3, 4), 0);
  const auto oldBlock = sim.Block(0);
  const int before = OpenDescriptors();
  sim.ClearLog();

  EXPECT_EQ(ZervBurnBinFile(RecordStage), 0);

  std::vector<Bytes> expected = {RecordRead(), RecordRead(), Loader('S'),
                                 FlashHeader('E', 0x20, 0x18000),
                                 FlashHeader('E', 0x20, 0x19000)};
  for (int i = 0; i < 1024; ++i) expected.push_back(Row('W', i, image));
  for (unsigned off = 0; off < bmp; off += 32) {
    Bytes f = FlashHeader('W', 31, 0x18000 + off);
    f.reserve(f.size() + 32);
    f.insert(f.end(), image.begin() + 0x8000 + off, image.begin() + 0x8000 + off + 32);
    expected.push_back(f);
  }
  for (int i = 0; i < 1024; ++i) expected.push_back(Row('R', i, image));
  for (unsigned off = 0; off < bmp; off += 32) expected.push_back(FlashHeader('R', 31, 0x18000 + off));
  expected.push_back(Loader('U'));
  expected.push_back(RecordRead());
  expected.push_back(RecordWrite(oldBlock, 3, 4));
  EXPECT_EQ(sim.Requests(), expected);

  std::vector<Stage> stages = {{0, 3}, {0, 3}, {0, 6}, {0, 10}, {0, 10}};
  for (int i = 0; i < 1024; ++i) stages.push_back({1, i * 20 / rows + 10});
  stages.push_back({1, 30});
  for (unsigned done = 32; done <= bmp; done += 32)
    stages.push_back({1, static_cast<int>(done * 20 / bmp + 30)});
  stages.insert(stages.end(), {{1, 50}, {1, 50}});
  for (int i = 0; i < 1024; ++i) stages.push_back({2, i * 25 / rows + 50});
  stages.push_back({2, 75});
  for (unsigned off = 0; off < bmp; off += 32)
    stages.push_back({2, static_cast<int>(off * 24 / bmp + 75)});
  stages.insert(stages.end(), {{2, 99}, {3, 99}, {4, 100}, {5, 0}});
  EXPECT_EQ(Stages(), stages);

  const Bytes isp = sim.IspImage();
  EXPECT_EQ(Bytes(isp.begin(), isp.begin() + 0x8000), Bytes(image.begin(), image.begin() + 0x8000));
  EXPECT_EQ(Bytes(isp.begin() + 0x8000, isp.begin() + 0xA000), Bytes(0x2000, 0xFF));
  EXPECT_EQ(sim.ReadFlash(0x18000, bmp), Bytes(image.begin() + 0x8000, image.end()));
  EXPECT_EQ(sim.RestartCount(), 1);
  EXPECT_EQ(sim.NodePath(), NodePath(2));
  const auto block = sim.Block(0);
  EXPECT_EQ(block[14], 3);
  EXPECT_EQ(block[15], 4);
  EXPECT_EQ(Bytes(g_DeviceHWInfo, g_DeviceHWInfo + 64), Bytes(block.begin(), block.end()));
  // The old node's linger holds a descriptor of the instrument's own.
  struct stat st;
  EXPECT_TRUE(WaitFor([&] { return lstat(NodePath(0).c_str(), &st) != 0; }, 10000));
  ExpectReleased(before);
}

// With an idle neighbour on the host, searched and refused on every
// attempt: the old node's lock file stays this process's all through the
// search, nothing is written to the neighbour, and its record does not stay
// in the cache.
TEST_F(Burn, InstrumentThatDoesNotComeBackEndsWithMinus11) {
  auto& sim = PlugAt(0, 3, 0);
  auto& neighbour = PlugAt(1, 3, 0);
  neighbour.SetSerial(21, 7, 3, 301);
  ASSERT_EQ(LoadBytes(RandomBytes(32, 15), 1, 0), 0);
  sim.SetRestartDelayMs(60000);
  std::string lockDuringSearch;
  std::thread watcher;
  At(4, 100, [&] {
    watcher = std::thread([&] {
      usleep(3500 * 1000);  // a few searches in
      lockDuringSearch = FileBytes(LockPath(0));
    });
  });
  int rc = 0;
  const long ms = ElapsedMs([&] { rc = ZervBurnBinFile(RecordStage); });
  if (watcher.joinable()) watcher.join();
  EXPECT_EQ(rc, -11);
  EXPECT_GE(ms, 5000 + 15 * 1000 - 100);
  EXPECT_LT(ms, 40000);
  EXPECT_EQ(Stages(), std::vector<Stage>({{1, 0}, {2, 49}, {3, 99}, {4, 100}, {5, -11}}));
  EXPECT_EQ(lockDuringSearch, PidBytes(getpid()));
  EXPECT_GE(CountFrames(neighbour.Requests(), RecordRead()), 10u);
  for (const Bytes& f : neighbour.Requests()) EXPECT_NE(f.size(), 64u);
  EXPECT_EQ(Bytes(g_DeviceHWInfo, g_DeviceHWInfo + 64), Bytes(64, 0));
  // The lock file kept across the restart is given up as well. The
  // restarting instrument holds no terminal, so no port may be open at all.
  ExpectReleased(-1);
  neighbour.Stop();  // its own terminal is no port of the library's
  EXPECT_EQ(PortAndLockDescriptors(), 0);
}

// A rack: an idle neighbour is on the host while the burned instrument
// restarts, first under the node the burned one left (it was moved there)
// and the burned one comes back under the neighbour's old node. The burn
// takes only its own instrument back; the neighbour is probed, released and
// never written. The application's connection to port 0 follows the burned
// instrument to its new node instead of taking the neighbour at port 0.
TEST_F(Burn, RestartedInstrumentIsFoundAgainByItsIdentityNotItsNode) {
  auto& burned = PlugAt(0, 3, 0);
  auto& neighbour = PlugAt(1, 3, 0);
  neighbour.SetSerial(21, 7, 3, 301);
  burned.SetRestartDelayMs(6500);  // longer than the burn's 5 s wait
  burned.SetRestartNode(NodePath(1));
  const auto neighbourBlock = neighbour.Block(0);
  ASSERT_EQ(LoadBytes(RandomBytes(64, 17), 4, 9), 0);
  ASSERT_TRUE(ZervConnect(0, 5000));

  std::atomic<bool> moved{false};
  std::thread mover([&] {
    if (!WaitFor([&] { return burned.InLoader(); }, 10000)) return;
    if (!WaitFor([&] { return !burned.Serving(); }, 10000)) return;
    moved = neighbour.Replug(NodePath(0));
  });
  const int rc = ZervBurnBinFile(RecordStage);
  mover.join();
  ASSERT_TRUE(moved);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(Stages().back(), (Stage{5, 0}));
  EXPECT_EQ(burned.NodePath(), NodePath(1));
  EXPECT_EQ(burned.Block(0)[14], 4);
  EXPECT_EQ(burned.Block(0)[15], 9);
  // The neighbour was asked for its record after the restart (it was at the
  // old node), and nothing else reached it: no 64-byte record write.
  const auto frames = neighbour.Requests();
  EXPECT_NE(CountFrames(frames, RecordRead()), 0u);
  for (const Bytes& f : frames) EXPECT_NE(f.size(), 64u);
  EXPECT_EQ(neighbour.Block(0), neighbourBlock);

  EXPECT_TRUE(WaitFor(
      [] {
        CAutoCriticalSection guard(g_APICriticalSection);
        return std::string(g_szDevicePath) == NodePath(1);
      },
      8000));
  {
    CAutoCriticalSection guard(g_APICriticalSection);
    const auto block = burned.Block(0);
    EXPECT_EQ(Bytes(g_DeviceHWInfo + 5, g_DeviceHWInfo + 16), Bytes(block.begin() + 5, block.begin() + 16));
  }
  ZervFree();
  ExpectReleased(-1);
}

// A burn while the connect thread holds the instrument: it works on that
// port, nothing else reaches the wire meanwhile, and afterwards the
// application is told of the loss and of the restarted instrument.
TEST_F(Burn, BurnBesideARunningConnection) {
  auto& sim = PlugAt(1, 3, 2);
  const Bytes image = RandomBytes(64, 16);
  ASSERT_EQ(LoadBytes(image, 3, 9), 0);
  const int before = OpenDescriptors();
  {
    std::lock_guard<std::mutex> guard(g_connMutex);
    g_connections.clear();
  }
  ASSERT_TRUE(ZervInit(RecordConnection));
  ASSERT_TRUE(WaitFor([] { return Connections().size() >= 1; }, 5000));

  std::atomic<bool> stop{false};
  std::atomic<int> exchanges{0};
  std::thread application([&] {
    while (!stop) {
      double value;
      ZervReadValue(nullptr, nullptr, nullptr, nullptr, nullptr, &value);
      ++exchanges;
      usleep(2000);
    }
  });
  ASSERT_TRUE(WaitFor([&] { return exchanges > 5; }, 3000));

  EXPECT_EQ(ZervBurnBinFile(RecordStage), 0);
  EXPECT_EQ(Stages(), std::vector<Stage>({{1, 0}, {1, 25}, {2, 49}, {2, 74},
                                          {3, 99}, {4, 100}, {5, 0}}));
  EXPECT_TRUE(WaitFor([] { return Connections().size() >= 3; }, 8000));
  usleep(1500 * 1000);  // nothing more should come
  stop = true;
  application.join();
  EXPECT_EQ(Connections(), std::vector<bool>({true, false, true}));

  // From "FWPS" to the version write only the burn's frames.
  const auto frames = sim.Requests();
  auto enter = std::find(frames.begin(), frames.end(), Loader('S'));
  ASSERT_NE(enter, frames.end());
  auto write = std::find_if(enter, frames.end(), [](const Bytes& f) { return f.size() == 64; });
  ASSERT_NE(write, frames.end());
  EXPECT_EQ(std::vector<Bytes>(enter, write + 1),
            std::vector<Bytes>({Loader('S'), Row('W', 0, image), Row('W', 1, image),
                                Row('R', 0, image), Row('R', 1, image), Loader('U'), RecordRead(),
                                *write}));
  EXPECT_EQ((*write)[14], 3);
  EXPECT_EQ((*write)[15], 9);
  // The connection was taken over, not probed again: the record read of the
  // burn is the only one between the connect thread's and "FWPS".
  EXPECT_EQ(CountFrames(std::vector<Bytes>(frames.begin(), enter), RecordRead()), 2u);

  // Connected again to the restarted instrument, with the new version.
  EXPECT_STREQ(g_szDevicePath, "/dev/ttyACM1");
  EXPECT_EQ(FileBytes(LockPath(1)), PidBytes(getpid()));
  EXPECT_EQ(LockFiles(), 1);
  EXPECT_TRUE(sim.HostControl());
  HW_INFORMATION hw{};
  ASSERT_TRUE(ZervGetHWInformation(&hw));
  EXPECT_EQ(hw.nFirmwareMain, 3);
  EXPECT_EQ(hw.nFirmwareSub, 9);
  double value = 0;
  EXPECT_EQ(ZervReadValue(nullptr, nullptr, nullptr, nullptr, nullptr, &value), 0);

  ZervFree();
  ExpectReleased(before);
}
