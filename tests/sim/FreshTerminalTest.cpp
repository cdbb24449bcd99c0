// The terminal the virtual instrument serves starts as a freshly plugged USB
// serial port does, with the kernel's defaults for a terminal, so that a
// host that leaves the port unconfigured fails against it as it would
// against the real instrument. Linked with the library's own units: the
// port set-up under test is the one discovery applies (ConfigurePort).
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "Device.h"
#include "HostPort.h"
#include "zervon.h"
#include "zervon_ext.h"

using namespace simtest;

namespace {

void* HandleOf(int fd) { return reinterpret_cast<void*>(static_cast<intptr_t>(fd)); }

// Opens the terminal as a program that skips the port set-up does.
int OpenUnconfigured(const std::string& path) {
  return ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
}

// Reads the settings a newcomer finds on the terminal at `path`.
termios SettingsAt(const std::string& path) {
  termios tio{};
  const int fd = OpenUnconfigured(path);
  EXPECT_GE(fd, 0) << path;
  if (fd < 0) return tio;
  EXPECT_EQ(tcgetattr(fd, &tio), 0);
  ::close(fd);
  return tio;
}

// The kernel's defaults: canonical input with echo and signals, CR to NL on
// input, XON/XOFF, NL to CR NL on output.
void ExpectDefaults(const termios& tio, const char* when) {
  EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), static_cast<tcflag_t>(ICANON | ECHO | ISIG)) << when;
  EXPECT_EQ(tio.c_iflag & (ICRNL | IXON), static_cast<tcflag_t>(ICRNL | IXON)) << when;
  EXPECT_EQ(tio.c_oflag & (OPOST | ONLCR), static_cast<tcflag_t>(OPOST | ONLCR)) << when;
}

void ExpectRaw(const termios& tio, const char* when) {
  EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u) << when;
  EXPECT_EQ(tio.c_iflag & (ICRNL | IXON), 0u) << when;
  EXPECT_EQ(tio.c_oflag & OPOST, 0u) << when;
  EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B115200)) << when;
}

}  // namespace

TEST(FreshTerminal, EveryNewTerminalStartsWithTheKernelDefaultsOrRawWhenAskedTo) {
  zsim::VirtualInstrument sim;
  sim.SetRestartDelayMs(100);
  ASSERT_TRUE(sim.Start());
  ExpectDefaults(SettingsAt(sim.SlavePath()), "at start");
  {
    // A host that configured the port and leaves the loader: the terminal
    // of the restarted instrument is a new one, with the defaults again.
    HostPort host(sim);
    ASSERT_TRUE(host.IsOpen());
    EXPECT_EQ(host.Exchange(Text("FWPS"), 40).size(), 40u);
    host.Write(Text("FWPU"));
    ASSERT_TRUE(sim.WaitForRestarts(1, 10000));
  }
  ExpectDefaults(SettingsAt(sim.SlavePath()), "after the restart");
  {
    HostPort host(sim);
    EXPECT_EQ(host.Exchange({0x14}, 64).size(), 64u);
  }
  const std::string node = TempNode("fresh");
  ASSERT_TRUE(sim.Replug(node));
  ExpectDefaults(SettingsAt(node), "after a replug");
  sim.Stop();

  zsim::VirtualInstrument raw;
  raw.SetRawTerminal(true);
  ASSERT_TRUE(raw.Start());
  ExpectRaw(SettingsAt(raw.SlavePath()), "raw, at start");
  ASSERT_TRUE(raw.Replug(node));
  ExpectRaw(SettingsAt(node), "raw, after a replug");
  const int fd = OpenUnconfigured(node);
  ASSERT_GE(fd, 0);
  ZervSetDeviceHandle(HandleOf(fd));
  EXPECT_STREQ(ZervGetSerialNumber(), "VRX2107-030300");
  ZervSetDeviceHandle(HandleOf(-1));
  ::close(fd);
  raw.Stop();
}

TEST(FreshTerminal, ExchangesFailUntilTheLibrarysPortSetUpIsApplied) {
  zsim::VirtualInstrument sim;
  ASSERT_TRUE(sim.Start());
  const int fd = OpenUnconfigured(sim.SlavePath());
  ASSERT_GE(fd, 0);
  unsigned char status = 0x14, reply[64];
  int length = sizeof reply;

  // Handed over unconfigured: the line discipline holds back, translates or
  // drops the reply bytes, and echoes them to the instrument, which takes
  // the echo for host bytes that start no request.
  ZervSetDeviceHandle(HandleOf(fd));
  EXPECT_STRNE(ZervGetSerialNumber(), "VRX2107-030300");
  EXPECT_NE(ZervSendCommandEx(&status, 1, reply, &length), 0);
  EXPECT_TRUE(WaitUntil([&] { return sim.DroppedBytes() > 0; }, 3000));

  // The same descriptor with the port set-up that discovery applies.
  ConfigurePort(fd);
  ZervSetDeviceHandle(HandleOf(fd));
  EXPECT_STREQ(ZervGetSerialNumber(), "VRX2107-030300");
  sim.ClearLog();
  for (int i = 0; i < 3; ++i) {
    length = sizeof reply;
    EXPECT_EQ(ZervSendCommandEx(&status, 1, reply, &length), 0) << i;
    EXPECT_EQ(reply[0], 0x14);
  }
  EXPECT_EQ(sim.DroppedBytes(), 0u);  // no echo any more
  ZervSetDeviceHandle(HandleOf(-1));
  ::close(fd);
  sim.Stop();
}
