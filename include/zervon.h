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
 * On Windows a transfer on an open port never fails outright: a time-out or
 * an I/O error counts as a short transfer of the bytes that did move (0 when
 * none did), so there 1 means only that no port is open and every other
 * failure is 2.
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

/* ---- Flash regions and progress ---- */

/* In C++ the region selectors have the fixed underlying type int, so that
 * any value a caller passes is a valid value of the type (and is refused by
 * the transfers when it is outside 0 to 3). In C they are plain enums. */
#ifdef __cplusplus
#  define ZERVON_ENUM_BASE : int
#else
#  define ZERVON_ENUM_BASE
#endif

/* Regions of the instrument's SPI flash chip. Together they tile the chip's
 * first 2 MiB. */
typedef enum ChipFlash ZERVON_ENUM_BASE {
  CHIP_FLASH_REGION_0 = 0, /* base 0x000000, capacity 0x008000 (32 KiB) */
  CHIP_FLASH_REGION_1 = 1, /* base 0x008000, capacity 0x008000 (32 KiB) */
  CHIP_FLASH_REGION_2 = 2, /* base 0x010000, capacity 0x008000 (32 KiB);
                              holds the display-module calibration result */
  CHIP_FLASH_REGION_3 = 3  /* base 0x018000, capacity 0x1E8000 (1952 KiB);
                              holds the firmware image beyond its first 32 KiB */
} ChipFlash;

/* Regions of the display module's memory map. */
typedef enum MemoryMap ZERVON_ENUM_BASE {
  MEMORY_MAP_REGION_0 = 0, /* base 0x000000, capacity 0x100000 (1 MiB) */
  MEMORY_MAP_REGION_1 = 1, /* base 0x300000, capacity 0x002000 (8 KiB) */
  MEMORY_MAP_REGION_2 = 2, /* base 0x302000, capacity 0x001000 (4 KiB) */
  MEMORY_MAP_REGION_3 = 3  /* base 0x308000, capacity 0x001000 (4 KiB) */
} MemoryMap;

/* Progress of a flash or memory-map transfer: `done` bytes of `total`.
 * A write transfer reports three passes one after the other (erase, write,
 * read-back), each counting from 0 and ending with (total, total); a read
 * reports one pass. It runs on the caller's thread, inside the transfer,
 * with the API lock held: it may call any other function of the library on
 * that thread (a transfer started from it runs to its end before the outer
 * one goes on). Pass null for no reports. */
typedef void (*ZervFlashProgressCallback)(unsigned int done, unsigned int total);

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Connection ----
 * The library keeps the instrument in a background thread of its own (the
 * connect thread): it searches for the instrument's port, holds it
 * exclusively (its lock file keeps other processes using the library away,
 * and on Linux and macOS the port's exclusive mode and lock keep other
 * programs away; a port that another program holds is left alone), switches the
 * instrument to host control, and when the instrument is unplugged it closes
 * the port, tells the application and searches again. */

/* The connection callback: true when the instrument has been connected (the
 * port is open, the record block cached, the instrument under host control),
 * false when it has been lost (the port is closed and the records read as
 * zeros). Calls strictly alternate, starting with true. It runs on the
 * connect thread, never with the API lock held, and may call any function
 * of the library, ZervFree included. */
typedef void (*ZervConnectionCallback)(bool connected);

/* Starts the connect thread searching every port; `callback` (may be null)
 * hears of every connection and loss from then on. Result: the thread runs.
 * When it already runs, the callback is replaced and nothing is started.
 * Returns at once. */
ZERVON_API bool ZERVON_CALL ZervInit(ZervConnectionCallback callback);

/* Starts the connect thread on port number `port` (the N of `/dev/ttyACM<N>`,
 * or -1 for any port) and waits up to `timeoutMs` for the instrument to be
 * connected, without holding the API lock. True when it was; the thread goes
 * on running (no callback is called afterwards). False after the whole
 * time-out, and the thread has then been stopped (as by ZervFree). A thread
 * that is already connected sees no new connection: call ZervFree first. */
ZERVON_API bool ZERVON_CALL ZervConnect(int port, unsigned int timeoutMs);

/* Stops the connect thread: it closes the port and releases the instrument.
 * Returns when the thread has ended (at once when none runs); a search in
 * progress ends within about two seconds. Called from the connection
 * callback it does not wait for itself; the thread ends right after the
 * callback returns. Do not call it while holding the API lock (from a flash
 * progress callback). */
ZERVON_API void ZERVON_CALL ZervFree(void);

/* ---- Records ----
 * Cut from the instrument's 64-byte record block, which the library caches
 * at every connection (all zero while no instrument is connected). The
 * records are plain structures owned by the caller. */

/* Model and serial number. The serial-number text is
 * "V" cModel1 cModel2 cSerialGroup1 cSerialGroup2 "-" nSerialGroup3 nSerialGroup4,
 * e.g. "VRX2107-030300". The char fields are the platform's plain char
 * (signed on x86, unsigned on ARM), which matters for values of 128 and up. */
typedef struct MODEL_INFORMATION {
  char cModel1;       /* block byte 6 */
  char cModel2;       /* block byte 7 */
  char cSerialGroup1; /* block byte 8, a number */
  char cSerialGroup2; /* block byte 9, a number */
  int nSerialGroup4;  /* block bytes 11 and 12, big-endian, 0 to 65535 */
  int nSerialGroup3;  /* block byte 10, 0 to 255 */
} MODEL_INFORMATION;

/* Hardware code and firmware version, one block byte (0 to 255) each. */
typedef struct HW_INFORMATION {
  int nFirmwareMain; /* block byte 14 */
  int nFirmwareSub;  /* block byte 15 */
  int nHWCode;       /* block byte 13 */
} HW_INFORMATION;

/* ---- Identity ---- */

/* Fills *info from the cached record block; no exchange with the
 * instrument. With no instrument connected the fields are all 0 and the
 * result is still true. Result false only for a null `info` (nothing is
 * touched then). Any thread; takes the API lock. */
ZERVON_API bool ZERVON_CALL ZervGetDeviceInformation(MODEL_INFORMATION* info);

/* The same for the hardware code and firmware version. */
ZERVON_API bool ZERVON_CALL ZervGetHWInformation(HW_INFORMATION* info);

/* The serial number as text, e.g. "VRX2107-030300" (at most 20 characters).
 * Never null: with no instrument connected the text is "V". The buffer
 * belongs to the library and is overwritten by the next call on any thread;
 * copy it if you keep it. Takes the API lock. */
ZERVON_API const char* ZERVON_CALL ZervGetSerialNumber(void);

/* ---- Settings and measurement ---- */

/* Sends the 8-byte setting command 00 a b c d 00 01 00 (each argument's low
 * 8 bits; no range check, no reply). Result: the exchange code (0 all 8
 * bytes written, 1 no port / time-out / error, 2 written in part). Takes
 * the API lock. */
ZERVON_API int ZERVON_CALL ZervUpdateSetting(int a, int b, int c, int d);

/* The same with a fifth setting byte: 00 a b c d e 01 00. */
ZERVON_API int ZERVON_CALL ZervUpdateSettingEx(int a, int b, int c, int d, int e);

/* Reads the status report: the five report bytes (0 to 255) and the measured
 * value, scaled to hundredths when the first report byte is 3 or 4 and to
 * thousandths otherwise. Any pointer may be null; nothing is stored through
 * it. Result 0 on success; 2 on any failure (no port, time-out, a reply of
 * fewer than 27 bytes or not starting with 0x14), and then nothing is stored.
 * Takes the API lock for the exchange only. */
ZERVON_API int ZERVON_CALL ZervReadValue(int* out1, int* out2, int* out3, int* out4,
                                         int* out5, double* value);

/* 1 when the battery is fine, 0 when the instrument reports it low, or when
 * the status report could not be read. Takes the API lock for the exchange. */
ZERVON_API int ZERVON_CALL ZervGetBatteryStatus(void);

/* The library's own version, packed one byte per field: major in bits 31-24,
 * minor in 23-16, third number in 15-8, fourth in 7-0. This release answers
 * 0x01000501 ("1.0.5.1"). Any thread; takes no lock and touches no state. */
ZERVON_API unsigned int ZERVON_CALL ZervGetVersion(void);

/* ---- SPI flash ----
 *
 * Common to the four functions below: the result is true for success and
 * false for any failure (no port, a time-out, a short reply, a refused
 * argument, a working buffer that could not be allocated, or a read-back
 * that differs from what was written); no reason is kept. Any thread. The
 * API lock is held for the whole transfer, so no other call of the library
 * exchanges with the instrument in between; a long transfer (a whole region
 * 3 write is about 190,000 exchanges) holds it throughout. The data travel
 * 32 bytes per exchange. A null buffer with a non-zero length, or a
 * transfer that would run past the flash's 24-bit address space, is refused
 * with nothing sent.
 */

/* Reads `length` bytes of the SPI flash from address 0 into `data`.
 * On failure `data` holds what arrived before the failing exchange. */
ZERVON_API bool ZERVON_CALL ZervSPIFlashRead(unsigned char* data, unsigned int length,
                                             ZervFlashProgressCallback cb);

/* Reads `length` bytes from the base of `region`; a read longer than the
 * region goes on into the memory behind it. A region outside 0 to 3 gives
 * false with nothing sent. */
ZERVON_API bool ZERVON_CALL ZervSPIFlashReadEx(ChipFlash region, unsigned char* data,
                                               unsigned int length,
                                               ZervFlashProgressCallback cb);

/* Replaces the SPI flash content from address 0: `length` bytes of `data`,
 * padded with 0xFF to the next 4 KiB boundary, are erased, written and read
 * back, and every byte of the padded image is compared. Length 0 sends
 * nothing and gives true. On failure the flash is left as far as the
 * transfer got (erased, or written in part); a verification mismatch leaves
 * the written data in place. */
ZERVON_API bool ZERVON_CALL ZervSPIFlashWrite(unsigned char* data, unsigned int length,
                                              ZervFlashProgressCallback cb);

/* Replaces the content of `region`: refuses more than the region's capacity
 * (false, nothing sent), otherwise erases the whole region, writes exactly
 * `length` bytes at its base (the rest of the region stays erased, 0xFF),
 * reads them back and compares them. Length 0 erases the region and gives
 * true. A region outside 0 to 3 gives false with nothing sent. */
ZERVON_API bool ZERVON_CALL ZervSPIFlashWriteEx(ChipFlash region, unsigned char* data,
                                                unsigned int length,
                                                ZervFlashProgressCallback cb);

/* ---- Display-module calibration ---- */

/* Starts the display module's calibration (one exchange, 200 ms for the
 * reply). True when the instrument answered with a reply of the full length;
 * false with no port open (at once, nothing waited for), on a time-out or a
 * short reply. The library keeps no calibration state. Any thread; takes the
 * API lock. */
ZERVON_API bool ZERVON_CALL ZervStartLCMCalibration(void);

/* Stops the calibration and stores its 24-byte result at the start of
 * SPI flash region 2 as ZervSPIFlashWriteEx does (erase of the region,
 * write, read-back and compare), reporting through `cb` as that does.
 * True when the result was written and verified. False when the stop
 * exchange failed (then the flash is not touched) or the store failed (then
 * the result is lost: the library does not keep it). Any thread; the API
 * lock is held for the whole call, the flash store included. */
ZERVON_API bool ZERVON_CALL ZervStopLCMCalibration(ZervFlashProgressCallback cb);

#ifdef __cplusplus
}
#endif

#endif /* ZERVON_H */
