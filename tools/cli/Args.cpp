// Argument parsing and the checks of user input made before the instrument
// is touched.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Cli.h"

namespace cli {

void Fail(int code, const std::string& message) { throw Error{code, message}; }

Args::Args(std::vector<std::string> words, std::string command)
    : words_(std::move(words)), command_(std::move(command)) {}

bool Args::Flag(const std::string& name) {
  for (size_t i = 0; i < words_.size(); ++i) {
    if (words_[i].compare(0, name.size() + 1, name + "=") == 0)
      Fail(kUsage, command_ + ": " + name + " takes no value");
    if (words_[i] == name) {
      words_.erase(words_.begin() + i);
      return true;
    }
  }
  return false;
}

bool Args::Value(const std::string& name, std::string* value) {
  for (size_t i = 0; i < words_.size(); ++i) {
    if (words_[i].compare(0, name.size() + 1, name + "=") == 0) {  // --name=VALUE
      *value = words_[i].substr(name.size() + 1);
      words_.erase(words_.begin() + i);
      return true;
    }
    if (words_[i] == name) {
      if (i + 1 >= words_.size()) Fail(kUsage, command_ + ": " + name + " needs a value");
      *value = words_[i + 1];
      words_.erase(words_.begin() + i, words_.begin() + i + 2);
      return true;
    }
  }
  return false;
}

bool Args::HasNext() const { return !words_.empty(); }

std::string Args::Next(const char* what) {
  if (words_.empty()) Fail(kUsage, command_ + ": missing " + what + " (see 'zervon " + command_ + " --help')");
  std::string word = words_.front();
  words_.erase(words_.begin());
  return word;
}

std::vector<std::string> Args::Rest() {
  std::vector<std::string> rest;
  rest.swap(words_);
  return rest;
}

void Args::Done() {
  if (!words_.empty())
    Fail(kUsage, command_ + ": unexpected argument '" + words_.front() + "' (see 'zervon " + command_ + " --help')");
}

// A whole number in decimal or, with a 0x prefix, hexadecimal (a leading 0
// does not mean octal: "010" is ten).
long ParseNumber(const std::string& text, long min, long max, const char* what) {
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const std::string digits = hex ? text.substr(2) : text;
  bool good = !digits.empty() && digits.size() <= 12;
  for (char c : digits)
    if (!(hex ? std::isxdigit(static_cast<unsigned char>(c)) : std::isdigit(static_cast<unsigned char>(c))))
      good = false;
  const long value = good ? std::strtol(digits.c_str(), nullptr, hex ? 16 : 10) : 0;
  if (!good || value < min || value > max)
    Fail(kUsage, std::string("bad ") + what + " '" + text + "' (expected " + std::to_string(min) + " to " +
                     std::to_string(max) + ")");
  return value;
}

double ParseRate(const std::string& text) {
  char* end = nullptr;
  double value = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || !(value >= 0.1 && value <= 50))
    Fail(kUsage, "bad rate '" + text + "' (expected readings per second, 0.1 to 50)");
  return value;
}

// Bytes as hexadecimal digit pairs: each word may hold several ("55AA"), an
// optional 0x prefix and ':' ',' '-' separators between bytes.
std::vector<uint8_t> ParseHex(const std::vector<std::string>& words) {
  std::vector<uint8_t> bytes;
  for (const std::string& word : words) {
    std::string digits;
    std::string w = word;
    if (w.size() > 2 && w[0] == '0' && (w[1] == 'x' || w[1] == 'X')) w = w.substr(2);
    bool bad = w.empty();
    size_t run = 0;
    for (char c : w) {
      if (c == ':' || c == ',' || c == '-') {
        if (run % 2 != 0 || run == 0) bad = true;
        run = 0;
        continue;
      }
      if (!std::isxdigit(static_cast<unsigned char>(c))) bad = true;
      digits += c;
      ++run;
    }
    if (run % 2 != 0 || run == 0) bad = true;
    if (bad) Fail(kUsage, "bad hex '" + word + "' (expected byte values as digit pairs, e.g. 12 or 55AA)");
    for (size_t i = 0; i < digits.size(); i += 2)
      bytes.push_back(static_cast<uint8_t>(std::strtoul(digits.substr(i, 2).c_str(), nullptr, 16)));
  }
  return bytes;
}

void ParseVersion(const std::string& text, int* mainVersion, int* subVersion) {
  size_t dot = text.find('.');
  if (dot == std::string::npos || dot == 0 || dot + 1 == text.size() ||
      text.find_first_not_of("0123456789.") != std::string::npos || text.find('.', dot + 1) != std::string::npos)
    Fail(kUsage, "bad version '" + text + "' (expected MAIN.SUB, e.g. 3.2)");
  *mainVersion = static_cast<int>(ParseNumber(text.substr(0, dot), 0, 255, "main version"));
  *subVersion = static_cast<int>(ParseNumber(text.substr(dot + 1), 0, 255, "sub version"));
}

std::vector<uint8_t> ReadFile(const std::string& path) {
  const bool standardInput = path == "-";
  FILE* f = standardInput ? stdin : std::fopen(path.c_str(), "rb");
  if (!f) Fail(kUsage, "cannot read " + path + ": " + std::strerror(errno));
  struct stat st;
  if (fstat(fileno(f), &st) == 0 && S_ISDIR(st.st_mode)) {
    if (!standardInput) std::fclose(f);
    Fail(kUsage, "cannot read " + path + ": it is a directory");
  }
  std::vector<uint8_t> bytes;
  uint8_t buffer[65536];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) bytes.insert(bytes.end(), buffer, buffer + n);
  bool failed = std::ferror(f) != 0;
  if (!standardInput) std::fclose(f);
  if (failed) Fail(kUsage, "cannot read " + (standardInput ? std::string("standard input") : path));
  return bytes;
}

// Makes sure an output file can be written before anything is sent.
void CheckWritable(const std::string& path) {
  if (path == "-") return;
  struct stat st;
  bool existed = ::stat(path.c_str(), &st) == 0;
  if (existed && S_ISDIR(st.st_mode)) Fail(kUsage, "cannot write " + path + ": it is a directory");
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) Fail(kUsage, "cannot write " + path + ": " + std::strerror(errno));
  ::close(fd);
  if (!existed) ::unlink(path.c_str());
}

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  if (path == "-") {
    if (std::fwrite(bytes.data(), 1, bytes.size(), stdout) != bytes.size() || std::fflush(stdout) != 0)
      Fail(kFailed, std::string("cannot write to standard output: ") + std::strerror(errno));
    return;
  }
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) Fail(kFailed, "cannot write " + path + ": " + std::strerror(errno));
  bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  ok = (std::fclose(f) == 0) && ok;
  if (!ok) Fail(kFailed, "cannot write " + path);
}

}  // namespace cli
