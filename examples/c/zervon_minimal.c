/*
 * The shortest way to the instrument: connect, read its identity, take one
 * measurement, let it go.
 *
 *   zervon-minimal [N]     N: the instrument's node /dev/ttyACM<N> (default: any)
 *
 * Build against an installed SDK:
 *   cc zervon_minimal.c $(pkg-config --cflags --libs zervon) -o zervon-minimal
 */
#include <stdio.h>
#include <stdlib.h>

#include "zervon.h"

int main(int argc, char** argv) {
  int port = -1; /* any /dev/ttyACM<N> */
  if (argc > 2) {
    fprintf(stderr, "usage: %s [N]\n", argv[0]);
    return 2;
  }
  if (argc == 2) {
    char* end = NULL;
    long n = strtol(argv[1], &end, 10);
    if (argv[1][0] == '\0' || *end != '\0' || n < 0 || n > 127) {
      fprintf(stderr, "%s: N is a node number 0 to 127, not '%s'\n", argv[0], argv[1]);
      return 2;
    }
    port = (int)n;
  }

  /* The library searches the port, locks it and switches the instrument to
   * host control; this waits up to 5 s for that. */
  if (!ZervConnect(port, 5000)) {
    fprintf(stderr, "%s: no instrument within 5 s\n", argv[0]);
    return 3;
  }

  MODEL_INFORMATION model;
  HW_INFORMATION hw;
  ZervGetDeviceInformation(&model);
  ZervGetHWInformation(&hw);
  unsigned int version = ZervGetVersion();
  printf("serial number %s, model %c%c, hardware code %d, firmware %d.%d, library %u.%u.%u.%u\n",
         ZervGetSerialNumber(), model.cModel1, model.cModel2, hw.nHWCode, hw.nFirmwareMain,
         hw.nFirmwareSub, version >> 24, (version >> 16) & 0xFF, (version >> 8) & 0xFF, version & 0xFF);

  int report[5];
  double value = 0;
  int rc = ZervReadValue(&report[0], &report[1], &report[2], &report[3], &report[4], &value);
  if (rc != 0) {
    fprintf(stderr, "%s: the status report could not be read (code %d)\n", argv[0], rc);
    ZervFree();
    return 1;
  }
  printf("measured %.3f (report %d %d %d %d %d), battery %s\n", value, report[0], report[1],
         report[2], report[3], report[4], ZervGetBatteryStatus() ? "good" : "low");

  ZervFree(); /* closes the port and releases the instrument */
  return 0;
}
