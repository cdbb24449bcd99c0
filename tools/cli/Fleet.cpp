// A rack of instruments: --all and --ports run one command on several
// instruments at once, one child process per instrument. Each child is the
// tool itself with --port at its node, so it holds only its own port and its
// own lock, and one instrument's failure cannot stop another. The parent
// reads what the children print through pipes and writes it out as whole
// lines, each carrying the instrument's node and serial number.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/prctl.h>
#endif

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

#include "Cli.h"

namespace cli {

namespace {

// What the parent does with the children's output.
enum class Kind {
  kInfo,   // collected: a table, or a JSON array
  kLines,  // passed on line by line, each with the node and serial
  kBurn,   // live progress per instrument, a summary table at the end
};

struct Child {
  int node = -1;
  std::string path, serial;
  pid_t pid = -1;
  int out = -1, err = -1;
  std::string outBuffer, errBuffer;
  std::string output;     // kInfo: everything it printed
  std::string error;      // its last failure line
  int code = -1;          // exit code; -1 while it runs or when a signal ended it
  bool ended = false;
  double start = 0, end = 0;
  int stage = -1, percent = 0, plainStep = -1;
};

// Ctrl-C (or SIGTERM, SIGHUP) to the parent: how many times.
volatile sig_atomic_t g_stop = 0;
void OnStop(int) { g_stop = g_stop + 1; }

const char* const kStageNames[] = {"erasing", "writing", "verifying", "verified", "restarting", "finished"};

// The value of `key` in a one-line JSON object of this tool: a string
// (unescaped) or a number as written; empty when absent.
std::string JsonField(const std::string& json, const std::string& key) {
  const std::string pattern = JsonString(key) + ":";
  size_t at = json.find(pattern);
  if (at == std::string::npos) return "";
  at += pattern.size();
  std::string value;
  if (at < json.size() && json[at] == '"') {
    for (size_t i = at + 1; i < json.size() && json[i] != '"'; ++i) {
      if (json[i] == '\\' && i + 1 < json.size()) {
        ++i;
        if (json[i] == 'u' && i + 4 < json.size()) {
          value += static_cast<char>(std::strtol(json.substr(i + 1, 4).c_str(), nullptr, 16));
          i += 4;
          continue;
        }
      }
      value += json[i];
    }
    return value;
  }
  while (at < json.size() && json[at] != ',' && json[at] != '}') value += json[at++];
  return value;
}

// A child's JSON object with its node and serial in front.
std::string WithNode(const Child& c, const std::string& object) {
  std::string head = "{" + JsonString("node") + ":" + JsonString(c.path) + "," + JsonString("serial") + ":" +
                     JsonString(c.serial);
  return head + (object.size() > 2 ? "," : "") + object.substr(1);
}

// A column: `text` filled to `width` and one space, as list prints its own.
std::string Pad(const std::string& text, size_t width) {
  return text.size() >= width ? text + " " : text + std::string(width - text.size() + 1, ' ');
}

// The path of this program, to start the children with.
std::string SelfPath(const char* argv0) {
#if defined(__linux__)
  char path[4096];
  const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (n > 0) return std::string(path, static_cast<size_t>(n));
#endif
  return argv0;
}

// The commands a rack runs, checked before any child starts: a mistake in
// the command line is said once, not once per instrument.
Kind CheckCommand(const std::string& name, std::vector<std::string> words, bool* csvOut) {
  Args args(words, name);
  std::string value;
  *csvOut = false;
  if (name == "info") {
    args.Done();
    return Kind::kInfo;
  }
  if (name == "read") {
    if (!args.Flag("--watch")) Fail(kUsage, "read: with --all or --ports only 'read --watch'");
    if (args.Flag("--chart")) Fail(kUsage, "read: --chart draws one instrument; not with --all or --ports");
    if (args.Value("--csv", &value)) {
      if (value != "-") Fail(kUsage, "read: with --all or --ports --csv takes '-' (standard output)");
      *csvOut = true;
    }
    return Kind::kLines;
  }
  if (name == "flash") {
    args.Value("--region", &value);
    args.Value("--length", &value);
    const std::string action = args.Next("action (read, write, verify or erase)");
    if (action != "write" && action != "verify")
      Fail(kUsage, "flash: with --all or --ports only 'flash write' and 'flash verify'");
    if (args.HasNext() && args.Next("FILE") == "-")
      Fail(kUsage, "flash: with --all or --ports FILE must be a file: standard input cannot go to every instrument");
    return Kind::kLines;
  }
  if (name == "mfg") {
    if (args.Next("action (read or write)") != "read") Fail(kUsage, "mfg: with --all or --ports only 'mfg read'");
    args.Done();
    return Kind::kLines;
  }
  if (name == "burn") {
    args.Flag("--force");
    if (!args.Value("--version", &value)) Fail(kUsage, "burn: --version MAIN.SUB is required");
    int mainVersion = 0, subVersion = 0;
    ParseVersion(value, &mainVersion, &subVersion);
    const std::string image = args.Next("IMAGE");
    args.Done();
    if (image == "-") Fail(kUsage, "burn: with --all or --ports IMAGE must be a file");
    if (::access(image.c_str(), R_OK) != 0) Fail(kUsage, "cannot read " + image + ": " + std::strerror(errno));
    return Kind::kBurn;
  }
  Fail(kUsage, name + ": --all and --ports go with info, read --watch, flash write|verify, mfg read and burn");
}

// Starts the tool for one instrument: standard input from /dev/null, its
// output into two pipes the parent reads.
void Start(Child& c, const std::vector<std::string>& words) {
  std::vector<char*> argv;
  std::vector<std::string> copy = words;
  for (std::string& w : copy) argv.push_back(&w[0]);
  argv.push_back(nullptr);
  c.start = Now();
  int out[2] = {-1, -1}, err[2] = {-1, -1};
  if (::pipe(out) != 0 || ::pipe(err) != 0) {
    // This instrument fails alone; the others go on.
    c.error = std::string("cannot make a pipe: ") + std::strerror(errno);
    for (int fd : {out[0], out[1], err[0], err[1]})
      if (fd >= 0) ::close(fd);
    c.ended = true;
    c.end = Now();
    return;
  }
  const int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  const pid_t parent = ::getpid();
  c.pid = ::fork();
  if (c.pid == 0) {
#if defined(__linux__)
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);  // a parent that dies does not leave it running
    if (::getppid() != parent) ::_exit(kFailed);  // it died before that took effect
#else
    (void)parent;
#endif
    ::dup2(null, 0);
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    for (int fd : {out[0], out[1], err[0], err[1]}) ::close(fd);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) ::signal(sig, SIG_DFL);
    ::execv(argv[0], argv.data());
    const char message[] = "zervon: cannot start the tool for an instrument\n";
    (void)!::write(2, message, sizeof message - 1);
    ::_exit(kFailed);
  }
  ::close(out[1]);
  ::close(err[1]);
  if (null >= 0) ::close(null);
  if (c.pid < 0) {
    ::close(out[0]);
    ::close(err[0]);
    c.ended = true;
    c.end = Now();
    c.error = std::string("cannot start a child process: ") + std::strerror(errno);
    return;
  }
  c.out = out[0];
  c.err = err[0];
  ::fcntl(c.out, F_SETFD, FD_CLOEXEC);
  ::fcntl(c.err, F_SETFD, FD_CLOEXEC);
}

// A lock file that still names a child that has ended is stale: a child
// ended by a signal in the middle of a burn cannot remove its own. The
// lock directory is looked through, as a burn may end on another node.
void RemoveLocksOf(pid_t pid) {
  for (int n = 0; n < 256; ++n) {
    const LockInfo lock = ReadLock(n);
    if (lock.present && lock.readable && lock.pid == pid && !lock.alive) ::unlink(LockPath(n).c_str());
  }
}

class Rack {
 public:
  Rack(const Options& options, Kind kind, bool csvOut) : options_(options), kind_(kind), csvOut_(csvOut) {
    tty_ = kind == Kind::kBurn && !g_quiet && isatty(2) == 1;
  }

  int Run(std::vector<Child>& children, const std::vector<std::vector<std::string>>& commands) {
    children_ = &children;
    struct sigaction action {};
    action.sa_handler = OnStop;
    sigemptyset(&action.sa_mask);
    struct sigaction oldInt, oldTerm, oldHup;
    sigaction(SIGINT, &action, &oldInt);
    sigaction(SIGTERM, &action, &oldTerm);
    sigaction(SIGHUP, &action, &oldHup);
    for (size_t i = 0; i < children.size(); ++i) Start(children[i], commands[i]);
    Draw(true);
    g_stop = 0;
    int forwarded = 0;
    for (;;) {
      // A reader that has gone (`| head`) ends a watch as Ctrl-C does.
      if (std::ferror(stdout) && !g_stop) g_stop = 1;
      if (g_stop > forwarded) {
        // Every child is told to stop and releases its port and lock; a
        // second Ctrl-C ends those that have not.
        for (Child& c : children)
          if (!c.ended && c.pid > 0) ::kill(c.pid, forwarded == 0 ? SIGTERM : SIGKILL);
        forwarded = g_stop;
      }
      std::vector<pollfd> polls;
      std::vector<std::pair<Child*, bool>> owners;  // the child, and whether standard output
      for (Child& c : children) {
        if (c.out >= 0) polls.push_back({c.out, POLLIN, 0}), owners.push_back({&c, true});
        if (c.err >= 0) polls.push_back({c.err, POLLIN, 0}), owners.push_back({&c, false});
      }
      if (polls.empty()) break;
      const int ready = ::poll(polls.data(), polls.size(), 200);
      if (ready < 0 && errno != EINTR) break;
      for (size_t i = 0; ready > 0 && i < polls.size(); ++i) {
        if (!polls[i].revents) continue;
        Child& c = *owners[i].first;
        const bool isOut = owners[i].second;
        char buffer[4096];
        const ssize_t n = ::read(polls[i].fd, buffer, sizeof buffer);
        if (n > 0) {
          (isOut ? c.outBuffer : c.errBuffer).append(buffer, static_cast<size_t>(n));
          Lines(c, isOut, false);
        } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
          Lines(c, isOut, true);
          ::close(polls[i].fd);
          (isOut ? c.out : c.err) = -1;
          if (c.out < 0 && c.err < 0) Reap(c);
        }
      }
      Draw(false);
    }
    for (Child& c : children)
      if (!c.ended) Reap(c);
    Draw(true);
    sigaction(SIGINT, &oldInt, nullptr);
    sigaction(SIGTERM, &oldTerm, nullptr);
    sigaction(SIGHUP, &oldHup, nullptr);
    return Finish();
  }

 private:
  void Reap(Child& c) {
    int status = 0;
    while (::waitpid(c.pid, &status, 0) < 0 && errno == EINTR) {
    }
    c.ended = true;
    c.end = Now();
    if (WIFEXITED(status)) {
      c.code = WEXITSTATUS(status);
    } else {
      c.code = -1;
      const std::string how = g_stop ? std::string("stopped")
                                     : "ended by signal " + std::to_string(WIFSIGNALED(status) ? WTERMSIG(status) : 0);
      c.error = kind_ == Kind::kBurn ? how + " in the middle of the burn" : how;
    }
    RemoveLocksOf(c.pid);
    if (kind_ == Kind::kBurn) Changed(c);
  }

  // Takes the whole lines (and at the end what is left) of a child's output.
  void Lines(Child& c, bool isOut, bool atEnd) {
    std::string& buffer = isOut ? c.outBuffer : c.errBuffer;
    size_t start = 0;
    for (size_t nl; (nl = buffer.find('\n', start)) != std::string::npos; start = nl + 1)
      Line(c, isOut, buffer.substr(start, nl - start));
    buffer.erase(0, start);
    if (atEnd && !buffer.empty()) Line(c, isOut, buffer), buffer.clear();
  }

  void Line(Child& c, bool isOut, const std::string& line) {
    if (!isOut) {
      int stage = 0, value = 0;
      if (kind_ == Kind::kBurn && std::sscanf(line.c_str(), "@progress %d %d", &stage, &value) == 2) {
        c.stage = stage, c.percent = value;
        Changed(c);
        return;
      }
      // A failure line: "zervon: TEXT", or with --json an object.
      if (!line.empty() && line[0] == '{') {
        const std::string message = JsonField(line, "error");
        if (!message.empty()) c.error = message;
      } else if (line.compare(0, 8, "zervon: ") == 0) {
        c.error = line.substr(8);
      } else {
        c.error = line;
      }
      if (kind_ == Kind::kInfo || kind_ == Kind::kBurn) {
        // Failures show in the table; notes pass on.
        if (!line.empty() && line[0] != '{') notes_.push_back(Prefixed(c, line));
        return;
      }
      Emit(stderr, !line.empty() && line[0] == '{' ? WithNode(c, line) : Prefixed(c, line));
      return;
    }
    if (kind_ == Kind::kInfo) {
      c.output += line;
      return;
    }
    if (kind_ == Kind::kBurn) {
      c.output += line;
      return;
    }
    if (options_.json && !line.empty() && line[0] == '{') {
      Emit(stdout, WithNode(c, line));
    } else if (csvOut_) {
      if (line.compare(0, 5, "time,") == 0) {
        if (!csvHeader_) Emit(stdout, "node,serial," + line);
        csvHeader_ = true;
      } else {
        Emit(stdout, c.path + "," + c.serial + "," + line);
      }
    } else {
      Emit(stdout, Pad(c.path, 14) + Pad(c.serial, 16) + line);
    }
  }

  std::string Prefixed(const Child& c, const std::string& line) const {
    const std::string who = c.path + " (" + c.serial + ")";
    if (line.compare(0, 8, "zervon: ") == 0) return "zervon: " + who + ": " + line.substr(8);
    return who + ": " + line;
  }

  static void Emit(FILE* stream, const std::string& line) {
    std::fprintf(stream, "%s\n", line.c_str());
    std::fflush(stream);
  }

  std::string ProgressLine(const Child& c) const {
    std::string state;
    if (c.ended) state = c.code == 0 ? "done" : "failed";
    else if (c.stage < 0) state = "starting";
    else state = c.stage <= 5 ? kStageNames[c.stage] : "working";
    char percent[16] = "";
    if (!c.ended && c.stage >= 0) std::snprintf(percent, sizeof percent, "%3d%%", c.percent);
    return Pad(c.path, 14) + Pad(c.serial, 16) + Pad(state, 11) + percent;
  }

  // A burn's progress changed: a plain line at each new stage and quarter,
  // or on a terminal the block redrawn.
  void Changed(Child& c) {
    dirty_ = true;
    if (g_quiet || tty_) return;
    const int step = c.ended ? 100 : (c.stage + 1) * 10 + c.percent / 25;
    if (step == c.plainStep) return;
    c.plainStep = step;
    if (!c.ended) Emit(stderr, ProgressLine(c));
  }

  void Draw(bool force) {
    if (kind_ != Kind::kBurn) {
      for (const std::string& note : notes_) Emit(stderr, note);
      notes_.clear();
      return;
    }
    if (!tty_) {
      for (const std::string& note : notes_) Emit(stderr, note);
      notes_.clear();
      return;
    }
    const double now = Now();
    if (!force && notes_.empty() && (!dirty_ || now - lastDraw_ < 0.1)) return;
    lastDraw_ = now;
    dirty_ = false;
    std::string text;
    if (drawn_ > 0) text += "\x1b[" + std::to_string(drawn_) + "A\r";
    for (const std::string& note : notes_) text += note + "\x1b[K\n";
    notes_.clear();
    const int columns = TerminalColumns(2) - 1;
    for (const Child& c : *children_) {
      std::string line = ProgressLine(c);
      if (columns > 0 && static_cast<int>(line.size()) > columns) line.resize(columns);
      text += line + "\x1b[K\n";
    }
    drawn_ = static_cast<int>(children_->size());
    std::fputs(text.c_str(), stderr);
    std::fflush(stderr);
  }

  int Finish() {
    std::vector<Child>& children = *children_;
    int failed = 0, code = 0;
    for (const Child& c : children) {
      if (c.code == 0) continue;
      const int own = c.code > 0 ? c.code : kFailed;
      code = failed == 0 || code == own ? own : kFailed;
      ++failed;
    }
    if (kind_ == Kind::kInfo) PrintInfo();
    if (kind_ == Kind::kBurn) PrintSummary();
    if (failed > 0)
      Fail(code, std::to_string(failed) + " of " + std::to_string(children.size()) + " instrument" +
                     (children.size() == 1 ? "" : "s") + " failed");
    return kOk;
  }

  static std::string ErrorText(const Child& c) { return c.error.empty() ? "failed" : c.error; }

  void PrintInfo() {
    const std::vector<Child>& children = *children_;
    if (options_.json) {
      std::string list = "[";
      for (size_t i = 0; i < children.size(); ++i) {
        const Child& c = children[i];
        std::string object;
        if (c.code == 0 && !c.output.empty() && c.output[0] == '{')
          object = WithNode(c, c.output);
        else
          object = Json().Add("node", c.path).Add("serial", c.serial).Add("error", ErrorText(c))
                       .Add("code", c.code > 0 ? c.code : static_cast<int>(kFailed)).Text();
        list += (i ? "," : "") + object;
      }
      Emit(stdout, list + "]");
      return;
    }
    Emit(stdout, Pad("NODE", 14) + Pad("SERIAL", 16) + Pad("MODEL", 10) + Pad("HW", 4) + Pad("FIRMWARE", 9) + "LIBRARY");
    for (const Child& c : children) {
      if (c.code == 0 && !c.output.empty()) {
        const std::string serial = JsonField(c.output, "serial");
        Emit(stdout, Pad(c.path, 14) + Pad(serial.empty() ? c.serial : serial, 16) +
                         Pad(JsonField(c.output, "model"), 10) + Pad(JsonField(c.output, "hw_code"), 4) +
                         Pad(JsonField(c.output, "firmware"), 9) + JsonField(c.output, "library"));
      } else {
        Emit(stdout, Pad(c.path, 14) + Pad(c.serial, 16) + "failed: " + ErrorText(c));
      }
    }
  }

  void PrintSummary() {
    const std::vector<Child>& children = *children_;
    if (options_.json) {
      std::string list = "[";
      for (size_t i = 0; i < children.size(); ++i) {
        const Child& c = children[i];
        Json json;
        json.Add("node", c.path).Add("serial", c.serial).Add("result", c.code == 0 ? "ok" : "failed");
        if (c.code != 0) json.Add("error", ErrorText(c)).Add("code", c.code > 0 ? c.code : static_cast<int>(kFailed));
        json.Add("seconds", c.end - c.start);
        list += (i ? "," : "") + json.Text();
      }
      Emit(stdout, list + "]");
      return;
    }
    Emit(stdout, Pad("NODE", 14) + Pad("SERIAL", 16) + Pad("RESULT", 7) + Pad("TIME", 8) + "DETAIL");
    for (const Child& c : children) {
      char time[32];
      std::snprintf(time, sizeof time, "%.1f s", c.end - c.start);
      Emit(stdout, Pad(c.path, 14) + Pad(c.serial, 16) + Pad(c.code == 0 ? "ok" : "failed", 7) + Pad(time, 8) +
                       (c.code == 0 ? c.output : ErrorText(c)));
    }
  }

  const Options& options_;
  Kind kind_;
  bool csvOut_;
  bool tty_ = false;
  bool csvHeader_ = false;
  std::vector<Child>* children_ = nullptr;
  std::vector<std::string> notes_;
  int drawn_ = 0;
  double lastDraw_ = -1;
  bool dirty_ = false;  // a burn's progress changed since the last drawing
};

}  // namespace

int RunRack(const Options& options, const std::string& command, const std::vector<std::string>& words,
            const char* argv0) {
  if (options.all && !options.ports.empty()) Fail(kUsage, "--all and --ports exclude each other");
  if (!options.port.empty()) Fail(kUsage, "--port names one instrument; --all and --ports run on several");
  bool csvOut = false;
  const Kind kind = CheckCommand(command, words, &csvOut);

  // The instruments: for --all every node that answers as one, found the
  // way list finds them; for --ports the nodes named. Each is looked at for
  // its serial number, except a port another process holds.
  std::vector<Child> children;
  const std::vector<int> nodes = options.all ? PresentNodes() : options.ports;
  for (int n : nodes) {
    std::string state;
    const Probe probe = LookAtNode(n, &state);
    if (options.all && !probe.Instrument()) {
      Note(NodePath(n) + ": " + state + "; left out");
      continue;
    }
    Child c;
    c.node = n;
    c.path = NodePath(n);
    c.serial = probe.Instrument() ? probe.serial : "-";
    children.push_back(c);
  }
  if (children.empty()) Fail(kNoDevice, "no instrument found (see 'zervon list')");

  const std::string self = SelfPath(argv0);
  std::vector<std::vector<std::string>> commands;
  for (const Child& c : children) {
    std::vector<std::string> argv = {self, "--port", c.path, "--timeout", std::to_string(options.timeoutMs)};
    if (g_quiet) argv.push_back("--quiet");
    if (g_verbose) argv.push_back("--verbose");
    if (options.json || kind == Kind::kInfo) argv.push_back("--json");
    if (kind == Kind::kBurn) argv.push_back("--rack-child");
    argv.push_back(command);
    argv.insert(argv.end(), words.begin(), words.end());
    commands.push_back(argv);
  }
  Rack rack(options, kind, csvOut);
  return rack.Run(children, commands);
}

}  // namespace cli
