// Stand-in for the one macOS pthread extension the library uses, forced into
// the compile-checks of the macOS units on Linux (glibc lacks it).
#pragma once

#include <pthread.h>
#include <time.h>

extern "C" int pthread_cond_timedwait_relative_np(pthread_cond_t* cond, pthread_mutex_t* mutex,
                                                  const struct timespec* relative);
