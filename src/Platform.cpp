// Threads, sleeping and descriptor closing on the POSIX builds, and the two
// events that the periodic timers set.
#include "stdafx.h"
#include "Platform.h"

#include <climits>
#include <unistd.h>

// Built clear at load, SIGUSR1's first. They live in this unit, the first
// platform unit the library links, so they exist before any other unit's
// objects that might wait on them.
CAutoResetEvent g_hSigUsr1Event(false);
CAutoResetEvent g_hSigUsr2Event(false);

int CloseHandle(long fd) {
  if (fd < 0 || fd > INT_MAX) return 0;  // not a descriptor number; do not close another
  if (close(static_cast<int>(fd)) == 0) return 1;
#if defined(__linux__)
  // Linux releases the descriptor even when close is interrupted by a
  // signal; reporting a failure would invite a second close of a number that
  // may already belong to another file.
  if (errno == EINTR) return 1;
#endif
  return 0;
}

void SleepEx(unsigned int ms) {
  const timespec deadline = zervon_detail::DeadlineAfter(ms);
  timespec request;
  request.tv_sec = static_cast<time_t>(ms / 1000u);
  request.tv_nsec = static_cast<long>(ms % 1000u) * 1000000L;
  while (nanosleep(&request, nullptr) != 0 && errno == EINTR) {
    // A signal (a timer's, for instance) cut the sleep short: sleep on for
    // what is left, measured on the monotonic clock so that many
    // interruptions neither cut nor stretch the whole.
    if (zervon_detail::DeadlineReached(deadline)) return;
    request = zervon_detail::TimeLeft(deadline);
  }
}

int CreateThread(pthread_t* handle, void* (*start)(void*), void* arg) {
  if (handle == nullptr || start == nullptr) return 0;
  return pthread_create(handle, nullptr, start, arg) == 0 ? 1 : 0;
}

void CloseThread(pthread_t) {}
