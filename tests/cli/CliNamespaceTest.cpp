// The zervon tool with the library's real node and lock paths, inside the
// private namespace of run-in-namespace.sh: virtual instruments plugged in
// as /dev/ttyACM<N>, lock files in a scratch /var/lock. list and doctor,
// ports held by another process, the search without --port, and burning.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <dirent.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "CliRun.h"
#include "NamespaceSupport.h"

namespace {

using Bytes = std::vector<uint8_t>;

std::string UucpLockPath(int n) { return "/var/lock/LCK..ttyACM" + std::to_string(n); }

// A UUCP lock file as picocom and lockdev write it: the ID as ten
// characters and a newline.
void WriteUucpLock(int n, int pid) {
  char text[16];
  snprintf(text, sizeof text, "%10d\n", pid);
  WriteFileBytes(UucpLockPath(n), text, 0644);
}

// A live process whose ID stands in a lock file, as another program's would;
// with a `port` it holds that port's flock, as picocom does.
class Holder {
 public:
  explicit Holder(const std::string& port = "") {
    const char* path = port.empty() ? nullptr : port.c_str();
    pid_ = fork();
    if (pid_ == 0) {
      if (path) {
        const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd < 0 || flock(fd, LOCK_EX) != 0) _exit(126);
      }
      execl("/bin/sleep", "sleep", "120", static_cast<char*>(nullptr));
      _exit(127);
    }
    // Until exec is done /proc shows the test's own name.
    WaitFor([this] { return ProcessName() == "sleep"; }, 5000);
  }
  ~Holder() {
    kill(pid_, SIGKILL);
    int status;
    waitpid(pid_, &status, 0);
  }
  int Pid() const { return pid_; }
  std::string ProcessName() const {
    std::string name = FileBytes("/proc/" + std::to_string(pid_) + "/comm");
    if (!name.empty() && name.back() == '\n') name.pop_back();
    return name;
  }

 private:
  pid_t pid_;
};

class CliNamespaceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!InScratchNamespace()) GTEST_SKIP() << "run through run-in-namespace.sh only";
    char dir[] = "/tmp/zervon-cli-ns.XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    tmp = dir;
  }
  void TearDown() override {
    rack.Clear();
    for (int n = 0; n < 8; ++n) unlink(LockPath(n).c_str()), unlink(UucpLockPath(n).c_str());
    if (!tmp.empty()) {
      std::string command = "rm -rf '" + tmp + "'";
      ASSERT_EQ(system(command.c_str()), 0);
    }
  }

  // An instrument at /dev/ttyACM<n> with a serial number of its own,
  // RackSerial(n).
  zsim::VirtualInstrument& PlugNumbered(int n) {
    zsim::VirtualInstrument& sim = rack.PlugAt(n);
    sim.SetSerial(21, 7, 3, static_cast<uint16_t>(300 + n));
    return sim;
  }
  static std::string RackSerial(int n) { return "VRX2107-03030" + std::to_string(n); }
  // The start of a rack's line for instrument n: its node and serial.
  static std::string RackLine(int n) { return NodePath(n) + "   " + RackSerial(n) + "   "; }

  InstrumentRack rack;
  std::string tmp;
};

// A rack's tool starts itself again for each instrument. Under the emulator
// of a cross build it cannot: a foreign program starts only through the
// emulator, which the tool knows nothing of.
#define REQUIRE_NATIVE_TOOL()                                                                   \
  do {                                                                                          \
    if (std::string(ZERVON_CLI_LAUNCHER).size()) GTEST_SKIP() << "the tool runs under an emulator"; \
  } while (0)

// The processes whose parent is `pid`.
std::vector<pid_t> ChildrenOf(pid_t pid) {
  std::vector<pid_t> children;
  DIR* proc = opendir("/proc");
  while (dirent* e = proc ? readdir(proc) : nullptr) {
    if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
    const std::string stat = FileBytes(std::string("/proc/") + e->d_name + "/stat");
    const size_t paren = stat.rfind(')');
    int parent = 0;
    if (paren != std::string::npos && sscanf(stat.c_str() + paren + 1, " %*c %d", &parent) == 1 && parent == pid)
      children.push_back(atoi(e->d_name));
  }
  if (proc) closedir(proc);
  return children;
}

TEST_F(CliNamespaceTest, ListShowsInstrumentsForeignDevicesAndHolders) {
  zsim::VirtualInstrument& instrument = rack.PlugAt(0);
  zsim::VirtualInstrument& foreign = rack.PlugAt(1);
  foreign.SetForeign(true);
  zsim::VirtualInstrument& held = rack.PlugAt(2);
  zsim::VirtualInstrument& flocked = rack.PlugAt(3);
  instrument.SetFirmware(3, 9);
  Holder holder;
  WriteFileBytes(LockPath(2), PidBytes(holder.Pid()));
  Holder locker(NodePath(3));
  held.ClearLog();
  flocked.ClearLog();

  CliResult r = RunCli({"list"});
  ASSERT_EQ(r.code, 0) << r;
  // Each instrument's serial number in a column of its own (a rack is
  // labelled by it); a held port says so in its place.
  EXPECT_EQ(r.out.rfind("NODE           SERIAL           STATE\n", 0), 0u) << r;
  EXPECT_NE(r.out.find("/dev/ttyACM0   VRX2107-030300   instrument, firmware 3.9\n"), std::string::npos) << r;
  EXPECT_NE(r.out.find("/dev/ttyACM1   -                answers, but is not the instrument (marker '"),
            std::string::npos)
      << r;
  EXPECT_NE(r.out.find("/dev/ttyACM2   (held)           locked by process " + std::to_string(holder.Pid()) +
                       " (sleep) through " + LockPath(2) + "\n"),
            std::string::npos)
      << r;
  EXPECT_NE(r.out.find("/dev/ttyACM3   (held)           locked by process " + std::to_string(locker.Pid()) +
                       " (sleep) through an exclusive lock on the port (flock)\n"),
            std::string::npos)
      << r;
  // A port that another process holds is not touched.
  EXPECT_EQ(held.RequestCount(), 0u);
  EXPECT_EQ(flocked.RequestCount(), 0u);
  // The tool's own probe locks are gone, the holder's stays.
  EXPECT_EQ(LockFiles(), 1);
  EXPECT_EQ(FileBytes(LockPath(2)), PidBytes(holder.Pid()));

  r = RunCli({"--json", "list"});
  ASSERT_EQ(r.code, 0) << r;
  EXPECT_NE(r.out.find("{\"node\":\"/dev/ttyACM2\",\"locked\":true,\"lock_file\":\"" + LockPath(2) +
                       "\",\"holder_pid\":" + std::to_string(holder.Pid()) + ",\"holder\":\"sleep\""),
            std::string::npos)
      << r;
  EXPECT_NE(r.out.find("\"node\":\"/dev/ttyACM0\",\"locked\":false,\"instrument\":true"), std::string::npos) << r;

  // No instrument answering: exit 3; no node at all is said on standard
  // error.
  rack.Clear();
  r = RunCli({"list"});
  EXPECT_EQ(r.code, 3) << r;
  EXPECT_TRUE(r.out.empty()) << r;
  EXPECT_EQ(r.err, "zervon: no /dev/ttyACM<N> node: no instrument is plugged in\n") << r;
}

// A node that only root (and a privileged group) may open: doctor, run as
// an ordinary user, names the udev rule as the fix and never advises
// joining a privileged group.
TEST_F(CliNamespaceTest, DoctorAsAnOrdinaryUserNamesTheUdevRule) {
  zsim::VirtualInstrument& sim = rack.PlugAt(0);
  chmod("/dev", 0755);  // the namespace's scratch /dev, for the other user
  ASSERT_EQ(chown(sim.SlavePath().c_str(), 0, 0), 0);
  ASSERT_EQ(chmod(sim.SlavePath().c_str(), 0660), 0);
  CliResult r = RunCli({"doctor"}, 60000, 65534);
  if (r.code == 126) GTEST_SKIP() << "cannot run as another user here";
  EXPECT_EQ(r.code, 1) << r;
  EXPECT_NE(r.out.find("FAIL permission /dev/ttyACM0: user "), std::string::npos) << r;
  EXPECT_NE(r.out.find("a privileged group"), std::string::npos) << r;
  EXPECT_NE(r.out.find("fix: install the SDK's udev rule 60-zervon.rules"), std::string::npos) << r;
  EXPECT_EQ(r.out.find("usermod -aG root"), std::string::npos) << r;
  ASSERT_EQ(chmod(sim.SlavePath().c_str(), 0600), 0);
  r = RunCli({"doctor"}, 60000, 65534);
  EXPECT_NE(r.out.find(": only root may open it"), std::string::npos) << r;
  EXPECT_NE(r.out.find("fix: install the SDK's udev rule 60-zervon.rules"), std::string::npos) << r;
  EXPECT_EQ(r.out.find("usermod -aG root"), std::string::npos) << r;
}

TEST_F(CliNamespaceTest, DoctorNamesHoldersStaleAndIncompleteLocks) {
  rack.PlugAt(0);
  rack.PlugAt(1);
  rack.PlugAt(2);
  Holder holder;
  WriteFileBytes(LockPath(1), PidBytes(holder.Pid()));
  WriteFileBytes(LockPath(3), PidBytes(DeadPid()));
  WriteFileBytes(LockPath(4), "ab");
  WriteUucpLock(2, holder.Pid());
  CliResult r = RunCli({"doctor"});
  EXPECT_EQ(r.code, 1) << r;
  EXPECT_NE(r.out.find("FAIL instrument /dev/ttyACM2: locked by process " + std::to_string(holder.Pid()) +
                       " (sleep) through its UUCP lock " + UucpLockPath(2) + "\n     fix: end that program"),
            std::string::npos)
      << r;
  EXPECT_NE(r.out.find("FAIL lock " + LockPath(1) + ": /dev/ttyACM1 is held by process " +
                       std::to_string(holder.Pid()) + " (sleep)"),
            std::string::npos)
      << r;
  EXPECT_NE(r.out.find("fix: end that program"), std::string::npos) << r;
  EXPECT_NE(r.out.find("ok   lock " + LockPath(3) + ": stale"), std::string::npos) << r;
  EXPECT_NE(r.out.find("FAIL lock " + LockPath(4) + ": incomplete (2 bytes)"), std::string::npos) << r;
  EXPECT_NE(r.out.find("fix: if no program uses the port: 'sudo rm " + LockPath(4) + "'"), std::string::npos) << r;
  EXPECT_NE(r.out.find("ok   lock directory: /var/lock is writable"), std::string::npos) << r;
  EXPECT_NE(r.out.find("ok   instrument /dev/ttyACM0: instrument VRX2107-030300"), std::string::npos) << r;
  EXPECT_NE(r.out.find("udev rule"), std::string::npos) << r;
  EXPECT_NE(r.out.find("ModemManager"), std::string::npos) << r;

  // Once the held and the incomplete lock are gone, all is well.
  unlink(LockPath(1).c_str());
  unlink(LockPath(4).c_str());
  unlink(UucpLockPath(2).c_str());
  r = RunCli({"--json", "doctor"});
  EXPECT_EQ(r.code, 0) << r;
  EXPECT_EQ(r.out.rfind("{\"ok\":true,\"findings\":[", 0), 0u) << r;
}

// A port held by another process: exit 4, one line naming the holder, and
// not one byte sent, whichever name the port is given by.
TEST_F(CliNamespaceTest, BusyPortIsLeftAlone) {
  zsim::VirtualInstrument& sim = rack.PlugAt(0);
  Holder holder;
  WriteFileBytes(LockPath(0), PidBytes(holder.Pid()));
  sim.ClearLog();
  for (const std::string& port : {NodePath(0), sim.SlavePath()}) {
    CliResult r = RunCli({"--port", port, "set", "1", "2", "3", "4"});
    EXPECT_EQ(r.code, 4) << r;
    ASSERT_EQ(r.ErrLines().size(), 1u) << r;
    EXPECT_NE(r.err.find("is busy: held by process " + std::to_string(holder.Pid()) + " (sleep) through " +
                         LockPath(0)),
              std::string::npos)
        << r;
  }
  // The search finds only the held port: busy too, after the time-out.
  CliResult r = RunCli({"--timeout", "300", "info"});
  EXPECT_EQ(r.code, 4) << r;
  EXPECT_NE(r.err.find("no free instrument: /dev/ttyACM0 is held by process"), std::string::npos) << r;
  EXPECT_EQ(sim.RequestCount(), 0u);
  EXPECT_EQ(FileBytes(LockPath(0)), PidBytes(holder.Pid()));

  // An incomplete lock file might be one being written: also busy.
  WriteFileBytes(LockPath(0), "x");
  r = RunCli({"--port", NodePath(0), "info"});
  EXPECT_EQ(r.code, 4) << r;
  EXPECT_NE(r.err.find("incomplete lock file"), std::string::npos) << r;
  EXPECT_EQ(sim.RequestCount(), 0u);
  unlink(LockPath(0).c_str());

  // Other programs' locks: a live UUCP lock file and a flock on the port.
  WriteUucpLock(0, holder.Pid());
  r = RunCli({"--port", NodePath(0), "info"});
  EXPECT_EQ(r.code, 4) << r;
  EXPECT_NE(r.err.find("is busy: held by process " + std::to_string(holder.Pid()) + " (sleep) through its UUCP lock " +
                       UucpLockPath(0)),
            std::string::npos)
      << r;
  unlink(UucpLockPath(0).c_str());
  {
    Holder locker(sim.SlavePath());
    r = RunCli({"--port", NodePath(0), "info"});
    EXPECT_EQ(r.code, 4) << r;
    EXPECT_NE(r.err.find("is busy: held by process " + std::to_string(locker.Pid()) +
                         " (sleep) through an exclusive lock on the port (flock)"),
              std::string::npos)
        << r;
    // The library's search leaves it alone too.
    r = RunCli({"--timeout", "300", "info"});
    EXPECT_EQ(r.code, 4) << r;
    EXPECT_NE(r.err.find("/dev/ttyACM0 is held by process " + std::to_string(locker.Pid())), std::string::npos) << r;
  }
  EXPECT_EQ(sim.RequestCount(), 0u);
  // A stale UUCP lock is no reason to refuse, and stays where it is.
  const std::string stale = "  " + std::to_string(DeadPid()) + "\n";
  WriteFileBytes(UucpLockPath(0), stale, 0644);
  r = RunCli({"--port", NodePath(0), "info"});
  EXPECT_EQ(r.code, 0) << r;
  EXPECT_EQ(FileBytes(UucpLockPath(0)), stale);
}

// With --port at a node the tool holds its lock file while it works, so no
// other program takes the port meanwhile, and removes it afterwards; a stale
// lock is replaced.
TEST_F(CliNamespaceTest, PortNodeIsLockedWhileInUse) {
  zsim::VirtualInstrument& sim = rack.PlugAt(0);
  WriteFileBytes(LockPath(0), PidBytes(DeadPid()));
  const pid_t child = StartCli({"--port", NodePath(0), "read", "--watch", "--rate", "10"});
  EXPECT_TRUE(sim.WaitForRequests(4, 10000));
  EXPECT_EQ(FileBytes(LockPath(0)), PidBytes(child));
  CliResult r = RunCli({"--port", NodePath(0), "info"});
  EXPECT_EQ(r.code, 4) << r;
  kill(child, SIGTERM);
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(LockFiles(), 0);
}

TEST_F(CliNamespaceTest, SearchWithoutPortFindsTheInstrument) {
  rack.PlugAt(1).SetFirmware(3, 4);
  CliResult r = RunCli({"--json", "info"});
  ASSERT_EQ(r.code, 0) << r;
  EXPECT_NE(r.out.find("\"port\":\"/dev/ttyACM1\""), std::string::npos) << r;
  EXPECT_NE(r.out.find("\"firmware\":\"3.4\""), std::string::npos) << r;
  EXPECT_EQ(LockFiles(), 0);
}

// A watch that searched waits for a lost instrument: one line when it is
// lost, one when it is back, and the readings go on.
TEST_F(CliNamespaceTest, WatchWaitsForALostInstrument) {
  zsim::VirtualInstrument& sim = rack.PlugAt(0);
  BackgroundCli watch({"read", "--watch", "--rate", "10"});
  ASSERT_TRUE(sim.WaitForRequests(6, 15000)) << watch.Err();
  sim.Unplug();
  EXPECT_TRUE(watch.WaitForErr("lost", 10000)) << watch.Err();
  sleep(2);  // time enough to flood, were it to
  ASSERT_TRUE(sim.Replug(NodePath(0)));
  EXPECT_TRUE(watch.WaitForErr("back", 15000)) << watch.Err();
  sim.ClearLog();
  EXPECT_TRUE(sim.WaitForRequests(6, 10000));
  kill(watch.pid, SIGINT);
  EXPECT_EQ(watch.Wait(10000), 0);
  // One line each way; on a slow machine the library may report the loss
  // only after a read has failed, with one line for it.
  const std::string lost = "zervon: the instrument was lost; waiting for it to come back\n";
  const std::string back = "zervon: the instrument is back\n";
  const std::string err = watch.Err();
  EXPECT_TRUE(err == lost + back || err == "zervon: the instrument did not send its status report\n" + lost + back)
      << err;
}

// A search in which this user may open no node at all says so at once.
TEST_F(CliNamespaceTest, SearchWithoutPermissionSaysSoAtOnce) {
  rack.PlugAt(0);
  rack.PlugAt(2);
  chmod("/dev", 0755);  // the namespace's scratch /dev, for the other user
  const auto start = std::chrono::steady_clock::now();
  CliResult r = RunCli({"--timeout", "30000", "info"}, 60000, 65534);
  if (r.code == 126) GTEST_SKIP() << "cannot run as another user here";
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_EQ(r.code, 3) << r;
  EXPECT_NE(r.err.find("permission denied on /dev/ttyACM0, /dev/ttyACM2 (see 'zervon doctor')"), std::string::npos)
      << r;
}

TEST_F(CliNamespaceTest, BurnSmallImage) {
  zsim::VirtualInstrument& sim = rack.PlugAt(0);
  sim.SetRestartDelayMs(200);
  const Bytes image = Pattern(1000, 7);
  WriteBytes(tmp + "/image.bin", image);

  // A low battery refuses the burn before the loader is entered.
  sim.SetBatteryLow(true);
  sim.ClearLog();
  CliResult r = RunCli({"--port", NodePath(0), "burn", tmp + "/image.bin", "--version", "3.5"});
  EXPECT_EQ(r.code, 5) << r;
  ASSERT_EQ(r.ErrLines().size(), 1u) << r;
  EXPECT_NE(r.err.find("the battery is low"), std::string::npos) << r;
  for (const auto& request : sim.Requests()) EXPECT_NE(request.size() >= 3 && request[0] == 'F' && request[1] == 'W', true);
  EXPECT_FALSE(sim.InLoader());
  EXPECT_EQ(sim.RestartCount(), 0);

  // --force burns all the same.
  r = RunCli({"--port", NodePath(0), "burn", tmp + "/image.bin", "--version", "3.5", "--force"}, 90000);
  ASSERT_EQ(r.code, 0) << r;
  EXPECT_NE(r.err.find("battery is low; burning anyway"), std::string::npos) << r;
  EXPECT_EQ(r.out, "burned " + tmp + "/image.bin (1000 bytes); firmware is now 3.5\n");
  // The burn's stages as plain lines.
  EXPECT_NE(r.err.find("writing:"), std::string::npos) << r;
  EXPECT_NE(r.err.find("verifying:"), std::string::npos) << r;
  EXPECT_NE(r.err.find("restarting:"), std::string::npos) << r;
  const Bytes stored = sim.IspImage();
  EXPECT_TRUE(std::equal(image.begin(), image.end(), stored.begin()));
  EXPECT_EQ(stored[1000], 0xFF);
  EXPECT_EQ(sim.RestartCount(), 1);
  EXPECT_EQ(sim.Block(0)[14], 3);
  EXPECT_EQ(sim.Block(0)[15], 5);
  EXPECT_EQ(LockFiles(), 0);

  // The search, with --json.
  sim.SetBatteryLow(false);
  r = RunCli({"--json", "burn", tmp + "/image.bin", "--version", "3.6"}, 90000);
  ASSERT_EQ(r.code, 0) << r;
  EXPECT_EQ(r.out, "{\"result\":0,\"version\":\"3.6\",\"bytes\":1000}\n");
  EXPECT_EQ(sim.Block(0)[15], 6);
}

// --all and --ports: one child process per instrument, each line carrying
// the instrument's node and serial; a failing instrument fails alone.
TEST_F(CliNamespaceTest, RackRunsEachInstrumentInAProcessOfItsOwn) {
  REQUIRE_NATIVE_TOOL();
  for (int n = 0; n < 3; ++n) PlugNumbered(n);
  zsim::VirtualInstrument& other = PlugNumbered(4);
  other.SetForeign(true);
  CliResult r = RunCli({"list"});
  for (int n = 0; n < 3; ++n) EXPECT_NE(r.out.find(RackLine(n) + "instrument, firmware 3.2\n"), std::string::npos) << r;

  r = RunCli({"--ports", "0,2", "info"});
  ASSERT_EQ(r.code, 0) << r;
  EXPECT_EQ(r.out.rfind("NODE           SERIAL           MODEL", 0), 0u) << r;
  EXPECT_NE(r.out.find(RackLine(0)), std::string::npos) << r;
  EXPECT_NE(r.out.find(RackLine(2)), std::string::npos) << r;
  EXPECT_EQ(r.out.find(NodePath(1)), std::string::npos) << r;

  // --all finds what list finds: the foreign device is left out.
  r = RunCli({"--json", "--all", "info"});
  ASSERT_EQ(r.code, 0) << r;
  EXPECT_EQ(r.out.rfind("[{\"node\":\"/dev/ttyACM0\",\"serial\":\"" + RackSerial(0) + "\",\"port\":\"/dev/ttyACM0\"", 0),
            0u)
      << r;
  for (int n = 1; n < 3; ++n)
    EXPECT_NE(r.out.find("{\"node\":\"" + NodePath(n) + "\",\"serial\":\"" + RackSerial(n) + "\""), std::string::npos)
        << r;
  EXPECT_EQ(r.out.find(NodePath(4)), std::string::npos) << r;
  EXPECT_EQ(r.out.substr(r.out.size() - 3), "}]\n") << r;
  EXPECT_NE(r.err.find(NodePath(4) + ": answers, but is not the instrument"), std::string::npos) << r;

  r = RunCli({"--ports", "0,1", "mfg", "read"});
  EXPECT_EQ(r.code, 0) << r;
  EXPECT_NE(r.out.find(RackLine(1) + "24 05 17 01\n"), std::string::npos) << r;
  r = RunCli({"--ports", "0,1", "read", "--watch", "--count", "2", "--csv", "-"});
  EXPECT_EQ(r.code, 0) << r;
  EXPECT_EQ(r.out.rfind("node,serial,time,report1,", 0), 0u) << r;
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 5) << r;
  EXPECT_EQ(r.out.find("\ntime,"), std::string::npos) << r;
  EXPECT_NE(r.out.find("\n" + NodePath(1) + "," + RackSerial(1) + ",20"), std::string::npos) << r;

  // A verify that finds a difference on one instrument: the other goes on.
  WriteBytes(tmp + "/data.bin", Pattern(100, 9));
  r = RunCli({"--ports", "0,1", "flash", "write", "--region", "1", tmp + "/data.bin"});
  ASSERT_EQ(r.code, 0) << r;
  rack.Clear();
  zsim::VirtualInstrument& good = PlugNumbered(0);
  zsim::VirtualInstrument& bad = PlugNumbered(1);
  good.LoadFlash(0x8000, Pattern(100, 9));
  bad.LoadFlash(0x8000, Pattern(100, 9));
  bad.LoadFlash(0x8000 + 50, {0x00});
  r = RunCli({"--ports", "0,1", "flash", "verify", "--region", "1", tmp + "/data.bin"});
  EXPECT_EQ(r.code, 1) << r;
  EXPECT_NE(r.out.find(RackLine(0)), std::string::npos) << r;
  EXPECT_NE(r.err.find("zervon: " + NodePath(1) + " (" + RackSerial(1) + "): "), std::string::npos) << r;
  EXPECT_EQ(r.ErrLines().back(), "zervon: 1 of 2 instruments failed") << r;
  EXPECT_EQ(LockFiles(), 0);
}

// Ctrl-C during a watch of several instruments: every child stops and
// releases its port and lock; the lines never mix.
TEST_F(CliNamespaceTest, RackWatchStopsEveryChildOnCtrlC) {
  REQUIRE_NATIVE_TOOL();
  std::vector<zsim::VirtualInstrument*> sims;
  for (int n = 0; n < 3; ++n) sims.push_back(&PlugNumbered(n));
  const std::string outPath = tmp + "/watch.out";
  const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  const pid_t tool = SpawnCli({"--all", "read", "--watch", "--rate", "20"}, out, -1);
  close(out);
  for (auto* sim : sims) EXPECT_TRUE(sim->WaitForRequests(10, 20000));
  const std::vector<pid_t> children = ChildrenOf(tool);
  EXPECT_EQ(children.size(), 3u);
  EXPECT_EQ(LockFiles(), 3);
  kill(tool, SIGINT);
  int status = 0;
  EXPECT_TRUE(WaitFor([&] { return waitpid(tool, &status, WNOHANG) == tool; }, 20000));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  for (pid_t child : children) EXPECT_TRUE(kill(child, 0) != 0 && errno == ESRCH) << child;
  EXPECT_EQ(LockFiles(), 0);
  std::istringstream lines(FileBytes(outPath));
  int seen[3] = {};
  for (std::string line; std::getline(lines, line);) {
    int n = line.size() > 11 ? line[11] - '0' : -1;
    ASSERT_TRUE(n >= 0 && n < 3 && line.rfind(RackLine(n), 0) == 0) << line;
    EXPECT_NE(line.find("  report 3 0 0 0 0  value "), std::string::npos) << line;
    EXPECT_EQ(line.substr(line.size() - 12), "battery good") << line;
    ++seen[n];
  }
  for (int n = 0; n < 3; ++n) EXPECT_GE(seen[n], 3) << n;
}

// A rack burn: two pairs of instruments restart after different delays (the
// faster on the lower node in one pair, on the higher in the other) and come
// back under each other's node, one more fails its verification, and one is
// not burned. Each burned instrument gets its own record written once, and
// no other instrument gets a record write.
TEST_F(CliNamespaceTest, RackBurnWritesEachRecordToItsOwnInstrument) {
  REQUIRE_NATIVE_TOOL();
  std::vector<zsim::VirtualInstrument*> sims;
  for (int n = 0; n < 6; ++n) sims.push_back(&PlugNumbered(n));
  for (int pair : {0, 4}) {
    sims[pair]->SetRestartDelayMs(pair == 0 ? 300 : 2500);
    sims[pair]->SetRestartNode(NodePath(pair + 1));
    sims[pair + 1]->SetRestartDelayMs(pair == 0 ? 2500 : 300);
    sims[pair + 1]->SetRestartNode(NodePath(pair));
  }
  sims[2]->CorruptIspOnWrite(40, 0x01);
  for (auto* sim : sims) sim->ClearLog();
  WriteBytes(tmp + "/image.bin", Pattern(1000, 3));
  CliResult r = RunCli({"--ports", "0,1,2,4,5", "burn", tmp + "/image.bin", "--version", "4.7"}, 150000);
  EXPECT_EQ(r.code, 1) << r;
  EXPECT_EQ(r.ErrLines().back(), "zervon: 1 of 5 instruments failed") << r;
  // A progress line per instrument and stage, then the summary.
  EXPECT_NE(r.err.find(RackLine(0) + "writing"), std::string::npos) << r;
  EXPECT_NE(r.err.find(RackLine(1) + "restarting"), std::string::npos) << r;
  EXPECT_EQ(r.out.rfind("NODE           SERIAL           RESULT  TIME", 0), 0u) << r;
  EXPECT_NE(r.out.find(RackLine(0) + "ok      "), std::string::npos) << r;
  EXPECT_NE(r.out.find(RackLine(1) + "ok      "), std::string::npos) << r;
  EXPECT_NE(r.out.find(RackLine(2) + "failed  "), std::string::npos) << r;
  EXPECT_NE(r.out.find("verification mismatch"), std::string::npos) << r;
  for (int n = 0; n < 6; ++n) {
    const auto block = sims[n]->Block(0);
    const bool burned = n != 2 && n != 3;
    EXPECT_EQ(block[14], burned ? 4 : 3) << n;
    EXPECT_EQ(block[15], burned ? 7 : 2) << n;
    int writes = 0;
    for (const auto& request : sims[n]->Requests()) {
      if (request.size() != 64 || request[0] != 0x12 || request[1] != 0x55 || request[2] != 0xAA) continue;
      ++writes;
      EXPECT_TRUE(std::equal(request.begin() + 8, request.begin() + 13, block.begin() + 8)) << n;
    }
    EXPECT_EQ(writes, burned ? 1 : 0) << n;
  }
  EXPECT_EQ(LockFiles(), 0);
}

}  // namespace
