// Flash unit: the packet commands that reach the instrument's SPI flash chip
// and its display module's memory map, and the whole-region transfers built
// from them.
//
// Nothing here takes a lock. The entry points hold the API lock for a whole
// transfer (see main.h); whoever calls the primitives directly serialises
// them itself, since they share the one port and g_FlashAccessCb.
#pragma once

#include "zervon.h"

// Two-byte target signatures of the flash command family (not terminated).
extern const unsigned char QFlashSignature[2];  // "QF": the SPI flash chip
#if !defined(_WIN32)
extern const unsigned char LCMSignature[2];  // "LM": the display memory map
#endif

// Progress reporting of the flash primitives: null reports nothing. The
// primitives read it at every report and never set it; callers store theirs
// first. It keeps its value after a primitive returns.
extern ZervFlashProgressCallback g_FlashAccessCb;

// One region of a memory: its first address and its size in bytes.
struct FlashRegion {
  unsigned int base;
  unsigned int capacity;
};

// The region a selector stands for, or null for a value outside 0 to 3.
const FlashRegion* ChipFlashRegion(ChipFlash region);
#if !defined(_WIN32)
const FlashRegion* MemoryMapRegion(MemoryMap region);
#endif

// Packet primitives. Each moves `length` bytes starting at the 24-bit
// `address` of the memory named by `signature`, 32 data bytes per exchange,
// and returns 1 for success, 0 for failure. A failed exchange ends the
// primitive at once: the packets before it have taken effect, and no final
// report is made. A transfer that would run past the 24-bit address space,
// or a null buffer with a non-zero length, gives 0 with nothing sent.
//
// DoFlashRead reports (offset before the packet, length) after each packet,
// then (length, length).
int DoFlashRead(unsigned int address, unsigned char* buffer, unsigned int length,
                const unsigned char* signature);
// DoFlashWrite raises the port's read time-out to 2000 ms for the transfer,
// reports (offset after the packet, length) after each packet, then
// (length, length), and puts back the normal time-outs (100 ms read, 200 ms
// write) on every way out.
int DoFlashWrite(unsigned int address, const unsigned char* data, unsigned int length,
                 const unsigned char* signature);
// DoFlashErase raises `length` to whole 4 KiB sectors and erases in 32 KiB
// blocks (2000 ms per reply) when that erase length is a multiple of 32 KiB,
// else in 4 KiB sectors (400 ms per reply), from `address` on without
// aligning it. Reports (offset before the erase, erase length) after each
// erase, then (erase length, erase length); the normal time-outs are put back
// on every way out.
int DoFlashErase(unsigned int address, unsigned int length, const unsigned char* signature);

// The primitives bound to one memory.
int DoSPIFlashRead(unsigned int address, unsigned char* buffer, unsigned int length);
int DoSPIFlashWrite(unsigned int address, const unsigned char* data, unsigned int length);
int SPIFlashErase(unsigned int address, unsigned int length);
#if !defined(_WIN32)
int DoMemMapRead(unsigned int address, unsigned char* buffer, unsigned int length);
int DoMemMapWrite(unsigned int address, const unsigned char* data, unsigned int length);
int MemMapErase(unsigned int address, unsigned int length);
#endif

// Whole transfers; 1 for success, 0 for failure. Each stores `callback` in
// g_FlashAccessCb first (a transfer started from inside another transfer's
// callback gives the outer one its callback back when it ends). A region
// value outside 0 to 3 gives 0 with nothing sent; so does a working buffer
// that cannot be allocated.
//
// Reads: `length` bytes from address 0 or from the region's base, not limited
// by the region's capacity.
int SPIFlashRead(unsigned char* buffer, unsigned int length, ZervFlashProgressCallback callback);
int SPIFlashReadEx(ChipFlash region, unsigned char* buffer, unsigned int length,
                   ZervFlashProgressCallback callback);
// SPIFlashWrite: erases, writes and verifies whole 4 KiB sectors from address
// 0, the data padded with 0xFF to the next sector boundary.
int SPIFlashWrite(const unsigned char* data, unsigned int length,
                  ZervFlashProgressCallback callback);
// The region writes: refuse more than the region's capacity; erase the whole
// region, write exactly `length` bytes at its base, read them back and
// compare.
int SPIFlashWriteEx(ChipFlash region, const unsigned char* data, unsigned int length,
                    ZervFlashProgressCallback callback);
#if !defined(_WIN32)
int MemMapReadEx(MemoryMap region, unsigned char* buffer, unsigned int length,
                 ZervFlashProgressCallback callback);
int MemMapWriteEx(MemoryMap region, const unsigned char* data, unsigned int length,
                  ZervFlashProgressCallback callback);
#endif
