// The zervon tool run as a real process against a virtual instrument on a
// pseudo-terminal (--port): what it prints, how it exits, and what reaches
// the instrument, for every command and for the bad inputs that must leave
// the instrument untouched.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "CliRun.h"
#include "VirtualInstrument.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kFlashRegion1 = 0x008000;
constexpr uint32_t kMemMapRegion2 = 0x302000;

class CliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(sim.Start());
    char dir[] = "/tmp/zervon-cli-test.XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    tmp = dir;
    sim.ClearLog();
  }
  void TearDown() override {
    sim.Stop();
    std::string command = "rm -rf '" + tmp + "'";
    ASSERT_EQ(system(command.c_str()), 0);
  }

  // The tool with --port at the virtual instrument and `args` after it.
  CliResult Zervon(std::vector<std::string> args, long timeoutMs = 60000) {
    args.insert(args.begin(), {"--port", sim.SlavePath()});
    return RunCli(args, timeoutMs);
  }
  std::string File(const std::string& name) const { return tmp + "/" + name; }

  // Every request the instrument received was a record-block read: nothing
  // was written to it.
  bool OnlyRecordReads() const {
    const Bytes read = {0x12, 0x55, 0xAA, 0x00, 0x00};
    for (const auto& request : sim.Requests())
      if (request != read) return false;
    return true;
  }

  // Nothing that changes the instrument reached it: only reads of the
  // record blocks, the flash or the memory map, status requests and the
  // host-control byte.
  bool WroteNothing() const {
    for (const auto& r : sim.Requests()) {
      const bool blockRead = r.size() == 5 && r[0] == 0x12 && r[1] == 0x55 && r[2] == 0xAA && r[3] == 0x00;
      const bool memoryRead = r.size() == 8 && r[0] == 0x12 && r[1] != 0x55 && r[3] == 'R';
      const bool status = r.size() == 1 && (r[0] == 0x14 || r[0] == 0x43);
      if (!blockRead && !memoryRead && !status) return false;
    }
    return true;
  }

  zsim::VirtualInstrument sim;
  std::string tmp;
};

// A failure: the given exit code, exactly one line on standard error that
// contains `text`, and nothing on standard output.
void ExpectFailure(const CliResult& r, int code, const std::string& text) {
  EXPECT_EQ(r.code, code) << r;
  ASSERT_EQ(r.ErrLines().size(), 1u) << r;
  EXPECT_NE(r.err.find(text), std::string::npos) << r;
  EXPECT_EQ(r.err.rfind("zervon: ", 0), 0u) << r;
  EXPECT_TRUE(r.out.empty()) << r;
}

TEST_F(CliTest, InfoAsTextAndJson) {
  sim.SetSerial(22, 8, 4, 1234);
  sim.SetHWCode(9);
  sim.SetFirmware(4, 7);
  CliResult r = Zervon({"info"});
  ASSERT_EQ(r.code, 0) << r;
  EXPECT_NE(r.out.find("port           " + sim.SlavePath() + "\n"), std::string::npos) << r;
  EXPECT_NE(r.out.find("model          RX\n"), std::string::npos) << r;
  EXPECT_NE(r.out.find("serial number  VRX2208-041234\n"), std::string::npos) << r;
  EXPECT_NE(r.out.find("hardware code  9\n"), std::string::npos) << r;
  EXPECT_NE(r.out.find("firmware       4.7\n"), std::string::npos) << r;
  EXPECT_NE(r.out.find("library        1.0.5.1\n"), std::string::npos) << r;
  EXPECT_TRUE(r.err.empty()) << r;

  // --json before or after the command.
  r = RunCli({"--port", sim.SlavePath(), "info", "--json"});
  ASSERT_EQ(r.code, 0) << r;
  const std::string after = r.out;
  r = Zervon({"--json", "info"});
  ASSERT_EQ(r.code, 0) << r;
  EXPECT_EQ(r.out, after);
  EXPECT_EQ(r.out, "{\"port\":\"" + sim.SlavePath() +
                       "\",\"model\":\"RX\",\"serial\":\"VRX2208-041234\",\"hw_code\":9,"
                       "\"firmware\":\"4.7\",\"library\":\"1.0.5.1\"}\n");
  // The host-control byte goes to the instrument, as the library sends it.
  EXPECT_TRUE(sim.HostControl());
}

TEST_F(CliTest, ReadOnceAndWatching) {
  sim.SetReportBytes({1, 2, 3, 4, 5});
  sim.SetMeasuredRaw(1234);
  CliResult r = Zervon({"read"});
  ASSERT_EQ(r.code, 0) << r;
  EXPECT_EQ(r.out, "report 1 2 3 4 5  value 1.234  battery good\n");

  sim.SetReportBytes({3, 0, 0, 0, 0});
  sim.SetBatteryLow(true);
  r = Zervon({"--json", "read"});
  ASSERT_EQ(r.code, 0) << r;
  EXPECT_EQ(r.out, "{\"report\":[3,0,0,0,0],\"value\":12.34,\"battery\":\"low\"}\n");

  // Each reading of a watch carries its wall-clock time, ISO 8601 with
  // milliseconds, in text, JSON and CSV (with a header row).
  const std::string iso = "\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}[+-]\\d\\d:\\d\\d";
  r = Zervon({"read", "--watch", "--rate", "20", "--count", "3"});
  ASSERT_EQ(r.code, 0) << r;
  EXPECT_TRUE(std::regex_match(r.out, std::regex("(" + iso + "  report 3 0 0 0 0  value 12\\.34  battery low\n){3}"))) << r;
  r = Zervon({"--json", "read", "--watch", "--count", "1"});
  EXPECT_TRUE(std::regex_match(r.out, std::regex("\\{\"time\":\"" + iso + "\",\"report\":\\[3,0,0,0,0\\],.*\n"))) << r;
  r = Zervon({"read", "--watch", "--rate", "20", "--count", "2", "--csv", "-"});
  ASSERT_EQ(r.code, 0) << r;
  EXPECT_TRUE(std::regex_match(r.out, std::regex("time,report1,report2,report3,report4,report5,value,battery\n(" + iso +
                                                 ",3,0,0,0,0,12\\.34,low\n){2}")))
      << r;
  r = Zervon({"read", "--csv=" + File("r.csv")});
  ASSERT_EQ(r.code, 0) << r;
  EXPECT_EQ(r.out, "report 3 0 0 0 0  value 12.34  battery low\n");
  EXPECT_TRUE(std::regex_match(SlurpFile(File("r.csv")), std::regex("time,.*\n" + iso + ",3,0,0,0,0,12\\.34,low\n")));

  // A watch goes on until it is interrupted, and ends cleanly then.
  sim.ClearLog();
  const pid_t child = StartCli({"--port", sim.SlavePath(), "read", "--watch", "--rate", "10"});
  EXPECT_TRUE(sim.WaitForRequests(6, 10000));
  kill(child, SIGINT);
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);

  // An instrument that stops answering ends the watch after a few failed
  // reads, with one line for the first; a port that is gone ends it at once.
  BackgroundCli silent({"--port", sim.SlavePath(), "read", "--watch", "--rate", "10"});
  EXPECT_TRUE(sim.WaitForRequests(sim.RequestCount() + 6, 10000));
  sim.SetSilent(true);
  EXPECT_EQ(silent.Wait(30000), 3) << silent.Err();
  EXPECT_EQ(silent.Err(), "zervon: the instrument did not send its status report\n"
                          "zervon: no status report in 5 reads in a row from " + sim.SlavePath() + "\n");
  sim.SetSilent(false);
  BackgroundCli unplugged({"--port", sim.SlavePath(), "read", "--watch", "--rate", "10"});
  EXPECT_TRUE(sim.WaitForRequests(sim.RequestCount() + 6, 10000));
  const std::string port = sim.SlavePath();
  sim.Stop();
  EXPECT_EQ(unplugged.Wait(10000), 3) << unplugged.Err();
  // A read under way as the port went may fail first, with one line.
  const std::string gone = "zervon: " + port + " is gone: the instrument was unplugged\n";
  const std::string err = unplugged.Err();
  EXPECT_TRUE(err == gone || err == "zervon: the instrument did not send its status report\n" + gone) << err;
}

// A record block dropped, garbled, cut short or late at the hand-over is
// read again, and the identity printed is the instrument's own; when every
// read fails, no identity is printed at all.
TEST_F(CliTest, RecordFaultsAtTheHandOver) {
  const std::string identity = "{\"port\":\"" + sim.SlavePath() +
                               "\",\"model\":\"RX\",\"serial\":\"VRX2107-030300\",\"hw_code\":5,"
                               "\"firmware\":\"3.2\",\"library\":\"1.0.5.1\"}\n";
  const std::vector<std::function<void(int)>> faults = {
      [this](int n) { sim.DropReplies(n); }, [this](int n) { sim.GarbageReplies(n); },
      [this](int n) { sim.TruncateReplies(n, 10); }, [this](int n) { sim.DelayReplies(n, 400); }};
  for (size_t k = 0; k < faults.size(); ++k) {
    sim.ClearFaults();
    faults[k](1);
    CliResult r = Zervon({"--json", "info"});
    EXPECT_EQ(r.code, 0) << "fault " << k << "\n" << r;
    EXPECT_EQ(r.out, identity) << "fault " << k;
    sim.ClearFaults();
    faults[k](-1);
    r = Zervon({"--timeout", "1500", "--json", "info"});
    EXPECT_EQ(r.code, 3) << "fault " << k << "\n" << r;
    EXPECT_TRUE(r.out.empty()) << r;
  }
}

// While the tool has a port open it holds it against every program: its
// flock, and the terminal's exclusive mode that refuses a second open to
// anyone but root; both end with it. A port another program has locked is
// refused, naming that program, with nothing sent.
TEST_F(CliTest, PortIsHeldExclusively) {
  const std::string path = sim.SlavePath();
  BackgroundCli watch({"--port", path, "read", "--watch", "--rate", "10"});
  ASSERT_TRUE(sim.WaitForRequests(4, 10000));
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);  // root may still open it
  ASSERT_GE(fd, 0);
  EXPECT_EQ(flock(fd, LOCK_EX | LOCK_NB), -1);
  EXPECT_EQ(errno, EWOULDBLOCK);
  int exclusive = 0;
  if (ioctl(fd, TIOCGEXCL, &exclusive) == 0) {  // not every emulator passes it on
    EXPECT_EQ(exclusive, 1);
    chmod(path.c_str(), 0666);
    const pid_t child = fork();
    if (child == 0) {
      if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);  // cannot change user here
      _exit(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK) < 0 && errno == EBUSY ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) != 1) << "another user opened the held port";
  }
  CliResult r = Zervon({"info"});
  ExpectFailure(r, 4, "is busy: held by process " + std::to_string(watch.pid) + " (");
  EXPECT_NE(r.err.find(") through an exclusive lock on the port (flock)"), std::string::npos) << r;
  kill(watch.pid, SIGINT);
  EXPECT_EQ(watch.Wait(10000), 0);
  if (ioctl(fd, TIOCGEXCL, &exclusive) == 0) {
    EXPECT_EQ(exclusive, 0);
    // Another program's exclusive mode, which root could get past, is
    // refused too, and left set.
    ASSERT_EQ(ioctl(fd, TIOCEXCL), 0);
    ExpectFailure(Zervon({"info"}), 4, "held by process " + std::to_string(getpid()));
    EXPECT_EQ(ioctl(fd, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 1);
    ioctl(fd, TIOCNXCL);
  }
  ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
  sim.ClearLog();
  ExpectFailure(Zervon({"info"}), 4, "held by process " + std::to_string(getpid()) + " (");
  EXPECT_EQ(sim.RequestCount(), 0u);
  close(fd);

  // Interrupted in the middle of a long read, the tool gives the port's
  // exclusive mode back on its way out: the next command gets the port.
  BackgroundCli reader({"--port", path, "-q", "flash", "read", "--region", "3", File("big.bin")});
  ASSERT_TRUE(sim.WaitForRequests(50, 10000));
  kill(reader.pid, SIGINT);
  EXPECT_EQ(reader.Wait(10000), -1);  // ended by the signal
  CliResult r2 = Zervon({"info"});
  EXPECT_EQ(r2.code, 0) << r2;
}

TEST_F(CliTest, SetSendsTheSettingAndRefusesBadBytes) {
  CliResult r = Zervon({"set", "1", "2", "3", "4"});
  ASSERT_EQ(r.code, 0) << r;
  r = Zervon({"set", "0x1f", "010", "0", "255", "7"});
  ASSERT_EQ(r.code, 0) << r;
  // The tool may exit before the instrument has read its last request.
  for (int i = 0; i < 200 && sim.Settings().size() < 2; ++i) usleep(10 * 1000);
  const auto settings = sim.Settings();
  ASSERT_EQ(settings.size(), 2u);
  EXPECT_EQ(settings[0], (std::array<uint8_t, 8>{0, 1, 2, 3, 4, 0, 1, 0}));
  EXPECT_EQ(settings[1], (std::array<uint8_t, 8>{0, 0x1f, 10, 0, 255, 7, 1, 0}));

  sim.ClearLog();
  ExpectFailure(Zervon({"set", "1", "2", "3", "256"}), 2, "bad setting byte '256'");
  ExpectFailure(Zervon({"set", "1", "2", "3"}), 2, "4 or 5 setting bytes");
  ExpectFailure(Zervon({"set", "1", "2", "x", "4"}), 2, "bad setting byte 'x'");
  ExpectFailure(Zervon({"set", "1", "2", "3", "-1"}), 2, "bad setting byte '-1'");
  EXPECT_EQ(sim.RequestCount(), 0u);
  EXPECT_EQ(sim.Settings().size(), 2u);
}

TEST_F(CliTest, RawWithAndWithoutReply) {
  CliResult r = Zervon({"raw", "14", "--reply", "64"});
  ASSERT_EQ(r.code, 0) << r;
  EXPECT_EQ(r.out.substr(0, 54), "0000: 14 03 00 00 00 00 00 00 00 00 00 00 00 00 00 00\n");
  EXPECT_NE(r.out.find("0010: 00 00 00 00 00 00 00 00 00 04 d2 00"), std::string::npos) << r;
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 4);

  r = Zervon({"--json", "raw", "0x12", "55AA", "00:00", "--reply", "64"});
  ASSERT_EQ(r.code, 0) << r;
  EXPECT_EQ(r.out.rfind("{\"code\":0,\"reply\":\"1255aa0000565258", 0), 0u) << r;
  EXPECT_NE(r.out.find("\"length\":64}"), std::string::npos) << r;

  // A setting sent raw, without a reply.
  r = Zervon({"raw", "00", "09", "08", "07", "06", "05", "01", "00"});
  ASSERT_EQ(r.code, 0) << r;
  EXPECT_EQ(r.out, "sent 8 bytes\n") << r;
  ASSERT_EQ(sim.Settings().size(), 1u);
  EXPECT_EQ(sim.Settings()[0], (std::array<uint8_t, 8>{0, 9, 8, 7, 6, 5, 1, 0}));

  // A reply of another length than asked for is a failure that shows what came.
  r = Zervon({"raw", "14", "--reply", "100"});
  EXPECT_EQ(r.code, 1) << r;
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 4) << r;
  EXPECT_NE(r.err.find("a reply of 64 bytes arrived, 100 expected"), std::string::npos) << r;

  sim.ClearLog();
  ExpectFailure(Zervon({"raw", "1G"}), 2, "bad hex '1G'");
  ExpectFailure(Zervon({"raw", "123"}), 2, "bad hex '123'");
  ExpectFailure(Zervon({"raw", "12", "0x"}), 2, "bad hex '0x'");
  ExpectFailure(Zervon({"raw"}), 2, "missing request bytes");
  ExpectFailure(Zervon({"raw", "14", "--reply", "0"}), 2, "bad reply length '0'");
  ExpectFailure(Zervon({"raw", "14", "--reply"}), 2, "--reply needs a value");
  EXPECT_EQ(sim.RequestCount(), 0u);
}

TEST_F(CliTest, ManufacturingInformation) {
  CliResult r = Zervon({"mfg", "read"});
  ASSERT_EQ(r.code, 0) << r;
  EXPECT_EQ(r.out, "24 05 17 01\n");

  const auto before = sim.Block(1);
  r = Zervon({"mfg", "write", "0a0b"});
  ASSERT_EQ(r.code, 0) << r;
  EXPECT_EQ(r.out, "manufacturing information now 0a 0b 17 01\n");
  auto after = sim.Block(1);
  EXPECT_EQ(after[60], 0x0a);
  EXPECT_EQ(after[61], 0x0b);
  EXPECT_EQ(after[62], 0x17);
  EXPECT_EQ(after[63], 0x01);
  EXPECT_TRUE(std::equal(before.begin(), before.begin() + 60, after.begin()));

  r = Zervon({"--json", "mfg", "read"});
  EXPECT_EQ(r.out, "{\"mfg\":\"0a0b1701\"}\n");

  sim.ClearLog();
  ExpectFailure(Zervon({"mfg", "write", "01", "02", "03", "04", "05"}), 2, "1 to 4 bytes");
  ExpectFailure(Zervon({"mfg", "write", "zz"}), 2, "bad hex 'zz'");
  ExpectFailure(Zervon({"mfg", "write"}), 2, "1 to 4 bytes");
  ExpectFailure(Zervon({"mfg", "erase"}), 2, "unknown action 'erase'");
  EXPECT_EQ(sim.RequestCount(), 0u);
  EXPECT_EQ(sim.Block(1), after);
}

TEST_F(CliTest, CalibrationStoresItsResultInRegion2) {
  std::array<uint8_t, 24> result;
  for (int i = 0; i < 24; ++i) result[i] = static_cast<uint8_t>(0xA0 + i);
  sim.SetCalibrationResult(result);
  CliResult r = Zervon({"calibrate", "start"});
  ASSERT_EQ(r.code, 0) << r;
  EXPECT_TRUE(sim.Calibrating());
  // Stopping overwrites flash region 2: without a terminal to ask on, only
  // with --yes.
  sim.ClearLog();
  r = Zervon({"calibrate", "stop"});
  ExpectFailure(r, 2, "stores the calibration result into SPI-flash region 2 (0x010000), erasing and overwriting");
  EXPECT_NE(r.err.find("add --yes"), std::string::npos) << r;
  EXPECT_EQ(sim.RequestCount(), 0u);
  EXPECT_TRUE(sim.Calibrating());
  r = Zervon({"calibrate", "stop", "--yes"});
  ASSERT_EQ(r.code, 0) << r;
  EXPECT_EQ(r.out, "calibration stopped; result stored in SPI-flash region 2 (0x010000)\n");
  EXPECT_FALSE(sim.Calibrating());
  EXPECT_EQ(sim.ReadFlash(0x010000, 24), Bytes(result.begin(), result.end()));
  ExpectFailure(Zervon({"calibrate", "pause"}), 2, "unknown action 'pause'");
}

TEST_F(CliTest, FlashWriteVerifyReadRoundTrip) {
  const Bytes data = Pattern(1000, 1);
  WriteBytes(File("in.bin"), data);
  CliResult r = Zervon({"flash", "write", "--region", "1", File("in.bin")});
  ASSERT_EQ(r.code, 0) << r;
  EXPECT_EQ(r.out, "wrote and verified 1000 bytes in region 1\n");
  // Plain progress lines for the three passes, since stderr is no terminal.
  EXPECT_NE(r.err.find("erasing: 100%"), std::string::npos) << r;
  EXPECT_NE(r.err.find("writing:  25%"), std::string::npos) << r;
  EXPECT_NE(r.err.find("verifying: 100%"), std::string::npos) << r;
  EXPECT_EQ(r.err.find('\r'), std::string::npos) << r;
  // Plain lines end without spaces and say 0 % only at 0 bytes.
  for (const std::string& line : r.ErrLines()) {
    EXPECT_FALSE(line.empty() || line.back() == ' ') << "[" << line << "]";
    if (line.find(":   0%") != std::string::npos) {
      EXPECT_NE(line.find("  0 B/"), std::string::npos) << line;
    }
  }
  EXPECT_EQ(sim.ReadFlash(kFlashRegion1, 1000), data);
  EXPECT_EQ(sim.ReadFlash(kFlashRegion1 + 1000, 64), Bytes(64, 0xFF));

  r = Zervon({"flash", "verify", "--region", "1", File("in.bin")});
  ASSERT_EQ(r.code, 0) << r;
  EXPECT_NE(r.out.find("region 1 matches"), std::string::npos) << r;

  r = Zervon({"flash", "read", "--region", "1", "--length", "1000", File("out.bin")});
  ASSERT_EQ(r.code, 0) << r;
  EXPECT_EQ(ReadBytes(File("out.bin")), data);
  r = Zervon({"--json", "flash", "read", "--region", "1", "--length", "0x40", File("out.bin")});
  ASSERT_EQ(r.code, 0) << r;
  EXPECT_EQ(r.out, "{\"region\":1,\"bytes\":64,\"file\":\"" + File("out.bin") + "\"}\n");
  EXPECT_EQ(ReadBytes(File("out.bin")), Bytes(data.begin(), data.begin() + 64));

  // '-': the data through standard input and output, every message on
  // standard error; --quiet leaves only the data.
  const Bytes other = Pattern(700, 9);
  WriteBytes(File("other.bin"), other);
  r = RunCli({"--port=" + sim.SlavePath(), "flash", "write", "--region=1", "-"}, 60000, -1, File("other.bin"));
  ASSERT_EQ(r.code, 0) << r;
  EXPECT_EQ(r.out, "wrote and verified 700 bytes in region 1\n") << r;
  r = Zervon({"flash", "verify", "--region", "1", "-"});  // standard input is empty here
  ExpectFailure(r, 2, "standard input is empty");
  r = Zervon({"-q", "flash", "read", "--region", "1", "--length", "700", "-"});
  ASSERT_EQ(r.code, 0) << r;
  EXPECT_EQ(Bytes(r.out.begin(), r.out.end()), other);
  EXPECT_TRUE(r.err.empty()) << r;
  r = Zervon({"--json", "memmap", "read", "--region", "2", "--length", "16", "-"});
  ASSERT_EQ(r.code, 0) << r;
  EXPECT_EQ(r.out.size(), 16u) << r;
  EXPECT_NE(r.err.find("{\"region\":2,\"bytes\":16,\"file\":\"-\"}\n"), std::string::npos) << r;
  // A reader that quits early (`| head`) ends the tool through its normal
  // exit, which gives the port back: the next command gets it.
  std::string line;
  for (const std::string& w :
       CliCommand({"-q", "--port", sim.SlavePath(), "flash", "read", "--region", "3", "--length", "0x20000", "-"}))
    line += "'" + w + "' ";
  ASSERT_NE(std::system(("sh -c \"" + line + "| head -c 16 >/dev/null\"").c_str()), -1);
  r = Zervon({"info"});
  EXPECT_EQ(r.code, 0) << r;

  // An erase shows its erase pass only, and says what it did.
  r = Zervon({"flash", "erase", "--region", "1"});
  ASSERT_EQ(r.code, 0) << r;
  EXPECT_EQ(r.out, "erased region 1 (32768 bytes)\n");
  EXPECT_NE(r.err.find("erasing: 100%"), std::string::npos) << r;
  EXPECT_EQ(r.err.find("writing"), std::string::npos) << r;
  EXPECT_EQ(sim.ReadFlash(kFlashRegion1, 1000), Bytes(1000, 0xFF));
  r = Zervon({"--json", "-q", "flash", "erase", "--region", "1"});
  EXPECT_EQ(r.out, "{\"region\":1,\"erased\":true,\"bytes\":32768}\n") << r;
  EXPECT_TRUE(r.err.empty()) << r;
}

TEST_F(CliTest, VerifyAndWriteReportTheFirstDifferingAddress) {
  const Bytes data = Pattern(600, 2);
  WriteBytes(File("in.bin"), data);
  sim.LoadFlash(kFlashRegion1, data);
  sim.LoadFlash(kFlashRegion1 + 0x123, {static_cast<uint8_t>(data[0x123] ^ 0x10)});
  sim.LoadFlash(kFlashRegion1 + 0x200, {static_cast<uint8_t>(data[0x200] ^ 0x01)});
  sim.ClearLog();
  CliResult r = Zervon({"flash", "verify", "--region", "1", File("in.bin")});
  EXPECT_EQ(r.code, 1) << r;
  EXPECT_TRUE(r.out.empty()) << r;
  const auto lines = r.ErrLines();
  ASSERT_FALSE(lines.empty());
  EXPECT_NE(lines.back().find("differs from " + File("in.bin") + " at 0x008123"), std::string::npos) << r;
  EXPECT_NE(lines.back().find("2 bytes differ"), std::string::npos) << r;
  EXPECT_GT(sim.RequestCount(), 0u);
  EXPECT_TRUE(WroteNothing());

  r = Zervon({"--json", "flash", "verify", "--region", "1", File("in.bin")});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.out.find("\"match\":false,\"first_difference\":\"0x008123\",\"offset\":291"), std::string::npos) << r;

  // A write whose read-back differs names the address too.
  sim.CorruptFlashOnWrite(kFlashRegion1 + 0x45, 0x80);
  r = Zervon({"flash", "write", "--region", "1", File("in.bin")});
  EXPECT_EQ(r.code, 1) << r;
  EXPECT_NE(r.ErrLines().back().find("first at 0x008045"), std::string::npos) << r;
}

TEST_F(CliTest, MemMapRoundTrip) {
  const Bytes data = Pattern(300, 3);
  WriteBytes(File("in.bin"), data);
  CliResult r = Zervon({"memmap", "write", "--region", "2", File("in.bin")});
  ASSERT_EQ(r.code, 0) << r;
  EXPECT_EQ(sim.ReadMemMap(kMemMapRegion2, 300), data);
  r = Zervon({"memmap", "verify", "--region", "2", File("in.bin")});
  ASSERT_EQ(r.code, 0) << r;
  r = Zervon({"memmap", "read", "--region", "2", "--length", "300", File("out.bin")});
  ASSERT_EQ(r.code, 0) << r;
  EXPECT_EQ(ReadBytes(File("out.bin")), data);
  sim.LoadMemMap(kMemMapRegion2 + 7, {static_cast<uint8_t>(~data[7])});
  r = Zervon({"memmap", "verify", "--region", "2", File("in.bin")});
  EXPECT_EQ(r.code, 1) << r;
  EXPECT_NE(r.err.find("at 0x302007"), std::string::npos) << r;
}

// Bad input is refused before the port is even opened: one line on
// standard error, exit 2, and not one request reaches the instrument.
TEST_F(CliTest, BadInputSendsNothing) {
  WriteBytes(File("in.bin"), Pattern(100, 4));
  WriteBytes(File("big.bin"), Pattern(0x1001, 5));
  WriteBytes(File("empty.bin"), {});
  const Bytes flashBefore = sim.ReadFlash(0, 0x20000);
  const std::string missing = File("missing.bin");
  ExpectFailure(Zervon({"flash", "write", "--region", "0", missing}), 2, "cannot read " + missing);
  ExpectFailure(Zervon({"flash", "verify", "--region", "0", missing}), 2, "cannot read " + missing);
  ExpectFailure(Zervon({"flash", "write", "--region", "4", File("in.bin")}), 2, "bad region '4'");
  ExpectFailure(Zervon({"flash", "write", "--region", "-1", File("in.bin")}), 2, "bad region '-1'");
  ExpectFailure(Zervon({"flash", "erase", "--region", "9"}), 2, "bad region '9'");
  ExpectFailure(Zervon({"flash", "write", File("in.bin")}), 2, "--region N is required");
  ExpectFailure(Zervon({"flash", "write", "--region", "0", File("empty.bin")}), 2, "is empty");
  ExpectFailure(Zervon({"flash", "read", "--region", "0", "--length", "0x8001", File("o.bin")}), 2,
                "bad length '0x8001'");
  ExpectFailure(Zervon({"flash", "read", "--region", "0", tmp + "/no/such/dir/o.bin"}), 2, "cannot write");
  ExpectFailure(Zervon({"flash", "burn", "--region", "0", File("in.bin")}), 2, "unknown action 'burn'");
  ExpectFailure(Zervon({"memmap", "write", "--region", "3", File("big.bin")}), 2,
                "has 4097 bytes, region 3 holds 4096");
  ExpectFailure(Zervon({"memmap", "write", "--region", "x", File("in.bin")}), 2, "bad region 'x'");
  ExpectFailure(Zervon({"burn", File("in.bin")}), 2, "--version MAIN.SUB is required");
  ExpectFailure(Zervon({"burn", File("in.bin"), "--version", "3"}), 2, "bad version '3'");
  ExpectFailure(Zervon({"burn", File("in.bin"), "--version", "3.256"}), 2, "bad sub version '256'");
  ExpectFailure(Zervon({"burn", missing, "--version", "3.1"}), 2, "cannot read " + missing);
  ExpectFailure(Zervon({"burn", File("empty.bin"), "--version", "3.1"}), 2, "is empty");
  WriteBytes(File("huge.bin"), Bytes(0x1F0001, 0));
  ExpectFailure(Zervon({"burn", File("huge.bin"), "--version", "3.1"}), 2,
                "has 2031617 bytes: too large for the instrument, which takes 2031616 bytes (1984 KiB) at most");
  ExpectFailure(Zervon({"flash", "erase", "--region=4"}), 2, "bad region '4'");
  ExpectFailure(Zervon({"read", "--watch=yes"}), 2, "--watch takes no value");
  ExpectFailure(Zervon({"read", "--chart"}), 2, "--chart goes with --watch");
  // Under --json a failure is a JSON object on standard error.
  CliResult json = Zervon({"--json", "flash", "erase", "--region=9"});
  EXPECT_EQ(json.code, 2);
  EXPECT_EQ(json.err, "{\"error\":\"bad region '9' (expected 0 to 3)\",\"code\":2}\n");
  EXPECT_TRUE(json.out.empty());
  ExpectFailure(Zervon({"frobnicate"}), 2, "unknown command 'frobnicate'");
  ExpectFailure(Zervon({"info", "extra"}), 2, "unexpected argument 'extra'");
  ExpectFailure(Zervon({"info", "--timeout"}), 2, "--timeout needs a value");
  ExpectFailure(Zervon({"read", "--count", "3"}), 2, "go with --watch");
  ExpectFailure(Zervon({"read", "--watch", "--rate", "0"}), 2, "bad rate '0'");
  ExpectFailure(RunCli({"--timeout", "soon", "info"}), 2, "bad time-out 'soon'");
  ExpectFailure(RunCli({"--timeout=soon", "info"}), 2, "bad time-out 'soon'");
  ExpectFailure(RunCli({"--bogus", "info"}), 2, "unknown option '--bogus'");
  ExpectFailure(RunCli({}), 2, "missing command");
  // A rack runs only some commands, and says a mistake once, before any
  // instrument is touched.
  ExpectFailure(RunCli({"--all", "set", "1", "2", "3", "4"}), 2, "--all and --ports go with info, read --watch");
  ExpectFailure(RunCli({"--ports", "0,1", "flash", "read", "--region", "0", File("o.bin")}), 2,
                "only 'flash write' and 'flash verify'");
  ExpectFailure(RunCli({"--ports", "0", "flash", "write", "--region", "0", "-"}), 2, "FILE must be a file");
  ExpectFailure(RunCli({"--ports", "0", "read"}), 2, "only 'read --watch'");
  ExpectFailure(RunCli({"--ports", "0", "read", "--watch", "--csv", File("o.csv")}), 2, "--csv takes '-'");
  ExpectFailure(RunCli({"--ports", "0", "mfg", "write", "01"}), 2, "only 'mfg read'");
  ExpectFailure(RunCli({"--ports", "0", "burn", missing, "--version", "3.1"}), 2, "cannot read " + missing);
  ExpectFailure(RunCli({"--ports", "0,x", "info"}), 2, "bad port number 'x'");
  ExpectFailure(RunCli({"--ports", "1,1", "info"}), 2, "names /dev/ttyACM1 twice");
  ExpectFailure(RunCli({"--all", "--ports", "1", "info"}), 2, "exclude each other");
  ExpectFailure(Zervon({"--all", "info"}), 2, "--port names one instrument");
  EXPECT_EQ(sim.RequestCount(), 0u);
  EXPECT_EQ(sim.ReadFlash(0, 0x20000), flashBefore);
}

// A burn needs the instrument's /dev/ttyACM<N> node: a plain terminal is
// refused before anything is sent.
TEST_F(CliTest, BurnRefusesATerminalThatIsNoNode) {
  WriteBytes(File("image.bin"), Pattern(256, 6));
  ExpectFailure(Zervon({"burn", File("image.bin"), "--version", "3.3"}), 2, "is no /dev/ttyACM<N> node");
  EXPECT_EQ(sim.RequestCount(), 0u);
  EXPECT_FALSE(sim.InLoader());
}

TEST_F(CliTest, NoInstrumentWithinTheTimeout) {
  sim.SetSilent(true);
  CliResult r;
  const auto start = std::chrono::steady_clock::now();
  r = Zervon({"--timeout", "600", "set", "1", "2", "3", "4"});
  const long ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  ExpectFailure(r, 3, "no instrument answers on " + sim.SlavePath() + " within 600 ms");
  EXPECT_GE(ms, 500);
  EXPECT_LT(ms, 20000);
  EXPECT_GE(sim.RequestCount(), 1u);
  EXPECT_TRUE(OnlyRecordReads());
  EXPECT_TRUE(sim.Settings().empty());

  // A device that answers with another product marker is not the instrument.
  // Its marker is shown escaped, never as raw bytes.
  sim.SetSilent(false);
  const char marker[3] = {'\x1b', '\\', 'Z'};
  sim.SetMarker(marker);
  sim.ClearLog();
  ExpectFailure(Zervon({"flash", "erase", "--region", "0"}), 3, "answers but is not the instrument (marker '\\x1b\\\\Z')");
  EXPECT_TRUE(OnlyRecordReads());

  ExpectFailure(RunCli({"--port", tmp + "/nothing", "info"}), 3, "cannot open " + tmp + "/nothing");
  ExpectFailure(RunCli({"--port", "/dev/null", "info"}), 3, "not a serial port");
}

TEST_F(CliTest, HelpForEveryCommand) {
  // The versions, with no instrument needed.
  for (const char* flag : {"--version", "-V"}) {
    CliResult v = RunCli({flag});
    EXPECT_EQ(v.code, 0) << v;
    EXPECT_EQ(v.out, "zervon (Zervon SDK) 1.0.5.1\nlibrary 1.0.5.1\n") << v;
  }
  CliResult r = RunCli({"--help"});
  ASSERT_EQ(r.code, 0);
  EXPECT_NE(r.out.find("Exit codes:"), std::string::npos);
  for (const char* command :
       {"list", "doctor", "info", "read", "set", "raw", "mfg", "calibrate", "flash", "memmap", "burn"}) {
    for (const char* flag : {"-h", "--help"}) {
      r = RunCli({command, flag});
      EXPECT_EQ(r.code, 0) << command;
      EXPECT_EQ(r.out.rfind(std::string("Usage: zervon [OPTIONS] ") + command, 0), 0u) << command << "\n" << r;
    }
    EXPECT_NE(r.out.find(command), std::string::npos);
  }
  EXPECT_EQ(sim.RequestCount(), 0u);
}

// -v traces every request and reply through the port, as hex with the
// time, on standard error; the output stays what it was.
TEST_F(CliTest, VerboseTracesTheWire) {
  CliResult r = Zervon({"-v", "read"});
  ASSERT_EQ(r.code, 0) << r;
  EXPECT_EQ(r.out, "report 3 0 0 0 0  value 12.34  battery good\n");
  const std::string stamp = "\\d\\d:\\d\\d:\\d\\d\\.\\d{3}";
  EXPECT_TRUE(std::regex_search(r.err, std::regex(stamp + " > 12 55 aa 00 00\n"))) << r;
  EXPECT_TRUE(std::regex_search(r.err, std::regex(stamp + " < 12 55 aa 00 00 56 52 58"))) << r;
  EXPECT_TRUE(std::regex_search(r.err, std::regex(stamp + " > 43\n"))) << r;
  EXPECT_TRUE(std::regex_search(r.err, std::regex(stamp + " > 14\n(" + stamp + " < [0-9a-f ]+\n)+$"))) << r;
}

// On a terminal: the progress bar fits 50, 80 and 120 columns, a write
// shows its settling wait as "preparing", and the watch's chart scrolls in
// place within the terminal.
TEST_F(CliTest, TerminalOutputFitsTheWidth) {
  WriteBytes(File("in.bin"), Pattern(8000, 5));
  for (int columns : {50, 80, 120}) {
    CliResult r = RunCliOnTerminal({"--port", sim.SlavePath(), "flash", "write", "--region", "1", File("in.bin")}, 2,
                                   columns);
    ASSERT_EQ(r.code, 0) << columns << "\n" << r;
    for (size_t width : ShownWidths(r.out)) EXPECT_LT(width, static_cast<size_t>(columns)) << r.out;
    EXPECT_NE(r.out.find("\x1b[K"), std::string::npos) << r.out;  // what a line had before is cleared
    EXPECT_NE(r.out.find("preparing"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("verifying"), std::string::npos) << r.out;
    if (columns == 120) {
      EXPECT_NE(r.out.find("] 100%"), std::string::npos) << r.out;
    }
  }
  CliResult r = RunCliOnTerminal({"--port", sim.SlavePath(), "read", "--watch", "--chart", "--rate", "20", "--count", "5"},
                                 1, 60);
  ASSERT_EQ(r.code, 0) << r;
  EXPECT_NE(r.out.find("now 12.340  min 12.340  max 12.340  mean 12.340 (5)"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("A\r"), std::string::npos) << r.out;  // drawn again over itself
  for (size_t width : ShownWidths(r.out)) EXPECT_LT(width, 60u) << r.out;
}

}  // namespace
