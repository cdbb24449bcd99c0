/*
 * Zervon SDK: the portability and utility functions of the Linux and macOS
 * builds, exported under C++ names for applications and tools.
 *
 * They carry Win32 names and shapes so that code using them reads the same on
 * every platform. The Windows build does not export them.
 */
#ifndef ZERVON_PLATFORM_H
#define ZERVON_PLATFORM_H

#ifndef __cplusplus
#  error "zervon_platform.h declares C++ functions; include it from C++"
#endif

#include "zervon.h"

/* ---- Strings and versions ---- */

/* Trim whitespace (space, tab, line feed, vertical tab, form feed, carriage
 * return; bytes 0x80 and above never count) in place: at the end, at the
 * start (the text is moved to the start of its buffer), or both. A null
 * pointer is accepted and does nothing. */
ZERVON_EXT_API void StringTrimRight(char* text);
ZERVON_EXT_API void StringTrimLeft(char* text);
ZERVON_EXT_API void StringTrim(char* text);

/* Packs "a.b.c.d" into (a << 24) | (b << 16) | (c << 8) | d, without masking
 * the fields (so only fields of 0 to 255 compare correctly). Fields the text
 * does not supply count as 0; a null pointer gives 0. */
ZERVON_EXT_API unsigned int ConvertVersion(const char* text);

#endif /* ZERVON_PLATFORM_H */
