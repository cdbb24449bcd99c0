"""Loading the shared library and declaring its functions for ctypes.

The flat interface is exported under plain C names; the further entry points
(port hand-over, raw commands, memory map, manufacturing data, firmware) are
C++ functions and are looked up under their decorated names.
"""
from __future__ import annotations

import ctypes
import os
import platform
import struct
import sys
from pathlib import Path
from typing import Iterator, Optional

FLASH_PROGRESS = ctypes.CFUNCTYPE(None, ctypes.c_uint, ctypes.c_uint)
BURN_PROGRESS = ctypes.CFUNCTYPE(None, ctypes.c_int, ctypes.c_int)
CONNECTION = ctypes.CFUNCTYPE(None, ctypes.c_bool)


class ModelInformation(ctypes.Structure):
    _fields_ = [
        ("cModel1", ctypes.c_char),
        ("cModel2", ctypes.c_char),
        ("cSerialGroup1", ctypes.c_char),
        ("cSerialGroup2", ctypes.c_char),
        ("nSerialGroup4", ctypes.c_int),
        ("nSerialGroup3", ctypes.c_int),
    ]


class HWInformation(ctypes.Structure):
    _fields_ = [
        ("nFirmwareMain", ctypes.c_int),
        ("nFirmwareSub", ctypes.c_int),
        ("nHWCode", ctypes.c_int),
    ]


def library_name() -> str:
    """The file name of the library built for the running interpreter."""
    if sys.platform == "darwin":
        return "libzervon.dylib"
    machine = platform.machine().lower()
    bits64 = struct.calcsize("P") == 8
    if machine in ("x86_64", "amd64", "i386", "i486", "i586", "i686", "x86"):
        return "libzervon-x86_64.so" if bits64 else "libzervon-i386.so"
    if machine.startswith("arm") or machine in ("aarch64", "arm64"):
        return "libzervon-aarch64.so" if bits64 else "libzervon-armhf.so"
    return "libzervon-%s.so" % machine


def _candidates() -> Iterator[str]:
    explicit = os.environ.get("ZERVON_LIBRARY")
    if explicit:
        yield explicit
        return
    name = library_name()
    versioned = (name + ".1", name) if sys.platform != "darwin" else (name,)
    here = Path(__file__).resolve().parent
    # One carried inside the package (a wheel built with it).
    for file in versioned:
        if (here / file).exists():
            yield str(here / file)
    # An installed SDK tree: <prefix>/lib/python3/dist-packages/zervon beside
    # <prefix>/lib/<library>.
    if len(here.parents) > 2:
        libdir = here.parents[2]
        for file in versioned:
            if (libdir / file).exists():
                yield str(libdir / file)
    # The loader's own search path (ldconfig's cache, LD_LIBRARY_PATH), by
    # SONAME first.
    yield from versioned
    # An SDK installed under /usr/local before ldconfig ran.
    for file in versioned:
        if os.path.exists("/usr/local/lib/" + file):
            yield "/usr/local/lib/" + file


def _load() -> ctypes.CDLL:
    errors = []
    for candidate in _candidates():
        try:
            return ctypes.CDLL(candidate)
        except OSError as error:
            errors.append(str(error))
    raise ImportError(
        "cannot load the Zervon library (%s); set ZERVON_LIBRARY to its path: %s"
        % (library_name(), "; ".join(errors))
    )


_lib: Optional[ctypes.CDLL] = None

# size_t in decorated names: unsigned long on 64-bit targets, unsigned int on
# the 32-bit ones.
_SIZE_T = "m" if struct.calcsize("P") == 8 else "j"

_DECORATED = {
    "ZervSendCommand": "_Z15ZervSendCommandPhiS_i",
    "ZervSendCommandEx": "_Z17ZervSendCommandExPhiS_Pi",
    "ZervGetDeviceHandle": "_Z19ZervGetDeviceHandlev",
    "ZervSetDeviceHandle": "_Z19ZervSetDeviceHandlePv",
    "ZervMemMapReadEx": "_Z16ZervMemMapReadEx9MemoryMapPhjPFvjjE",
    "ZervMemMapWriteEx": "_Z17ZervMemMapWriteEx9MemoryMapPhjPFvjjE",
    "ZervReadMfgInfo": "_Z15ZervReadMfgInfoPh" + _SIZE_T,
    "ZervWriteMfgInfo": "_Z16ZervWriteMfgInfoPKh" + _SIZE_T,
    "ZervLoadBinFile": "_Z15ZervLoadBinFilePcPiS0_",
    "ZervBurnBinFile": "_Z15ZervBurnBinFilePFviiE",
    "ReconnectDevice": "_Z15ReconnectDevicev",
}

_c = ctypes
_u8p = _c.POINTER(_c.c_ubyte)
_SIGNATURES = {
    "ZervInit": (_c.c_bool, [CONNECTION]),
    "ZervConnect": (_c.c_bool, [_c.c_int, _c.c_uint]),
    "ZervFree": (None, []),
    "ZervGetDeviceInformation": (_c.c_bool, [_c.POINTER(ModelInformation)]),
    "ZervGetHWInformation": (_c.c_bool, [_c.POINTER(HWInformation)]),
    "ZervGetSerialNumber": (_c.c_char_p, []),
    "ZervUpdateSetting": (_c.c_int, [_c.c_int] * 4),
    "ZervUpdateSettingEx": (_c.c_int, [_c.c_int] * 5),
    "ZervReadValue": (_c.c_int, [_c.POINTER(_c.c_int)] * 5 + [_c.POINTER(_c.c_double)]),
    "ZervGetBatteryStatus": (_c.c_int, []),
    "ZervGetVersion": (_c.c_uint, []),
    "ZervSPIFlashReadEx": (_c.c_bool, [_c.c_int, _u8p, _c.c_uint, FLASH_PROGRESS]),
    "ZervSPIFlashWriteEx": (_c.c_bool, [_c.c_int, _u8p, _c.c_uint, FLASH_PROGRESS]),
    "ZervStartLCMCalibration": (_c.c_bool, []),
    "ZervStopLCMCalibration": (_c.c_bool, [FLASH_PROGRESS]),
    "ZervSendCommand": (_c.c_int, [_u8p, _c.c_int, _u8p, _c.c_int]),
    "ZervSendCommandEx": (_c.c_int, [_u8p, _c.c_int, _u8p, _c.POINTER(_c.c_int)]),
    "ZervGetDeviceHandle": (_c.c_void_p, []),
    "ZervSetDeviceHandle": (None, [_c.c_void_p]),
    "ZervMemMapReadEx": (_c.c_bool, [_c.c_int, _u8p, _c.c_uint, FLASH_PROGRESS]),
    "ZervMemMapWriteEx": (_c.c_bool, [_c.c_int, _u8p, _c.c_uint, FLASH_PROGRESS]),
    "ZervReadMfgInfo": (_c.c_bool, [_u8p, _c.c_size_t]),
    "ZervWriteMfgInfo": (_c.c_bool, [_u8p, _c.c_size_t]),
    "ZervLoadBinFile": (_c.c_int, [_c.c_char_p, _c.POINTER(_c.c_int), _c.POINTER(_c.c_int)]),
    "ZervBurnBinFile": (_c.c_int, [BURN_PROGRESS]),
    "ReconnectDevice": (None, []),
}


class _Functions:
    """The library's functions under their plain names, declared on first use."""

    def __getattr__(self, name: str):
        global _lib
        if name not in _SIGNATURES:
            raise AttributeError(name)
        if _lib is None:
            _lib = _load()
        function = getattr(_lib, _DECORATED.get(name, name))
        function.restype, function.argtypes = _SIGNATURES[name]
        setattr(self, name, function)
        return function


lib = _Functions()

NO_HANDLE = ctypes.c_void_p(-1).value  # (void*)-1: no port open


def handle(fd: int) -> ctypes.c_void_p:
    """A file descriptor as the pointer-sized handle of ZervSetDeviceHandle."""
    return ctypes.c_void_p(fd & ((1 << (8 * ctypes.sizeof(ctypes.c_void_p))) - 1))


def record_block() -> bytes:
    """The library's cache of the record block it read last (at a hand-over,
    or when its connection found the instrument), exported as g_DeviceHWInfo."""
    lib.ZervGetVersion  # loads the library
    return bytes((ctypes.c_ubyte * 64).in_dll(_lib, "g_DeviceHWInfo"))


def port_open() -> bool:
    """Whether the library has a port open now."""
    # ctypes gives None for a null pointer: descriptor 0, an open port.
    return lib.ZervGetDeviceHandle() != NO_HANDLE


def buffer(data: bytes) -> ctypes.Array:
    return (ctypes.c_ubyte * max(len(data), 1)).from_buffer_copy(data if data else b"\0")
