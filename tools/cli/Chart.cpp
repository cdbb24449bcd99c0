// read --watch --chart: the measured value as a chart that scrolls in place
// on a terminal.
#include <langinfo.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <clocale>
#include <cstdio>
#include <cstring>

#include "Cli.h"

namespace cli {

namespace {

// Eighths of a character cell, from one to eight, as block characters.
const char* const kEighths[] = {"\u2581", "\u2582", "\u2583", "\u2584", "\u2585", "\u2586", "\u2587", "\u2588"};
constexpr size_t kKept = 4096;  // readings kept: more than any terminal is wide

std::string Number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", value);
  return text;
}

}  // namespace

std::vector<std::string> RenderChart(const std::vector<double>& values, int columns, int rows, bool unicode) {
  std::vector<std::string> lines;
  if (columns < 2 || rows < 2) return lines;
  // The axis labels take the width of the widest of min and max.
  constexpr int kMinPlot = 4;
  std::vector<double> shown;
  double low = 0, high = 0, sum = 0;
  int labelWidth = 0;
  size_t count = values.size();
  for (int pass = 0; pass < 2; ++pass) {
    const int plot = std::max(columns - 1 - labelWidth, kMinPlot);
    shown.assign(values.end() - std::min(count, static_cast<size_t>(plot)), values.end());
    if (shown.empty()) break;
    low = *std::min_element(shown.begin(), shown.end());
    high = *std::max_element(shown.begin(), shown.end());
    labelWidth = static_cast<int>(std::max(Number(low).size(), Number(high).size())) + 2;  // "12.345 |"
  }
  sum = 0;
  for (double v : shown) sum += v;
  std::string head = shown.empty() ? std::string("waiting for the first reading")
                                   : "now " + Number(shown.back()) + "  min " + Number(low) + "  max " +
                                         Number(high) + "  mean " + Number(sum / shown.size()) + " (" +
                                         std::to_string(shown.size()) + ")";
  if (static_cast<int>(head.size()) > columns - 1) head.resize(columns - 1);
  lines.push_back(head);
  const int height = rows - 1;
  const int plot = std::max(columns - 1 - labelWidth, 0);
  for (int row = 0; row < height; ++row) {
    // Row 0 is the top; each row holds eight eighths.
    std::string label;
    if (!shown.empty() && (row == 0 || row == height - 1)) label = Number(row == 0 ? high : low);
    std::string line(std::max(labelWidth - 2 - static_cast<int>(label.size()), 0), ' ');
    line += label + (labelWidth >= 2 ? " |" : "");
    if (static_cast<int>(line.size()) > columns - 1) line.resize(columns - 1);
    const int width = std::min(plot, static_cast<int>(shown.size()));
    for (int k = 0; k < width; ++k) {
      const double v = shown[shown.size() - width + k];
      // Height in eighths: at least one (a reading is there), the full
      // height at the maximum; a flat line stands in the middle.
      const int total = height * 8;
      const int eighths = high > low ? 1 + static_cast<int>((v - low) / (high - low) * (total - 1) + 0.5) : total / 2;
      const int below = (height - 1 - row) * 8;  // eighths in the rows under this one
      const int here = std::min(std::max(eighths - below, 0), 8);
      if (here == 0) line += ' ';
      else if (unicode) line += kEighths[here - 1];
      else line += here >= 4 ? '#' : (here > 0 && row == height - 1 ? '_' : ' ');
    }
    lines.push_back(line);
  }
  return lines;
}

Chart::Chart() {
  std::setlocale(LC_CTYPE, "");
  unicode_ = std::strcmp(nl_langinfo(CODESET), "UTF-8") == 0;
}

Chart::~Chart() { End(); }

void Chart::Add(double value) {
  values_.push_back(value);
  if (values_.size() > kKept) values_.erase(values_.begin(), values_.begin() + (values_.size() - kKept));
}

void Chart::Draw() {
  // The height is set at the first drawing (the chart is redrawn over
  // itself, so it keeps it); the width follows the terminal.
  if (rows_ == 0) {
    winsize size{};
    const int terminalRows = ::ioctl(1, TIOCGWINSZ, &size) == 0 && size.ws_row > 0 ? size.ws_row : 24;
    rows_ = std::max(3, std::min(terminalRows - 2, 20));
    std::fputs("\x1b[?25l", stdout);  // the cursor hidden while it draws
  }
  const std::vector<std::string> lines = RenderChart(values_, TerminalColumns(1), rows_, unicode_);
  std::string out;
  if (drawn_ > 0) out += "\x1b[" + std::to_string(drawn_) + "A";  // back to the chart's first line
  for (const std::string& line : lines) out += "\r" + line + "\x1b[K\n";
  std::fputs(out.c_str(), stdout);
  std::fflush(stdout);
  drawn_ = static_cast<int>(lines.size());
}

void Chart::End() {
  if (rows_ != 0 && !ended_) {
    std::fputs("\x1b[?25h", stdout);
    std::fflush(stdout);
  }
  ended_ = true;
}

}  // namespace cli
