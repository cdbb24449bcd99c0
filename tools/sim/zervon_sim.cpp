// zervon-sim: the virtual instrument as a program. It serves one simulated
// instrument on a pseudo-terminal until SIGINT or SIGTERM, so that the
// library, the demo or an application can be run without hardware.
//
// The first line of standard output is the terminal's path; everything else
// (events, and with --verbose every request and reply) goes to standard
// error.
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "VirtualInstrument.h"

namespace {

const char kUsage[] =
    "Usage: zervon-sim [options]\n"
    "Serves a virtual Zervon instrument on a pseudo-terminal until SIGINT or SIGTERM.\n"
    "The first line of standard output is the terminal's path.\n"
    "\n"
    "Device:\n"
    "  --node PATH           make PATH a link to the terminal (e.g. /dev/ttyACM0);\n"
    "                        re-made after a restart, removed at exit\n"
    "  --state FILE          load blocks, SPI flash, memory map and loader image from\n"
    "                        FILE at start (if it exists), save them there at exit\n"
    "  --marker XYZ          product marker, 3 characters (default VRX)\n"
    "  --serial G1,G2,G3,G4  serial-number groups (default 21,7,3,300)\n"
    "  --hw N                hardware code (default 5)\n"
    "  --firmware MAIN.SUB   firmware version (default 3.2)\n"
    "  --mfg B1,B2,B3,B4     manufacturing information (default 0x24,0x05,0x17,0x01)\n"
    "  --report B1,...,B5    the five status report bytes (default 3,0,0,0,0)\n"
    "  --value RAW|auto      measured value, raw 0..65535 (default 1234), or 'auto'\n"
    "                        for a slow sine around the value\n"
    "  --battery-low         report a low battery\n"
    "  --flags N             status flags byte (byte 29) as a whole\n"
    "  --restart-delay MS    time without a terminal after leaving the loader\n"
    "                        (default 1000)\n"
    "\n"
    "Faults (--delay-ms, --truncate and --split apply to every reply unless\n"
    "--fault-count limits them to the first N replies):\n"
    "  --silent              frame and log requests but never answer\n"
    "  --foreign             report the product marker XYZ (a foreign device)\n"
    "  --drop N              drop the first N replies\n"
    "  --garbage N           replace the first N replies with garbage\n"
    "  --delay-ms MS         delay replies by MS milliseconds, in order, as a busy\n"
    "                        instrument does (later replies wait behind them)\n"
    "  --truncate LEN        cut replies to LEN bytes\n"
    "  --split K,GAP         write replies in two parts: K bytes, GAP ms, the rest\n"
    "  --fault-count N       how many replies --delay-ms/--truncate/--split affect\n"
    "  --corrupt-flash ADDR,MASK\n"
    "                        flip the bits MASK of SPI-flash byte ADDR on the next\n"
    "                        write covering it (numbers may be 0x-prefixed)\n"
    "\n"
    "  --verbose             print every request and reply on standard error\n"
    "  --help                show this text\n";

[[noreturn]] void Fail(const std::string& message) {
  std::fprintf(stderr, "zervon-sim: %s\n%s", message.c_str(), "Try 'zervon-sim --help'.\n");
  std::exit(2);
}

unsigned long Number(const std::string& option, const std::string& text, unsigned long max) {
  errno = 0;
  char* end = nullptr;
  const unsigned long value = std::strtoul(text.c_str(), &end, 0);
  if (text.empty() || errno != 0 || *end != '\0' || value > max || text[0] == '-')
    Fail("bad number '" + text + "' for " + option);
  return value;
}

std::vector<unsigned long> Numbers(const std::string& option, const std::string& text, size_t count,
                                   unsigned long max) {
  std::vector<unsigned long> values;
  size_t start = 0;
  for (;;) {
    const size_t comma = text.find(',', start);
    values.push_back(Number(option, text.substr(start, comma - start), max));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  if (values.size() != count) Fail(option + " takes " + std::to_string(count) + " comma-separated numbers");
  return values;
}

}  // namespace

int main(int argc, char** argv) {
  zsim::VirtualInstrument sim;
  std::string node, state;
  bool verbose = false;
  int faultCount = -1;
  unsigned delayMs = 0;
  long truncateLength = -1;
  long splitFirst = -1;
  unsigned splitGap = 0;

  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) Fail(option + " needs a value");
      return argv[++i];
    };
    if (option == "--help" || option == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (option == "--node") {
      node = value();
    } else if (option == "--state") {
      state = value();
    } else if (option == "--marker") {
      const std::string m = value();
      if (m.size() != 3) Fail("--marker takes 3 characters");
      sim.SetMarker(m.c_str());
    } else if (option == "--serial") {
      const std::string text = value();
      auto g = Numbers(option, text, 4, 65535);
      if (g[0] > 255 || g[1] > 255 || g[2] > 255) Fail("--serial: the first three groups are 0..255");
      sim.SetSerial(static_cast<uint8_t>(g[0]), static_cast<uint8_t>(g[1]), static_cast<uint8_t>(g[2]),
                    static_cast<uint16_t>(g[3]));
    } else if (option == "--hw") {
      sim.SetHWCode(static_cast<uint8_t>(Number(option, value(), 255)));
    } else if (option == "--firmware") {
      const std::string text = value();
      const size_t dot = text.find('.');
      if (dot == std::string::npos) Fail("--firmware takes MAIN.SUB");
      sim.SetFirmware(static_cast<uint8_t>(Number(option, text.substr(0, dot), 255)),
                      static_cast<uint8_t>(Number(option, text.substr(dot + 1), 255)));
    } else if (option == "--mfg") {
      auto b = Numbers(option, value(), 4, 255);
      sim.SetMfgInfo({static_cast<uint8_t>(b[0]), static_cast<uint8_t>(b[1]), static_cast<uint8_t>(b[2]),
                      static_cast<uint8_t>(b[3])});
    } else if (option == "--report") {
      auto b = Numbers(option, value(), 5, 255);
      sim.SetReportBytes({static_cast<uint8_t>(b[0]), static_cast<uint8_t>(b[1]), static_cast<uint8_t>(b[2]),
                          static_cast<uint8_t>(b[3]), static_cast<uint8_t>(b[4])});
    } else if (option == "--value") {
      const std::string text = value();
      if (text == "auto")
        sim.SetMeasuredAuto(true);
      else
        sim.SetMeasuredRaw(static_cast<uint16_t>(Number(option, text, 65535)));
    } else if (option == "--battery-low") {
      sim.SetBatteryLow(true);
    } else if (option == "--flags") {
      sim.SetStatusFlags(static_cast<uint8_t>(Number(option, value(), 255)));
    } else if (option == "--restart-delay") {
      sim.SetRestartDelayMs(static_cast<unsigned>(Number(option, value(), 600000)));
    } else if (option == "--silent") {
      sim.SetSilent(true);
    } else if (option == "--foreign") {
      sim.SetForeign(true);
    } else if (option == "--drop") {
      sim.DropReplies(static_cast<int>(Number(option, value(), 1000000000)));
    } else if (option == "--garbage") {
      sim.GarbageReplies(static_cast<int>(Number(option, value(), 1000000000)));
    } else if (option == "--delay-ms") {
      delayMs = static_cast<unsigned>(Number(option, value(), 600000));
    } else if (option == "--truncate") {
      truncateLength = static_cast<long>(Number(option, value(), 64));
    } else if (option == "--split") {
      auto v = Numbers(option, value(), 2, 600000);
      splitFirst = static_cast<long>(v[0]);
      splitGap = static_cast<unsigned>(v[1]);
    } else if (option == "--fault-count") {
      faultCount = static_cast<int>(Number(option, value(), 1000000000));
    } else if (option == "--corrupt-flash") {
      auto v = Numbers(option, value(), 2, 0xFFFFFF);
      if (v[1] > 255) Fail("--corrupt-flash: MASK is 0..255");
      sim.CorruptFlashOnWrite(static_cast<uint32_t>(v[0]), static_cast<uint8_t>(v[1]));
    } else if (option == "--verbose" || option == "-v") {
      verbose = true;
    } else {
      Fail("unknown option '" + option + "'");
    }
  }
  if (delayMs) sim.DelayReplies(faultCount, delayMs);
  if (truncateLength >= 0) sim.TruncateReplies(faultCount, static_cast<size_t>(truncateLength));
  if (splitFirst >= 0) sim.SplitReplies(faultCount, static_cast<size_t>(splitFirst), splitGap);

  if (!state.empty()) {
    struct stat st;
    if (::stat(state.c_str(), &st) == 0 && !sim.LoadState(state)) Fail("cannot load state file " + state);
  }

  sim.SetEventSink([](const std::string& line) { std::fprintf(stderr, "zervon-sim: %s\n", line.c_str()); });
  sim.SetWireTrace(verbose);

  // The signals are taken synchronously by sigwait() below; block them before
  // the serving thread starts so that no thread receives them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  if (!sim.Start()) {
    std::fprintf(stderr, "zervon-sim: cannot open a pseudo-terminal\n");
    return 1;
  }
  // The node link exists by the time the path line appears, so a script
  // that waits for the line can open either name at once.
  if (!node.empty() && !sim.Plug(node)) {
    sim.Stop();
    std::fprintf(stderr, "zervon-sim: cannot link %s to the terminal\n", node.c_str());
    return 1;
  }
  std::printf("%s\n", sim.SlavePath().c_str());
  std::fflush(stdout);

  int signalNumber = 0;
  sigwait(&stopSignals, &signalNumber);
  sim.Stop();  // hangs up and removes the node link
  if (!state.empty() && !sim.SaveState(state)) {
    std::fprintf(stderr, "zervon-sim: cannot save state file %s\n", state.c_str());
    return 1;
  }
  return 0;
}
