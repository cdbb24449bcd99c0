// Flash and memory-map transfers with their progress display.
#include <cstdio>

#include "Cli.h"
#include "zervon.h"
#include "zervon_ext.h"

namespace cli {

namespace {

struct Region {
  unsigned base, capacity;
};
const Region kFlash[4] = {{0x000000, 0x008000}, {0x008000, 0x008000}, {0x010000, 0x008000}, {0x018000, 0x1E8000}};
const Region kMemMap[4] = {{0x000000, 0x100000}, {0x300000, 0x002000}, {0x302000, 0x001000}, {0x308000, 0x001000}};

Progress* g_progress = nullptr;
void OnProgress(unsigned done, unsigned total) {
  if (g_progress) g_progress->Bytes(done, total);
}

bool ReadQuietly(bool flash, int region, std::vector<uint8_t>& data) {
  return flash ? ZervSPIFlashReadEx(static_cast<ChipFlash>(region), data.data(), data.size(), nullptr)
               : ZervMemMapReadEx(static_cast<MemoryMap>(region), data.data(), data.size(), nullptr);
}

// Index of the first byte where the two differ; a.size() when none does.
size_t FirstDifference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  for (size_t i = 0; i < a.size(); ++i)
    if (i >= b.size() || a[i] != b[i]) return i;
  return a.size();
}

std::string HexNumber(size_t value) {
  char text[32];
  std::snprintf(text, sizeof text, "%zx", value);
  return text;
}

std::string Address(size_t address) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%06zx", address);
  return text;
}

bool DoRead(bool flash, int region, std::vector<uint8_t>& data) {
  Progress progress({"reading"}, true);
  g_progress = &progress;
  const bool ok = flash ? ZervSPIFlashReadEx(static_cast<ChipFlash>(region), data.data(), data.size(), OnProgress)
                        : ZervMemMapReadEx(static_cast<MemoryMap>(region), data.data(), data.size(), OnProgress);
  progress.Finish();
  g_progress = nullptr;
  return ok;
}

// An erase is a write of nothing: the library's empty write and read-back
// passes after it are not shown.
bool DoWrite(bool flash, int region, std::vector<uint8_t>& data) {
  Progress progress(data.empty() ? std::vector<std::string>{"erasing"}
                                 : std::vector<std::string>{"erasing", "writing", "verifying"},
                    true);
  g_progress = &progress;
  unsigned char* bytes = data.empty() ? nullptr : data.data();
  const bool ok = flash ? ZervSPIFlashWriteEx(static_cast<ChipFlash>(region), bytes, data.size(), OnProgress)
                        : ZervMemMapWriteEx(static_cast<MemoryMap>(region), bytes, data.size(), OnProgress);
  progress.Finish();
  g_progress = nullptr;
  return ok;
}

int Transfer(const Options& options, Args& args, bool flash) {
  const char* what = flash ? "flash" : "memmap";
  const std::string action = args.Next("action");
  const bool known = action == "read" || action == "write" || action == "verify" || (flash && action == "erase");
  if (!known) Fail(kUsage, std::string(what) + ": unknown action '" + action + "' (see 'zervon " + what + " --help')");
  std::string text;
  if (!args.Value("--region", &text)) Fail(kUsage, std::string(what) + " " + action + ": --region N is required");
  const int region = static_cast<int>(ParseNumber(text, 0, 3, "region"));
  const Region r = flash ? kFlash[region] : kMemMap[region];
  long length = r.capacity;
  if (action == "read" && args.Value("--length", &text))
    length = ParseNumber(text, 1, r.capacity, "length");
  std::string file;
  if (action != "erase") file = args.Next("FILE");
  args.Done();
  // "-": the data travel through standard input or output, and every
  // message goes to standard error.
  const bool piped = file == "-";
  const std::string name = piped ? (action == "read" ? "standard output" : "standard input") : file;
  if (piped && action == "read") g_dataOnStdout = true;

  std::vector<uint8_t> data;
  if (action == "write" || action == "verify") {
    data = ReadFile(file);
    if (data.size() > r.capacity)
      Fail(kUsage, name + " has " + std::to_string(data.size()) + " bytes, region " + std::to_string(region) +
                       " holds " + std::to_string(r.capacity));
    if (data.empty())
      Fail(kUsage, name + " is empty" +
                       std::string(flash && action == "write" ? " (use 'zervon flash erase' to erase a region)" : ""));
  } else if (action == "read") {
    CheckWritable(file);
    data.resize(length);
  }

  Connect(options);
  char address[64];
  if (action == "read") {
    if (!DoRead(flash, region, data)) Fail(kFailed, "the read of region " + std::to_string(region) + " failed");
    WriteFile(file, data);
    if (options.json) Json().Add("region", region).Add("bytes", static_cast<long>(data.size())).Add("file", file).Print();
    else if (!piped || !g_quiet) std::fprintf(Out(), "read %zu bytes of region %d into %s\n", data.size(), region, name.c_str());
  } else if (action == "write" || action == "erase") {
    if (!DoWrite(flash, region, data)) {
      const std::string failed = std::string("the ") + (action == "erase" ? "erase" : "write") + " of region " +
                                 std::to_string(region) + " failed";
      // The library tells no reason: a read-back tells a difference from a
      // failed exchange.
      std::vector<uint8_t> back(data.size());
      if (data.empty() || !ReadQuietly(flash, region, back)) Fail(kFailed, failed);
      const size_t first = FirstDifference(data, back);
      if (first == data.size()) Fail(kFailed, failed + " (the data read back match: an exchange failed)");
      Fail(kFailed, failed + ": the data read back differ from " + name + " first at " + Address(r.base + first) +
                        " (offset 0x" + HexNumber(first) + ")");
    }
    if (options.json && action == "erase")
      Json().Add("region", region).Add("erased", true).Add("bytes", static_cast<long>(r.capacity)).Print();
    else if (options.json) Json().Add("region", region).Add("bytes", static_cast<long>(data.size())).Print();
    else if (action == "erase") std::fprintf(Out(), "erased region %d (%u bytes)\n", region, r.capacity);
    else std::fprintf(Out(), "wrote and verified %zu bytes in region %d\n", data.size(), region);
  } else {
    std::vector<uint8_t> back(data.size());
    if (!back.empty() && !DoRead(flash, region, back))
      Fail(kFailed, "the read of region " + std::to_string(region) + " failed");
    size_t first = data.size(), differing = 0;
    for (size_t i = 0; i < data.size(); ++i)
      if (data[i] != back[i]) {
        if (first == data.size()) first = i;
        ++differing;
      }
    if (differing == 0) {
      if (options.json) Json().Add("region", region).Add("match", true).Add("bytes", static_cast<long>(data.size())).Print();
      else std::fprintf(Out(), "region %d matches %s (%zu bytes)\n", region, name.c_str(), data.size());
      return kOk;
    }
    std::snprintf(address, sizeof address, "0x%06zx", r.base + first);
    if (options.json)
      Json().Add("region", region).Add("match", false).Add("first_difference", address)
          .Add("offset", static_cast<long>(first)).Add("differing", static_cast<long>(differing)).Print();
    char detail[160];
    std::snprintf(detail, sizeof detail, "region %d differs from %s at %s (offset 0x%zx: %02x, file %02x); %zu bytes differ",
                  region, name.c_str(), address, first, back[first], data[first], differing);
    Fail(kFailed, detail);
  }
  return kOk;
}

}  // namespace

int CmdFlash(const Options& options, Args& args) { return Transfer(options, args, true); }
int CmdMemMap(const Options& options, Args& args) { return Transfer(options, args, false); }

}  // namespace cli
