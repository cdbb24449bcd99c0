"""Python binding of the Zervon SDK: the Zervon USB test instrument from Python.

    import zervon

    with zervon.Instrument("/dev/ttyACM0") as instrument:
        info = instrument.info()
        print(info.serial, info.firmware)
        print(instrument.read().value)

The binding loads the SDK's shared library through ctypes: the one named by
the environment variable ZERVON_LIBRARY, else one inside this package, else
the one of the installed SDK tree it belongs to, else the one the dynamic
loader finds (libzervon-x86_64.so.1 and its siblings for the other
architectures), else one in /usr/local/lib.

The library drives one instrument per process; zervon.fleet drives a rack,
one worker process per instrument (discover() and run()).
"""
from .errors import (
    BURN_CODES,
    EXCHANGE_FAILED,
    EXCHANGE_OK,
    EXCHANGE_SHORT,
    BurnError,
    BusyError,
    ExchangeError,
    LowBatteryError,
    NoInstrumentError,
    NotConnectedError,
    TransferError,
    ZervonError,
)
from .instrument import FLASH_REGIONS, MEMMAP_REGIONS, BurnStage, Info, Instrument, Reading, version
from . import fleet  # noqa: E402 - after the modules it builds on

__all__ = [
    "BURN_CODES",
    "EXCHANGE_FAILED",
    "EXCHANGE_OK",
    "EXCHANGE_SHORT",
    "FLASH_REGIONS",
    "MEMMAP_REGIONS",
    "BurnError",
    "BurnStage",
    "BusyError",
    "ExchangeError",
    "Info",
    "Instrument",
    "LowBatteryError",
    "NoInstrumentError",
    "NotConnectedError",
    "Reading",
    "TransferError",
    "ZervonError",
    "fleet",
    "version",
]
__version__ = "1.0.5.1"
