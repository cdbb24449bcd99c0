// Unloading the library while its threads run: the connect thread and the
// monitor are stopped before the library's state goes away, and the
// instrument is released.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <thread>

#include "InstrumentFixture.h"
#include "NamespaceSupport.h"

namespace {

typedef bool (*InitFn)(void (*)(bool));

class Unload : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_NAMESPACE();
    // ThreadSanitizer's runtime starts a helper thread of its own with the
    // process's first new thread; one started and joined here brings it in
    // before the tests count the threads.
    std::thread([] {}).join();
  }
};

}  // namespace

TEST_F(Unload, WhileConnectedStopsTheThreadsAndReleasesTheInstrument) {
  zsim::VirtualInstrument sim;
  ASSERT_TRUE(sim.Start());
  ASSERT_TRUE(sim.Plug(NodePath(0)));
  const int baseline = SettledThreads();

  void* library = dlopen(ZERVON_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << dlerror();
  auto init = reinterpret_cast<InitFn>(dlsym(library, "ZervInit"));
  ASSERT_NE(init, nullptr);
  ASSERT_TRUE(init(nullptr));
  ASSERT_TRUE(WaitFor([] { return LockFiles() == 1; }, 5000));
  ASSERT_TRUE(WaitFor([&] { return sim.HostControl(); }, 3000));
  usleep(300 * 1000);  // connected, monitor running

  long ms = ElapsedMs([&] { EXPECT_EQ(dlclose(library), 0); });
  EXPECT_LT(ms, 3000);
  EXPECT_TRUE(ThreadsBackTo(baseline)) << Threads() << " threads, not " << baseline;
  EXPECT_EQ(LockFiles(), 0);
}

TEST_F(Unload, WhileSearchingEndsWithinTheSearchAndItsPause) {
  const int baseline = SettledThreads();
  void* library = dlopen(ZERVON_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << dlerror();
  auto init = reinterpret_cast<InitFn>(dlsym(library, "ZervInit"));
  ASSERT_TRUE(init(nullptr));
  usleep(200 * 1000);
  long ms = ElapsedMs([&] { EXPECT_EQ(dlclose(library), 0); });
  EXPECT_LT(ms, 4000);
  EXPECT_TRUE(ThreadsBackTo(baseline)) << Threads() << " threads, not " << baseline;
}

TEST_F(Unload, UnusedLibraryUnloadsAtOnce) {
  const int baseline = SettledThreads();
  void* library = dlopen(ZERVON_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << dlerror();
  EXPECT_EQ(Threads(), baseline + 1);  // the monitor, blocked on its switch
  long ms = ElapsedMs([&] { EXPECT_EQ(dlclose(library), 0); });
  EXPECT_LT(ms, 500);
  EXPECT_TRUE(ThreadsBackTo(baseline)) << Threads() << " threads, not " << baseline;
}
