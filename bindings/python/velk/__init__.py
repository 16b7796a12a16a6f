"""velk: firmware service for the Tavrin Systems Vexo USB Bluetooth device, from Python.

A thin layer over the velk shared library (through ctypes), one to one with its C interface::

    import velk

    velk.init_log("service.log", 4)
    with velk.open() as dev:
        print(dev.status().name)
        dev.write_pskey(0x0022, [0x1234, 0xBEEF])

Failures raise a subclass of VelkError per error kind, carrying the library's result code and
the operation's error records from the library's log (the host's, or a private one). The library is looked up through the
environment variable VELK_LIBRARY, then in this package's folder, then on the system's search
path.
"""

__version__ = "0.1.9"  # the library's version; pyproject.toml and CMake check that they agree

from ._device import PSKEY_MAX_WORDS, Device, Mode, Progress, init_log, open
from ._errors import (
    DeviceError,
    EnumerationError,
    HidapiError,
    InternalError,
    InvalidArgument,
    InvalidImage,
    LibusbError,
    NoDevice,
    SpuriousError,
    Timeout,
    VelkError,
)
from ._library import LibraryNotFound

__all__ = [
    "PSKEY_MAX_WORDS",
    "Device",
    "DeviceError",
    "EnumerationError",
    "HidapiError",
    "InternalError",
    "InvalidArgument",
    "InvalidImage",
    "LibraryNotFound",
    "LibusbError",
    "Mode",
    "NoDevice",
    "Progress",
    "SpuriousError",
    "Timeout",
    "VelkError",
    "init_log",
    "open",
]
