// Protocol layer: the request/reply exchange with the instrument and the
// cached device record block.
//
// Nothing here takes a lock: callers that may run beside other API calls hold
// the API lock around the whole exchange (see main.h).
#pragma once

#include "zervon.h"

// Exchange result codes.
constexpr int kExchangeOk = 0;      // written whole; reply of exactly the expected length
constexpr int kExchangeFailed = 1;  // no port, time-out or I/O error
constexpr int kExchangeShort = 2;   // short write, or a reply of another length

// Write time-out of every request, in ms.
constexpr unsigned kRequestWriteTimeoutMs = 200;

// The cached 64-byte device record block: the last block read from the
// instrument or sent back to it; all zero while no record is held.
ZERVON_EXT_API extern unsigned char g_DeviceHWInfo[64];

// Writes the host-control byte 0x43 (200 ms); no reply, result not reported.
void SwitchToDeviceControl();

// Writes `request`, then, when `reply` is not null and `replyLength` is not 0,
// reads one reply of exactly `replyLength` bytes within `readTimeoutMs`.
// Input already waiting is discarded before a request that expects a reply.
// A null request or a negative length gives kExchangeFailed, nothing sent.
int SendCommand(unsigned char* request, int requestLength, unsigned char* reply,
                int replyLength, unsigned readTimeoutMs);

// As SendCommand with the reply length passed by pointer; when a reply of
// another length arrives, its length is stored there and the result is
// kExchangeShort. A null `reply` or `replyLength` means no reply is read.
int SendCommandEx(unsigned char* request, int requestLength, unsigned char* reply,
                  int* replyLength, unsigned readTimeoutMs);

// Reads the device record block (12 55 AA 00 00, 64-byte reply within 300 ms)
// into g_DeviceHWInfo, zeroing it first. 1 when 64 bytes carrying the product
// marker "VRX" at bytes 5 to 7 arrived, else 0; whatever did arrive stays in
// the cache.
int ReadDeviceHWInfo();

// ---- Device records ----
// Byte offsets of the record block: 5..7 product marker (6 and 7 double as the
// model letters), 8 and 9 serial groups 1 and 2, 10 group 3, 11..12 group 4
// big-endian, 13 hardware code, 14 and 15 firmware main and sub version.

// Fill the record from g_DeviceHWInfo; no I/O, no check of the cache.
void GetModelInfo(MODEL_INFORMATION* model);
void GetHWInfo(HW_INFORMATION* hw);

// Writes both records into g_DeviceHWInfo (low 8 bits of each field, byte 3 =
// 0xFF, the block's other bytes as last read) and sends the whole block as a
// block write (64-byte reply within 200 ms, not examined). 1 when that
// exchange returned kExchangeOk, else 0; the cache keeps the new values
// either way.
int UpdateDeviceInformation(MODEL_INFORMATION* model, HW_INFORMATION* hw);

// ---- Display-module (LCM) calibration ----
//
// The calibration commands belong to the protocol, and the stop stores its
// result with the flash unit's transfers: the one call from this unit into
// the flash unit (Protocol.cpp includes Flash.h for it).

// Sends the calibration start (4D 01, 24 zeros; 26-byte reply within 200 ms,
// not examined). 1 when the exchange returned kExchangeOk, else 0.
int StartLCMCalibration();

// Sends the calibration stop (4D 00, 24 zeros; 26-byte reply within 200 ms)
// and stores reply bytes 2 to 25, the calibration result, at the start of
// SPI flash region 2 with SPIFlashWriteEx (whole-region erase, write,
// read-back and compare), reporting through `progress` (may be null).
// 0 when the stop exchange failed (nothing is written to flash); otherwise
// the result of the store: 1 written and verified, 0 not.
int StopLCMCalibration(ZervFlashProgressCallback progress);
