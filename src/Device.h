// Device layer: the one open port of the process and the timed transfers on it.
//
// Nothing here takes a lock. The API functions serialise their transfers with
// the API lock; whoever else touches the port (discovery, the monitor) says so
// in its own contract.
#pragma once

#include <cstddef>

#include "zervon.h"

#include <cstdint>

#if defined(_WIN32)
#include <windows.h>
typedef HANDLE DeviceHandle;
inline const DeviceHandle kNoDevice = INVALID_HANDLE_VALUE;
#else
typedef long DeviceHandle;  // a file descriptor, pointer-sized
constexpr DeviceHandle kNoDevice = -1;  // no port open
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
// Windows: one event-signalled read that ends when `size` bytes have arrived
// or the time-out has passed; -1 only when no port is open, while a time-out
// or an I/O error gives the count that did arrive (0 when none did), which
// the exchanges report as a short transfer (2).
int ReadData(unsigned char* buffer, int size, unsigned timeoutMs);

// The same for a single write of up to `size` bytes; it never loops to send
// a remainder. Windows: as its ReadData, -1 only when no port is open.
int WriteData(unsigned char* data, int size, unsigned timeoutMs);

// Drops whatever input is already waiting in the open port. Called before
// every request that expects a reply. Does nothing when no port is open.
//
// A reply that was cut short or never came may still be on its way: a busy
// instrument answers in order, so its late reply arrives while the next
// exchange waits and would be taken for that exchange's reply. ReadData
// therefore leaves the port "unsettled" whenever it returns fewer bytes than
// asked (-1 included), and settled again when it returns them all. On an
// unsettled port DiscardInput first lets the line go quiet: it drops input
// until none has arrived for the failed read's own time-out (20 ms to 1 s),
// counted from the failure or from the last byte dropped, and gives up
// waiting 1 s after that at the latest; then it drops what waits. A settled
// port costs one zero-time look, as before.
void DiscardInput();

// Makes `handle` the open port, as handed over by the application, and does
// nothing to it (no lock taken or released, no setting changed). Another
// port than the open one starts settled; the open one handed over again
// stays as it is. The previous port, if any, is left open. API lock. POSIX
// builds.
void DeviceAdoptHandle(DeviceHandle handle);

// Marks the open port settled: nothing of an earlier exchange is expected
// any more. Opening, handing over and closing a port do this.
void MarkPortSettled();

// The settling state behind DiscardInput, kept once for every build: each
// ReadData reports how it ended (`got` of `asked` bytes, -1 included), and
// the platform's DiscardInput asks for the quiet interval (0 while settled)
// and for when the incomplete read ended (monotonic ms).
void NoteReadOutcome(int got, int asked, unsigned timeoutMs);
unsigned QuietIntervalMs();
int64_t UnsettledSinceMs();

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

// ---- Discovery, locking and the port's life ----
//
// A process holds at most one port and one lock file: after a successful
// probe g_hDevice, g_szDevicePath, g_nLockFile and g_szLockFilePath all
// describe the same port until DeviceClose. Functions marked "API lock" must
// be called with the API lock held, so an application exchange never meets a
// descriptor that is being opened, closed or reused.

// The lock file this process holds ("/var/lock/torvanel.ACM%d.lock"): its
// descriptor, -1 when none, and its path, all zero when none.
extern int g_nLockFile;
extern char g_szLockFilePath[128];
// The lock file kept for a port that is closed for a while (the burner's
// restart, DeviceDropPort), apart from the current one, so that probing
// other ports never gives it up: until LockDeviceFile takes it up again for
// its port, a probe finds the instrument elsewhere, or DeviceRelease.
extern int g_nKeptLockFile;
extern char g_szKeptLockFilePath[128];

// Up to `attempts` calls of FindDevice, with a one-second pause after each
// failed one (also after the last). 1 when the instrument's port is open and
// verified, else 0; attempts <= 0 tries nothing. Takes the API lock per
// candidate, never across the pause.
int DeviceConnect(int port, int attempts);

// One search: the port numbered `port`, or every candidate in turn for -1.
// 1 at the first port that is the instrument (it stays open and locked).
// Takes the API lock per candidate.
int FindDevice(int port);

// POSIX builds: probes one port by its number: open it (non-blocking,
// close-on-exec), take its lock file
// (and on macOS the advisory port lock), configure it and ask for the record
// block. 1 when it is the instrument; it then stays open and locked and its
// path is recorded. Otherwise everything is undone and the result is 0.
// API lock.
int DoFindDevice(int port);

// (Windows finds its candidates by their interface paths in the device list
// and probes each inside FindDevice; it has no probe by number.)

// Releases the locks, forgets the path and closes the port; nothing when no
// port is open. API lock.
void DeviceClose();

// Releases all that discovery took, whether or not the port is still open:
// the port with its locks (DeviceClose), the lock file, the kept one, and
// the recorded path. The firmware burner ends with it. API lock.
void DeviceRelease();

// Closes the open port and releases the locks taken on its descriptor, but
// keeps the lock file (as the kept one) and the recorded path: the firmware
// burner lets go of the port while the instrument restarts. API lock.
void DeviceDropPort();

// 1 while the recorded port's device node exists (a dangling link counts),
// 0 when it is gone or no path is recorded. Does not touch the port.
// API lock (it reads g_szDevicePath).
int DeviceIsAlive();

// Takes the lock file of `port`: created exclusively (mode 0600) holding this
// process's ID as 4 raw bytes. A file left by a process that no longer
// exists is replaced; one of a live process (another user's included) is
// respected; a short or unreadable one is left in place. 1 taken; the
// current lock file of another port is then given up. The kept lock file of
// this very port (g_nKeptLockFile) is taken up again as the current one.
int LockDeviceFile(int port);

// Closes and removes the lock file this process holds; nothing otherwise.
void UnlockDeviceFile();

// Closes and removes the kept lock file; nothing when none is kept.
void ReleaseKeptLockFile();

// UnlockDeviceFile, then releases the locks taken on the open port's
// descriptor (LockDevice).
void UnlockDevice();

// Holds the freshly opened port against every other program, not only other
// copies of this library: an exclusive lock on the descriptor (flock() on
// Linux, the advisory write lock on macOS), refused at once when another
// program holds one, and exclusive mode (SetPortExclusive). 1 on success; 0
// when another program holds the port (the caller then closes it without
// sending anything).
int LockDevice(int descriptor);

// Puts the open port into exclusive mode (TIOCEXCL): further opens by
// anyone but root fail with EBUSY until the port is unlocked. Part of
// LockDevice on every POSIX build.
void SetPortExclusive(int descriptor);

// 1 when a UUCP lock file of another live process ("/var/lock/LCK..ttyACM%d"
// on Linux) says that port `port` is in use; stale files are ignored and
// never removed. macOS answers 0.
int IsPortLockedElsewhere(int port);

// The node name of port number `port` ("/dev/ttyACM%d" on Linux).
void FormatDevicePath(char* buffer, size_t size, int port);

// The instrument check of discovery: 1 when the open port is the
// instrument. The protocol unit, which knows what the instrument answers,
// registers it (its record block read) when the library is loaded; this unit
// only calls it. 0 while none is registered.
typedef int (*TargetCheck)();
void SetTargetCheck(TargetCheck check);

// A further check that discovery applies after the instrument check while it
// is set: a port that is the instrument but fails it is closed again with
// its locks, as any other refused candidate, and the search goes on. The
// firmware burner sets it while it looks for the instrument it restarted, so
// that it never takes a neighbour for it. Null (the default) accepts every
// instrument. API lock, which the burner holds while it is set.
void SetIdentityCheck(TargetCheck check);

// 1 when the open port passes the registered instrument check and, if one
// is set, the identity check.
int IsTargetDevice();

// Where the instrument that a firmware burn restarted came back: its port
// number, so that the connect thread follows that instrument instead of
// taking whatever now sits at the node it left (in a rack, a neighbour).
// The burner notes it after finding the instrument again; the connect
// thread takes it (-1 when none, and cleared by taking); a new ZervInit or
// ZervConnect clears it, as the application's choice of port counts from
// then on. API lock.
void NoteInstrumentMoved(int port);
int TakeInstrumentMove();

// POSIX builds: the port number in a node path of this platform's form
// ("/dev/ttyACM<n>" on Linux, "/dev/cu.usbmodem<n>" on macOS), or -1 when
// the path has none.
int DevicePortOfPath(const char* path);
