// Eight processes racing for two instruments inside one scratch namespace.
// The instruments' side is watched all along: which processes hold each
// terminal open (the virtual instrument's HostPids) and who announces
// itself on the wire (each contender sends "acquire" and "release" setting
// requests with its number). One holder is killed with SIGKILL while it
// holds its instrument; its stale lock must be taken over.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "FaultSupport.h"
#include "NamespaceSupport.h"

namespace {

constexpr uint8_t kAcquire = 0xA5, kRelease = 0x5A;

pid_t StartContender(int number, unsigned timeoutMs, unsigned holdMs) {
  std::string program = FAULTS_CONTENDER_PATH;
  std::string n = std::to_string(number), t = std::to_string(timeoutMs), h = std::to_string(holdMs);
  char* argv[] = {&program[0], &n[0], &t[0], &h[0], nullptr};
  pid_t pid = -1;
  posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, environ);
  return pid;
}

int ExitCodeOf(pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The announcements an instrument received, in order: (acquire?, number).
std::vector<std::pair<bool, int>> Announcements(const zsim::VirtualInstrument& sim) {
  std::vector<std::pair<bool, int>> seen;
  for (const auto& s : sim.Settings())
    if (s[1] == kAcquire || s[1] == kRelease) seen.emplace_back(s[1] == kAcquire, s[2]);
  return seen;
}

}  // namespace

TEST(Contention, EightProcessesTwoInstrumentsOneHolderEachAndAKilledHoldersLockTakenOver) {
  REQUIRE_NAMESPACE();
  std::array<zsim::VirtualInstrument, 2> sims;
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(sims[i].Start());
    sims[i].SetSerial(21, 7, 3, static_cast<uint16_t>(100 + i));
    ASSERT_TRUE(sims[i].Plug(NodePath(i * 3)));  // nodes 0 and 3
  }

  // Watch the instruments' side: a process other than the holder seen
  // holding the terminal in two looks in a row is a shared instrument (a
  // probe that finds the port locked holds it for a moment only).
  std::atomic<bool> watching{true};
  std::atomic<int> looks{0}, sharedLooks{0}, sustainedSharing{0}, mostHolders{0};
  std::thread watcher([&] {
    std::array<std::vector<int>, 2> last;
    while (watching) {
      for (int i = 0; i < 2; ++i) {
        std::vector<int> now = sims[i].HostPids();
        std::set<int> distinct(now.begin(), now.end());
        if (static_cast<int>(distinct.size()) > mostHolders) mostHolders = static_cast<int>(distinct.size());
        if (distinct.size() > 1) {
          ++sharedLooks;
          std::set<int> before(last[i].begin(), last[i].end());
          if (before.size() > 1 && before == distinct) ++sustainedSharing;
        }
        last[i] = now;
      }
      ++looks;
      usleep(10 * 1000);
    }
  });

  // Contender 0 holds on until it is killed; the others hold 400 ms each.
  std::vector<pid_t> pids;
  pids.push_back(StartContender(0, 20000, 60000));
  ASSERT_TRUE(WaitFor([&] { return LockFiles() == 1 && (sims[0].HostOpens() + sims[1].HostOpens()) == 1; }, 10000));
  // Until it has announced itself on its instrument.
  auto announcedBy0 = [&](int i) {
    auto seen = Announcements(sims[i]);
    return std::find(seen.begin(), seen.end(), std::make_pair(true, 0)) != seen.end();
  };
  ASSERT_TRUE(WaitFor([&] { return announcedBy0(0) || announcedBy0(1); }, 10000));
  const int killedOn = announcedBy0(0) ? 0 : 1;
  for (int n = 1; n < 8; ++n) pids.push_back(StartContender(n, 40000, 400));
  usleep(1500 * 1000);  // the others are racing for the free instrument now
  kill(pids[0], SIGKILL);
  EXPECT_EQ(ExitCodeOf(pids[0]), 128 + SIGKILL);

  std::map<int, int> codes;
  for (int n = 1; n < 8; ++n) codes[n] = faults::MustReturnWithin(60000, "a contender", [&] { return ExitCodeOf(pids[n]); });
  watching = false;
  watcher.join();

  for (const auto& c : codes) EXPECT_EQ(c.second, 0) << "contender " << c.first;
  EXPECT_EQ(LockFiles(), 0) << "a lock file was left";
  EXPECT_EQ(sims[0].HostOpens(), 0);
  EXPECT_EQ(sims[1].HostOpens(), 0);
  EXPECT_EQ(sustainedSharing.load(), 0) << "an instrument was held by two processes";
  RecordProperty("looks", looks.load());
  RecordProperty("sharedLooks", sharedLooks.load());

  // The wire: on each instrument, holders strictly one after the other.
  // The killed holder announced its acquire and never its release.
  std::set<int> served;
  for (int i = 0; i < 2; ++i) {
    SCOPED_TRACE("instrument " + std::to_string(i));
    int holder = -1;
    for (const auto& a : Announcements(sims[i])) {
      if (a.first) {
        EXPECT_TRUE(holder == -1 || holder == 0) << a.second << " acquired while " << holder << " held it";
        holder = a.second;
        EXPECT_TRUE(served.insert(a.second).second) << a.second << " served twice";
      } else {
        EXPECT_EQ(holder, a.second) << a.second << " released what it did not hold";
        holder = -1;
      }
    }
    EXPECT_EQ(holder, -1) << "the last holder did not release";
  }
  EXPECT_EQ(served.size(), 8u);
  // The killed holder's instrument served someone after it.
  std::vector<std::pair<bool, int>> onKilled = Announcements(sims[killedOn]);
  auto k = std::find(onKilled.begin(), onKilled.end(), std::make_pair(true, 0));
  ASSERT_NE(k, onKilled.end());
  EXPECT_NE(k + 1, onKilled.end()) << "nobody took over the killed holder's instrument";
}
