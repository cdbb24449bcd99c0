// Output: hexadecimal dumps, one-line JSON objects and the progress display.
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "Cli.h"

namespace cli {

std::string Hex(const uint8_t* bytes, size_t length, const char* separator) {
  std::string text;
  char pair[4];
  for (size_t i = 0; i < length; ++i) {
    if (i) text += separator;
    std::snprintf(pair, sizeof pair, "%02x", bytes[i]);
    text += pair;
  }
  return text;
}

bool g_quiet = false;
bool g_verbose = false;
bool g_rackChild = false;
bool g_dataOnStdout = false;

FILE* Out() { return g_dataOnStdout ? stderr : stdout; }

void Note(const std::string& text) {
  if (!g_quiet) std::fprintf(stderr, "zervon: %s\n", text.c_str());
}

std::string IsoTime() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  tm local;
  localtime_r(&ts.tv_sec, &local);
  char date[32], zone[8], text[64];
  std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &local);
  std::strftime(zone, sizeof zone, "%z", &local);  // +0100
  std::snprintf(text, sizeof text, "%s.%03ld%.3s:%s", date, ts.tv_nsec / 1000000, zone, zone + 3);
  return text;
}

void Trace(bool toInstrument, const uint8_t* bytes, size_t length) {
  // One write, so that trace lines of two threads never mix.
  const std::string line = IsoTime().substr(11, 12) + (toInstrument ? " > " : " < ") + Hex(bytes, length) + "\n";
  std::fputs(line.c_str(), stderr);
}

int TerminalColumns(int fd) {
  winsize size{};
  if (::ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  if (const char* columns = std::getenv("COLUMNS")) {
    const int n = std::atoi(columns);
    if (n > 0) return n;
  }
  return 80;
}

// Control and high bytes as \xNN, and the backslash doubled, so that what is
// shown says unambiguously which bytes came.
std::string Printable(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c >= 0x20 && c < 0x7f) {
      out += static_cast<char>(c);
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
      out += escaped;
    }
  }
  return out;
}

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c >= 0x7f) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

void Json::Key(const std::string& key) {
  if (!body_.empty()) body_ += ",";
  body_ += JsonString(key) + ":";
}
Json& Json::Add(const std::string& key, const std::string& text) {
  Key(key);
  body_ += JsonString(text);
  return *this;
}
Json& Json::Add(const std::string& key, long number) {
  Key(key);
  body_ += std::to_string(number);
  return *this;
}
Json& Json::Add(const std::string& key, double number) {
  Key(key);
  char text[64];
  std::snprintf(text, sizeof text, "%.6g", number);
  body_ += text;
  return *this;
}
Json& Json::Add(const std::string& key, bool flag) {
  Key(key);
  body_ += flag ? "true" : "false";
  return *this;
}
Json& Json::AddRaw(const std::string& key, const std::string& json) {
  Key(key);
  body_ += json;
  return *this;
}
void Json::Print() const {
  std::fprintf(Out(), "%s\n", Text().c_str());
  std::fflush(Out());
}

double Now() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

namespace {

std::string Size(double bytes) {
  char text[32];
  if (bytes < 1024)
    std::snprintf(text, sizeof text, "%.0f B", bytes);
  else if (bytes < 1024 * 1024)
    std::snprintf(text, sizeof text, "%.1f KiB", bytes / 1024);
  else
    std::snprintf(text, sizeof text, "%.2f MiB", bytes / (1024 * 1024));
  return text;
}

std::string Clock(double seconds) {
  char text[32];
  long s = static_cast<long>(seconds + 0.5);
  std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
  return text;
}

const char* const kStageNames[] = {"erasing", "writing", "verifying", "verified", "restarting", "finished"};

}  // namespace

// Redraws the "preparing" stage while the transfer waits (the transfer's own
// thread sits in the library then).
struct Progress::Ticker {
  std::mutex mutex;
  std::condition_variable wake;
  bool stop = false;
  std::thread thread;
};

Progress::Progress(std::vector<std::string> passes, bool preparing)
    : passes_(std::move(passes)), tty_(isatty(2) == 1), quiet_(g_quiet), preparing_(preparing && !g_quiet) {
  if (preparing_) {
    waiting_ = true;
    idleSince_ = Now();
    ticker_ = new Ticker;
    ticker_->thread = std::thread([this] {
      std::unique_lock<std::mutex> lock(ticker_->mutex);
      while (!ticker_->stop) {
        ticker_->wake.wait_for(lock, std::chrono::milliseconds(100));
        if (!ticker_->stop) Tick();
      }
    });
  }
}

Progress::~Progress() {
  Finish();
  if (ticker_) {
    {
      std::lock_guard<std::mutex> lock(ticker_->mutex);
      ticker_->stop = true;
    }
    ticker_->wake.notify_all();
    ticker_->thread.join();
    delete ticker_;
  }
}

// Runs on the ticker's thread with its mutex held.
void Progress::Tick() {
  if (!waiting_ || finished_) return;
  const double elapsed = Now() - idleSince_;
  if (elapsed < 0.5) return;
  char text[32];
  std::snprintf(text, sizeof text, "%.1f s", elapsed);
  if (tty_) {
    std::string line = std::string("preparing  ") + text;
    const int columns = TerminalColumns(2) - 1;
    if (static_cast<int>(line.size()) > columns) line.resize(columns > 0 ? columns : 0);
    std::fprintf(stderr, "\r%s\x1b[K", line.c_str());
    std::fflush(stderr);
  } else if (!preparingShown_) {
    std::fputs("preparing\n", stderr);
    std::fflush(stderr);
  }
  preparingShown_ = true;
}

// With the ticker's mutex held: the wait is over.
void Progress::EndPreparing() {
  if (waiting_ && preparingShown_ && !tty_) {
    std::fprintf(stderr, "preparing: %.1f s\n", Now() - idleSince_);
    std::fflush(stderr);
  }
  waiting_ = false;
  preparingShown_ = false;
}

void Progress::Bytes(unsigned done, unsigned total) {
  std::unique_lock<std::mutex> lock;
  if (ticker_) lock = std::unique_lock<std::mutex>(ticker_->mutex);
  if (quiet_ || finished_) return;
  // The library reports the end of a pass twice, (total, total) after the
  // last packet and once more as the pass ends: the repeat is no new pass.
  if (started_ && done == lastDone_ && total == lastTotal_) return;
  // A new pass starts after one that ended with (total, total), or when the
  // count goes back.
  if (started_ && ((lastDone_ == lastTotal_ && lastTotal_ != 0) || done < lastDone_ || total != lastTotal_)) {
    if (open_) Show(pass_ < passes_.size() ? passes_[pass_] : "working", 1.0, "", true, true);
    ++pass_;
    lastStep_ = -1;
    started_ = false;
  }
  // Passes beyond the named ones (the empty write and read-back of an
  // erase) are not shown.
  if (pass_ >= passes_.size()) return;
  EndPreparing();
  if (!started_) {
    started_ = true;
    passStart_ = Now();
    rate_ = 0, rateAt_ = passStart_, rateDone_ = done, shownLeft_ = -1;
  }
  lastDone_ = done;
  lastTotal_ = total;
  const std::string& label = passes_[pass_];
  const double fraction = total ? static_cast<double>(done) / total : 1.0;
  const double now = Now();
  const double elapsed = now - passStart_;
  // The rate, smoothed over about a second.
  if (now - rateAt_ >= 0.05 && done > rateDone_) {
    const double sample = (done - rateDone_) / (now - rateAt_);
    const double weight = 1.0 - std::exp(-(now - rateAt_) / 1.0);
    rate_ = rate_ == 0 ? sample : rate_ + weight * (sample - rate_);
    rateAt_ = now, rateDone_ = done;
  }
  std::string amount = Size(done) + "/" + Size(total);
  if (rate_ > 0 && done < total) {
    // The time left never rises by more than the time that passed since it
    // was shown last: a slow packet does not make it jump.
    double left = (total - done) / rate_;
    if (shownLeft_ >= 0 && left > shownLeft_ + (now - shownAt_)) left = shownLeft_ + (now - shownAt_);
    shownLeft_ = left, shownAt_ = now;
    amount += "  " + Size(rate_) + "/s  " + Clock(left) + " left";
  }
  if (done < total) {
    Show(label, fraction, amount, false, done > 0);
  } else {
    Show(label, 1.0, Size(total) + " in " + Clock(elapsed) + (elapsed > 0.05 ? "  " + Size(total / elapsed) + "/s" : ""),
         true, true);
    // Until the next pass (or the end) the instrument may keep the tool
    // waiting.
    waiting_ = preparing_, idleSince_ = Now(), preparingShown_ = false;
  }
}

void Progress::Stage(int stage, int value) {
  if (quiet_) return;
  const double now = Now();
  if (stage != lastStage_) {
    if (open_) std::fputc('\n', stderr), open_ = false;
    lastStage_ = stage;
    lastStep_ = -1;
    // Each stage has its own time left.
    passStart_ = now, started_ = true;
    rate_ = 0, rateAt_ = now, rateDone_ = static_cast<unsigned>(value < 0 ? 0 : value), shownLeft_ = -1;
  }
  const std::string label = stage >= 0 && stage <= 5 ? kStageNames[stage] : "working";
  if (stage == 5) {
    Finish();
    return;
  }
  const double fraction = value / 100.0;
  std::string amount;
  // Percent per second, smoothed as the byte rate of a transfer is; the
  // time left never rises by more than the time that passed.
  if (value > 0 && now - rateAt_ >= 0.05 && static_cast<unsigned>(value) > rateDone_) {
    const double sample = (value - rateDone_) / (now - rateAt_);
    const double weight = 1.0 - std::exp(-(now - rateAt_) / 1.0);
    rate_ = rate_ == 0 ? sample : rate_ + weight * (sample - rate_);
    rateAt_ = now, rateDone_ = static_cast<unsigned>(value);
  }
  if (value > 0 && value < 100 && rate_ > 0 && now - passStart_ > 0.5) {
    double left = (100 - value) / rate_;
    if (shownLeft_ >= 0 && left > shownLeft_ + (now - shownAt_)) left = shownLeft_ + (now - shownAt_);
    shownLeft_ = left, shownAt_ = now;
    amount = Clock(left) + " left";
  }
  Show(label, fraction, amount, stage >= 3, value > 0);
}

// One line of progress. `started`: some bytes are done (a plain line says
// 0 % only before the first).
void Progress::Show(const std::string& label, double fraction, const std::string& amount, bool final, bool started) {
  if (fraction < 0) fraction = 0;
  if (fraction > 1) fraction = 1;
  int percent = static_cast<int>(fraction * 100);
  if (started && percent == 0) percent = 1;
  if (!final && percent == 100) percent = 99;
  if (tty_) {
    const double now = Now();
    if (!final && now - lastDraw_ < 0.1) return;
    lastDraw_ = now;
    // The line fits the terminal as it is now, one column spare (a line
    // that fills the last column wraps on some terminals): the bar takes
    // what is left beside the label, the percentage and room for the
    // longest amount text, up to 30 columns, and goes when too little is
    // left; the text is cut last.
    const int columns = TerminalColumns(2) - 1;
    constexpr int kAmountRoom = 42;  // "14.7 KiB/29.3 KiB  276.1 KiB/s  0:00 left"
    char head[32];
    std::snprintf(head, sizeof head, "%-10s", label.c_str());
    char tail[16];
    std::snprintf(tail, sizeof tail, "%3d%%", percent);
    const std::string& text = amount;
    const int room = columns - static_cast<int>(std::string(head).size() + 1 + 2 + 1 + std::string(tail).size() + 2) - kAmountRoom;
    std::string line = head;
    if (room >= 10) {
      const int width = room > 30 ? 30 : room;
      const int filled = static_cast<int>(fraction * width);
      line += " [" + std::string(filled, '#') + std::string(width - filled, '.') + "] ";
    } else {
      line += " ";
    }
    line += tail;
    if (!text.empty()) line += "  " + text;
    if (static_cast<int>(line.size()) > columns) line.resize(columns > 0 ? columns : 0);
    // Back to the start of the line, the new text, and the rest of the old
    // one cleared.
    std::fprintf(stderr, "\r%s\x1b[K", line.c_str());
    open_ = true;
    if (final) {
      std::fputc('\n', stderr);
      open_ = false;
    }
  } else {
    // Plain lines: at every quarter and at the end of a pass.
    const int step = final ? 4 : percent / 25;
    if (step == lastStep_) return;
    lastStep_ = step;
    std::string line = label + ": " + (percent < 10 ? "  " : percent < 100 ? " " : "") + std::to_string(percent) + "%";
    if (!amount.empty()) line += "  " + amount;
    std::fprintf(stderr, "%s\n", line.c_str());
  }
  std::fflush(stderr);
}

void Progress::Finish() {
  std::unique_lock<std::mutex> lock;
  if (ticker_) lock = std::unique_lock<std::mutex>(ticker_->mutex);
  if (finished_) return;
  const bool preparingOpen = tty_ && waiting_ && preparingShown_;
  EndPreparing();
  if (preparingOpen) std::fputs("\r\x1b[K", stderr);  // a "preparing" line goes
  if (open_) {
    std::fputc('\n', stderr);
    open_ = false;
  }
  finished_ = true;
  std::fflush(stderr);
}

}  // namespace cli
