// zervon-sim: the virtual instrument as a program. It serves one simulated
// instrument on a pseudo-terminal until SIGINT or SIGTERM, so that the
// library, the demo or an application can be run without hardware.
//
// The first line of standard output is the terminal's path; the answers to
// --control commands follow it; everything else (events, and with --verbose
// every request and reply) goes to standard error.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
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
    "  --report B1,...,B5    the five status report bytes (default 3,0,0,0,0); every\n"
    "                        setting request replaces them with its bytes 1..5\n"
    "  --value RAW|auto      measured value, raw 0..65535 (default 1234), or 'auto'\n"
    "                        for a slow sine around the value\n"
    "  --battery-low         report a low battery\n"
    "  --flags N             status flags byte (byte 29) as a whole\n"
    "  --restart-delay MS    time without a terminal after leaving the loader\n"
    "                        (default 1000, 1500 with --timing real)\n"
    "  --raw                 make each new terminal raw at 115200 at once, for\n"
    "                        programs that do not configure the port; without it\n"
    "                        the terminal starts with the kernel's defaults\n"
    "                        (canonical input, echo, CR/NL translation), as a\n"
    "                        freshly plugged /dev/ttyACM<N> does, and whoever\n"
    "                        opens it must make it raw\n"
    "  --restart-node PATH   come back from a restart linked at PATH instead of\n"
    "                        the --node PATH (e.g. /dev/ttyACM1)\n"
    "  --linger MS           after a restart the old node stays MS ms, leading to\n"
    "                        the terminal that is gone (default 0)\n"
    "\n"
    "Timing:\n"
    "  --timing instant|real instant (default): every reply at once; real: the time\n"
    "                        a real instrument takes: replies no sooner than one 1 ms\n"
    "                        USB frame after the request, in 64-byte packets a frame\n"
    "                        apart; SPI-flash erases and writes answered when done\n"
    "                        (typical: 4 KiB sector 45 ms, 32 KiB block 120 ms, one\n"
    "                        packet 0.7 ms); loader entry 10 ms, row write 3 ms\n"
    "  --slowest-flash       with --timing real: every erase and write takes the\n"
    "                        chip's maximum (sector 400 ms, block 1600 ms, 3 ms)\n"
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
    "Control (for test programs that cannot link the instrument, e.g. under wine):\n"
    "  --control FIFO        read commands, one per line, from FIFO (made with\n"
    "                        mkfifo) while serving: \"ID COMMAND [ARGS]\"; each is\n"
    "                        answered on standard output with \"ID ANSWER\" once it\n"
    "                        has taken effect. Commands: drop N, delay N MS,\n"
    "                        truncate N LEN, split N K GAP, garbage N (N as for the\n"
    "                        fault knobs: negative for every reply, 0 off),\n"
    "                        silent 0|1, clear (every fault off), value RAW,\n"
    "                        battery-low 0|1, timing instant|real,\n"
    "                        slowest-flash 0|1 (answer: ok); settings (the last\n"
    "                        setting request in hex, or none), host-control,\n"
    "                        calibrating (0 or 1), flash ADDR LEN (LEN <= 1024\n"
    "                        bytes in hex); anything else: error\n"
    "\n"
    "  --verbose             print every request and reply on standard error\n"
    "  --help                show this text\n"
    "  --version             show the program's version\n";

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

std::string HexText(const uint8_t* data, size_t size) {
  std::string text;
  char buf[3];
  for (size_t i = 0; i < size; ++i) {
    std::snprintf(buf, sizeof buf, "%02x", data[i]);
    text += buf;
  }
  return text;
}

// Serialises the answers on standard output and keeps the control thread
// away from the instrument once the program is ending (never destroyed, as
// it stays held then).
std::mutex& ControlMutex() {
  static std::mutex* mutex = new std::mutex;
  return *mutex;
}

// Carries out one control command ("COMMAND ARGS") and gives its answer.
std::string Control(zsim::VirtualInstrument& sim, const std::string& line) {
  std::istringstream in(line);
  std::string command;
  in >> command;
  long a = 0, b = 0, c = 0;
  auto args = [&](int n) {
    if (n >= 1) in >> a;
    if (n >= 2) in >> b;
    if (n >= 3) in >> c;
    return !in.fail();
  };
  if (command == "drop" && args(1)) {
    sim.DropReplies(static_cast<int>(a));
  } else if (command == "delay" && args(2) && b >= 0) {
    sim.DelayReplies(static_cast<int>(a), static_cast<unsigned>(b));
  } else if (command == "truncate" && args(2) && b >= 0) {
    sim.TruncateReplies(static_cast<int>(a), static_cast<size_t>(b));
  } else if (command == "split" && args(3) && b >= 0 && c >= 0) {
    sim.SplitReplies(static_cast<int>(a), static_cast<size_t>(b), static_cast<unsigned>(c));
  } else if (command == "garbage" && args(1)) {
    sim.GarbageReplies(static_cast<int>(a));
  } else if (command == "silent" && args(1)) {
    sim.SetSilent(a != 0);
  } else if (command == "clear") {
    sim.ClearFaults();
  } else if (command == "value" && args(1) && a >= 0 && a <= 65535) {
    sim.SetMeasuredRaw(static_cast<uint16_t>(a));
  } else if (command == "battery-low" && args(1)) {
    sim.SetBatteryLow(a != 0);
  } else if (command == "timing") {
    std::string which;
    in >> which;
    if (which == "real")
      sim.SetTiming(zsim::Timing::Real);
    else if (which == "instant")
      sim.SetTiming(zsim::Timing::Instant);
    else
      return "error " + line;
  } else if (command == "slowest-flash" && args(1)) {
    sim.SetSlowestFlash(a != 0);
  } else if (command == "settings") {
    const auto settings = sim.Settings();
    return settings.empty() ? "none" : HexText(settings.back().data(), settings.back().size());
  } else if (command == "host-control") {
    return sim.HostControl() ? "1" : "0";
  } else if (command == "calibrating") {
    return sim.Calibrating() ? "1" : "0";
  } else if (command == "flash" && args(2) && a >= 0 && a <= 0xFFFFFF && b >= 0 && b <= 1024) {
    const auto bytes = sim.ReadFlash(static_cast<uint32_t>(a), static_cast<size_t>(b));
    return HexText(bytes.data(), bytes.size());
  } else {
    return "error " + line;
  }
  return "ok";
}

// Reads control lines from `path` for the life of the program. The FIFO is
// opened for reading and writing, so it never reaches end of file between
// writers.
void ServeControl(zsim::VirtualInstrument& sim, std::string path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    std::fprintf(stderr, "zervon-sim: cannot open control FIFO %s\n", path.c_str());
    return;
  }
  std::string pending;
  char buf[512];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    pending.append(buf, static_cast<size_t>(n));
    size_t end;
    while ((end = pending.find('\n')) != std::string::npos) {
      std::string line = pending.substr(0, end);
      pending.erase(0, end + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      const size_t space = line.find(' ');
      if (line.empty() || space == std::string::npos) continue;
      std::lock_guard<std::mutex> lock(ControlMutex());
      const std::string answer = Control(sim, line.substr(space + 1));
      std::printf("%s %s\n", line.substr(0, space).c_str(), answer.c_str());
      std::fflush(stdout);
    }
  }
  ::close(fd);
}

}  // namespace

int main(int argc, char** argv) {
  zsim::VirtualInstrument sim;
  std::string node, state, control;
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
    } else if (option == "--version" || option == "-V") {
      // The virtual instrument is built with the SDK and carries its version;
      // it does not load the library.
      std::printf("zervon-sim (Zervon SDK) %s\n", ZERVON_SIM_VERSION);
      return 0;
    } else if (option == "--node") {
      node = value();
    } else if (option == "--control") {
      control = value();
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
    } else if (option == "--raw") {
      sim.SetRawTerminal(true);
    } else if (option == "--restart-node") {
      sim.SetRestartNode(value());
    } else if (option == "--linger") {
      sim.SetNodeLingerMs(static_cast<unsigned>(Number(option, value(), 600000)));
    } else if (option == "--timing") {
      const std::string which = value();
      if (which == "real")
        sim.SetTiming(zsim::Timing::Real);
      else if (which == "instant")
        sim.SetTiming(zsim::Timing::Instant);
      else
        Fail("--timing takes instant or real");
    } else if (option == "--slowest-flash") {
      sim.SetSlowestFlash(true);
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
  if (!control.empty()) std::thread(ServeControl, std::ref(sim), control).detach();

  int signalNumber = 0;
  sigwait(&stopSignals, &signalNumber);
  // Held to the end: no control command reaches the instrument from here on.
  ControlMutex().lock();
  sim.Stop();  // hangs up and removes the node link
  if (!state.empty() && !sim.SaveState(state)) {
    std::fprintf(stderr, "zervon-sim: cannot save state file %s\n", state.c_str());
    return 1;
  }
  return 0;
}
