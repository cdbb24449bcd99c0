// The firmware burn: battery check, image load and the burn's stages.
#include <cstdio>

#include "Cli.h"
#include "zervon.h"
#include "zervon_ext.h"

namespace cli {

namespace {

Progress* g_progress = nullptr;
int g_result = 1;
void OnStage(int stage, int value) {
  if (stage == 5) g_result = value;
  if (g_progress) g_progress->Stage(stage, value);
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
  const std::vector<uint8_t> bytes = ReadFile(image);  // refuses a missing file before anything is sent
  if (bytes.empty()) Fail(kUsage, image + " is empty");
  if (bytes.size() > 0x8000 + 0x1E8000) Fail(kUsage, image + " is too large for the instrument");

  Connect(options);
  double value = 0;
  int first = 0;
  if (ZervReadValue(&first, nullptr, nullptr, nullptr, nullptr, &value) != 0)
    Fail(kFailed, "cannot read the battery status");
  if (ZervGetBatteryStatus() != 1 && !force)
    Fail(kRefused, "the battery is low: charge the instrument first (or use --force)");

  std::vector<char> path(image.begin(), image.end());
  path.push_back('\0');
  const int loaded = ZervLoadBinFile(path.data(), &mainVersion, &subVersion);
  if (loaded != 0) Fail(kUsage, "cannot load " + image + " (code " + std::to_string(loaded) + ")");
  Progress progress({});
  g_progress = &progress;
  const int result = ZervBurnBinFile(OnStage);
  progress.Finish();
  g_progress = nullptr;
  if (options.json) Json().Add("result", result).Add("version", text).Print();
  if (result != 0) Fail(kFailed, "the burn failed (code " + std::to_string(result) + ")");
  if (!options.json) std::printf("firmware %s burned\n", text.c_str());
  return kOk;
}

}  // namespace cli
