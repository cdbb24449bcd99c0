// The firmware burn: battery check, image load and the burn's stages.
#include <cstdio>
#include <memory>

#include "Cli.h"
#include "zervon.h"
#include "zervon_ext.h"

namespace cli {

namespace {

Progress* g_progress = nullptr;
int g_result = 1;
int g_lastStage = -1, g_lastPercent = -1;
void OnStage(int stage, int value) {
  if (stage == 5) g_result = value;
  if (g_progress) g_progress->Stage(stage, value);
  // A child of a rack: every change, for the parent's live line.
  if (g_rackChild && stage != 5 && (stage != g_lastStage || value != g_lastPercent)) {
    g_lastStage = stage, g_lastPercent = value;
    std::fprintf(stderr, "@progress %d %d\n", stage, value);
    std::fflush(stderr);
  }
}

// What a burn's result code means (the codes of zervon_ext.h).
std::string BurnFailure(int code) {
  switch (code) {
    case -2: return "the instrument's record block could not be read, or it lacks the product marker";
    case -3: return "no instrument found";
    case -4: return "the loader could not be entered (request not written whole)";
    case -5: return "a row was not written whole";
    case -6: return "the loader did not answer a written row";
    case -7: return "a row read request was not written whole";
    case -8: return "the loader did not answer a row read";
    case -9: return "verification mismatch: the data read back differ from the image";
    case -10: return "the loader could not be left (request not written whole)";
    case -11: return "the instrument was not found again after its restart";
    case -12: return "the new version could not be written into the record block";
    case -13: return "the instrument did not answer the record-block write";
    case -14: return "no image loaded";
    case -15: return "the image is too large for this instrument";
    case -16: return "the SPI-flash erase of the image's BMP block failed";
    case -17: return "the SPI-flash write of the image's BMP block failed";
    case -18: return "the SPI-flash read-back of the image's BMP block failed";
    default: return "failure";
  }
}

}  // namespace

int CmdBurn(const Options& options, Args& args) {
  const bool force = args.Flag("--force");
  std::string text;
  if (!args.Value("--version", &text)) Fail(kUsage, "burn: --version MAIN.SUB is required");
  int mainVersion = 0, subVersion = 0;
  ParseVersion(text, &mainVersion, &subVersion);
  const std::string image = args.Next("IMAGE");
  args.Done();
  // Every check of the image is made before the instrument is touched.
  const std::vector<uint8_t> bytes = ReadFile(image);
  if (bytes.empty()) Fail(kUsage, image + " is empty");
  // The loader takes the first 32 KiB, SPI-flash region 3 the rest.
  constexpr size_t kLargestImage = 0x8000 + 0x1E8000;
  if (bytes.size() > kLargestImage)
    Fail(kUsage, image + " has " + std::to_string(bytes.size()) + " bytes: too large for the instrument, which takes " +
                     std::to_string(kLargestImage) + " bytes (1984 KiB) at most");
  std::vector<char> path(image.begin(), image.end());
  path.push_back('\0');
  const int loaded = ZervLoadBinFile(path.data(), &mainVersion, &subVersion);
  if (loaded != 0) Fail(kUsage, "cannot load " + image + ": " + BurnFailure(loaded) + " (code " + std::to_string(loaded) + ")");

  // The library holds the port: after the burn the instrument restarts and
  // is found again by its node.
  Connect(options, true);
  HW_INFORMATION hw{};
  ZervGetHWInformation(&hw);
  // An instrument with firmware 2 or older takes the whole image through its
  // loader, whose row offsets end at 64 KiB.
  if (hw.nFirmwareMain <= 2 && bytes.size() > 0x10000)
    Fail(kUsage, image + " has " + std::to_string(bytes.size()) + " bytes: an instrument with firmware " +
                     std::to_string(hw.nFirmwareMain) + "." + std::to_string(hw.nFirmwareSub) +
                     " takes 64 KiB at most");
  double value = 0;
  int first = 0;
  if (ZervReadValue(&first, nullptr, nullptr, nullptr, nullptr, &value) != 0)
    Fail(kFailed, "cannot read the battery status: the instrument did not send its status report");
  const bool batteryGood = ZervGetBatteryStatus() == 1;
  if (!batteryGood && !force)
    Fail(kRefused, "the battery is low: charge the instrument first (or use --force)");
  if (!batteryGood) Note("the battery is low; burning anyway (--force)");
  if (g_verbose) Note("the wire trace does not cover the burn: the library holds the port for it");

  std::unique_ptr<Progress> progress(g_rackChild ? nullptr : new Progress({}));
  g_progress = progress.get();
  const int result = ZervBurnBinFile(OnStage);
  if (progress) progress->Finish();
  g_progress = nullptr;
  if (options.json) Json().Add("result", result).Add("version", text).Add("bytes", static_cast<long>(bytes.size())).Print();
  if (result != 0) Fail(kFailed, "the burn failed: " + BurnFailure(result) + " (code " + std::to_string(result) + ")");
  if (!options.json) std::printf("burned %s (%zu bytes); firmware is now %s\n", image.c_str(), bytes.size(), text.c_str());
  return kOk;
}

}  // namespace cli
