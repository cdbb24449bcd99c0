/*
 * Zervon SDK: the further entry points of the Linux and macOS builds.
 *
 * These are C++ functions, exported under their decorated (mangled) names;
 * include this header from C++ only. The Windows build does not have them.
 * The guarantees of zervon.h hold here too.
 */
#ifndef ZERVON_EXT_H
#define ZERVON_EXT_H

#ifndef __cplusplus
#  error "zervon_ext.h declares C++ entry points; include it from C++"
#endif

#include "zervon.h"

/* Writes `commandLength` bytes of `command` (200 ms write time-out) and, when
 * `reply` is not null and `replyLength` is not 0, reads one reply of exactly
 * `replyLength` bytes (200 ms read time-out). Input that was already waiting
 * in the port is discarded before a request that expects a reply, so a late
 * reply to an earlier request is never taken for this one; bytes of a reply
 * beyond `replyLength` stay in the port until the next such request.
 * Result: the exchange code 0/1/2 of zervon.h. A null `command` or a negative
 * length gives 1 and sends nothing. Any thread; takes the API lock. */
ZERVON_EXT_API int ZervSendCommand(unsigned char* command, int commandLength,
                               unsigned char* reply, int replyLength);

/* As ZervSendCommand, but `*replyLength` goes in as the number of bytes
 * wanted and, when a reply of another length arrives (result 2), comes back
 * as the number that did arrive. It stays unchanged on result 0 and 1.
 * A null `reply` or `replyLength` makes it a request without reply. */
ZERVON_EXT_API int ZervSendCommandEx(unsigned char* command, int commandLength,
                                 unsigned char* reply, int* replyLength);

/* The open port's file descriptor as a pointer-sized value, or
 * (void*)-1 (all bits set) when no port is open. Takes the API lock. */
ZERVON_EXT_API void* ZervGetDeviceHandle();

/* Hands the library a port that the application opened and configured
 * itself (read/write, non-blocking, raw, 115200): the library then reads and
 * writes through it as if it had opened it. Unless `handle` is 0, the
 * instrument's record block is read through it at once into the library's
 * cache (all zero when that read fails). The library does not configure the
 * port, lock it, or report a connection; the application keeps ownership
 * and closes it after handing over (void*)-1. Takes the API lock. */
ZERVON_EXT_API void ZervSetDeviceHandle(void* handle);

#endif /* ZERVON_EXT_H */
