// Output: hexadecimal dumps, one-line JSON objects and the progress display.
#include <time.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>

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

std::string Printable(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (c >= 0x20 && c < 0x7f) {
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
  std::printf("%s\n", Text().c_str());
  std::fflush(stdout);
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

Progress::Progress(std::vector<std::string> passes) : passes_(std::move(passes)), tty_(isatty(2) == 1) {}

void Progress::Bytes(unsigned done, unsigned total) {
  // The library reports the end of a pass twice, (total, total) after the
  // last packet and once more as the pass ends: the repeat is no new pass.
  if (started_ && done == lastDone_ && total == lastTotal_) return;
  // A new pass starts after one that ended with (total, total), or when the
  // count goes back.
  if (started_ && ((lastDone_ == lastTotal_ && lastTotal_ != 0) || done < lastDone_ || total != lastTotal_)) {
    if (open_) Show(pass_ < passes_.size() ? passes_[pass_] : "working", 1.0, "", true);
    ++pass_;
    lastStep_ = -1;
    started_ = false;
  }
  if (!started_) {
    started_ = true;
    passStart_ = Now();
  }
  lastDone_ = done;
  lastTotal_ = total;
  const std::string label = pass_ < passes_.size() ? passes_[pass_] : "working";
  const double fraction = total ? static_cast<double>(done) / total : 1.0;
  const double elapsed = Now() - passStart_;
  std::string amount = Size(done) + "/" + Size(total);
  if (elapsed > 0.05 && done > 0) {
    const double rate = done / elapsed;
    amount += "  " + Size(rate) + "/s";
    if (done < total) amount += "  " + Clock((total - done) / rate) + " left";
  }
  if (done < total) Show(label, fraction, amount, false);
  else Show(label, 1.0, Size(total) + " in " + Clock(elapsed) + (elapsed > 0.05 ? "  " + Size(total / elapsed) + "/s" : ""), true);
}

void Progress::Stage(int stage, int value) {
  if (stage != lastStage_) {
    if (open_) std::fputc('\n', stderr), open_ = false;
    lastStage_ = stage;
    lastStep_ = -1;
    if (!started_) passStart_ = Now(), started_ = true;
  }
  const std::string label = stage >= 0 && stage <= 5 ? kStageNames[stage] : "working";
  if (stage == 5) {
    Finish();
    return;
  }
  const double fraction = value / 100.0;
  std::string amount;
  const double elapsed = Now() - passStart_;
  if (value > 0 && value < 100 && elapsed > 0.5)
    amount = Clock(elapsed * (100 - value) / value) + " left";
  Show(label, fraction, amount, stage >= 3);
}

void Progress::Show(const std::string& label, double fraction, const std::string& amount, bool final) {
  if (fraction < 0) fraction = 0;
  if (fraction > 1) fraction = 1;
  const int percent = static_cast<int>(fraction * 100);
  if (tty_) {
    const double now = Now();
    if (!final && now - lastDraw_ < 0.1) return;
    lastDraw_ = now;
    const int width = 30, filled = static_cast<int>(fraction * width);
    std::string bar(filled, '#');
    bar += std::string(width - filled, '.');
    std::fprintf(stderr, "\r%-10s [%s] %3d%%  %-40s", label.c_str(), bar.c_str(), percent, amount.c_str());
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
    std::fprintf(stderr, "%s: %3d%%  %s\n", label.c_str(), percent, amount.c_str());
  }
  std::fflush(stderr);
}

void Progress::Finish() {
  if (open_) {
    std::fputc('\n', stderr);
    open_ = false;
  }
}

}  // namespace cli
