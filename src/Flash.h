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
extern const unsigned char LCMSignature[2];  // "LM": the display memory map

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
const FlashRegion* MemoryMapRegion(MemoryMap region);

// Data bytes one flash packet carries at most.
constexpr unsigned kFlashPacketData = 32;

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
// aligning it; each reply may come 50 ms later still (the link's allowance:
// an erase is answered only when the chip is done). Reports (offset before
// the erase, erase length) after each erase, then (erase length, erase
// length); the normal time-outs are put back on every way out.
int DoFlashErase(unsigned int address, unsigned int length, const unsigned char* signature);

// The primitives bound to one memory.
int DoSPIFlashRead(unsigned int address, unsigned char* buffer, unsigned int length);
int DoSPIFlashWrite(unsigned int address, const unsigned char* data, unsigned int length);
int SPIFlashErase(unsigned int address, unsigned int length);
int DoMemMapRead(unsigned int address, unsigned char* buffer, unsigned int length);
int DoMemMapWrite(unsigned int address, const unsigned char* data, unsigned int length);
int MemMapErase(unsigned int address, unsigned int length);

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
int MemMapReadEx(MemoryMap region, unsigned char* buffer, unsigned int length,
                 ZervFlashProgressCallback callback);
int MemMapWriteEx(MemoryMap region, const unsigned char* data, unsigned int length,
                  ZervFlashProgressCallback callback);

// ---- Firmware image and burner ----
//
// The image state is written only by FlashLoadBinFile and read by the burn;
// both run under the API lock, so an image never changes while it is burnt.

// Progress and result of a burn: (stage, value), see ZervBurnBinFile.
typedef void (*ZervBurnProgressCallback)(int stage, int value);

extern unsigned char* g_pFlashData;  // the image, g_nFlashSize rows; null while none is loaded
extern int g_nFlashSize;             // the image length in rows of 32 bytes
extern unsigned char g_bBinMainVer;  // the version the burn writes into the record block
extern unsigned char g_bBinSubVer;
// The burn's callback, set for the duration of a burn; null reports nothing.
extern ZervBurnProgressCallback g_FlashProgressCb;

// Result codes of the loader and the burn.
constexpr int kBurnOk = 0;
constexpr int kBurnRecordUnreadable = -2;     // no valid record block after connecting
constexpr int kBurnNoInstrument = -3;         // not found in 5 attempts
constexpr int kBurnEnterNotWritten = -4;      // "FWPS"
constexpr int kBurnRowNotWritten = -5;        // a "FWPW"
constexpr int kBurnRowWriteUnanswered = -6;   // its reply was not 40 bytes
constexpr int kBurnRowReadNotWritten = -7;    // a "FWPR"
constexpr int kBurnRowReadUnanswered = -8;    // its reply was not 40 bytes
constexpr int kBurnMismatch = -9;             // a row or BMP block packet read back differs
constexpr int kBurnLeaveNotWritten = -10;     // "FWPU"
constexpr int kBurnNotBack = -11;             // not found in 15 attempts after the restart
constexpr int kBurnRecordNotWritten = -12;    // the record block write
constexpr int kBurnRecordUnanswered = -13;    // its reply was not 64 bytes
constexpr int kBurnNoImage = -14;             // nothing loaded; the instrument is not touched
constexpr int kBurnImageTooLarge = -15;       // load: above any instrument; V2: above 64 KiB
constexpr int kBurnFlashEraseFailed = -16;    // V3: the BMP block's SPI-flash erase
constexpr int kBurnFlashWriteFailed = -17;    // V3: its SPI-flash write
constexpr int kBurnFlashReadFailed = -18;     // V3: an exchange of its SPI-flash read-back
constexpr int kLoadUnreadable = -20;          // the file cannot be opened or read
constexpr int kLoadEmpty = -21;               // the file holds no byte
constexpr int kLoadBadVersion = -22;          // a null version pointer or a value outside 0..255

// Loads the raw image file `path` (its last row padded with 0xFF) with the
// version *mainVersion.*subVersion, replacing the image loaded before. The
// two pointers are only read. 0, or a load code above with the image state
// unchanged. Takes the API lock.
int FlashLoadBinFile(char* path, int* mainVersion, int* subVersion);

// Burns the loaded image: connects (or takes over the port the connection
// holds), runs the V2 or V3 sequence, and at the end closes the port and
// wakes the connect thread so that it finds the restarted instrument. Holds
// the API lock for the whole burn. Reports through `callback` (may be null)
// and returns the result code reported as stage 5.
int FlashBurnBinFile(ZervBurnProgressCallback callback);

// The two sequences, on the open port; each reports its result as stage 5
// and returns it. V2 sends every row through the ISP loader; V3 sends the
// first 1024 rows there and the BMP block to SPI flash at 0x18000.
int DoFlashBurnBinFileV2();
int DoFlashBurnBinFileV3();

// Map the flash primitives' (done, total) onto the V3 burn's erase (0, 3..10)
// and write (1, 30..50) stages.
void ISPEraseBMPBlockProgressHandler(unsigned int done, unsigned int total);
void ISPWriteBMPBlockProgressHandler(unsigned int done, unsigned int total);
