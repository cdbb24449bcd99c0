// Stand-in for <dispatch/dispatch.h>, used only to compile-check the macOS
// units on Linux. It declares, as the system header does for C++ without
// blocks, the few dispatch types and functions the library uses: dispatch
// objects form a class hierarchy (a source and a queue are objects, a
// global queue is a queue), so the checks see the same conversions.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <time.h>

typedef uint64_t dispatch_time_t;
#define DISPATCH_TIME_NOW (0ull)
#define DISPATCH_TIME_FOREVER (~0ull)
#define DISPATCH_QUEUE_PRIORITY_DEFAULT 0

typedef struct dispatch_object_s {
 private:
  dispatch_object_s();
  ~dispatch_object_s();
  dispatch_object_s(const dispatch_object_s&);
  void operator=(const dispatch_object_s&);
} * dispatch_object_t;
typedef struct dispatch_source_s : public dispatch_object_s {} * dispatch_source_t;
typedef struct dispatch_queue_s : public dispatch_object_s {} * dispatch_queue_t;
typedef struct dispatch_queue_global_s : public dispatch_queue_s {} * dispatch_queue_global_t;
typedef const struct dispatch_source_type_s* dispatch_source_type_t;
typedef void (*dispatch_function_t)(void*);

extern "C" {
extern const struct dispatch_source_type_s _dispatch_source_type_timer;
#define DISPATCH_SOURCE_TYPE_TIMER (&_dispatch_source_type_timer)

dispatch_queue_global_t dispatch_get_global_queue(intptr_t identifier, uintptr_t flags);
dispatch_source_t dispatch_source_create(dispatch_source_type_t type, uintptr_t handle,
                                         uintptr_t mask, dispatch_queue_t queue);
void dispatch_source_set_timer(dispatch_source_t source, dispatch_time_t start,
                               uint64_t interval, uint64_t leeway);
dispatch_time_t dispatch_walltime(const struct timespec* when, int64_t delta);
void dispatch_source_set_event_handler_f(dispatch_source_t source, dispatch_function_t handler);
void dispatch_source_cancel(dispatch_source_t source);
void dispatch_set_context(dispatch_object_t object, void* context);
void dispatch_resume(dispatch_object_t object);
}
