// The demo: a virtual instrument on a pseudo-terminal, its port handed to the
// library the way an application that opened it itself would, and what the
// library then reads from it.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "VirtualInstrument.h"
#include "zervon.h"
#include "zervon_ext.h"

extern unsigned char g_DeviceHWInfo[64];

namespace {

void PrintBlock(const unsigned char* block) {
  for (int row = 0; row < 64; row += 16) {
    printf("  %02x:", row);
    for (int i = row; i < row + 16; ++i) printf(" %02x", block[i]);
    printf("\n");
  }
}

}  // namespace

int main() {
  zsim::VirtualInstrument instrument;
  instrument.SetMeasuredAuto(true);
  if (!instrument.Start()) {
    fprintf(stderr, "zervon-demo: cannot open a pseudo-terminal\n");
    return 1;
  }
  printf("virtual instrument on %s\n", instrument.SlavePath().c_str());

  int fd = instrument.OpenHostPort();
  if (fd < 0) {
    fprintf(stderr, "zervon-demo: cannot open %s\n", instrument.SlavePath().c_str());
    return 1;
  }
  ZervSetDeviceHandle(reinterpret_cast<void*>(static_cast<intptr_t>(fd)));

  unsigned int version = ZervGetVersion();
  printf("library version %u.%u.%u.%u (0x%08x)\n", version >> 24, (version >> 16) & 0xFF,
         (version >> 8) & 0xFF, version & 0xFF, version);
  printf("record block:\n");
  PrintBlock(g_DeviceHWInfo);

  MODEL_INFORMATION model;
  HW_INFORMATION hw;
  ZervGetDeviceInformation(&model);
  ZervGetHWInformation(&hw);
  printf("model %c%c, serial number %s, hardware code %d, firmware %d.%d\n", model.cModel1,
         model.cModel2, ZervGetSerialNumber(), hw.nHWCode, hw.nFirmwareMain, hw.nFirmwareSub);

  int status = 1;
  for (int i = 0; i < 3; ++i) {
    int r[5];
    double value = 0;
    status = ZervReadValue(&r[0], &r[1], &r[2], &r[3], &r[4], &value);
    if (status != 0) break;
    printf("measurement %d: report %d %d %d %d %d, value %.3f\n", i + 1, r[0], r[1], r[2], r[3], r[4],
           value);
    usleep(300 * 1000);
  }
  printf("battery %s\n", ZervGetBatteryStatus() ? "good" : "low");

  ZervSetDeviceHandle(reinterpret_cast<void*>(static_cast<intptr_t>(-1)));
  close(fd);
  instrument.Stop();
  return status == 0 ? 0 : 1;
}
