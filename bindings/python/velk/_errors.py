"""The exceptions of the binding: one class per error kind of the library, under VelkError."""

from __future__ import annotations

from typing import Dict, Optional, Sequence, Type

from . import _facts


class VelkError(Exception):
    """A failed velk call.

    ``code`` is the library's result code (-65535 to -65527; None for a failed open, which has no
    code); ``records`` holds the operation's error records from the library's log, when the log
    was set up with :func:`velk.init_log`. ``kind`` is the text the library's error records of
    the kind start with.
    """

    kind = "error"

    def __init__(self, message: str, code: Optional[int] = None, records: Sequence[str] = ()):
        super().__init__(message)
        self.code = code
        self.records = tuple(records)


class InternalError(VelkError):
    """-65535: an internal failure, a second log set-up, or a handle poisoned by an earlier one."""


class LibusbError(VelkError):
    """-65534: a libusb call failed."""


class HidapiError(VelkError):
    """-65533: a hidapi call failed."""


class InvalidArgument(VelkError, ValueError):
    """-65532: an argument that does not fit, a bad path, or a dump file that cannot be written.

    Also a ValueError, and raised without calling the library for values that C cannot carry.
    """


class EnumerationError(VelkError):
    """-65531: the device was not found, or more than one is attached."""


class DeviceError(VelkError):
    """-65530: the device answered wrongly, or came back in the wrong mode."""


class SpuriousError(VelkError):
    """-65529: the device sent an event the exchange did not expect."""


class InvalidImage(VelkError):
    """-65528: a firmware image that fails its checks, or a DSP range the flash refuses."""


class Timeout(VelkError):
    """-65527: the device kept the library waiting too long."""


class NoDevice(VelkError):
    """velk.open() found no device it could open (none, more than one, or not openable)."""

    kind = "no device opened"


# The class of each of the library's error kinds, by the library's name for it.
_CLASSES: Dict[str, Type[VelkError]] = {
    "InternalError": InternalError,
    "LIBUSBError": LibusbError,
    "HIDAPIError": HidapiError,
    "InvalidArgument": InvalidArgument,
    "EnumerationError": EnumerationError,
    "DeviceError": DeviceError,
    "SpuriousError": SpuriousError,
    "InvalidImage": InvalidImage,
    "Timeout": Timeout,
}
# The result code of each class, and the class of each code.
CODES: Dict[Type[VelkError], int] = {}
for _number, (_name, _text) in enumerate(_facts.ERROR_KINDS):
    _CLASSES[_name].kind = _text
    CODES[_CLASSES[_name]] = _facts.FIRST_CODE + _number
_BY_CODE = {code: cls for cls, code in CODES.items()}


def error_for(operation: str, code: int, records: Sequence[str] = (), detail: str = "") -> VelkError:
    """The exception for a failed call: the log's error records say why, else ``detail``."""
    cls = _BY_CODE.get(code, VelkError)
    reason = "; ".join(records) or detail or cls.kind
    return cls(f"{operation}: {reason} (code {code})", code, records)
