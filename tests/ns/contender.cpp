// A second application for the multi-process tests: connects within the
// time-out given, holds the instrument for a while, then frees it.
//   zervon-contender TIMEOUT_MS HOLD_MS    exit 0 when it got the instrument
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "zervon.h"

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  unsigned timeout = static_cast<unsigned>(strtoul(argv[1], nullptr, 10));
  unsigned hold = static_cast<unsigned>(strtoul(argv[2], nullptr, 10));
  if (!ZervConnect(-1, timeout)) return 1;
  printf("%s\n", ZervGetSerialNumber());
  fflush(stdout);
  usleep(hold * 1000);
  ZervFree();
  return 0;
}
