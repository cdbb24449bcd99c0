// The virtual instrument's view of the hosts that hold its terminal open,
// which the contention tests read to see who holds an instrument.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "VirtualInstrument.h"

namespace {

int OpenPath(const std::string& path) { return open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC); }

}  // namespace

TEST(HostOpens, NamesEveryHolderButTheInstrumentItselfAcrossProcessesAndTerminals) {
  zsim::VirtualInstrument sim;
  ASSERT_TRUE(sim.Start());
  EXPECT_TRUE(sim.HostPids().empty());
  const std::string path = sim.SlavePath();
  const int self = getpid();

  int a = sim.OpenHostPort();
  int b = OpenPath(path);
  ASSERT_GE(a, 0);
  ASSERT_GE(b, 0);
  EXPECT_EQ(sim.HostPids(), std::vector<int>({self, self}));
  close(b);
  EXPECT_EQ(sim.HostOpens(), 1);

  // Another process holds it too, through a node link, until told to let go.
  char dir[] = "/tmp/zervon-hostopens.XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string node = std::string(dir) + "/ttyACM0";
  ASSERT_TRUE(sim.Plug(node));
  // A fresh program (no descriptors inherited from this one), holding the
  // node open until its standard input ends.
  int go[2];
  ASSERT_EQ(pipe2(go, O_CLOEXEC), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, go[0], 0);
  std::string sh = "/bin/sh", script = "exec 3<>\"$0\"; read x", arg = node;
  char* argv[] = {&sh[0], const_cast<char*>("-c"), &script[0], &arg[0], nullptr};
  pid_t child = -1;
  ASSERT_EQ(posix_spawn(&child, "/bin/sh", &actions, nullptr, argv, environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  close(go[0]);
  EXPECT_TRUE(sim.WaitForHostOpens(2, 3000));
  std::vector<int> both = {self, static_cast<int>(child)};
  std::sort(both.begin(), both.end());
  EXPECT_EQ(sim.HostPids(), both);
  close(go[1]);
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(sim.HostPids(), std::vector<int>({self}));

  // A replug brings a new terminal that nobody holds; the old descriptor
  // belongs to a terminal that is gone.
  ASSERT_TRUE(sim.Replug(node));
  EXPECT_EQ(sim.HostOpens(), 0);
  int d = OpenPath(node);
  ASSERT_GE(d, 0);
  EXPECT_EQ(sim.HostOpens(), 1);
  close(d);
  close(a);
  EXPECT_EQ(sim.HostOpens(), 0);
  sim.Stop();
  EXPECT_EQ(sim.HostOpens(), 0);
  unlink(node.c_str());
  rmdir(dir);
}
