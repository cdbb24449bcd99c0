// zervon-sim: the virtual instrument as a program. It serves one simulated
// instrument, or a rack of them (--count), each on a pseudo-terminal of its
// own, until SIGINT or SIGTERM, so that the library, the tool, the demo or an
// application can be run without hardware.
//
// The first lines of standard output are the terminals' paths, one per
// instrument in order; the answers to --control commands follow them;
// everything else (events, and with --verbose every request and reply) goes
// to standard error, marked "[i] " with the instrument's index when there are
// several.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "VirtualInstrument.h"

namespace {

const char kUsage[] =
    "Usage: zervon-sim [options]\n"
    "Serves a virtual Zervon instrument on a pseudo-terminal until SIGINT or SIGTERM\n"
    "(or a rack of them, see --count).\n"
    "The first line of standard output is the terminal's path (with --count N, the\n"
    "first N lines are the N terminals' paths, in order).\n"
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
    "                        (default 1000, 1500 with --timing real; for a rack\n"
    "                        see below)\n"
    "  --raw                 make each new terminal raw at 115200 at once, for\n"
    "                        programs that do not configure the port; without it\n"
    "                        the terminal starts with the kernel's defaults\n"
    "                        (canonical input, echo, CR/NL translation), as a\n"
    "                        freshly plugged /dev/ttyACM<N> does, and whoever\n"
    "                        opens it must make it raw\n"
    "  --restart-node PATH   come back from a restart linked at PATH instead of\n"
    "                        the --node PATH (e.g. /dev/ttyACM1; for a rack see\n"
    "                        below)\n"
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
    "Rack:\n"
    "  --count N             serve N instruments in one process (1..32, default 1),\n"
    "                        numbered 0..N-1, each with its own terminal, state and\n"
    "                        faults. Every option applies to each instrument, with\n"
    "                        these differences when N is above 1 (and the event\n"
    "                        and --verbose lines of instrument i start with \"[i] \"\n"
    "                        after the program's name):\n"
    "  --node STEMk          instrument i is linked at STEM(k+i): --node\n"
    "                        /dev/ttyACM0 gives /dev/ttyACM0, /dev/ttyACM1, ...;\n"
    "                        the path must end in a number\n"
    "  --nodes P0,P1,...     link instrument i at Pi, in place of --node; N is the\n"
    "                        number of paths unless --count gives it (then they\n"
    "                        must agree)\n"
    "  --serial G1,G2,G3,G4  instrument i has G1, G2, G3 and the fourth group\n"
    "                        (G4 + i) modulo 10000 (G4 0..9999), so the serial\n"
    "                        numbers differ: by default 21,7,3,300, 21,7,3,301, ...\n"
    "  --state FILE          FILE for instrument 0, FILE.1, FILE.2, ... for the\n"
    "                        others\n"
    "  --restart-delay MS[,MS...]\n"
    "                        one value for every instrument, or a comma-separated\n"
    "                        list of N values, one per instrument\n"
    "  --restart-node PATH[,PATH...]\n"
    "                        one path, numbered as --node is (instrument i comes\n"
    "                        back at STEM(k+i)), or a list of N paths, one per\n"
    "                        instrument (an empty entry: back at its own node)\n"
    "  --control FIFO        a command goes to instrument 0, or with \"@i\" after\n"
    "                        the ID to instrument i: \"7 @2 drop 3\"\n"
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

using Rack = std::vector<std::unique_ptr<zsim::VirtualInstrument>>;

// Carries out one control line after its ID ("[@i] COMMAND ARGS") on the
// instrument it addresses (instrument 0 without "@i") and gives its answer.
std::string Address(Rack& rack, const std::string& line) {
  if (line.empty() || line[0] != '@') return Control(*rack[0], line);
  const size_t space = line.find(' ');
  const std::string index = line.substr(1, space == std::string::npos ? std::string::npos : space - 1);
  size_t i = 0;
  for (const char c : index) {
    if (c < '0' || c > '9' || i >= rack.size()) return "error " + line;
    i = i * 10 + static_cast<size_t>(c - '0');
  }
  if (index.empty() || i >= rack.size() || space == std::string::npos) return "error " + line;
  return Control(*rack[i], line.substr(space + 1));
}

// Reads control lines from `path` for the life of the program. The FIFO is
// opened for reading and writing, so it never reaches end of file between
// writers.
void ServeControl(Rack& rack, std::string path) {
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
      const std::string answer = Address(rack, line.substr(space + 1));
      std::printf("%s %s\n", line.substr(0, space).c_str(), answer.c_str());
      std::fflush(stdout);
    }
  }
  ::close(fd);
}

std::vector<std::string> SplitList(const std::string& text) {
  std::vector<std::string> items;
  size_t start = 0;
  for (;;) {
    const size_t comma = text.find(',', start);
    items.push_back(text.substr(start, comma - start));
    if (comma == std::string::npos) return items;
    start = comma + 1;
  }
}

// The nodes of `count` instruments from one path ending in a number k:
// the same stem with k, k+1, ... One instrument keeps any path as it is.
std::vector<std::string> NumberedNodes(const std::string& option, const std::string& path, size_t count) {
  if (count == 1) return {path};
  size_t digits = path.size();
  while (digits > 0 && path[digits - 1] >= '0' && path[digits - 1] <= '9') --digits;
  if (digits == path.size() || path.size() - digits > 9)
    Fail(option + " '" + path + "' must end in a number for " + std::to_string(count) +
         " instruments, linked at consecutive numbers (e.g. /dev/ttyACM0, /dev/ttyACM1, ...)");
  const unsigned long first = std::strtoul(path.c_str() + digits, nullptr, 10);
  std::vector<std::string> nodes;
  for (size_t i = 0; i < count; ++i) nodes.push_back(path.substr(0, digits) + std::to_string(first + i));
  return nodes;
}

// One value for every instrument, or a comma-separated list of one per
// instrument.
std::vector<std::string> PerInstrument(const std::string& option, const std::string& text, size_t count) {
  std::vector<std::string> items = SplitList(text);
  if (items.size() == 1) return std::vector<std::string>(count, items[0]);
  if (items.size() != count)
    Fail(option + " takes one value" +
         (count > 1 ? " or " + std::to_string(count) + " comma-separated values, one per instrument" : ""));
  return items;
}

}  // namespace

int main(int argc, char** argv) {
  // Options that set up an instrument, applied to each one in the order given.
  std::vector<std::function<void(zsim::VirtualInstrument&)>> setup;
  std::string node, nodeList, state, control, restartDelay, restartNode;
  bool nodeGiven = false;
  size_t count = 0;  // 0: not given
  std::vector<unsigned long> serial = {21, 7, 3, 300};
  bool serialGiven = false;
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
    } else if (option == "--count") {
      count = Number(option, value(), 1000000);
      if (count == 0 || count > 32) Fail("--count takes 1..32");
    } else if (option == "--node") {
      node = value();
      nodeGiven = true;
    } else if (option == "--nodes") {
      nodeList = value();
    } else if (option == "--control") {
      control = value();
    } else if (option == "--state") {
      state = value();
    } else if (option == "--marker") {
      const std::string m = value();
      if (m.size() != 3) Fail("--marker takes 3 characters");
      setup.push_back([m](zsim::VirtualInstrument& sim) { sim.SetMarker(m.c_str()); });
    } else if (option == "--serial") {
      const std::string text = value();
      serial = Numbers(option, text, 4, 65535);
      if (serial[0] > 255 || serial[1] > 255 || serial[2] > 255) Fail("--serial: the first three groups are 0..255");
      serialGiven = true;
    } else if (option == "--hw") {
      const auto code = static_cast<uint8_t>(Number(option, value(), 255));
      setup.push_back([code](zsim::VirtualInstrument& sim) { sim.SetHWCode(code); });
    } else if (option == "--firmware") {
      const std::string text = value();
      const size_t dot = text.find('.');
      if (dot == std::string::npos) Fail("--firmware takes MAIN.SUB");
      const auto mainVer = static_cast<uint8_t>(Number(option, text.substr(0, dot), 255));
      const auto subVer = static_cast<uint8_t>(Number(option, text.substr(dot + 1), 255));
      setup.push_back([=](zsim::VirtualInstrument& sim) { sim.SetFirmware(mainVer, subVer); });
    } else if (option == "--mfg") {
      auto b = Numbers(option, value(), 4, 255);
      const std::array<uint8_t, 4> info = {static_cast<uint8_t>(b[0]), static_cast<uint8_t>(b[1]),
                                           static_cast<uint8_t>(b[2]), static_cast<uint8_t>(b[3])};
      setup.push_back([info](zsim::VirtualInstrument& sim) { sim.SetMfgInfo(info); });
    } else if (option == "--report") {
      auto b = Numbers(option, value(), 5, 255);
      const std::array<uint8_t, 5> report = {static_cast<uint8_t>(b[0]), static_cast<uint8_t>(b[1]),
                                             static_cast<uint8_t>(b[2]), static_cast<uint8_t>(b[3]),
                                             static_cast<uint8_t>(b[4])};
      setup.push_back([report](zsim::VirtualInstrument& sim) { sim.SetReportBytes(report); });
    } else if (option == "--value") {
      const std::string text = value();
      if (text == "auto") {
        setup.push_back([](zsim::VirtualInstrument& sim) { sim.SetMeasuredAuto(true); });
      } else {
        const auto raw = static_cast<uint16_t>(Number(option, text, 65535));
        setup.push_back([raw](zsim::VirtualInstrument& sim) { sim.SetMeasuredRaw(raw); });
      }
    } else if (option == "--battery-low") {
      setup.push_back([](zsim::VirtualInstrument& sim) { sim.SetBatteryLow(true); });
    } else if (option == "--flags") {
      const auto flags = static_cast<uint8_t>(Number(option, value(), 255));
      setup.push_back([flags](zsim::VirtualInstrument& sim) { sim.SetStatusFlags(flags); });
    } else if (option == "--restart-delay") {
      restartDelay = value();
    } else if (option == "--raw") {
      setup.push_back([](zsim::VirtualInstrument& sim) { sim.SetRawTerminal(true); });
    } else if (option == "--restart-node") {
      restartNode = value();
    } else if (option == "--linger") {
      const auto ms = static_cast<unsigned>(Number(option, value(), 600000));
      setup.push_back([ms](zsim::VirtualInstrument& sim) { sim.SetNodeLingerMs(ms); });
    } else if (option == "--timing") {
      const std::string which = value();
      zsim::Timing timing;
      if (which == "real")
        timing = zsim::Timing::Real;
      else if (which == "instant")
        timing = zsim::Timing::Instant;
      else
        Fail("--timing takes instant or real");
      setup.push_back([timing](zsim::VirtualInstrument& sim) { sim.SetTiming(timing); });
    } else if (option == "--slowest-flash") {
      setup.push_back([](zsim::VirtualInstrument& sim) { sim.SetSlowestFlash(true); });
    } else if (option == "--silent") {
      setup.push_back([](zsim::VirtualInstrument& sim) { sim.SetSilent(true); });
    } else if (option == "--foreign") {
      setup.push_back([](zsim::VirtualInstrument& sim) { sim.SetForeign(true); });
    } else if (option == "--drop") {
      const auto n = static_cast<int>(Number(option, value(), 1000000000));
      setup.push_back([n](zsim::VirtualInstrument& sim) { sim.DropReplies(n); });
    } else if (option == "--garbage") {
      const auto n = static_cast<int>(Number(option, value(), 1000000000));
      setup.push_back([n](zsim::VirtualInstrument& sim) { sim.GarbageReplies(n); });
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
      const auto address = static_cast<uint32_t>(v[0]);
      const auto mask = static_cast<uint8_t>(v[1]);
      setup.push_back([=](zsim::VirtualInstrument& sim) { sim.CorruptFlashOnWrite(address, mask); });
    } else if (option == "--verbose" || option == "-v") {
      verbose = true;
    } else {
      Fail("unknown option '" + option + "'");
    }
  }

  // The rack: how many instruments, and what differs between them.
  std::vector<std::string> nodes;
  if (!nodeList.empty()) {
    if (nodeGiven) Fail("--node and --nodes exclude each other");
    nodes = SplitList(nodeList);
    if (count == 0) count = nodes.size();
    if (nodes.size() != count)
      Fail("--nodes names " + std::to_string(nodes.size()) + " paths for " + std::to_string(count) + " instruments");
    if (count > 32) Fail("--nodes names more than 32 paths");
    for (size_t i = 0; i < nodes.size(); ++i) {
      if (nodes[i].empty()) Fail("--nodes has an empty path");
      for (size_t j = 0; j < i; ++j)
        if (nodes[j] == nodes[i]) Fail("--nodes names " + nodes[i] + " twice");
    }
  }
  if (count == 0) count = 1;
  if (nodeGiven) nodes = NumberedNodes("--node", node, count);
  if (count > 1 && serial[3] > 9999) Fail("--serial: the fourth group is 0..9999 for a rack of instruments");
  std::vector<unsigned> restartDelays;
  if (!restartDelay.empty())
    for (const std::string& ms : PerInstrument("--restart-delay", restartDelay, count))
      restartDelays.push_back(static_cast<unsigned>(Number("--restart-delay", ms, 600000)));
  std::vector<std::string> restartNodes;
  if (!restartNode.empty()) {
    restartNodes = SplitList(restartNode);
    if (restartNodes.size() == 1)
      restartNodes = NumberedNodes("--restart-node", restartNode, count);
    else if (restartNodes.size() != count)
      Fail("--restart-node takes one path" +
           (count > 1 ? " or " + std::to_string(count) + " comma-separated paths, one per instrument" : ""));
  }
  auto statePath = [&](size_t i) { return i == 0 ? state : state + "." + std::to_string(i); };

  Rack rack;
  for (size_t i = 0; i < count; ++i) {
    rack.emplace_back(new zsim::VirtualInstrument);
    zsim::VirtualInstrument& sim = *rack.back();
    for (const auto& apply : setup) apply(sim);
    if (serialGiven || count > 1)
      sim.SetSerial(static_cast<uint8_t>(serial[0]), static_cast<uint8_t>(serial[1]), static_cast<uint8_t>(serial[2]),
                    static_cast<uint16_t>(count > 1 ? (serial[3] + i) % 10000 : serial[3]));
    if (!restartDelays.empty()) sim.SetRestartDelayMs(restartDelays[i]);
    if (!restartNodes.empty()) sim.SetRestartNode(restartNodes[i]);
    if (delayMs) sim.DelayReplies(faultCount, delayMs);
    if (truncateLength >= 0) sim.TruncateReplies(faultCount, static_cast<size_t>(truncateLength));
    if (splitFirst >= 0) sim.SplitReplies(faultCount, static_cast<size_t>(splitFirst), splitGap);
    if (!state.empty()) {
      struct stat st;
      if (::stat(statePath(i).c_str(), &st) == 0 && !sim.LoadState(statePath(i)))
        Fail("cannot load state file " + statePath(i));
    }
    // Several instruments mark their lines with their index; one keeps the
    // plain lines.
    const std::string mark = count > 1 ? "[" + std::to_string(i) + "] " : "";
    sim.SetEventSink([mark](const std::string& line) {
      std::fprintf(stderr, "zervon-sim: %s%s\n", mark.c_str(), line.c_str());
    });
    sim.SetWireTrace(verbose);
  }

  // The signals are taken synchronously by sigwait() below; block them before
  // the serving threads start so that no thread receives them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  // Hangs every instrument up at once (each may wait its grace time for a
  // host to read its last reply) and removes their node links.
  auto stopAll = [&rack] {
    std::vector<std::thread> stoppers;
    for (auto& sim : rack) stoppers.emplace_back([&sim] { sim->Stop(); });
    for (auto& stopper : stoppers) stopper.join();
  };
  for (size_t i = 0; i < count; ++i) {
    if (!rack[i]->Start()) {
      stopAll();
      std::fprintf(stderr, "zervon-sim: cannot open a pseudo-terminal\n");
      return 1;
    }
    // The node links exist by the time the path lines appear, so a script
    // that waits for the lines can open either name at once.
    if (!nodes.empty() && !rack[i]->Plug(nodes[i])) {
      stopAll();
      std::fprintf(stderr, "zervon-sim: cannot link %s to the terminal\n", nodes[i].c_str());
      return 1;
    }
  }
  for (const auto& sim : rack) std::printf("%s\n", sim->SlavePath().c_str());
  std::fflush(stdout);
  if (!control.empty()) std::thread(ServeControl, std::ref(rack), control).detach();

  int signalNumber = 0;
  sigwait(&stopSignals, &signalNumber);
  // Held to the end: no control command reaches an instrument from here on.
  ControlMutex().lock();
  stopAll();
  int result = 0;
  for (size_t i = 0; i < count && !state.empty(); ++i) {
    if (!rack[i]->SaveState(statePath(i))) {
      std::fprintf(stderr, "zervon-sim: cannot save state file %s\n", statePath(i).c_str());
      result = 1;
    }
  }
  return result;
}
