// The bench-test entry points: their printed formats and the endless cycle.
#include <algorithm>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

#include "InstrumentFixture.h"
#include "zervon_ext.h"

TEST(Diagnostics, ProgressPrintersUseTheirFormats) {
  testing::internal::CaptureStdout();
  FlashAccessProgressHandler(4096, 65536);
  ProgressCB(3, 99);
  ProgressCB(5, -9);
  DebugConnectedHandler(false);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "00001000/00010000\r\n3 - 99\n5 - -9\n");
}

namespace {

const std::vector<uint8_t> kRecordRead = {0x12, 0x55, 0xAA, 0x00, 0x00};

std::vector<uint8_t> CycleEntry(std::initializer_list<uint8_t> six) {
  std::vector<uint8_t> frame(six.size() + 2, 0x00);  // zero lead and tail bytes
  std::copy(six.begin(), six.end(), frame.begin() + 1);
  return frame;
}

}  // namespace

// The cycle never returns, so it runs in a child process that the test ends.
TEST(Diagnostics, ConnectedHandlerRunsTheCycleOnceAndASecondCallReturns) {
  zsim::VirtualInstrument sim;
  ASSERT_TRUE(sim.Start());
  int fd = sim.OpenHostPort();  // opened before the fork: the child touches no simulator state
  ASSERT_GE(fd, 0);
  int pipefd[2];
  ASSERT_EQ(pipe(pipefd), 0);
  // Forked from a thread made for it: under qemu-user a child forked while
  // threads newer than the forking one run cannot start threads of its own.
  pid_t child = -1;
  std::thread forker([&] {
    child = fork();
    if (child == 0) {
      ZervSetDeviceHandle(HandleOf(fd));
      std::thread cycle([] { DebugConnectedHandler(true); });
      usleep(200 * 1000);
      DebugTest();  // the guard: returns at once
      char done = 'R';
      if (write(pipefd[1], &done, 1) != 1) _exit(3);
      cycle.join();  // never ends
      _exit(4);
    }
  });
  forker.join();
  ASSERT_GE(child, 0);
  close(pipefd[1]);
  char mark = 0;
  ASSERT_EQ(read(pipefd[0], &mark, 1), 1);
  EXPECT_EQ(mark, 'R');
  sim.ClearLog();
  bool enough = sim.WaitForRequests(60, 10000);
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  close(pipefd[0]);
  close(fd);
  ASSERT_TRUE(enough);

  const std::vector<std::vector<uint8_t>> table = {
      CycleEntry({0x01, 0x04, 0x00, 0x00, 0x00, 0x11}), CycleEntry({0x00, 0x01, 0x00, 0x01, 0x00, 0x11}),
      CycleEntry({0x03, 0x01, 0x00, 0x00, 0x00, 0x11}), CycleEntry({0x03, 0x01, 0x00, 0x00, 0x00, 0x11}),
      CycleEntry({0x03, 0x02, 0x00, 0x00, 0x00, 0x11}), CycleEntry({0x03, 0x03, 0x00, 0x00, 0x00, 0x11}),
      CycleEntry({0x03, 0x04, 0x00, 0x00, 0x00, 0x11}), CycleEntry({0x01, 0x03, 0x00, 0x00, 0x00, 0x11}),
      CycleEntry({0x01, 0x04, 0x00, 0x00, 0x00, 0x11}), CycleEntry({0x02, 0x01, 0x00, 0x00, 0x00, 0x11}),
      CycleEntry({0x05, 0x01, 0x00, 0x00, 0x00, 0x11}),
  };
  auto frames = sim.Requests();
  // Find where a setting entry starts, then check the rhythm: entry, record read, next entry...
  size_t start = 0;
  while (start < frames.size() && frames[start].size() != 8) ++start;
  ASSERT_LT(start + 44, frames.size());
  size_t entry = 0;
  while (entry < table.size() && table[entry] != frames[start]) ++entry;
  ASSERT_LT(entry, table.size());
  // Entries 2 and 3 are equal, and so are 0 and 8: align on a unique successor.
  for (size_t i = start; i + 1 < start + 44; i += 2) {
    EXPECT_EQ(frames[i + 1], kRecordRead) << "frame " << i + 1;
    EXPECT_EQ(frames[i].size(), 8u);
  }
  // The sequence of entries, read off the log, is the table in order.
  std::vector<std::vector<uint8_t>> entries;
  for (size_t i = start; i < start + 44; i += 2) entries.push_back(frames[i]);
  bool matches = false;
  for (size_t offset = 0; offset < table.size() && !matches; ++offset) {
    matches = true;
    for (size_t k = 0; k < entries.size(); ++k) {
      if (entries[k] != table[(offset + k) % table.size()]) {
        matches = false;
        break;
      }
    }
  }
  EXPECT_TRUE(matches) << "the cycle's entries are not the table in order";
}

TEST(Diagnostics, CycleWithoutAPortKeepsRunningAndPrintsNothingMore) {
  int pipefd[2];
  ASSERT_EQ(pipe(pipefd), 0);
  pid_t child = -1;
  std::thread forker([&] {  // see above: a child that starts a thread
    child = fork();
    if (child == 0) {
      dup2(pipefd[1], 1);
      ZervSetDeviceHandle(HandleOf(-1));
      std::thread cycle([] { DebugConnectedHandler(true); });
      cycle.join();
      _exit(4);
    }
  });
  forker.join();
  ASSERT_GE(child, 0);
  close(pipefd[1]);
  usleep(300 * 1000);
  int status = 0;
  EXPECT_EQ(waitpid(child, &status, WNOHANG), 0) << "the cycle ended";
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  char out[64] = {0};
  ssize_t n = read(pipefd[0], out, sizeof out - 1);
  close(pipefd[0]);
  EXPECT_EQ(std::string(out, n > 0 ? n : 0), "connected\n");
}
