// What the Windows tests of the DLL share: the library loaded the way an
// application loads it (LoadLibrary and GetProcAddress of the 17 names, no
// import library, only the public header for the types), the virtual
// instruments of tests/win/wine-harness.sh steered through their control
// FIFOs, and plugging and unplugging through the registry and the
// device-change broadcast.
#pragma once

#include <windows.h>
#include <dbt.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "zervon.h"

namespace wintest {

// The instruments the harness serves (see wine-harness.sh).
constexpr int kForeignCom = 3;     // answers with another product marker
constexpr int kInstrumentCom = 5;  // the instrument
constexpr int kSecondCom = 7;      // a second instrument
constexpr int kAbsentCom = 9;      // no device
const char kInstrumentSerial[] = "VRX2107-030300";
const char kSecondSerial[] = "VRX2107-030777";

// Why some cases cannot run under wine.
const char kWineGap[] =
    "wine does not end a read in which no byte at all arrives on a port opened without "
    "FILE_FLAG_OVERLAPPED (it ignores the port's read time-out there; Windows honours it), "
    "so a case that needs a silent instrument would hang";

inline bool UnderWine() {
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

inline ULONGLONG NowMs() { return GetTickCount64(); }

// Runs `body` and gives the milliseconds it took.
template <typename Body>
ULONGLONG ElapsedMs(Body&& body) {
  const ULONGLONG t0 = NowMs();
  body();
  return NowMs() - t0;
}

// Polls `done` every 10 ms for up to `ms`; true once it held.
template <typename Pred>
bool WaitUntil(Pred&& done, DWORD ms) {
  const ULONGLONG end = NowMs() + ms;
  for (;;) {
    if (done()) return true;
    if (NowMs() >= end) return false;
    Sleep(10);
  }
}

// ---- the library ----

struct Zervon {
  HMODULE module = nullptr;
  decltype(&ZervInit) Init = nullptr;
  decltype(&ZervConnect) Connect = nullptr;
  decltype(&ZervFree) Free = nullptr;
  decltype(&ZervGetDeviceInformation) GetDeviceInformation = nullptr;
  decltype(&ZervGetSerialNumber) GetSerialNumber = nullptr;
  decltype(&ZervGetHWInformation) GetHWInformation = nullptr;
  decltype(&ZervUpdateSetting) UpdateSetting = nullptr;
  decltype(&ZervUpdateSettingEx) UpdateSettingEx = nullptr;
  decltype(&ZervReadValue) ReadValue = nullptr;
  decltype(&ZervGetBatteryStatus) GetBatteryStatus = nullptr;
  decltype(&ZervGetVersion) GetVersion = nullptr;
  decltype(&ZervSPIFlashRead) SPIFlashRead = nullptr;
  decltype(&ZervSPIFlashReadEx) SPIFlashReadEx = nullptr;
  decltype(&ZervSPIFlashWrite) SPIFlashWrite = nullptr;
  decltype(&ZervSPIFlashWriteEx) SPIFlashWriteEx = nullptr;
  decltype(&ZervStartLCMCalibration) StartLCMCalibration = nullptr;
  decltype(&ZervStopLCMCalibration) StopLCMCalibration = nullptr;
  int resolved = 0;  // how many of the 17 names GetProcAddress found

  // LoadLibrary of `file` (next to the test program) and every name. True
  // when the library loaded and all 17 resolved.
  bool Load(const char* file = "Zervonx86.dll") {
    module = LoadLibraryA(file);
    if (module == nullptr) return false;
    resolved = 0;
    Get(Init, "ZervInit");
    Get(Connect, "ZervConnect");
    Get(Free, "ZervFree");
    Get(GetDeviceInformation, "ZervGetDeviceInformation");
    Get(GetSerialNumber, "ZervGetSerialNumber");
    Get(GetHWInformation, "ZervGetHWInformation");
    Get(UpdateSetting, "ZervUpdateSetting");
    Get(UpdateSettingEx, "ZervUpdateSettingEx");
    Get(ReadValue, "ZervReadValue");
    Get(GetBatteryStatus, "ZervGetBatteryStatus");
    Get(GetVersion, "ZervGetVersion");
    Get(SPIFlashRead, "ZervSPIFlashRead");
    Get(SPIFlashReadEx, "ZervSPIFlashReadEx");
    Get(SPIFlashWrite, "ZervSPIFlashWrite");
    Get(SPIFlashWriteEx, "ZervSPIFlashWriteEx");
    Get(StartLCMCalibration, "ZervStartLCMCalibration");
    Get(StopLCMCalibration, "ZervStopLCMCalibration");
    return resolved == 17;
  }

  // FreeLibrary; true when the system unloaded it.
  bool Unload() {
    if (module == nullptr) return true;
    const BOOL ok = FreeLibrary(module);
    module = nullptr;
    return ok != FALSE;
  }

 private:
  template <typename F>
  void Get(F& function, const char* name) {
    function = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    if (function != nullptr) ++resolved;
  }
};

// The class name of the library's device-change window for attempt `n`.
inline std::string WindowClassName(int n) {
  char name[128];
  std::snprintf(name, sizeof name, "MsgMonitorWnd-Zervon{1167D2F0-F2B0-499D-B9B7-E891111A36D6}-%3d", n);
  return name;
}

// The window of a loaded library that took class number `n`, or null.
inline HWND LibraryWindow(int n) { return FindWindowA(WindowClassName(n).c_str(), "title"); }

// ---- the virtual instruments ----

// The harness's state folder as a Windows path (through wine's Z: drive).
inline std::string StateDir() {
  const char* unixPath = std::getenv("ZERVON_WINE_STATE");
  if (unixPath == nullptr || unixPath[0] != '/') return std::string();
  std::string path = std::string("Z:") + unixPath;
  for (char& c : path)
    if (c == '/') c = '\\';
  return path;
}

inline std::string ReadWholeFile(const std::string& path) {
  std::string text;
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return text;
  char buffer[4096];
  DWORD n = 0;
  while (ReadFile(file, buffer, sizeof buffer, &n, nullptr) && n > 0) text.append(buffer, n);
  CloseHandle(file);
  return text;
}

// Sends one control command to the instrument on COM `com` and gives its
// answer ("ok", a value, or "error ..."); empty, with a failure recorded,
// when none came within 10 s.
inline std::string Ask(int com, const std::string& command) {
  static std::atomic<int> counter{0};
  const std::string dir = StateDir();
  const std::string tag = std::to_string(GetCurrentProcessId()) + "." + std::to_string(++counter);
  // Not "comN.*": Windows opens the port COMn under any such name.
  const std::string base = dir + "\\sim" + std::to_string(com);
  HANDLE fifo = CreateFileA((base + ".ctl").c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_EXISTING, 0, nullptr);
  if (fifo == INVALID_HANDLE_VALUE) {
    ADD_FAILURE() << "no control FIFO for COM" << com << " in " << dir;
    return std::string();
  }
  const std::string line = tag + " " + command + "\n";
  DWORD written = 0;
  WriteFile(fifo, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  CloseHandle(fifo);
  std::string answer;
  const std::string key = "\n" + tag + " ";
  const bool got = WaitUntil(
      [&] {
        const std::string out = ReadWholeFile(base + ".out");
        const size_t at = out.find(key);
        if (at == std::string::npos) return false;
        const size_t end = out.find('\n', at + key.size());
        if (end == std::string::npos) return false;
        answer = out.substr(at + key.size(), end - at - key.size());
        return true;
      },
      10000);
  if (!got) ADD_FAILURE() << "COM" << com << " did not answer '" << command << "'";
  return answer;
}

inline std::vector<unsigned char> FromHex(const std::string& hex) {
  std::vector<unsigned char> bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    bytes.push_back(static_cast<unsigned char>(std::strtoul(hex.substr(i, 2).c_str(), nullptr, 16)));
  return bytes;
}

// The instrument's SPI flash as it holds it (at most 1024 bytes).
inline std::vector<unsigned char> InstrumentFlash(int com, unsigned address, unsigned length) {
  return FromHex(Ask(com, "flash " + std::to_string(address) + " " + std::to_string(length)));
}

// ---- plugging ----

// Sends WM_DEVICECHANGE (DBT_DEVNODES_CHANGED) to every top-level window.
inline void BroadcastDeviceChange() {
  DWORD_PTR result = 0;
  SendMessageTimeoutA(HWND_BROADCAST, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0, SMTO_ABORTIFHUNG,
                      5000, &result);
}

// Imports `file` of the state folder with regedit; true when it ran.
inline bool ImportRegistryFile(const std::string& file) {
  std::string command = "regedit.exe /S \"" + StateDir() + "\\" + file + "\"";
  STARTUPINFOA startup;
  std::memset(&startup, 0, sizeof startup);
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process;
  if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process))
    return false;
  const bool ended = WaitForSingleObject(process.hProcess, 30000) == WAIT_OBJECT_0;
  if (!ended) TerminateProcess(process.hProcess, 1);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return ended;
}

// The device of COM `com` leaves the system's device list (or comes back),
// then the system's device-change message is broadcast when asked for.
inline bool Unplug(int com, bool broadcast = true) {
  const bool ok = ImportRegistryFile("unplug" + std::to_string(com) + ".reg");
  if (broadcast) BroadcastDeviceChange();
  return ok;
}

inline bool Plug(int com, bool broadcast = true) {
  const bool ok = ImportRegistryFile("plug" + std::to_string(com) + ".reg");
  if (broadcast) BroadcastDeviceChange();
  return ok;
}

// Every device back in the list, as the harness left them.
inline void PlugAll() {
  for (int com : {kForeignCom, kInstrumentCom, kSecondCom}) Plug(com, false);
  BroadcastDeviceChange();
}

// ---- callbacks ----

// What the connection callback heard: counts, the order, and an event per
// kind (auto-reset) to wait on.
struct ConnectionLog {
  std::atomic<int> connected{0};
  std::atomic<int> lost{0};
  std::atomic<bool> alternates{true};
  std::atomic<int> last{-1};  // -1 none, 0 false, 1 true
  HANDLE connectedEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  HANDLE lostEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);

  void Reset() {
    connected = 0;
    lost = 0;
    alternates = true;
    last = -1;
    ResetEvent(connectedEvent);
    ResetEvent(lostEvent);
  }
  void Note(bool up) {
    const int expected = last == -1 ? 1 : 1 - last;
    if ((up ? 1 : 0) != expected) alternates = false;
    last = up ? 1 : 0;
    if (up) {
      ++connected;
      SetEvent(connectedEvent);
    } else {
      ++lost;
      SetEvent(lostEvent);
    }
  }
};

inline ConnectionLog& Connections() {
  static ConnectionLog log;
  return log;
}

inline void __cdecl OnConnection(bool connected) { Connections().Note(connected); }

// Flash progress reports, in order, on the caller's thread.
struct ProgressLog {
  std::vector<std::pair<unsigned, unsigned>> reports;
  // The passes the reports make: a pass goes on while its total stays and
  // `done` does not fall. Each gives its total, or 0 when it did not end
  // with (total, total).
  std::vector<unsigned> Passes() const {
    std::vector<unsigned> totals;
    unsigned total = 0, last = 0;
    bool open = false;
    for (const auto& r : reports) {
      if (!open || r.second != total || r.first < last) {
        if (open) totals.push_back(last == total ? total : 0);
        open = true;
        total = r.second;
      }
      last = r.first;
    }
    if (open) totals.push_back(last == total ? total : 0);
    return totals;
  }
};

inline ProgressLog& Progress() {
  static ProgressLog log;
  return log;
}

inline void __cdecl OnProgress(unsigned done, unsigned total) {
  Progress().reports.emplace_back(done, total);
}

}  // namespace wintest
