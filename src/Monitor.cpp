// Device monitor unit, every build: the notify registry. The map itself is
// one of the load-time objects that each build's main file defines in their
// order (main_posix.cpp, win/main_win.cpp): on Windows the window thread
// dispatches through it from load to unload.
#include "stdafx.h"
#include "Monitor.h"

#include <mutex>

#include "zervon_ext.h"

namespace {

// Guards g_mapNotifyEvent between its writers (the connect thread,
// applications) and the window thread that dispatches through it.
// Constant-initialised: usable whatever order the units come into being.
std::mutex g_notifyMutex;

}  // namespace

void RegisterNotifyEvent(unsigned int id, NotifyCallback callback) {
  std::lock_guard<std::mutex> guard(g_notifyMutex);
  g_mapNotifyEvent[id] = callback;
}

NotifyCallback LookupNotifyEvent(unsigned int id) {
  std::lock_guard<std::mutex> guard(g_notifyMutex);
  auto it = g_mapNotifyEvent.find(id);
  return it == g_mapNotifyEvent.end() ? nullptr : it->second;
}
