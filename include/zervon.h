/*
 * Zervon SDK: the flat interface.
 *
 * One instrument per process, reached through plain functions over the
 * library's own state. These functions are exported under their plain C
 * names on every platform (cdecl on Windows x86) and form the stable
 * boundary of the library.
 *
 * General guarantees
 *  - No function throws, prints (except the diagnostics of zervon_ext.h) or
 *    keeps an error text; a failure is told only by the result.
 *  - Every exchange with the instrument is serialised by one recursive API
 *    lock: calls from several threads never interleave on the wire, and a
 *    callback that runs under that lock (a flash progress callback) may call
 *    any other function on the same thread.
 *  - The library never allocates memory that the caller must free; text
 *    results point into static buffers owned by the library.
 *
 * Exchange result codes (int)
 *   0  the request was written whole and the reply, if one was asked for,
 *      had exactly the expected length;
 *   1  no port is open, or a write or read failed or timed out;
 *   2  a short transfer: fewer request bytes were written than asked, or the
 *      reply had another length than expected.
 */
#ifndef ZERVON_H
#define ZERVON_H

#if defined(_WIN32)
#  if defined(ZERVON_BUILDING)
#    define ZERVON_API __declspec(dllexport)
#  else
#    define ZERVON_API __declspec(dllimport)
#  endif
#  define ZERVON_CALL __cdecl
#else
#  define ZERVON_API __attribute__((visibility("default")))
#  define ZERVON_CALL
#endif

/* The further entry points, the portability functions and the exported
 * globals exist on the Linux and macOS builds only and carry C++ names. */
#if defined(_WIN32)
#  define ZERVON_EXT_API
#else
#  define ZERVON_EXT_API __attribute__((visibility("default")))
#endif

#ifndef __cplusplus
#  include <stdbool.h>
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The library's own version, packed one byte per field: major in bits 31-24,
 * minor in 23-16, third number in 15-8, fourth in 7-0. This release answers
 * 0x01000501 ("1.0.5.1"). Any thread; takes no lock and touches no state. */
ZERVON_API unsigned int ZERVON_CALL ZervGetVersion(void);

#ifdef __cplusplus
}
#endif

#endif /* ZERVON_H */
