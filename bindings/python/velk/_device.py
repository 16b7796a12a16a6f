"""The device handle and the module functions, over the library's C interface."""

from __future__ import annotations

import atexit
import contextlib
import ctypes
import enum
import io
import operator
import os
import re
import tempfile
import threading
from typing import BinaryIO, Callable, Iterable, Iterator, List, Optional, Union

from . import _facts, _library
from ._errors import CODES, InternalError, InvalidArgument, NoDevice, error_for

Progress = Callable[[int, int], object]
"""A progress callable: called with (done, total) on the calling thread as a transfer goes on."""

PathArg = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
BytesArg = Union[bytes, bytearray, memoryview]

PSKEY_MAX_WORDS = _facts.PSKEY_MAX_WORDS
"""The longest persistent-store value, in 16-bit words."""


class Mode(enum.IntEnum):
    """The device's operation mode, as velk_status reports it."""

    NONE = 0  # no connection, or the device does not answer
    BTM = 1  # Bluetooth-module firmware
    DFU = 2  # DFU boot loader
    SQIF = 3  # serial-flash loader
    DSP = 4  # DSP loader


# An error record's line: the time, the level and the message, nothing else.
_ERROR_RECORD = re.compile(
    f"^.{{{_facts.LOG_TIME_WIDTH}}}{re.escape(_facts.LOG_ERROR_FIELD)}(.*)$", re.MULTILINE
)

# The library's log, read for the error records of each call: the host's (init_log), or a
# private one at error level that velk sets up at the first open() when the host set none, so
# that every exception says why. The library keeps whichever log it was given first.
_log: Optional[BinaryIO] = None
_log_is_private = False


def _private_log() -> None:
    global _log, _log_is_private
    if _log is not None:
        return
    fd, path = tempfile.mkstemp(prefix="velk-", suffix=".log")
    try:
        if _library.get().velk_init(os.fsencode(path), 1) != 0:
            os.close(fd)
            return
        _log = os.fdopen(fd, "rb")
        _log_is_private = True
    finally:
        # Both the library and the binding hold it open. POSIX lets the name go now; Windows only
        # once the binding's own handle is closed (the library's allows it), at exit.
        try:
            os.remove(path)
        except OSError:
            atexit.register(_remove_private_log, path)


def _remove_private_log(path: str) -> None:
    if _log is not None:
        _log.close()
    with contextlib.suppress(OSError):
        os.remove(path)


class _LogWindow:
    """The part of the library's log written from now on: where a failure's reason is."""

    def __init__(self) -> None:
        self._start = 0
        if _log is not None:
            with contextlib.suppress(OSError):
                self._start = _log.seek(0, io.SEEK_END)

    def error_records(self) -> List[str]:
        if _log is None:
            return []
        try:
            _log.seek(self._start)
            text = _log.read().decode("utf-8", "replace")
        except OSError:
            return []
        return _ERROR_RECORD.findall(text)


# A null function pointer: ctypes does not turn None into one for a function-pointer argument.
_NO_PROGRESS = _library.PROGRESS(0)


class _ProgressRelay:
    """Carries progress from C to a Python callable; an exception is kept, never let into C."""

    def __init__(self, callback: Progress) -> None:
        self._callback = callback
        self.error: Optional[BaseException] = None
        self.function = _library.PROGRESS(self._deliver)

    def _deliver(self, done: int, total: int) -> None:
        if self.error is not None:
            return  # the operation cannot be stopped; it goes on without more reports
        try:
            self._callback(done, total)
        except BaseException as error:  # Ctrl-C too: nothing may unwind through C
            self.error = error


def _unsigned(operation: str, what: str, value: int, bits: int) -> int:
    number = operator.index(value)
    if not 0 <= number < 1 << bits:
        detail = f"{what} {number:#x} does not fit in {bits} bits"
        raise error_for(operation, CODES[InvalidArgument], detail=detail)
    return number


def _bytes(operation: str, data: BytesArg) -> bytes:
    data = data if isinstance(data, bytes) else bytes(memoryview(data))
    _unsigned(operation, "length", len(data), 32)
    return data


def _c_path(operation: str, path: PathArg) -> bytes:
    encoded = os.fsencode(path)
    # C would stop reading at the first NUL and use another file than the one named.
    if b"\0" in encoded:
        detail = f"path {encoded!r} contains a NUL byte"
        raise error_for(operation, CODES[InvalidArgument], detail=detail)
    return encoded


def init_log(path: Optional[PathArg], level: int) -> None:
    """Sets up the library's log file (velk_init). Call once, before anything else; optional.

    ``level``: 0 no log (the path is not read), 1 error, 2 warn, 3 info, 4 debug, 5+ trace. The
    file is created or appended to. Exceptions include the failed operation's error records
    from it; without init_log, open() sets up a private log at error level for them, after which
    init_log raises InternalError. Raises InvalidArgument when the path is bad or the file cannot
    be opened, InternalError when a log was already set up (the first one stays in use).
    """
    global _log, _log_is_private
    level = _unsigned("init_log", "level", level, 32)
    encoded = None if level == 0 or path is None else _c_path("init_log", path)
    code = _library.get().velk_init(encoded, level)
    if code != 0:
        detail = {
            CODES[InvalidArgument]: "the path is not UTF-8 or the file cannot be opened",
            CODES[InternalError]: "a log was already set up by an earlier call"
            + (" (velk's private one, set up by open(): call init_log first)"
               if _log_is_private else ""),
        }.get(code, "")
        raise error_for("init_log", code, detail=detail)
    if encoded is not None and level != 0:
        with contextlib.suppress(OSError):
            _log = io.open(encoded, "rb")
            _log_is_private = False


def open() -> Device:  # velk.open, after velk_open; io.open reads the log here
    """Finds the one attached device, in whatever mode it is, and opens it (velk_open).

    Does not wait and does not switch modes. Raises NoDevice when there is no device, more than
    one, or one that cannot be opened. Use it as a context manager: ``with velk.open() as dev:``.
    """
    _private_log()
    window = _LogWindow()
    handle = _library.get().velk_open()
    if not handle:
        records = window.error_records()
        reason = "; ".join(records) or "no device, more than one, or one that cannot be opened"
        raise NoDevice(f"open: {reason}", None, records)
    return Device(handle)


class Device:
    """An open device (a velk_handle). Obtain it from :func:`velk.open`.

    Calls on one device run one at a time; any thread may make them. Every transfer switches the
    device into the mode it needs and restarts it afterwards, which can block for minutes on
    hardware. A progress callable runs on the calling thread and must not call this device.
    """

    def __init__(self, handle: int) -> None:
        self._handle: Optional[int] = handle
        self._lock = threading.Lock()
        self._caller: Optional[int] = None

    def __enter__(self) -> Device:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def __del__(self) -> None:
        if getattr(self, "_handle", None) is not None:
            with contextlib.suppress(Exception):
                self.close()

    @property
    def closed(self) -> bool:
        """True once the device was closed."""
        return self._handle is None

    def close(self) -> None:
        """Closes the connection and frees the handle (velk_close). Sends nothing to the device.

        Waits for a call running on another thread; closing twice does nothing.
        """
        self._check_caller()
        with self._lock:
            if self._handle is not None:
                _library.get().velk_close(self._handle)
                self._handle = None

    def status(self) -> Mode:
        """The device's current mode; Mode.NONE when it does not answer. Never switches modes."""
        return Mode(self._run("status"))

    def reset(self) -> None:
        """Restarts the device and waits until it is back, in any mode."""
        self._run("reset")

    def read_pskey(self, key: int, capacity: int = PSKEY_MAX_WORDS) -> List[int]:
        """Reads a persistent-store key (BTM mode) as a list of 16-bit words.

        Raises InvalidArgument when the value is longer than ``capacity`` words.
        """
        key = _unsigned("read_pskey", "key", key, 16)
        buffer = (ctypes.c_uint16 * _unsigned("read_pskey", "capacity", capacity, 32))()
        count = self._run("read_pskey", key, buffer, len(buffer))
        return list(buffer[:count])

    def write_pskey(self, key: int, words: Iterable[int]) -> None:
        """Writes a persistent-store key (BTM mode): at most 118 16-bit words."""
        key = _unsigned("write_pskey", "key", key, 16)
        values = [_unsigned("write_pskey", "word", word, 16) for word in words]
        self._run("write_pskey", key, (ctypes.c_uint16 * len(values))(*values), len(values))

    def clear_pskey(self, key: int) -> None:
        """Clears a persistent-store key (BTM mode)."""
        self._run("clear_pskey", _unsigned("clear_pskey", "key", key, 16))

    def flash_btm(self, data: BytesArg, progress: Optional[Progress] = None) -> None:
        """Flashes the Bluetooth-module firmware from the bytes of a DFU file (DFU mode).

        ``progress`` counts image bytes. Raises InvalidImage for a file that fails the DFU suffix
        or CRC checks (nothing is sent).
        """
        data = _bytes("flash_btm", data)
        self._transfer("flash_btm", progress, data, len(data))

    def dump_btm(self, path: PathArg, progress: Optional[Progress] = None) -> None:
        """Reads the Bluetooth-module firmware (DFU mode) into a DFU file at ``path``.

        The file is replaced only when the whole dump was written. ``progress`` gets the bytes
        read so far as both done and total, since the size is known only at the end.
        """
        self._transfer("dump_btm", progress, _c_path("dump_btm", path))

    def flash_sqif(self, data: BytesArg, progress: Optional[Progress] = None) -> None:
        """Flashes the serial flash from the bytes of an xuv text image (SQIF mode).

        ``progress`` counts image bytes. Raises InvalidImage for a malformed image (nothing is
        sent; the device stays in SQIF mode).
        """
        data = _bytes("flash_sqif", data)
        self._transfer("flash_sqif", progress, data, len(data))

    def flash_dsp(self, data: BytesArg, progress: Optional[Progress] = None) -> None:
        """Applies an FF image's erase and write sections to DSP memory (DSP mode).

        ``progress`` counts section bytes. Raises InvalidImage for a malformed image or a section
        below 0x10000 or past the end of the flash.
        """
        data = _bytes("flash_dsp", data)
        self._transfer("flash_dsp", progress, data, len(data))

    def write_dsp(self, address: int, data: BytesArg, progress: Optional[Progress] = None) -> None:
        """Writes bytes into DSP memory at a byte address (DSP mode).

        Below 0x10000 only a valid loader image at address 0 is accepted; other addresses there
        and ranges past the end of the flash raise InvalidImage.
        """
        address = _unsigned("write_dsp", "address", address, 32)
        data = _bytes("write_dsp", data)
        self._transfer("write_dsp", progress, address, data, len(data))

    def read_dsp(self, address: int, length: int, progress: Optional[Progress] = None) -> bytes:
        """Reads ``length`` bytes of DSP memory from a byte address (DSP mode)."""
        address = _unsigned("read_dsp", "address", address, 32)
        buffer = ctypes.create_string_buffer(_unsigned("read_dsp", "length", length, 32))
        self._transfer("read_dsp", progress, address, buffer, len(buffer))
        return buffer.raw

    def _check_caller(self) -> None:
        # The library holds the handle's lock during a callback: calling back would wait forever.
        if self._caller == threading.get_ident():
            raise RuntimeError("a progress callable must not call the device it reports on")

    @contextlib.contextmanager
    def _exclusive(self) -> Iterator[int]:
        self._check_caller()
        with self._lock:
            if self._handle is None:
                raise ValueError("operation on a closed velk device")
            self._caller = threading.get_ident()
            try:
                yield self._handle
            finally:
                self._caller = None

    def _run(self, operation: str, *args: object) -> int:
        """Calls velk_<operation> on the handle; a negative code raises its exception."""
        function = getattr(_library.get(), "velk_" + operation)
        with self._exclusive() as handle:
            window = _LogWindow()
            code: int = function(handle, *args)
        if code < 0:
            raise error_for(operation, code, window.error_records())
        return code

    def _transfer(self, operation: str, progress: Optional[Progress], *args: object) -> None:
        """_run with a progress callable. Its exception is re-raised once the call is over,
        chained to the call's own failure when there is one."""
        # The relay, and with it the C thunk, lives on this frame until the call is over.
        relay = _ProgressRelay(progress) if progress is not None else None
        try:
            self._run(operation, *args, relay.function if relay is not None else _NO_PROGRESS)
        finally:
            if relay is not None and relay.error is not None:
                error, relay.error = relay.error, None
                raise error
