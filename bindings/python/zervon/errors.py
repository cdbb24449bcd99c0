"""Exceptions of the binding; each carries the library's result code."""
from __future__ import annotations

from typing import Optional

#: Exchange result codes.
EXCHANGE_OK = 0
EXCHANGE_FAILED = 1  #: no port open, or a write or read failed or timed out
EXCHANGE_SHORT = 2  #: part of the request written, or a reply of another length

#: What each result code of a firmware load or burn means.
BURN_CODES = {
    0: "success",
    -2: "the record block could not be read after connecting, or it lacked the product marker",
    -3: "no instrument found",
    -4: "the loader could not be entered (request not written whole)",
    -5: "a row was not written whole",
    -6: "the reply to a row write was not 40 bytes",
    -7: "a row read request was not written whole",
    -8: "the reply to a row read was not 40 bytes",
    -9: "verification mismatch: data read back differ from the image",
    -10: "the loader could not be left (request not written whole)",
    -11: "the instrument was not found again after its restart",
    -12: "the record block was not written whole",
    -13: "the reply to the record-block write was not 64 bytes",
    -14: "no image loaded",
    -15: "the image is too large",
    -16: "the SPI-flash erase of the image's BMP block failed",
    -17: "the SPI-flash write of the image's BMP block failed",
    -18: "the SPI-flash read-back of the image's BMP block failed",
    -20: "the image file cannot be opened or read",
    -21: "the image file is empty",
    -22: "a version is outside 0 to 255",
}


class ZervonError(Exception):
    """A failure of the instrument or the library.

    ``code`` is the library's result code where the failing function returns
    one (exchange codes 1 and 2, the negative burn codes), and None where it
    only tells success or failure.
    """

    def __init__(self, message: str, code: Optional[int] = None) -> None:
        super().__init__(message)
        self.code = code

    def __reduce__(self):
        # Rebuilt from its message and attributes, not through __init__,
        # whose arguments differ between the subclasses: so every one of
        # them crosses to another process (multiprocessing, zervon.fleet)
        # with its code intact.
        return (_rebuild, (type(self), self.args, self.__dict__))


def _rebuild(cls: type, args: tuple, state: dict) -> ZervonError:
    error = cls.__new__(cls, *args)
    error.args = args
    error.__dict__.update(state)
    return error


class NoInstrumentError(ZervonError):
    """No instrument answered within the time-out, or the port is not one."""


class BusyError(ZervonError):
    """Another process holds the instrument's port."""


class NotConnectedError(ZervonError):
    """The instrument is not open or not connected (any more)."""


class ExchangeError(ZervonError):
    """An exchange failed: ``code`` is 1 (no port, time-out, I/O error) or 2
    (short transfer). ``received`` holds the reply bytes that did arrive, where
    the call returns any."""

    def __init__(self, message: str, code: int, received: bytes = b"") -> None:
        super().__init__(message, code)
        self.received = received


class TransferError(ZervonError):
    """A flash, memory-map or calibration transfer failed (the library tells
    no reason: no port, a time-out, a short reply or a read-back mismatch)."""


class BurnError(ZervonError):
    """Loading or burning a firmware image failed; ``code`` is the negative
    result code, ``meaning`` its explanation."""

    def __init__(self, code: int, stage: str = "burn") -> None:
        self.meaning = BURN_CODES.get(code, "failure")
        super().__init__("%s failed: %s (code %d)" % (stage, self.meaning, code), code)


class LowBatteryError(ZervonError):
    """A burn was refused because the instrument reports a low battery."""
