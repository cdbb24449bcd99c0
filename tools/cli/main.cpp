// zervon: the command-line tool for the instrument.
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <map>

#include "Cli.h"
#include "zervon.h"

#ifndef ZERVON_TOOL_VERSION
#error "ZERVON_TOOL_VERSION is the SDK's version, set by the build"
#endif

namespace {

// A signal that ends the tool in the middle of a command (Ctrl-C during a
// flash read): a port's exclusive mode belongs to the terminal, not to the
// descriptor, so it would outlive this process wherever something else
// keeps the terminal open (the virtual instrument does). Every terminal
// this process holds in that mode is given back, with calls that are safe
// in a signal handler, before the signal takes its usual course.
void OnEndingSignal(int sig) {
  const int saved = errno;  // the calls below may set it; the interrupted code must not see that
  for (int fd = 3; fd < 1024; ++fd) {
#ifdef TIOCGEXCL
    int exclusive = 0;
    if (::ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive) ::ioctl(fd, TIOCNXCL);
#else
    if (::isatty(fd)) ::ioctl(fd, TIOCNXCL);
#endif
  }
  std::signal(sig, SIG_DFL);
  errno = saved;
  std::raise(sig);
}

const char kUsage[] =
    "Usage: zervon [OPTIONS] COMMAND [ARGS...]\n"
    "Drives the Zervon instrument: identity, measurement, settings, SPI flash, display memory map,\n"
    "calibration and firmware.\n"
    "\n"
    "Commands:\n"
    "  list                          every /dev/ttyACM<N>: its serial number, whether it answers as the\n"
    "                                instrument, its lock\n"
    "  doctor                        why an instrument cannot be used, and the fix\n"
    "  info                          model, serial number, hardware code, firmware, library version\n"
    "  read [--watch [--rate HZ] [--count N] [--chart]] [--csv FILE]\n"
    "                                status report bytes, measured value and battery\n"
    "  set A B C D [E]               send a setting (bytes 0..255)\n"
    "  raw HEX... [--reply N]        send raw request bytes, optionally read an N-byte reply\n"
    "  mfg read | mfg write HEX      the 4 bytes of manufacturing information\n"
    "  calibrate start|stop [--yes]  display-module calibration (stop stores the result in flash region 2)\n"
    "  flash read|write|verify|erase --region N [FILE] [--length N]\n"
    "                                SPI flash regions 0..3\n"
    "  memmap read|write|verify --region N FILE [--length N]\n"
    "                                display memory-map regions 0..3\n"
    "  burn IMAGE --version MAIN.SUB [--force]\n"
    "                                burn a firmware image (refused on a low battery)\n"
    "\n"
    "FILE '-' is standard input or output; when the data go to standard output, every message\n"
    "goes to standard error.\n"
    "\n"
    "Options (before the command, or after it; --opt VALUE or --opt=VALUE):\n"
    "  --port PATH    open PATH and use it (no search; any terminal, e.g. a virtual instrument's)\n"
    "  --timeout MS   how long to wait for the instrument (default 5000)\n"
    "  --all          run the command on every instrument found (as list finds them), in parallel\n"
    "  --ports N,M    run the command on /dev/ttyACM<N>, /dev/ttyACM<M>, ... in parallel\n"
    "                 (see 'Racks' below)\n"
    "  --json         machine-readable output: one JSON object per result on standard output, and\n"
    "                 failures as {\"error\": TEXT, \"code\": EXIT} on standard error\n"
    "  -q, --quiet    no progress and no notes on standard error (failures are still printed)\n"
    "  -v, --verbose  wire trace on standard error: every request (>) and reply (<) as hex with\n"
    "                 the time, as it passes the port (list's and doctor's probes too); for it the\n"
    "                 tool holds the port itself, and without --port searches the /dev/ttyACM<N>\n"
    "                 nodes on its own. A burn is not traced: the library holds the port for it.\n"
    "  -V, --version  the tool's and the library's versions\n"
    "  -h, --help     this text; 'zervon COMMAND --help' for one command\n"
    "\n"
    "Racks: with --all or --ports the command runs on each instrument in a process of its own\n"
    "(the tool with --port at its node), for info (a table; --json an array), read --watch (each\n"
    "line or CSV row carries the node and serial), flash write|verify, mfg read and burn (a live\n"
    "progress line per instrument and a summary table). One instrument's failure does not stop the\n"
    "others; the exit code is then that of the failures (1 when they differ) and the last line\n"
    "says how many failed. Ctrl-C stops every instrument's process. Other commands are refused.\n"
    "\n"
    "Exit codes:\n"
    "  0  done\n"
    "  1  the operation failed (instrument error, verify difference, burn failure); doctor found a problem\n"
    "  2  bad command line or input: nothing was sent to the instrument\n"
    "  3  no instrument within the time-out, or the port does not answer as one; list found none\n"
    "  4  the port is busy (held by another process)\n"
    "  5  refused: low battery for a burn without --force\n"
    "Every failure prints one line on standard error (a JSON object with --json).\n";

const char kVersion[] =
    "zervon (Zervon SDK) " ZERVON_TOOL_VERSION "\n";

const std::map<std::string, const char*> kHelp = {
    {"list",
     "Usage: zervon [OPTIONS] list\n"
     "Lists every /dev/ttyACM<N> node (or only --port PATH) with the serial number of the instrument\n"
     "on it (to label a rack by): whether it answers as the instrument (firmware), or the process ID\n"
     "and name of the process holding it and how (the library's lock file, a UUCP lock file, a flock\n"
     "on the port or its exclusive mode). Ports held by another process are not touched: their\n"
     "serial column says \"(held)\". Exit 0 when an instrument answers, else 3.\n"},
    {"doctor",
     "Usage: zervon [OPTIONS] doctor\n"
     "Checks why an instrument cannot be used and prints the fix: node permissions and your groups,\n"
     "the lock directory, stale or live lock files and their holders, ModemManager, the udev rule,\n"
     "and what each free port answers. Exit 0 when all is well, 1 when a problem was found.\n"},
    {"info", "Usage: zervon [OPTIONS] info\nPrints port, model, serial number, hardware code, firmware and library version.\n"
     "With --json one object: port, model, serial, hw_code, firmware (MAIN.SUB), library.\n"
     "With --all or --ports a table, one row per instrument (--json: an array of those objects,\n"
     "each with its node; a failed one has error and code).\n"},
    {"read",
     "Usage: zervon [OPTIONS] read [--watch [--rate HZ] [--count N] [--chart]] [--csv FILE]\n"
     "Prints the five report bytes, the measured value and the battery state.\n"
     "--watch repeats at HZ readings per second (default 1) until interrupted or N readings;\n"
     "each reading starts with its local time (ISO 8601 with milliseconds; \"time\" in JSON).\n"
     "--chart (with --watch, on a terminal) draws the measured value as a chart that scrolls in\n"
     "place: the last readings that fit the terminal, with their min, max and mean.\n"
     "--csv FILE writes the readings as CSV with a header row (time, report1..report5, value,\n"
     "battery); with '-' to standard output, in place of the lines.\n"
     "A watch that searched waits for a lost instrument (one line each when it goes and comes\n"
     "back); with --port it ends with exit 3 when the port is gone or 5 reads in a row failed.\n"
     "With --all or --ports (--watch only) each instrument's lines start with its node and serial\n"
     "(JSON: node and serial members; --csv - : node and serial columns in front).\n"},
    {"set", "Usage: zervon [OPTIONS] set A B C D [E]\nSends the setting A B C D (and E); each 0..255, decimal or 0x hex.\n"},
    {"raw",
     "Usage: zervon [OPTIONS] raw HEX... [--reply N]\n"
     "Sends the bytes (digit pairs, e.g. 12 55AA 0x00) and with --reply reads a reply of N bytes.\n"
     "Without --reply it says how many bytes were sent.\n"},
    {"mfg", "Usage: zervon [OPTIONS] mfg read\n       zervon [OPTIONS] mfg write HEX\nReads or replaces (1 to 4 bytes) the manufacturing information.\n"
     "mfg read takes --all or --ports: one line per instrument, with its node and serial.\n"},
    {"calibrate",
     "Usage: zervon [OPTIONS] calibrate start\n"
     "       zervon [OPTIONS] calibrate stop [--yes]\n"
     "start starts the display-module calibration. stop ends it and stores its result into SPI-flash\n"
     "region 2 (0x010000, 32 KiB), erasing and overwriting what the region holds. stop asks first on\n"
     "a terminal; --yes skips the question, and without a terminal --yes is required.\n"},
    {"flash",
     "Usage: zervon [OPTIONS] flash read --region N FILE [--length N]\n"
     "       zervon [OPTIONS] flash write --region N FILE\n"
     "       zervon [OPTIONS] flash verify --region N FILE\n"
     "       zervon [OPTIONS] flash erase --region N\n"
     "Regions: 0 0x000000, 1 0x008000, 2 0x010000 (32 KiB each), 3 0x018000 (1952 KiB).\n"
     "read saves the region (or N bytes of it); write erases the region and writes FILE at its base;\n"
     "verify compares the region with FILE and reports the first differing address.\n"
     "FILE '-' is standard input (write, verify) or standard output (read).\n"
     "write and verify take --all or --ports (FILE then a file): each instrument's lines carry its\n"
     "node and serial.\n"},
    {"memmap",
     "Usage: zervon [OPTIONS] memmap read --region N FILE [--length N]\n"
     "       zervon [OPTIONS] memmap write|verify --region N FILE\n"
     "Regions: 0 0x000000 (1 MiB), 1 0x300000 (8 KiB), 2 0x302000 (4 KiB), 3 0x308000 (4 KiB).\n"
     "FILE '-' is standard input (write, verify) or standard output (read).\n"},
    {"burn",
     "Usage: zervon [OPTIONS] burn IMAGE --version MAIN.SUB [--force]\n"
     "Burns the firmware image (at most 1984 KiB; 64 KiB for firmware 2.x or older) and records\n"
     "version MAIN.SUB (0..255 each) in the instrument.\n"
     "The battery is checked first: a low battery refuses the burn (exit 5) unless --force.\n"
     "The instrument restarts and is found again by its node, so --port must name /dev/ttyACM<N>.\n"
     "With --all or --ports every instrument burns at once: a progress line each (node, serial,\n"
     "stage, percent; redrawn in place on a terminal), then a table of node, serial, result and\n"
     "time (--json: an array). A failed instrument does not stop the others.\n"},
};

using Command = int (*)(const cli::Options&, cli::Args&);
const std::map<std::string, Command> kCommands = {
    {"list", cli::CmdList},   {"doctor", cli::CmdDoctor},
    {"info", cli::CmdInfo},   {"read", cli::CmdRead},           {"set", cli::CmdSet},
    {"raw", cli::CmdRaw},     {"mfg", cli::CmdMfg},             {"calibrate", cli::CmdCalibrate},
    {"flash", cli::CmdFlash}, {"memmap", cli::CmdMemMap},       {"burn", cli::CmdBurn},
};

}  // namespace

namespace {

// A global option at argv[i] (--name VALUE or --name=VALUE for the ones
// with a value); false when the word is none. Moves i past a value.
bool GlobalOption(int argc, char** argv, int& i, cli::Options& options) {
  const std::string word = argv[i];
  if (word == "--json") return options.json = true;
  if (word == "-q" || word == "--quiet") return cli::g_quiet = true;
  if (word == "-v" || word == "--verbose") return cli::g_verbose = true;
  if (word == "--all") return options.all = true;
  if (word == "--rack-child") return cli::g_rackChild = true;  // set by the parent of a rack, not documented
  for (const char* name : {"--port", "--timeout", "--ports"}) {
    const std::string prefix = std::string(name) + "=";
    std::string value;
    if (word == name) {
      if (i + 1 >= argc) cli::Fail(cli::kUsage, word + " needs a value");
      value = argv[++i];
    } else if (word.compare(0, prefix.size(), prefix) == 0) {
      value = word.substr(prefix.size());
    } else {
      continue;
    }
    if (word.compare(0, 7, "--ports") == 0) {
      // N,M,...: node numbers of /dev/ttyACM<N>, each once.
      options.ports.clear();
      size_t start = 0;
      for (;;) {
        const size_t comma = value.find(',', start);
        const int n = static_cast<int>(cli::ParseNumber(value.substr(start, comma - start), 0, 255, "port number"));
        for (int m : options.ports)
          if (m == n) cli::Fail(cli::kUsage, "--ports names /dev/ttyACM" + std::to_string(n) + " twice");
        options.ports.push_back(n);
        if (comma == std::string::npos) break;
        start = comma + 1;
      }
    } else if (word.compare(0, 6, "--port") == 0) {
      if (value.empty()) cli::Fail(cli::kUsage, "--port needs a path");
      options.port = value;
    } else {
      options.timeoutMs = static_cast<unsigned>(cli::ParseNumber(value, 0, 3600000, "time-out"));
    }
    return true;
  }
  return false;
}

std::string LibraryVersion() {
  const unsigned v = ZervGetVersion();
  return std::to_string(v >> 24) + "." + std::to_string((v >> 16) & 0xFF) + "." + std::to_string((v >> 8) & 0xFF) +
         "." + std::to_string(v & 0xFF);
}

}  // namespace

int main(int argc, char** argv) {
  // A reader that goes away (`| head`) must not kill the tool while it holds
  // the port: writes then fail with EPIPE and the tool ends through its
  // normal exit, which releases the port and its exclusive mode.
  signal(SIGPIPE, SIG_IGN);
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) std::signal(sig, OnEndingSignal);
  cli::Options options;
  int code = cli::kOk;
  // --json holds for the failures of the command line itself too.
  for (int k = 1; k < argc; ++k)
    if (std::strcmp(argv[k], "--json") == 0) options.json = true;
  try {
    int i = 1;
    for (; i < argc; ++i) {
      const std::string word = argv[i];
      if (word == "-h" || word == "--help") {
        std::fputs(kUsage, stdout);
        return cli::kOk;
      } else if (word == "-V" || word == "--version") {
        std::printf("%slibrary %s\n", kVersion, LibraryVersion().c_str());
        return cli::kOk;
      } else if (GlobalOption(argc, argv, i, options)) {
      } else if (!word.empty() && word[0] == '-') {
        cli::Fail(cli::kUsage, "unknown option '" + word + "' (see 'zervon --help')");
      } else {
        break;
      }
    }
    if (i >= argc) cli::Fail(cli::kUsage, "missing command (see 'zervon --help')");
    const std::string name = argv[i];
    auto command = kCommands.find(name);
    if (command == kCommands.end()) cli::Fail(cli::kUsage, "unknown command '" + name + "' (see 'zervon --help')");
    // The global options are taken after the command too ("info --json").
    std::vector<std::string> words;
    for (int k = i + 1; k < argc; ++k)
      if (!GlobalOption(argc, argv, k, options)) words.push_back(argv[k]);
    for (const std::string& w : words)
      if (w == "-h" || w == "--help") {
        std::fputs(kHelp.at(name), stdout);
        return cli::kOk;
      }
    if (options.all || !options.ports.empty()) {
      code = cli::RunRack(options, name, words, argv[0]);
    } else {
      cli::Args args(words, name);
      code = command->second(options, args);
    }
  } catch (const cli::Error& error) {
    std::fflush(stdout);
    if (options.json)
      std::fprintf(stderr, "%s\n", cli::Json().Add("error", error.message).Add("code", error.code).Text().c_str());
    else
      std::fprintf(stderr, "zervon: %s\n", error.message.c_str());
    code = error.code;
  }
  cli::Disconnect();
  return code;
}
