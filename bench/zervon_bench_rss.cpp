// zervon-bench-rss: the resident size of one small application process, with
// or without the shared library.
//
//   zervon-bench-rss with|without [PORT]
//
// Both modes start a virtual instrument and plug it in as /dev/ttyACM<PORT>
// (inside the scratch namespace; elsewhere the node cannot be made). "with"
// then loads the shared library with dlopen and connects with
// ZervConnect(PORT, 5000). After a short rest the program prints
//   rss_kib: <VmRSS> connected: <0|1>
#include <dlfcn.h>

#include <thread>

#include "BenchSupport.h"
#include "VirtualInstrument.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: %s with|without [PORT]\n", argv[0]);
    return 2;
  }
  const bool withLibrary = std::string(argv[1]) == "with";
  const int port = argc > 2 ? atoi(argv[2]) : 5;
  zsim::VirtualInstrument sim;
  if (!sim.Start()) return 1;
  const char* mark = getenv("ZERVON_TEST_NAMESPACE");
  const bool ns = mark != nullptr && mark[0] == '1';
  if (ns) sim.Plug("/dev/ttyACM" + std::to_string(port));
  int connected = 0;
  void* library = nullptr;
  using ConnectFn = bool (*)(int, unsigned int);
  using FreeFn = void (*)();
  FreeFn freeFn = nullptr;
  if (withLibrary) {
    library = dlopen(ZERVON_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
      fprintf(stderr, "dlopen: %s\n", dlerror());
      return 1;
    }
    auto connect = reinterpret_cast<ConnectFn>(dlsym(library, "ZervConnect"));
    freeFn = reinterpret_cast<FreeFn>(dlsym(library, "ZervFree"));
    if (ns && connect != nullptr) connected = connect(port, 5000) ? 1 : 0;
  }
  // Let the connected library settle into its idle rhythm (a monitor pass).
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  printf("rss_kib: %ld connected: %d\n", zbench::ResidentKiB(), connected);
  fflush(stdout);
  if (freeFn != nullptr) freeFn();
  sim.Stop();
  return 0;
}
