"""The instrument as a Python object."""
from __future__ import annotations

import ctypes
import enum
import errno
import fcntl
import inspect
import os
import re
import sys
import termios
import threading
import time
import traceback
from dataclasses import dataclass
from pathlib import Path
from typing import Callable, Optional, Tuple, Union

from . import _library as _l
from .errors import (
    BurnError,
    BusyError,
    ExchangeError,
    LowBatteryError,
    NoInstrumentError,
    NotConnectedError,
    TransferError,
    ZervonError,
)

FlashProgress = Union[Callable[[str, int, int], None], Callable[[int, int], None]]
"""progress(stage, done, total), or progress(done, total): bytes of a
transfer pass. A write reports three passes one after the other, each
counting up to its own total and ending with (total, total): stage "erase"
(the whole region), "write" (the data) and "verify" (the data read back in
whole packets). A read reports one pass, stage "read". A callable that takes
three positional arguments gets the stage; one that takes two does not."""

BurnProgress = Callable[["BurnStage", int], None]
"""progress(stage, value) of a burn: `stage` a BurnStage (an int), `value`
the percentage, or the result code at BurnStage.FINISHED."""


class BurnStage(enum.IntEnum):
    """The stages a burn reports, in order; they compare equal to the
    library's numbers 0 to 5."""

    ERASING = 0  #: the loader answered; the BMP block is erased (3 to 10 %)
    WRITING = 1  #: rows and the BMP block are written (up to 50 %)
    VERIFYING = 2  #: everything is read back and compared (up to 99 %)
    VERIFIED = 3  #: verified; the loader is left (99 %)
    RESTARTED = 4  #: the instrument restarted and is being found again (100 %)
    FINISHED = 5  #: the burn ended; the value is its result code (0 success)


#: The stages of a write transfer's passes, and of a read's one pass.
WRITE_STAGES = ("erase", "write", "verify")
READ_STAGES = ("read",)

ConnectionCallback = Callable[[bool], None]
"""callback(connected): True when the instrument is ready, False when it is
gone. Runs on the library's connect thread."""

#: Capacity of each SPI-flash region (0 to 3).
FLASH_REGIONS = (0x8000, 0x8000, 0x8000, 0x1E8000)
#: Capacity of each display memory-map region (0 to 3).
MEMMAP_REGIONS = (0x100000, 0x2000, 0x1000, 0x1000)

_RECORD_REQUEST = bytes([0x12, 0x55, 0xAA, 0x00, 0x00])
_PRODUCT_MARKER = b"VRX"
_HOST_CONTROL = 0x43
_STATUS_REQUEST = 0x14
_NODE = re.compile(r"^/dev/ttyACM(\d+)$")
_HIGHEST_NODE = 127
_TIOCEXCL = getattr(termios, "TIOCEXCL", 0x540C)
_TIOCNXCL = getattr(termios, "TIOCNXCL", 0x540D)
_TIOCGEXCL = getattr(termios, "TIOCGEXCL", 0x80045440)  # _IOR('T', 0x40, int)


def version() -> str:
    """The library's version as text, "1.0.5.1"."""
    v = _l.lib.ZervGetVersion()
    return "%d.%d.%d.%d" % (v >> 24, (v >> 16) & 0xFF, (v >> 8) & 0xFF, v & 0xFF)


@dataclass(frozen=True)
class Info:
    """The instrument's identity from its record block."""

    model: str  #: two letters, e.g. "RX"
    serial: str  #: e.g. "VRX2107-030300"
    hw_code: int
    firmware_main: int
    firmware_sub: int
    library: str  #: the library's version, "1.0.5.1"

    @property
    def firmware(self) -> str:
        """The firmware version as "MAIN.SUB"."""
        return "%d.%d" % (self.firmware_main, self.firmware_sub)


@dataclass(frozen=True)
class Reading:
    """One status report."""

    report: Tuple[int, int, int, int, int]  #: the five report bytes
    value: float  #: the measured value, scaled as the first report byte says
    battery_good: bool  #: False when the battery is low (or was not read)


def _node_path(n: int) -> str:
    return "/dev/ttyACM%d" % n


def _lock_path(n: int) -> str:
    return "/var/lock/torvanel.ACM%d.lock" % n


def _node_number(path: str) -> int:
    """The N of the /dev/ttyACM<N> node that `path` is (or names), or -1."""
    match = _NODE.match(path)
    if match and int(match.group(1)) <= _HIGHEST_NODE:
        return int(match.group(1))
    if not os.path.exists(path):
        return -1
    target = os.path.realpath(path)
    for n in range(_HIGHEST_NODE + 1):
        node = _node_path(n)
        if os.path.lexists(node) and os.path.realpath(node) == target:
            return n
    return -1


def _lock_holder(n: int) -> Optional[int]:
    """The live process (not this one) that holds node N's lock file, if any."""
    try:
        with open(_lock_path(n), "rb") as f:
            data = f.read(4)
    except OSError:
        return None
    if len(data) < 4:
        return -1  # being written this moment, or damaged: not taken for stale
    pid = int.from_bytes(data, sys.byteorder, signed=True)
    if pid == os.getpid() or not _alive(pid):
        return None
    return pid


def _process(pid: int) -> str:
    """'process 12 (picocom)', or 'another program' for an unknown one."""
    if not pid:
        return "another program"
    try:
        with open("/proc/%d/comm" % pid) as f:
            return "process %d (%s)" % (pid, f.read().strip())
    except OSError:
        return "process %d" % pid


def _busy(port: str, holder: int, n: int) -> BusyError:
    if holder < 0:
        return BusyError("%s is locked by an incomplete lock file %s; remove it if no program uses the port "
                         "(see 'zervon doctor')" % (port, _lock_path(n)))
    return BusyError("%s is busy: held by %s through %s" % (port, _process(holder), _lock_path(n)))


def _alive(pid: int) -> bool:
    if pid <= 0:
        return False
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        pass  # alive, another user's
    return True


def _uucp_lock_path(n: int) -> str:
    return "/var/lock/LCK..ttyACM%d" % n


def _uucp_holder(n: int) -> int:
    """The live process (not this one) named in node N's UUCP lock file, 0
    when there is none or it is stale (stale ones are left in place). The ID
    stands there as text ("%10d\\n") or, in old lock files, as 4 bytes."""
    try:
        with open(_uucp_lock_path(n), "rb") as f:
            data = f.read(64)
    except OSError:
        return 0
    if len(data) == 4 and data.strip(b"0123456789 \n"):
        pid = int.from_bytes(data, sys.byteorder, signed=True)
    else:
        match = re.match(rb"\s*(-?\d+)", data)
        pid = int(match.group(1)) if match else 0
    return pid if pid != os.getpid() and _alive(pid) else 0


def _find_holder(st: os.stat_result) -> int:
    """The process (not this one) that holds a lock on the file `st`
    describes, as /proc/locks lists it; else one that has the same terminal
    open; 0 when none is found."""
    try:
        with open("/proc/locks") as f:
            for line in f:
                fields = line.split()
                if "->" in fields or len(fields) < 6:
                    continue  # waiting for a lock, not holding it
                dev_major, dev_minor, inode = fields[5].split(":")
                pid = int(fields[4])
                if ((int(dev_major, 16), int(dev_minor, 16), int(inode)) == (os.major(st.st_dev), os.minor(st.st_dev),
                                                                             st.st_ino)
                        and pid > 0 and pid != os.getpid()):
                    return pid
    except (OSError, ValueError):
        pass
    for entry in os.listdir("/proc"):
        if not entry.isdigit() or int(entry) == os.getpid():
            continue
        try:
            for fd in os.listdir("/proc/%s/fd" % entry):
                target = os.stat("/proc/%s/fd/%s" % (entry, fd))
                if target.st_rdev == st.st_rdev and (target.st_mode & 0o170000) == 0o020000:
                    return int(entry)
        except OSError:
            continue
    return 0


def _open_held(path: str) -> int:
    """Opens `path` read/write and non-blocking, holding it against every
    other program until _close_raw: its flock and the terminal's exclusive
    mode (TIOCEXCL). Raises BusyError, naming the holder, for a port that
    another program holds so, or through a live UUCP lock file."""
    n = _node_number(path)
    pid = _uucp_holder(n) if n >= 0 else 0
    if pid:
        raise BusyError("%s is busy: held by %s through its UUCP lock %s" % (path, _process(pid), _uucp_lock_path(n)))
    try:
        fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK | os.O_CLOEXEC)
    except OSError as error:
        if error.errno != errno.EBUSY:
            raise
        try:
            pid = _find_holder(os.stat(path))
        except OSError:
            pid = 0
        raise BusyError("%s is busy: held by %s through the port's exclusive mode (TIOCEXCL)"
                        % (path, _process(pid))) from error
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        pid = _find_holder(os.fstat(fd))
        os.close(fd)
        raise BusyError("%s is busy: held by %s through an exclusive lock on the port (flock)"
                        % (path, _process(pid))) from None
    except OSError:
        pass  # no lock to be had here; the exclusive mode still holds
    # Root gets past another program's exclusive mode, where everyone else
    # gets EBUSY; it is refused all the same, and never cleared by _close_raw.
    try:
        exclusive = int.from_bytes(fcntl.ioctl(fd, _TIOCGEXCL, bytes(4)), sys.byteorder)
    except OSError:
        exclusive = 0
    if exclusive:
        pid = _find_holder(os.fstat(fd))
        os.close(fd)
        raise BusyError("%s is busy: held by %s through the port's exclusive mode (TIOCEXCL)"
                        % (path, _process(pid)))
    try:
        fcntl.ioctl(fd, _TIOCEXCL)
    except OSError:
        pass  # not every terminal has one
    return fd


def _close_raw(fd: int) -> None:
    """Drops the exclusive mode (it belongs to the terminal and would outlive
    this descriptor while another one keeps the terminal open) and the lock,
    and closes."""
    try:
        fcntl.ioctl(fd, _TIOCNXCL)
    except OSError:
        pass
    try:
        fcntl.flock(fd, fcntl.LOCK_UN)
    except OSError:
        pass
    os.close(fd)


def _held_by_other(n: int) -> Optional[BusyError]:
    """A BusyError naming the other process that holds node N (its lock
    file of the library, a UUCP lock, its flock or exclusive mode), or None.
    Opens the node for a moment to find out; sends nothing."""
    holder = _lock_holder(n)
    if holder is not None:
        return _busy(_node_path(n), holder, n)
    try:
        _close_raw(_open_held(_node_path(n)))
    except BusyError as error:
        return error
    except OSError:
        pass
    return None


def _take_lock(n: int) -> Optional[str]:
    """Takes node N's lock file as the library does; None when the lock
    directory cannot be written (the port itself is usable then)."""
    path = _lock_path(n)
    for _ in range(2):
        try:
            fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o600)
        except FileExistsError:
            holder = _lock_holder(n)
            if holder is not None:
                raise _busy(_node_path(n), holder, n)
            try:
                os.unlink(path)  # stale: its process has ended
            except FileNotFoundError:
                pass
            continue
        except OSError:
            return None
        try:
            os.write(fd, os.getpid().to_bytes(4, sys.byteorder, signed=True))
        finally:
            os.close(fd)
        return path
    raise BusyError("%s is busy: %s was taken meanwhile" % (_node_path(n), path))


def _open_raw(path: str) -> int:
    fd = _open_held(path)
    try:
        iflag, oflag, cflag, lflag, _, _, cc = termios.tcgetattr(fd)
        iflag &= ~(termios.IGNBRK | termios.BRKINT | termios.PARMRK | termios.ISTRIP | termios.INLCR
                   | termios.IGNCR | termios.ICRNL | termios.IXON)
        oflag &= ~termios.OPOST
        lflag &= ~(termios.ECHO | termios.ECHONL | termios.ICANON | termios.ISIG | termios.IEXTEN)
        cflag &= ~(termios.CSIZE | termios.PARENB)
        cflag |= termios.CS8 | termios.CLOCAL | termios.CREAD
        cc[termios.VMIN] = 0
        cc[termios.VTIME] = 0
        termios.tcsetattr(fd, termios.TCSANOW,
                          [iflag, oflag, cflag, lflag, termios.B115200, termios.B115200, cc])
    except BaseException:
        _close_raw(fd)
        raise
    return fd


def _byte(name: str, value: int) -> int:
    if not isinstance(value, int) or isinstance(value, bool) or not 0 <= value <= 255:
        raise ValueError("%s must be an integer 0 to 255, not %r" % (name, value))
    return value


def _region(region: int, table: Tuple[int, ...]) -> int:
    if not isinstance(region, int) or isinstance(region, bool) or not 0 <= region < len(table):
        raise ValueError("region must be 0 to %d, not %r" % (len(table) - 1, region))
    return region


def _takes_three(progress: Callable) -> bool:
    """Whether `progress` takes three positional arguments (the stage form)."""
    try:
        signature = inspect.signature(progress)
    except (TypeError, ValueError):
        return False  # a built-in that tells nothing: the two-argument form
    try:
        signature.bind(None, 0, 0)
    except TypeError:
        return False
    return True


class _Progress:
    """A ctypes callback around a Python progress callable. An exception it
    raises cannot stop the transfer (the library's callbacks return nothing);
    it is kept and raised when the transfer has ended.

    With `stages` (a flash or memory-map transfer) the passes are told apart
    as the library reports them: a pass ends with (total, total), given once
    more as it closes; the next pass starts with another total, a count that
    goes back, or any report after that end."""

    def __init__(self, progress: Optional[Callable], kind, stages: Tuple[str, ...] = ()) -> None:
        self.error: Optional[BaseException] = None
        self.progress = progress
        self.stages = stages
        self.with_stage = bool(stages) and progress is not None and _takes_three(progress)
        self.burn = kind is _l.BURN_PROGRESS
        self.pass_index = 0
        self.last: Optional[Tuple[int, int]] = None
        self.pointer = kind(self._call) if progress else ctypes.cast(None, kind)

    def _stage(self, done: int, total: int) -> str:
        last = self.last
        if last is not None and (done, total) != last and (
                total != last[1] or done < last[0] or (last[0] == last[1] and last[1] != 0)):
            self.pass_index += 1
        self.last = (done, total)
        return self.stages[min(self.pass_index, len(self.stages) - 1)]

    def _call(self, a: int, b: int) -> None:
        stage = self._stage(a, b) if self.stages else None
        if self.error is None:
            try:
                if self.with_stage:
                    self.progress(stage, a, b)
                elif self.burn and a in BurnStage._value2member_map_:
                    self.progress(BurnStage(a), b)
                else:
                    self.progress(a, b)
            except BaseException as error:  # noqa: B902 - raised again after the call
                self.error = error

    def raise_error(self) -> None:
        if self.error is not None:
            raise self.error


_open_lock = threading.Lock()
_open_instrument: Optional["Instrument"] = None
# The connection callback handed to ZervInit must outlive the connect thread.
_connection_pointer = None


class Instrument:
    """The instrument, as a context manager::

        with zervon.Instrument("/dev/pts/3") as instrument:
            print(instrument.info().serial, instrument.read().value)

    `port` chooses how it is reached:

    - a path (``"/dev/ttyACM0"``, a virtual instrument's ``"/dev/pts/3"``): the
      binding opens that terminal itself and hands it to the library; no
      search, no root needed. While open it holds the port against every
      other program (flock, the terminal's exclusive mode, and for a
      /dev/ttyACM<N> node the library's lock file); a port that another
      program holds so, or through a live UUCP lock /var/lock/LCK..ttyACM<N>,
      is refused with BusyError naming it. The port counts as the instrument
      only when the record block read at the hand-over carries the product
      marker and a second, length-checked read brings the same record; it is
      handed over again until `timeout`, then NoInstrumentError.
    - a number N: the library connects to /dev/ttyACM<N> itself.
    - None: the library searches every /dev/ttyACM<N>. With `on_connection`
      it keeps doing so: the callback hears of every plug and unplug (on the
      library's connect thread) until the instrument is closed.

    A number or None that finds only ports held by other programs raises
    BusyError naming a holder. `timeout` (seconds) bounds the wait for the
    first connection. The library drives one instrument per process: one
    Instrument may be open at a time.

    A watch that waits out an unplug: a failed read makes the library look
    at once, so the loss comes as NotConnectedError and one call of the
    callback, not as a stream of failed reads::

        def on_connection(connected):             # on the library's connect thread
            print("back" if connected else "lost; waiting for it to come back")

        with zervon.Instrument(on_connection=on_connection, timeout=10) as instrument:
            while True:
                try:
                    print(instrument.read().value)
                except zervon.NotConnectedError:
                    instrument.wait_connected(None)   # until it is back
                time.sleep(1)
    """

    def __init__(self, port: Union[str, os.PathLike, int, None] = None, *, timeout: float = 5.0,
                 on_connection: Optional[ConnectionCallback] = None) -> None:
        if on_connection is not None and port is not None:
            raise ValueError("on_connection needs port=None: the library reports connections it finds itself")
        if timeout < 0:
            raise ValueError("timeout must not be negative")
        if isinstance(port, bool) or not isinstance(port, (str, os.PathLike, int, type(None))):
            raise TypeError("port is a path, a node number or None, not %r" % (port,))
        self._port = os.fspath(port) if isinstance(port, os.PathLike) else port
        self._timeout = timeout
        self._on_connection = on_connection
        self._fd = -1
        self._lock_file: Optional[str] = None
        self._mode = "closed"  # "handed-over" or "library" while open
        self._connected_event = threading.Event()

    # ---- opening and closing ----

    def __enter__(self) -> "Instrument":
        self.open()
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def open(self) -> None:
        """Connects to the instrument; raises NoInstrumentError, BusyError."""
        global _open_instrument
        with _open_lock:
            if _open_instrument is not None:
                raise ZervonError("an instrument is open already: the library drives one per process")
            _open_instrument = self
        try:
            if isinstance(self._port, str):
                self._hand_over(self._port)
            else:
                self._connect_library()
        except BaseException:
            self._release()
            raise

    def close(self) -> None:
        """Releases the instrument (a closed one stays closed)."""
        if self._mode == "closed" and _open_instrument is not self:
            return
        self._release()

    def _release(self) -> None:
        global _open_instrument
        if self._mode == "library":
            _l.lib.ZervFree()
        elif self._fd >= 0:
            _l.lib.ZervSetDeviceHandle(_l.handle(-1))
        if self._fd >= 0:
            _close_raw(self._fd)
            self._fd = -1
        if self._lock_file:
            try:
                os.unlink(self._lock_file)
            except OSError:
                pass
            self._lock_file = None
        self._mode = "closed"
        with _open_lock:
            if _open_instrument is self:
                _open_instrument = None

    def _hand_over(self, path: str) -> None:
        n = _node_number(path)
        if n >= 0:
            holder = _lock_holder(n)
            if holder is not None:
                raise _busy(path, holder, n)
        try:
            self._fd = _open_raw(path)
        except OSError as error:
            code = errno.errorcode.get(error.errno, "")
            raise NoInstrumentError("cannot open %s: %s%s" % (
                path, error.strerror, " (see 'zervon doctor')" if code == "EACCES" else "")) from error
        except termios.error as error:
            raise NoInstrumentError("%s is not a serial port: %s" % (path, error)) from error
        self._mode = "handed-over"
        if n >= 0:
            self._lock_file = _take_lock(n)
        # Hands the port over until the record block the library reads then
        # (its cache) carries the product marker and a second read, whose
        # length the exchange checks, brings the same record: the library
        # keeps whatever part of a dropped, short, garbled or late reply
        # arrived. The pause lets a late reply arrive, which the library
        # discards before it asks again. The same block without the marker
        # twice in a row is another device's answer.
        end = time.monotonic() + self._timeout
        last = None
        while True:
            _l.lib.ZervSetDeviceHandle(_l.handle(self._fd))
            block = _l.record_block()
            marked = block[5:8] == _PRODUCT_MARKER
            whole = marked and self._reads_again(block)
            if whole or (not marked and any(block) and block == last) or time.monotonic() >= end:
                break
            last = block
            time.sleep(0.2)
        within = "within %g s" % self._timeout
        if not any(block):
            raise NoInstrumentError("no instrument answers on %s %s" % (path, within))
        if marked and not whole:
            raise NoInstrumentError("no whole record block arrived from %s %s" % (path, within))
        if not marked:
            raise NoInstrumentError("%s answers but is not the instrument (marker %r)" % (path, block[5:8]))
        # As the library does on every connection: host control, and a moment
        # for the instrument to switch.
        self._exchange(bytes([_HOST_CONTROL]), 0)
        time.sleep(0.2)
        self._connected_event.set()

    def _reads_again(self, block: bytes) -> bool:
        """Whether a second, length-checked read of the record block brings
        the same record as `block`."""
        try:
            return self._exchange(_RECORD_REQUEST, 64)[5:] == block[5:]
        except ExchangeError:
            return False

    def _connect_library(self) -> None:
        global _connection_pointer
        milliseconds = min(int(self._timeout * 1000), 0xFFFFFFFE)
        if self._on_connection is None:
            number = -1 if self._port is None else int(self._port)
            if not -1 <= number <= _HIGHEST_NODE:
                raise ValueError("port number must be 0 to %d" % _HIGHEST_NODE)
            self._mode = "library"
            if not _l.lib.ZervConnect(number, milliseconds):
                self._not_found(number)
            self._connected_event.set()
            return
        callback = self._on_connection

        def relay(connected: bool) -> None:
            if connected:
                self._connected_event.set()
            else:
                self._connected_event.clear()
            try:
                callback(bool(connected))
            except BaseException:  # noqa: B902 - it runs on the library's thread
                traceback.print_exc()

        _connection_pointer = _l.CONNECTION(relay)
        self._mode = "library"
        _l.lib.ZervInit(_connection_pointer)
        if not self._connected_event.wait(self._timeout):
            _l.lib.ZervFree()
            self._not_found(-1)

    def _not_found(self, number: int) -> None:
        """Raises BusyError naming the holder when another process holds the
        node (or, searching, a present node), else NoInstrumentError."""
        nodes = [number] if number >= 0 else [n for n in range(_HIGHEST_NODE + 1) if os.path.exists(_node_path(n))]
        for n in nodes:
            error = _held_by_other(n)
            if error is not None:
                raise BusyError("no free instrument: %s" % error) if number < 0 else error
        where = "any /dev/ttyACM<N>" if number < 0 else _node_path(number)
        raise NoInstrumentError("no instrument on %s within %g s (see 'zervon doctor')" % (where, self._timeout))

    # ---- state ----

    @property
    def is_open(self) -> bool:
        """True between open() and close()."""
        return self._mode != "closed"

    @property
    def connected(self) -> bool:
        """True while the instrument's port is open (the library's connection
        may lose it on an unplug and find it again)."""
        return self.is_open and _l.port_open()

    def wait_connected(self, timeout: Optional[float]) -> bool:
        """Waits up to `timeout` seconds (None: without limit) for the
        instrument to be connected."""
        end = None if timeout is None else time.monotonic() + timeout
        while not self.connected:
            if not self.is_open or (end is not None and time.monotonic() >= end):
                return False
            time.sleep(0.05)
        return True

    def _check(self) -> None:
        if not self.is_open:
            raise NotConnectedError("the instrument is not open")
        if not _l.port_open():
            raise NotConnectedError("the instrument is not connected")

    # ---- exchanges ----

    def _exchange(self, request: bytes, reply_length: int) -> bytes:
        command = _l.buffer(request)
        if reply_length <= 0:
            rc = _l.lib.ZervSendCommandEx(command, len(request), None, None)
            if rc != 0:
                raise ExchangeError("the request was not sent (code %d)" % rc, rc)
            return b""
        reply = (ctypes.c_ubyte * reply_length)()
        length = ctypes.c_int(reply_length)
        rc = _l.lib.ZervSendCommandEx(command, len(request), reply, ctypes.byref(length))
        if rc != 0:
            got = bytes(reply[: max(0, min(length.value, reply_length))]) if rc == 2 else b""
            what = ("a reply of %d bytes arrived, %d expected" % (length.value, reply_length)
                    if rc == 2 else "no reply (no port, time-out or I/O error)")
            raise ExchangeError("exchange failed: %s (code %d)" % (what, rc), rc, got)
        return bytes(reply)

    def send(self, request: bytes, reply_length: int = 0) -> bytes:
        """Sends raw request bytes and returns a reply of exactly
        `reply_length` bytes (none for 0). Raises ExchangeError with code 1 or
        2 (a reply of another length: its bytes in ``received``)."""
        if not request:
            raise ValueError("the request is empty")
        if not 0 <= reply_length <= 4096:
            raise ValueError("reply_length must be 0 to 4096")
        self._check()
        return self._exchange(bytes(request), reply_length)

    def info(self) -> Info:
        """The model, serial number, hardware code and firmware version (from
        the record block the library read at connection), and the library's
        version."""
        self._check()
        model = _l.ModelInformation()
        hw = _l.HWInformation()
        _l.lib.ZervGetDeviceInformation(ctypes.byref(model))
        _l.lib.ZervGetHWInformation(ctypes.byref(hw))
        serial = _l.lib.ZervGetSerialNumber().decode("latin-1")
        if not serial.startswith("VRX"):  # read last: the cache was emptied by a loss meanwhile
            raise NotConnectedError("the instrument was lost before its identity was read")
        letters = (model.cModel1 + model.cModel2).decode("latin-1")
        return Info(model=letters, serial=serial, hw_code=hw.nHWCode, firmware_main=hw.nFirmwareMain,
                    firmware_sub=hw.nFirmwareSub, library=version())

    def read(self) -> Reading:
        """Reads the status report and the battery state (two exchanges).
        Raises ExchangeError (code 2) when no valid report arrives, and
        NotConnectedError when the library's connection finds the instrument
        gone (it looks at once after a failed read)."""
        self._check()
        out = [ctypes.c_int() for _ in range(5)]
        value = ctypes.c_double()
        rc = _l.lib.ZervReadValue(*[ctypes.byref(o) for o in out], ctypes.byref(value))
        if rc != 0:
            if self._mode == "library":
                # Has the instrument gone? The library looks at once when
                # asked, rather than at its monitor's next look.
                _l.lib.ReconnectDevice()
                end = time.monotonic() + 1.0
                while _l.port_open() and time.monotonic() < end:
                    time.sleep(0.01)
                if not _l.port_open():
                    raise NotConnectedError("the instrument is not connected (it was lost)")
            raise ExchangeError("the status report could not be read (code %d)" % rc, rc)
        battery = _l.lib.ZervGetBatteryStatus() == 1
        return Reading(report=tuple(o.value for o in out), value=value.value, battery_good=battery)

    def set(self, a: int, b: int, c: int, d: int, e: Optional[int] = None) -> None:
        """Sends a setting (each byte 0 to 255; the fifth is optional).
        Raises ExchangeError with the exchange code when it was not sent whole."""
        values = [_byte(name, v) for name, v in zip("abcd", (a, b, c, d))]
        if e is not None:
            values.append(_byte("e", e))
        self._check()
        rc = _l.lib.ZervUpdateSettingEx(*values) if e is not None else _l.lib.ZervUpdateSetting(*values)
        if rc != 0:
            raise ExchangeError("the setting was not sent (code %d)" % rc, rc)

    # ---- flash, memory map, manufacturing data, calibration ----

    def _read_region(self, function, table, region: int, length: int,
                     progress: Optional[FlashProgress], what: str) -> bytes:
        _region(region, table)
        if not isinstance(length, int) or isinstance(length, bool) or not 1 <= length <= 0x1000000:
            raise ValueError("length must be 1 byte to 16 MiB, not %r" % (length,))
        self._check()
        data = (ctypes.c_ubyte * length)()
        relay = _Progress(progress, _l.FLASH_PROGRESS, READ_STAGES)
        ok = function(region, data, length, relay.pointer)
        relay.raise_error()
        if not ok:
            raise TransferError("%s read of region %d failed" % (what, region))
        return bytes(data[:length])

    def _write_region(self, function, table, region: int, data: bytes,
                      progress: Optional[FlashProgress], what: str) -> None:
        _region(region, table)
        data = bytes(data)
        if not data:
            raise ValueError("no data to write to %s region %d" % (what, region))
        if len(data) > table[region]:
            raise ValueError("%d bytes do not fit %s region %d (%d bytes)" % (len(data), what, region, table[region]))
        self._check()
        relay = _Progress(progress, _l.FLASH_PROGRESS, WRITE_STAGES)
        ok = function(region, _l.buffer(data), len(data), relay.pointer)
        relay.raise_error()
        if not ok:
            raise TransferError("%s write of region %d failed (erase, write or read-back)" % (what, region))

    def flash_read(self, region: int, length: int, progress: Optional[FlashProgress] = None) -> bytes:
        """Reads `length` bytes (1 and more) from the base of SPI-flash
        `region` (0 to 3); a length of 0 raises ValueError with nothing sent."""
        return self._read_region(_l.lib.ZervSPIFlashReadEx, FLASH_REGIONS, region, length, progress, "SPI-flash")

    def flash_write(self, region: int, data: bytes, progress: Optional[FlashProgress] = None) -> None:
        """Replaces SPI-flash `region`: erases it whole, writes `data` at its
        base, reads it back and compares. Raises TransferError on any failure,
        and ValueError, with nothing sent, for empty `data` (the library would
        erase the region and write nothing)."""
        self._write_region(_l.lib.ZervSPIFlashWriteEx, FLASH_REGIONS, region, data, progress, "SPI-flash")

    def memmap_read(self, region: int, length: int, progress: Optional[FlashProgress] = None) -> bytes:
        """Reads `length` bytes from the base of display memory-map `region`."""
        return self._read_region(_l.lib.ZervMemMapReadEx, MEMMAP_REGIONS, region, length, progress, "memory-map")

    def memmap_write(self, region: int, data: bytes, progress: Optional[FlashProgress] = None) -> None:
        """Replaces display memory-map `region` as flash_write does."""
        self._write_region(_l.lib.ZervMemMapWriteEx, MEMMAP_REGIONS, region, data, progress, "memory-map")

    def mfg_read(self) -> bytes:
        """The four bytes of manufacturing information."""
        self._check()
        data = (ctypes.c_ubyte * 4)()
        if not _l.lib.ZervReadMfgInfo(data, 4):
            raise TransferError("the manufacturing block could not be read")
        return bytes(data)

    def mfg_write(self, data: bytes) -> None:
        """Replaces the first len(data) (at most 4) bytes of the manufacturing
        information. The instrument's answer to the write is not checked."""
        data = bytes(data)
        if not 1 <= len(data) <= 4:
            raise ValueError("the manufacturing information takes 1 to 4 bytes")
        self._check()
        if not _l.lib.ZervWriteMfgInfo(_l.buffer(data), len(data)):
            raise TransferError("the manufacturing block could not be read")

    def calibrate_start(self) -> None:
        """Starts the display module's calibration."""
        self._check()
        if not _l.lib.ZervStartLCMCalibration():
            raise TransferError("the calibration did not start")

    def calibrate_stop(self, progress: Optional[FlashProgress] = None) -> None:
        """Stops the calibration; its result goes to SPI-flash region 2."""
        self._check()
        relay = _Progress(progress, _l.FLASH_PROGRESS, WRITE_STAGES)
        ok = _l.lib.ZervStopLCMCalibration(relay.pointer)
        relay.raise_error()
        if not ok:
            raise TransferError("the calibration could not be stopped or its result not stored")

    # ---- firmware ----

    def burn(self, image: Union[str, os.PathLike], version: Union[str, Tuple[int, int]],
             progress: Optional[BurnProgress] = None, *, force: bool = False) -> None:
        """Burns the raw firmware image file `image` as version `version`
        ("MAIN.SUB" or (main, sub)) and waits for the restarted instrument.

        Refuses (LowBatteryError, nothing burnt) on a low battery unless
        `force`. `progress(stage, value)` gets a BurnStage and the
        percentage (the result code at BurnStage.FINISHED). The instrument restarts and is found again by its
        /dev/ttyACM<N> node: an instrument opened through another terminal
        cannot be burnt. A port handed over is given to the library for the
        burn, which keeps it from then on. Raises BurnError with the result
        code on failure; takes 5 s and more.
        """
        if isinstance(version, str):
            match = re.fullmatch(r"(\d+)\.(\d+)", version.strip())
            if not match:
                raise ValueError("version must be MAIN.SUB, not %r" % version)
            version = (int(match.group(1)), int(match.group(2)))
        main, sub = (_byte("main version", version[0]), _byte("sub version", version[1]))
        path = Path(image)
        size = path.stat().st_size  # FileNotFoundError before anything is sent
        if size == 0:
            raise ValueError("%s is empty" % path)
        self._check()
        node = -1
        if self._mode == "handed-over":
            node = _node_number(self._port)
            if node < 0:
                raise ZervonError("%s is no /dev/ttyACM<N> node: a burn needs the instrument's node, since "
                                  "the instrument restarts and is found again by it" % self._port)
        hw = _l.HWInformation()
        _l.lib.ZervGetHWInformation(ctypes.byref(hw))
        if hw.nFirmwareMain <= 2 and size > 0x10000:
            raise ValueError("an instrument with firmware %d.%d takes 64 KiB at most" % (hw.nFirmwareMain,
                                                                                      hw.nFirmwareSub))
        value = ctypes.c_double()
        if _l.lib.ZervReadValue(None, None, None, None, None, ctypes.byref(value)) != 0:
            raise ExchangeError("cannot read the battery status", 2)
        if _l.lib.ZervGetBatteryStatus() != 1 and not force:
            raise LowBatteryError("the battery is low: charge the instrument first (or use force=True)")
        main_c, sub_c = ctypes.c_int(main), ctypes.c_int(sub)
        rc = _l.lib.ZervLoadBinFile(os.fsencode(path), ctypes.byref(main_c), ctypes.byref(sub_c))
        if rc != 0:
            raise BurnError(rc, "loading %s" % path)
        if node >= 0:
            # The library takes the node over, so that it finds the
            # instrument again after the restart.
            self._release_handed_over()
            self._mode = "library"
            if not _l.lib.ZervConnect(node, min(int(self._timeout * 1000), 0xFFFFFFFE)):
                raise NoInstrumentError("the library could not take %s over" % _node_path(node))
        relay = _Progress(progress, _l.BURN_PROGRESS)
        rc = _l.lib.ZervBurnBinFile(relay.pointer)
        if rc != 0:
            raise BurnError(rc)
        # The connection finds the restarted instrument by itself.
        self.wait_connected(max(self._timeout, 5.0))
        relay.raise_error()

    def _release_handed_over(self) -> None:
        _l.lib.ZervSetDeviceHandle(_l.handle(-1))
        _close_raw(self._fd)
        self._fd = -1
        if self._lock_file:
            try:
                os.unlink(self._lock_file)
            except OSError:
                pass
            self._lock_file = None

    def __repr__(self) -> str:
        return "Instrument(port=%r, %s)" % (self._port, "open" if self.is_open else "closed")
