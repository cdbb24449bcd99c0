// Device layer: the one open port of the process and the timed transfers on it.
//
// Nothing here takes a lock. The API functions serialise their transfers with
// the API lock; whoever else touches the port (discovery, the monitor) says so
// in its own contract.
#pragma once

#include "zervon.h"

#if defined(_WIN32)
#include <windows.h>
typedef HANDLE DeviceHandle;
#else
typedef long DeviceHandle;  // a file descriptor, pointer-sized
#endif

// The open port: a file descriptor, or -1 (INVALID_HANDLE_VALUE on Windows)
// when none is open.
ZERVON_EXT_API extern DeviceHandle g_hDevice;
// Path of the port that discovery accepted; empty when none.
ZERVON_EXT_API extern char g_szDevicePath[512];
// The last pair given to SetDeviceTimeoutSetting, in ms. Transfers carry their
// own time-outs; these only record the last request.
ZERVON_EXT_API extern int g_nDeviceReadTimeout;
ZERVON_EXT_API extern int g_nDeviceWriteTimeout;

// Time-out value that means "no limit" for ReadData and WriteData.
constexpr unsigned kNoTimeout = 0xFFFFFFFFu;

// Waits up to timeoutMs for the port to become readable, then makes a single
// read of up to `size` bytes. Result: the count read (0 to size; a short count
// is not an error here), or -1 when no port is open, the wait timed out or
// the read failed. A read that would block after a ready wait is retried every
// 10 ms within the same time-out; a signal during the wait does not end it.
int ReadData(unsigned char* buffer, int size, unsigned timeoutMs);

// The same for a single write of up to `size` bytes; it never loops to send
// a remainder.
int WriteData(unsigned char* data, int size, unsigned timeoutMs);

// Drops whatever input is already waiting in the open port. Called before
// every request that expects a reply. Does nothing when no port is open.
void DiscardInput();

// 1 if a port is open, else 0.
int DeviceIsConnected();

// 1 if g_szDevicePath is non-empty and equal to `path` (exact and
// case-sensitive), else 0.
int DeviceCheckPath(char* path);

// Cancels outstanding asynchronous I/O on the open port (the library issues
// none itself); the outcome is not reported.
void DeviceCancelIO();

// Records the pair in g_nDeviceReadTimeout / g_nDeviceWriteTimeout, then
// waits up to readMs for input and up to writeMs for writability (outcomes
// ignored, nothing read), so the call takes up to readMs when no input waits.
void SetDeviceTimeoutSetting(unsigned readMs, unsigned writeMs);

// Applies the port settings to a freshly opened port: raw, no echo, no
// signals, no flow control, output speed 115200. Failures are ignored.
void ConfigurePort(DeviceHandle handle);

// The instrument check of discovery: ReadDeviceHWInfo on the open port.
int IsTargetDevice();
