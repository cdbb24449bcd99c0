// Runs the zervon tool as a real process and collects what it printed and
// how it ended.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#ifndef ZERVON_CLI_PATH
#error "ZERVON_CLI_PATH names the tool under test"
#endif
#ifndef ZERVON_CLI_LAUNCHER
#define ZERVON_CLI_LAUNCHER ""
#endif

struct CliResult {
  int code = -1;  // exit code; -1 when it was killed or did not end in time
  std::string out, err;
  // The lines of standard error.
  std::vector<std::string> ErrLines() const {
    std::vector<std::string> lines;
    std::istringstream in(err);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
};

inline std::string SlurpFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// The command line that runs the tool: on a cross build the emulator that
// runs target programs comes first (ZERVON_CLI_LAUNCHER, '|'-separated).
inline std::vector<std::string> CliCommand(const std::vector<std::string>& args) {
  std::vector<std::string> words;
  const std::string launcher = ZERVON_CLI_LAUNCHER;
  size_t start = 0;
  while (start < launcher.size()) {
    size_t end = launcher.find('|', start);
    if (end == std::string::npos) end = launcher.size();
    if (end > start) words.push_back(launcher.substr(start, end - start));
    start = end + 1;
  }
  words.push_back(ZERVON_CLI_PATH);
  words.insert(words.end(), args.begin(), args.end());
  return words;
}

// Starts the tool with `args`, standard input from /dev/null, standard output
// to `out` (or /dev/null for -1) and standard error to `err` (kept for -1).
// The command line is built before the fork: the child of a threaded process
// may only make async-signal-safe calls before exec (an allocation there can
// wait for ever on a lock another thread held at the fork, as
// AddressSanitizer's allocator did).
// With `uid` >= 0 the tool runs as that user (and group of the same number);
// exit code 126 when it cannot be changed. `in` >= 0 is its standard input.
inline pid_t SpawnCli(const std::vector<std::string>& args, int out, int err, int uid = -1, int in = -1) {
  std::vector<std::string> words = CliCommand(args);
  std::vector<char*> argv;
  for (std::string& a : words) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    if (uid >= 0 && (setgid(uid) != 0 || setuid(uid) != 0)) _exit(126);
    dup2(in >= 0 ? in : open("/dev/null", O_RDONLY), 0);
    dup2(out >= 0 ? out : open("/dev/null", O_WRONLY), 1);
    if (err >= 0) dup2(err, 2);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  return child;
}

// Runs the tool with `args`; standard input is /dev/null, standard output
// and error go to files (never a terminal, so progress comes as plain
// lines). A run that takes longer than `timeoutMs` is killed.
inline CliResult RunCli(const std::vector<std::string>& args, long timeoutMs = 60000, int uid = -1,
                        const std::string& input = "") {
  char outPath[] = "/tmp/zervon-cli-out.XXXXXX";
  char errPath[] = "/tmp/zervon-cli-err.XXXXXX";
  const int out = mkstemp(outPath);
  const int err = mkstemp(errPath);
  CliResult result;
  if (out < 0 || err < 0) return result;
  const int in = input.empty() ? -1 : open(input.c_str(), O_RDONLY);
  const pid_t child = SpawnCli(args, out, err, uid, in);
  if (in >= 0) close(in);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  int status = 0;
  for (;;) {
    const pid_t done = waitpid(child, &status, WNOHANG);
    if (done == child) break;
    if (std::chrono::steady_clock::now() > deadline) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      status = -1;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (status != -1 && WIFEXITED(status)) result.code = WEXITSTATUS(status);
  close(out);
  close(err);
  result.out = SlurpFile(outPath);
  result.err = SlurpFile(errPath);
  unlink(outPath);
  unlink(errPath);
  return result;
}

// Runs the tool with standard output (`fd` 1) or standard error (`fd` 2) on
// a pseudo-terminal `columns` wide and 24 rows high; the other goes to a
// file. `out` of the result holds what the terminal got.
inline CliResult RunCliOnTerminal(const std::vector<std::string>& args, int fd, int columns, long timeoutMs = 60000) {
  CliResult result;
  int master = -1, slave = -1;
  winsize size{};
  size.ws_col = static_cast<unsigned short>(columns);
  size.ws_row = 24;
  if (openpty(&master, &slave, nullptr, nullptr, &size) != 0) return result;
  char otherPath[] = "/tmp/zervon-cli-other.XXXXXX";
  const int other = mkstemp(otherPath);
  const pid_t child = fd == 1 ? SpawnCli(args, slave, other) : SpawnCli(args, other, slave);
  close(slave);
  close(other);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  int status = 0;
  bool ended = false;
  for (;;) {
    pollfd p = {master, POLLIN, 0};
    if (poll(&p, 1, 20) == 1) {
      char buffer[4096];
      const ssize_t n = read(master, buffer, sizeof buffer);
      if (n > 0) {
        result.out.append(buffer, static_cast<size_t>(n));
        continue;
      }
      if (ended) break;  // the terminal is closed and drained
    } else if (ended) {
      break;
    }
    if (!ended && waitpid(child, &status, WNOHANG) == child) {
      ended = true;
      if (WIFEXITED(status)) result.code = WEXITSTATUS(status);
    }
    if (!ended && std::chrono::steady_clock::now() > deadline) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      break;
    }
  }
  close(master);
  result.err = SlurpFile(otherPath);
  unlink(otherPath);
  return result;
}

// Each line a terminal shows of `text` (split at carriage returns and
// newlines), without its escape sequences, in characters (UTF-8 counted
// once per character).
inline std::vector<size_t> ShownWidths(const std::string& text) {
  std::vector<size_t> widths;
  size_t width = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '\r' || c == '\n') {
      widths.push_back(width);
      width = 0;
    } else if (c == 0x1b && i + 1 < text.size() && text[i + 1] == '[') {
      i += 2;
      while (i < text.size() && !(text[i] >= 0x40 && text[i] <= 0x7e)) ++i;
    } else if ((c & 0xC0) != 0x80) {
      ++width;
    }
  }
  widths.push_back(width);
  return widths;
}

// Starts the tool with `args` in the background, its output thrown away,
// and returns its process ID (for runs that end by a signal).
inline pid_t StartCli(const std::vector<std::string>& args) { return SpawnCli(args, -1, -1); }

// The tool in the background with its standard error kept; killed at the
// end unless it has ended.
struct BackgroundCli {
  explicit BackgroundCli(const std::vector<std::string>& args) {
    char path[] = "/tmp/zervon-cli-err.XXXXXX";
    const int err = mkstemp(path);
    errPath = path;
    pid = SpawnCli(args, -1, err);
    close(err);
  }
  ~BackgroundCli() {
    if (pid > 0) kill(pid, SIGKILL), waitpid(pid, nullptr, 0);
    unlink(errPath.c_str());
  }
  std::string Err() const { return SlurpFile(errPath); }
  // Its exit code once it has ended (within `ms`); -1 when it has not, or
  // was ended by a signal.
  int Wait(long ms) {
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (waitpid(pid, &status, WNOHANG) != pid) {
      if (std::chrono::steady_clock::now() > deadline) return -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  // Waits up to `ms` until standard error holds `text`.
  bool WaitForErr(const std::string& text, long ms) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (Err().find(text) == std::string::npos) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
  }
  pid_t pid;
  std::string errPath;
};

inline std::ostream& operator<<(std::ostream& os, const CliResult& r) {
  return os << "exit " << r.code << "\n--- stdout\n" << r.out << "--- stderr\n" << r.err;
}

inline void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream f(path, std::ios::binary);
  f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline std::vector<uint8_t> ReadBytes(const std::string& path) {
  const std::string text = SlurpFile(path);
  return std::vector<uint8_t>(text.begin(), text.end());
}

inline std::vector<uint8_t> Pattern(size_t length, unsigned seed) {
  std::vector<uint8_t> bytes(length);
  unsigned x = seed * 2654435761u + 1;
  for (auto& b : bytes) {
    x = x * 1103515245u + 12345u;
    b = static_cast<uint8_t>(x >> 16);
  }
  return bytes;
}
