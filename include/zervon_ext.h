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

#include <stddef.h>

#include "zervon.h"

/* Writes `commandLength` bytes of `command` (200 ms write time-out) and, when
 * `reply` is not null and `replyLength` is not 0, reads one reply of exactly
 * `replyLength` bytes (200 ms read time-out). Input that was already waiting
 * in the port is discarded before a request that expects a reply; after an
 * exchange whose reply was cut short or never came, the next such request
 * first waits until the line has been quiet for that exchange's read
 * time-out (at most 1 s, more only while bytes keep coming, and never
 * beyond 1 s past that), so a late reply to an earlier request is not taken
 * for this one. A reply shorter than `replyLength` therefore makes the next
 * exchange wait. Bytes of a reply beyond `replyLength` stay in the port
 * until the next such request.
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

/* ---- Display-module memory map ----
 * The same contract as the SPI-flash region functions of zervon.h, on the
 * display module's memory map (regions of MemoryMap). True for success,
 * false for any failure, a region outside 0 to 3 (nothing sent) and, for the
 * write, a length above the region's capacity (nothing sent). Any thread;
 * the API lock is held for the whole transfer. */

/* Reads `length` bytes from the base of `region`; a read longer than the
 * region goes on into the memory behind it. */
ZERVON_EXT_API bool ZervMemMapReadEx(MemoryMap region, unsigned char* data, unsigned int length,
                                     ZervFlashProgressCallback cb);

/* Erases the whole region, writes exactly `length` bytes of `data` at its
 * base, reads them back and compares them. */
ZERVON_EXT_API bool ZervMemMapWriteEx(MemoryMap region, unsigned char* data, unsigned int length,
                                      ZervFlashProgressCallback cb);

/* ---- Connection ---- */

/* Wakes the connect thread to check the instrument at once (it closes the
 * port and reports a loss when the instrument's node is gone). Any thread. */
ZERVON_EXT_API void ReconnectDevice();

/* A notify callback that calls ReconnectDevice() for message 537 (the
 * Windows device-change message) and ignores every other message. */
ZERVON_EXT_API void WinEventCb(unsigned int message, unsigned int wParam, unsigned long lParam);

/* Stores `callback` in the notify registry under `id`, replacing an earlier
 * one; null disables the entry. The Linux and macOS builds keep the registry
 * but never call its entries. Any thread. */
ZERVON_EXT_API void RegisterNotifyEvent(unsigned int id,
                                        void (*callback)(unsigned int message, unsigned int wParam,
                                                         unsigned long lParam));

/* ---- Identity write-back ---- */

/* Stores both records in the cached record block (each field's low bits, as
 * the block holds them) and sends the whole block back to the instrument as
 * a block write. True when that exchange succeeded (result code 0). A null
 * record gives false and sends nothing. The cache keeps the new values even
 * when the exchange fails. Takes the API lock. */
ZERVON_EXT_API bool ZervSetDeviceInformation(MODEL_INFORMATION* model, HW_INFORMATION* hw);

/* ---- Manufacturing information ----
 * Four bytes (offsets 60 to 63 of the instrument's manufacturing block) that
 * the library does not interpret. */

/* Copies min(length, 4) bytes of it into `data`. False (and `data` untouched)
 * when the block could not be read, or for a null `data` with length > 0.
 * Takes the API lock. */
ZERVON_EXT_API bool ZervReadMfgInfo(unsigned char* data, size_t length);

/* Replaces min(length, 4) bytes of it with `data`: reads the block and sends
 * it back with those bytes changed and the rest as read. False when the
 * read failed (nothing is written then) or for a null `data` with length > 0;
 * true once the read succeeded (the instrument's answer to the write-back is
 * not checked). Takes the API lock. */
ZERVON_EXT_API bool ZervWriteMfgInfo(const unsigned char* data, size_t length);

/* ---- Firmware burning ----
 * The instrument's firmware is replaced through its in-system-programming
 * (ISP) loader. The image's first 32 KiB always travel through the loader in
 * rows of 32 bytes; on instruments with firmware main version 3 or higher an
 * image above 32 KiB is split, and the rest (the BMP block) goes into the SPI
 * flash at 0x18000. After verifying, the library leaves the loader, waits
 * 5 s for the instrument to restart, finds it again and writes the image's
 * version into its record block.
 *
 * Result codes (int) of ZervLoadBinFile and ZervBurnBinFile
 *     0  success
 *    -2  the record block could not be read after connecting, or it lacked
 *        the product marker
 *    -3  no instrument found (5 attempts, about 5 s)
 *    -4  "FWPS" (enter the loader) not written whole
 *    -5  a "FWPW" (write a row) not written whole
 *    -6  the reply to a "FWPW" was not 40 bytes
 *    -7  a "FWPR" (read a row) not written whole
 *    -8  the reply to a "FWPR" was not 40 bytes
 *    -9  verification mismatch: a row read back through the loader, or BMP
 *        block data read back from the SPI flash, differs from the image
 *   -10  "FWPU" (leave the loader) not written whole
 *   -11  the instrument was not found again after its restart (15 attempts)
 *   -12  the record block was not written whole (64 bytes)
 *   -13  the reply to the record-block write was not 64 bytes
 *   -14  no image loaded; the instrument is not touched
 *   -15  the image is too large: above 0x8000 + 0x1E8000 bytes (load), or
 *        above 64 KiB on an instrument that takes the whole image through
 *        the loader (main version 2 or lower); nothing is sent then
 *   -16  the SPI-flash erase of the BMP block failed
 *   -17  the SPI-flash write of the BMP block failed
 *   -18  an exchange of the SPI-flash read-back of the BMP block failed
 *   -20  the image file cannot be opened or read
 *   -21  the image file is empty
 *   -22  a version pointer is null or a version is outside 0 to 255
 * After a failure between entering and leaving the loader the instrument
 * stays in its loader; a new burn starts over. */

/* Loads the raw firmware image in the file `path`: the file's bytes are the
 * image, its last 32-byte row padded with 0xFF. *mainVersion and *subVersion
 * (0 to 255 each; read, not written) are the image's version, which the burn
 * writes into the instrument's record block afterwards. Loading again
 * replaces the image; a failed load (-20, -21, -22, -15) leaves the image
 * loaded before untouched. Takes the API lock (never waits for a burn to be
 * half done). */
ZERVON_EXT_API int ZervLoadBinFile(char* path, int* mainVersion, int* subVersion);

/* Burns the loaded image into the instrument and returns the result code
 * (0 only when every row and packet was verified, the instrument came back
 * and took the new version). Takes the instrument's port (the one the
 * connection holds, else it searches as ZervConnect does) and holds the API
 * lock for the whole burn, which takes 5 s and more: other calls, the
 * connection and the monitor wait meanwhile. After the restart it takes back
 * only the instrument it burned (the serial number and hardware code read
 * before the burn), wherever it comes back: another instrument found on the
 * way is released at once, nothing written to it. Afterwards the port is
 * closed; a running connection (ZervInit, ZervConnect) reports the loss and
 * then the restarted instrument through its callback as usual, following it
 * to the node it came back under (a connection made to a given port moves
 * to that node for good).
 *
 * `callback(stage, value)` (may be null) runs on the caller's thread with
 * the API lock held:
 *   stage 0  erasing the SPI flash (values 3 to 10; only with a BMP block)
 *   stage 1  writing (V2: 0 to 49; with a BMP block: 10 to 50)
 *   stage 2  verifying (V2: 49 to 98; with a BMP block: 50 to 99)
 *   stage 3  verified, leaving the loader (99)
 *   stage 4  the instrument has restarted, reconnecting (100)
 *   stage 5  finished: the result code, reported exactly once. */
ZERVON_EXT_API int ZervBurnBinFile(void (*callback)(int stage, int value));

/* ---- Diagnostics ----
 * For bench testing; the only functions of the library that print (to
 * standard output). */

/* Prints "done - total\n"; fits the progress callback of a firmware burn. */
ZERVON_EXT_API void ProgressCB(int done, int total);

/* Prints both numbers as eight hexadecimal digits, "00001000/00010000\r\n";
 * fits the progress callback of the flash functions. */
ZERVON_EXT_API void FlashAccessProgressHandler(unsigned int done, unsigned int total);

/* A connection callback: on true prints "connected" and runs DebugTest()
 * (which never returns); on false does nothing. */
ZERVON_EXT_API void DebugConnectedHandler(bool connected);

/* Exchanges the record-block read request and discards the answer. */
ZERVON_EXT_API void DebugReadFlashTable();

/* The endless bench cycle: eleven fixed setting requests, each followed by
 * DebugReadFlashTable(), over and over. The first call never returns; every
 * later call, on any thread, returns at once. */
ZERVON_EXT_API void DebugTest();

#endif /* ZERVON_EXT_H */
