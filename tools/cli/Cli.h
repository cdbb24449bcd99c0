// zervon, the command-line tool: the pieces its source files share.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace cli {

// Exit codes (documented in the help text and in README.md).
enum Exit {
  kOk = 0,          // done
  kFailed = 1,      // the instrument refused or failed the operation, a verify
                    // found a difference, doctor found a problem
  kUsage = 2,       // bad command line or input; nothing was sent
  kNoDevice = 3,    // no instrument within the time-out, or the port does not answer as one
  kBusy = 4,        // the port is held by another process
  kRefused = 5,     // refused for safety (a burn on a low battery without --force)
};

// Thrown to end the program with one line on standard error.
struct Error {
  int code;
  std::string message;
};
[[noreturn]] void Fail(int code, const std::string& message);

struct Options {
  std::string port;          // --port PATH, empty: search
  unsigned timeoutMs = 5000;  // --timeout MS
  bool json = false;          // --json
  bool all = false;           // --all: every instrument found, one child process each
  std::vector<int> ports;     // --ports N,M,...: the /dev/ttyACM<N> nodes, one child process each
};

// -q/--quiet: no progress and no notes on standard error (failures still
// print their line). -v/--verbose: the wire trace (see Trace).
extern bool g_quiet;
extern bool g_verbose;
// Set in a child of --all/--ports (the hidden --rack-child): a burn reports
// its stages as "@progress STAGE PERCENT" lines on standard error, for the
// parent's live line, in place of its own progress.
extern bool g_rackChild;
// Set while a command sends its data to standard output ('-' as its file):
// every message then goes to standard error, the results included.
extern bool g_dataOnStdout;
FILE* Out();  // where results go: standard output, or standard error as above
// One line "zervon: TEXT" on standard error, unless --quiet.
void Note(const std::string& text);
// The wire trace of -v: one line on standard error per chunk of bytes that
// passes, with the wall-clock time, the direction ("> " to the instrument,
// "< " from it) and the bytes as hex.
void Trace(bool toInstrument, const uint8_t* bytes, size_t length);
// The local wall-clock time as ISO 8601 with milliseconds and the offset
// from UTC ("2026-12-09T22:31:05.123+01:00").
std::string IsoTime();
// Columns of the terminal on `fd` (TIOCGWINSZ), else $COLUMNS, else 80.
int TerminalColumns(int fd);

// ---- argument parsing ----
// The arguments of one command: positional words and options, taken out as
// the command asks for them; whatever is left over is an error.
class Args {
 public:
  Args(std::vector<std::string> words, std::string command);
  bool Flag(const std::string& name);                      // --name present
  bool Value(const std::string& name, std::string* value);  // --name VALUE or --name=VALUE
  std::string Next(const char* what);                       // next positional, required
  bool HasNext() const;
  std::vector<std::string> Rest();                          // all remaining positionals
  void Done();                                              // nothing left over
  const std::string& Command() const { return command_; }

 private:
  std::vector<std::string> words_;
  std::string command_;
};

long ParseNumber(const std::string& text, long min, long max, const char* what);
double ParseRate(const std::string& text);
std::vector<uint8_t> ParseHex(const std::vector<std::string>& words);
void ParseVersion(const std::string& text, int* mainVersion, int* subVersion);
// "-" is standard input for ReadFile and standard output for WriteFile.
std::vector<uint8_t> ReadFile(const std::string& path);
void CheckWritable(const std::string& path);
void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes);

// ---- output ----
std::string Hex(const uint8_t* bytes, size_t length, const char* separator = " ");
std::string Printable(const std::string& text);  // control and high bytes as \xNN
std::string JsonString(const std::string& text);
// A JSON object built member by member, printed as one line.
class Json {
 public:
  Json& Add(const std::string& key, const std::string& text);
  Json& Add(const std::string& key, const char* text) { return Add(key, std::string(text)); }
  Json& Add(const std::string& key, long number);
  Json& Add(const std::string& key, int number) { return Add(key, static_cast<long>(number)); }
  Json& Add(const std::string& key, unsigned number) { return Add(key, static_cast<long>(number)); }
  Json& Add(const std::string& key, double number);
  Json& Add(const std::string& key, bool flag);
  Json& AddRaw(const std::string& key, const std::string& json);
  std::string Text() const { return "{" + body_ + "}"; }
  void Print() const;

 private:
  void Key(const std::string& key);
  std::string body_;
};

// Progress of a transfer on standard error: a bar redrawn in place on a
// terminal (fitted to its width), a few plain lines otherwise; nothing with
// --quiet.
class Progress {
 public:
  // `passes` names the passes a transfer reports one after the other
  // ("erasing", "writing", "verifying" for a write); reports beyond them are
  // not shown. With `preparing`, a pause of more than half a second before a
  // pass (or after the last, until Finish) shows as a "preparing" stage with
  // its elapsed time: the instrument's port settles before flash transfers.
  explicit Progress(std::vector<std::string> passes, bool preparing = false);
  ~Progress();
  void Bytes(unsigned done, unsigned total);  // flash-style reports
  void Stage(int stage, int value);           // burn-style reports (percent)
  void Finish();

 private:
  void Show(const std::string& label, double fraction, const std::string& amount, bool final, bool started);
  void EndPreparing();
  void Tick();
  std::vector<std::string> passes_;
  size_t pass_ = 0;
  unsigned lastDone_ = 0, lastTotal_ = 0;
  bool started_ = false, open_ = false, tty_, quiet_;
  int lastStep_ = -1;
  int lastStage_ = -1;
  double passStart_ = 0, lastDraw_ = -1;
  // Smoothed rate (bytes per second) and the time left shown last.
  double rate_ = 0, rateAt_ = 0, shownLeft_ = -1, shownAt_ = 0;
  unsigned rateDone_ = 0;
  // The "preparing" stage: waiting since `idleSince_`; `preparingShown_`
  // once it has been shown.
  bool preparing_ = false, waiting_ = false, preparingShown_ = false, finished_ = false;
  double idleSince_ = 0;
  struct Ticker;
  Ticker* ticker_ = nullptr;
};
double Now();  // seconds, monotonic

// The lines of a chart of `values` (the newest last) `columns` wide, the
// last column spare, and `rows` high: a heading with the newest value and
// min, max and mean of the readings shown (and their number), then the plot of the newest
// readings that fit, one column each, in block characters (`unicode`) or
// '#'.
std::vector<std::string> RenderChart(const std::vector<double>& values, int columns, int rows, bool unicode);
// A chart drawn on standard output (a terminal) and redrawn in place.
class Chart {
 public:
  Chart();
  ~Chart();
  void Add(double value);
  void Draw();
  void End();  // shows the cursor again

 private:
  std::vector<double> values_;
  bool unicode_ = false, ended_ = false;
  int rows_ = 0, drawn_ = 0;
};

// ---- the connection ----
// Connects as the options say: with --port the tool opens the node itself
// and hands it over (no search); otherwise the library searches every
// /dev/ttyACM<N>. `viaLibrary` makes the library hold the port even with
// --port (a burn needs that: the instrument restarts and is found again by
// its node), which works only for a /dev/ttyACM<N> node. Fails with
// kNoDevice or kBusy. Released by Disconnect() (also at exit).
void Connect(const Options& options, bool viaLibrary = false);
void Disconnect();
std::string ConnectedPort();
// With -v the tool holds the port itself (searching on its own when no
// --port is given) so that the trace sees every exchange; a burn, which the
// library must hold, is not traced.
// Searching: the library holds the connection and reports, through its
// callback, when the instrument is lost and when it is back.
bool Searching();
// Waits up to `ms` until the library reports the instrument `connected` (or
// lost); true when that is the state.
bool WaitConnection(bool connected, unsigned ms);
// With --port: the port has been hung up or its node is gone.
bool PortGone();

// ---- ports and locks ----
std::string NodePath(int n);
std::string LockPath(int n);
// The N of the /dev/ttyACM<N> node that `path` is, links to, or is linked
// to from; -1 when none.
int NodeNumber(const std::string& path);
std::vector<int> PresentNodes();  // N of every existing /dev/ttyACM<N>, ascending
struct LockInfo {
  bool present = false;
  bool readable = false;  // 4 bytes could be read
  long size = 0;
  int pid = 0;
  bool alive = false;
  std::string process;  // /proc/PID/comm
};
LockInfo ReadLock(int n);
std::string ProcessName(int pid);
std::string UucpLockPath(int n);  // "/var/lock/LCK..ttyACM<N>"
// Another program that holds a port, and how.
struct Holder {
  int pid = 0;          // 0 when it could not be found
  std::string process;  // /proc/PID/comm
  std::string through;  // "through /var/lock/LCK..ttyACM0", ...
  std::string Text() const;  // "process 12 (picocom) through ..."
};
// Opens a port for the tool's own use: read/write, non-blocking, raw at
// 115200, with an exclusive lock (flock) and the terminal's exclusive mode
// (TIOCEXCL) held until CloseRaw. A port that another program holds (a live
// UUCP lock file, its flock, or its exclusive mode) is refused with errno
// EBUSY and `holder` filled; stale UUCP lock files are ignored and left in
// place. -1 with errno set on failure.
int OpenRaw(const std::string& path, Holder* holder);
void CloseRaw(int fd);  // drops the exclusive mode and the lock, closes
// Whether another process holds node N: its lock file of the library, a
// UUCP lock, a flock or the exclusive mode. Opens the node for a moment to
// find out; sends nothing.
bool HeldByOther(int n, Holder* holder);
// What a port answered when it was handed over: the record block the
// library read into its cache.
struct Probe {
  bool answered = false;  // some bytes of a reply arrived
  std::string block;      // the cached record block, 64 bytes
  std::string marker;     // bytes 5..7 of it
  bool whole = false;     // a second read, whole, brought the same record
  std::string serial;
  int fwMain = 0, fwSub = 0, hwCode = 0;
  bool Instrument() const { return marker == "VRX" && whole; }
};
Probe ProbeHandedOver();
// Opens `path`, hands it over until the block read carries the product
// marker (up to `timeoutMs`, at least one try), takes it back and closes it.
// `error` gets errno when the open fails (0 otherwise), `holder` the holder
// of a busy port. Sends nothing but record-block reads.
Probe ProbePort(const std::string& path, unsigned timeoutMs, int* error, Holder* holder);
// Looks at node N as list does (a port another process holds is not
// touched): what it answered, and `state`, list's text for it.
Probe LookAtNode(int n, std::string* state);

// ---- a rack ----
// Runs `command` with `words` on every instrument of --all or --ports, one
// child process per instrument (this program, started again with --port);
// `argv0` names this program where the system cannot. Refuses commands a
// rack does not run. Fails when any instrument failed, saying how many.
int RunRack(const Options& options, const std::string& command, const std::vector<std::string>& words,
            const char* argv0);

// ---- commands ----
int CmdList(const Options&, Args&);
int CmdDoctor(const Options&, Args&);
int CmdInfo(const Options&, Args&);
int CmdRead(const Options&, Args&);
int CmdSet(const Options&, Args&);
int CmdRaw(const Options&, Args&);
int CmdMfg(const Options&, Args&);
int CmdCalibrate(const Options&, Args&);
int CmdFlash(const Options&, Args&);
int CmdMemMap(const Options&, Args&);
int CmdBurn(const Options&, Args&);

extern volatile int g_interrupted;  // set by SIGINT / SIGTERM while a command watches

}  // namespace cli
