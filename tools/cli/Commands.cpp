// The commands that talk to a connected instrument: identity, measurement,
// settings, raw requests, manufacturing information and calibration.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "Cli.h"
#include "zervon.h"
#include "zervon_ext.h"

namespace cli {

volatile int g_interrupted = 0;

namespace {

std::string Version(unsigned v) {
  return std::to_string(v >> 24) + "." + std::to_string((v >> 16) & 0xFF) + "." + std::to_string((v >> 8) & 0xFF) +
         "." + std::to_string(v & 0xFF);
}

void OnSignal(int) { g_interrupted = 1; }

// A watch: how long a failed read waits for the library to report a loss,
// and (with --port) after how many failed reads in a row it gives up.
constexpr unsigned kLossCheckMs = 1000;
constexpr int kFailedReadsToGiveUp = 5;

ZervFlashProgressCallback g_progressCb = nullptr;
Progress* g_progress = nullptr;
void ProgressBytes(unsigned done, unsigned total) {
  if (g_progress) g_progress->Bytes(done, total);
}

}  // namespace

int CmdInfo(const Options& options, Args& args) {
  args.Done();
  Connect(options);
  MODEL_INFORMATION model{};
  HW_INFORMATION hw{};
  ZervGetDeviceInformation(&model);
  ZervGetHWInformation(&hw);
  const std::string modelText = Printable(std::string{model.cModel1, model.cModel2});
  const std::string serial = ZervGetSerialNumber();
  // Read last: a cache emptied by a loss meanwhile gives no "VRX" here.
  if (serial.compare(0, 3, "VRX") != 0) Fail(kNoDevice, "the instrument was lost before its identity was read");
  const std::string firmware = std::to_string(hw.nFirmwareMain) + "." + std::to_string(hw.nFirmwareSub);
  const std::string library = Version(ZervGetVersion());
  const std::string port = ConnectedPort();
  if (options.json) {
    Json().Add("port", port).Add("model", modelText).Add("serial", serial).Add("hw_code", hw.nHWCode)
        .Add("firmware", firmware).Add("library", library).Print();
  } else {
    std::printf("port           %s\nmodel          %s\nserial number  %s\nhardware code  %d\nfirmware       %s\n"
                "library        %s\n",
                port.c_str(), modelText.c_str(), serial.c_str(), hw.nHWCode, firmware.c_str(), library.c_str());
  }
  return kOk;
}

int CmdRead(const Options& options, Args& args) {
  const bool watch = args.Flag("--watch");
  bool chart = args.Flag("--chart");
  std::string csvPath;
  const bool csv = args.Value("--csv", &csvPath);
  std::string text;
  double rate = 1;
  long count = 0;  // 0: until interrupted
  bool paced = false;
  if (args.Value("--rate", &text)) rate = ParseRate(text), paced = true;
  if (args.Value("--count", &text)) count = ParseNumber(text, 1, 1000000, "count"), paced = true;
  args.Done();
  if (paced && !watch) Fail(kUsage, "read: --rate and --count go with --watch");
  if (chart && !watch) Fail(kUsage, "read: --chart goes with --watch");
  if (csv && csvPath.empty()) Fail(kUsage, "read: --csv needs a file ('-' for standard output)");
  const bool csvOut = csv && csvPath == "-";
  if (chart && (csvOut || options.json))
    Fail(kUsage, std::string("read: --chart draws on standard output, which ") +
                     (csvOut ? "--csv -" : "--json") + " takes");
  if (chart && isatty(1) != 1) {
    Note("--chart needs a terminal on standard output; printing the readings as lines");
    chart = false;
  }
  if (!watch) count = 1;
  // The CSV file is opened (and its header written) before the instrument
  // is touched; with '-' the CSV takes the place of the lines.
  std::unique_ptr<FILE, int (*)(FILE*)> csvFile(nullptr, std::fclose);
  FILE* csvStream = nullptr;
  if (csv) {
    if (csvOut) {
      csvStream = stdout;
      g_dataOnStdout = true;
    } else {
      CheckWritable(csvPath);
      csvFile.reset(std::fopen(csvPath.c_str(), "w"));
      if (!csvFile) Fail(kUsage, "cannot write " + csvPath + ": " + std::strerror(errno));
      csvStream = csvFile.get();
    }
  }
  Connect(options);
  if (csvStream) {
    std::fputs("time,report1,report2,report3,report4,report5,value,battery\n", csvStream);
    std::fflush(csvStream);
  }
  std::unique_ptr<Chart> drawing(chart ? new Chart : nullptr);
  if (watch) {
    signal(SIGINT, OnSignal);
    signal(SIGTERM, OnSignal);
  }
  int result = kOk;
  const double start = Now();
  double base = start;  // pacing: reading `baseIndex` is due at `base`
  long baseIndex = 0;
  int failures = 0;     // failed reads in a row
  for (long i = 0; (count == 0 || i < count) && !g_interrupted;) {
    if (i > baseIndex) {
      const double due = base + (i - baseIndex) / rate;
      while (!g_interrupted && Now() < due) usleep(10 * 1000);
      if (g_interrupted) break;
    }
    if (watch && Searching() && !WaitConnection(true, 0)) {
      // One line each way; the library's connection finds the instrument
      // again by itself.
      Note("the instrument was lost; waiting for it to come back");
      while (!g_interrupted && !WaitConnection(true, 100)) {
      }
      if (g_interrupted) break;
      Note("the instrument is back");
      base = Now(), baseIndex = i, failures = 0;
      continue;
    }
    int r[5] = {};
    double value = 0;
    if (ZervReadValue(&r[0], &r[1], &r[2], &r[3], &r[4], &value) != 0) {
      if (watch && Searching()) {
        // Has the instrument gone? The library looks at once when asked,
        // rather than at its monitor's next look, and reports a loss.
        ReconnectDevice();
        if (WaitConnection(false, kLossCheckMs)) continue;
      }
      if (watch && PortGone()) Fail(kNoDevice, ConnectedPort() + " is gone: the instrument was unplugged");
      if (++failures == 1) Note("the instrument did not send its status report");
      result = kFailed;
      if (!watch) break;
      if (!Searching() && failures >= kFailedReadsToGiveUp)
        Fail(kNoDevice, "no status report in " + std::to_string(failures) + " reads in a row from " + ConnectedPort());
      ++i;
      continue;
    }
    failures = 0;
    ++i;
    const bool battery = ZervGetBatteryStatus() == 1;
    const int decimals = (r[0] == 3 || r[0] == 4) ? 2 : 3;
    const std::string when = watch || csv ? IsoTime() : "";
    if (csvStream) {
      std::fprintf(csvStream, "%s,%d,%d,%d,%d,%d,%.*f,%s\n", when.c_str(), r[0], r[1], r[2], r[3], r[4], decimals,
                   value, battery ? "good" : "low");
      std::fflush(csvStream);
      if (ferror(csvStream)) Fail(kFailed, "cannot write " + (csvOut ? std::string("standard output") : csvPath));
    }
    if (drawing) {
      drawing->Add(value);
      drawing->Draw();
    } else if (csvOut) {
      // The CSV is the output.
    } else if (options.json) {
      Json json;
      if (watch) json.Add("time", when);
      std::string report = "[" + std::to_string(r[0]);
      for (int k = 1; k < 5; ++k) report += "," + std::to_string(r[k]);
      json.AddRaw("report", report + "]").Add("value", value).Add("battery", battery ? "good" : "low").Print();
    } else {
      if (watch) std::printf("%s  ", when.c_str());
      std::printf("report %d %d %d %d %d  value %.*f  battery %s\n", r[0], r[1], r[2], r[3], r[4], decimals, value,
                  battery ? "good" : "low");
      std::fflush(stdout);
    }
    if (std::ferror(stdout)) break;  // the reader has gone (`| head`): nothing more to show
  }
  if (drawing) drawing->End();
  if (csvFile && std::fclose(csvFile.release()) != 0) Fail(kFailed, "cannot write " + csvPath);
  return result;
}

int CmdSet(const Options& options, Args& args) {
  std::vector<std::string> words = args.Rest();
  if (words.size() != 4 && words.size() != 5)
    Fail(kUsage, "set: takes 4 or 5 setting bytes (see 'zervon set --help')");
  int v[5] = {};
  for (size_t i = 0; i < words.size(); ++i) v[i] = static_cast<int>(ParseNumber(words[i], 0, 255, "setting byte"));
  Connect(options);
  const int code = words.size() == 4 ? ZervUpdateSetting(v[0], v[1], v[2], v[3])
                                     : ZervUpdateSettingEx(v[0], v[1], v[2], v[3], v[4]);
  if (code != 0) Fail(kFailed, "the setting was not sent whole (exchange code " + std::to_string(code) + ")");
  if (options.json) Json().Add("sent", true).Print();
  else std::printf("setting sent\n");
  return kOk;
}

int CmdRaw(const Options& options, Args& args) {
  std::string text;
  long wanted = 0;
  if (args.Value("--reply", &text)) wanted = ParseNumber(text, 1, 4096, "reply length");
  std::vector<uint8_t> request = ParseHex(args.Rest());
  if (request.empty()) Fail(kUsage, "raw: missing request bytes (see 'zervon raw --help')");
  Connect(options);
  std::vector<uint8_t> reply(wanted ? wanted : 1);
  int length = static_cast<int>(wanted);
  const int code = ZervSendCommandEx(request.data(), static_cast<int>(request.size()), wanted ? reply.data() : nullptr,
                                     wanted ? &length : nullptr);
  const int got = code == 0 ? static_cast<int>(wanted) : code == 2 && wanted ? length : 0;
  if (options.json) {
    Json json;
    json.Add("code", code);
    if (wanted) json.Add("reply", Hex(reply.data(), got, "")).Add("length", got);
    json.Print();
  } else if (wanted && got > 0) {
    for (int row = 0; row < got; row += 16)
      std::printf("%04x: %s\n", row, Hex(reply.data() + row, std::min(16, got - row)).c_str());
  } else if (!wanted && code == 0) {
    std::printf("sent %zu bytes\n", request.size());
  }
  if (code == 2 && wanted) Fail(kFailed, "a reply of " + std::to_string(length) + " bytes arrived, " + std::to_string(wanted) + " expected");
  if (code != 0)
    Fail(kFailed, wanted ? "no reply within 200 ms (exchange code " + std::to_string(code) + ")"
                         : "the request was not written whole (exchange code " + std::to_string(code) + ")");
  return kOk;
}

int CmdMfg(const Options& options, Args& args) {
  const std::string action = args.Next("action (read or write)");
  if (action == "read") {
    args.Done();
    Connect(options);
    unsigned char data[4] = {};
    if (!ZervReadMfgInfo(data, 4)) Fail(kFailed, "the manufacturing block could not be read");
    if (options.json) Json().Add("mfg", Hex(data, 4, "")).Print();
    else std::printf("%s\n", Hex(data, 4).c_str());
    return kOk;
  }
  if (action != "write") Fail(kUsage, "mfg: unknown action '" + action + "' (read or write)");
  std::vector<uint8_t> bytes = ParseHex(args.Rest());
  if (bytes.empty() || bytes.size() > 4) Fail(kUsage, "mfg write: takes 1 to 4 bytes");
  Connect(options);
  if (!ZervWriteMfgInfo(bytes.data(), bytes.size())) Fail(kFailed, "the manufacturing block could not be read");
  // The write-back's answer is not checked by the library: read it again.
  unsigned char check[4] = {};
  if (!ZervReadMfgInfo(check, 4) || !std::equal(bytes.begin(), bytes.end(), check))
    Fail(kFailed, "the instrument did not keep the manufacturing information");
  if (options.json) Json().Add("mfg", Hex(check, 4, "")).Print();
  else std::printf("manufacturing information now %s\n", Hex(check, 4).c_str());
  return kOk;
}

int CmdCalibrate(const Options& options, Args& args) {
  const std::string action = args.Next("action (start or stop)");
  const bool yes = args.Flag("--yes") || args.Flag("-y");
  args.Done();
  if (action != "start" && action != "stop") Fail(kUsage, "calibrate: unknown action '" + action + "' (start or stop)");
  if (action == "stop" && !yes) {
    // The store overwrites a region the user may hold data in: asked on a
    // terminal, refused without one.
    const std::string what = "calibrate stop stores the calibration result into SPI-flash region 2 (0x010000), "
                             "erasing and overwriting what it holds";
    if (isatty(0) != 1) Fail(kUsage, what + "; without a terminal to ask on, add --yes");
    std::fprintf(stderr, "zervon: %s. Go on? [y/N] ", what.c_str());
    std::fflush(stderr);
    char answer[16] = {};
    if (!std::fgets(answer, sizeof answer, stdin) || (answer[0] != 'y' && answer[0] != 'Y'))
      Fail(kFailed, "calibrate stop: not confirmed; nothing was sent");
  }
  Connect(options);
  if (action == "start") {
    if (!ZervStartLCMCalibration()) Fail(kFailed, "the instrument did not start the calibration");
    if (options.json) Json().Add("calibrating", true).Print();
    else std::printf("calibration started\n");
    return kOk;
  }
  Progress progress({"erasing", "writing", "verifying"}, true);
  g_progress = &progress;
  g_progressCb = ProgressBytes;
  const bool ok = ZervStopLCMCalibration(g_progressCb);
  progress.Finish();
  g_progress = nullptr;
  if (!ok) Fail(kFailed, "the calibration result was not stored");
  if (options.json) Json().Add("calibrating", false).Add("stored", true).Print();
  else std::printf("calibration stopped; result stored in SPI-flash region 2 (0x010000)\n");
  return kOk;
}

}  // namespace cli
