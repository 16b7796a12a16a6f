"""Finding and loading the velk shared library, and the C prototypes of its fourteen functions."""

from __future__ import annotations

import ctypes
import ctypes.util
import os
import sys
import threading
from pathlib import Path
from typing import Mapping, Optional, Sequence

# void (*)(uint64_t done, uint64_t total), C calling convention on every platform (also on
# 32-bit Windows, where WINFUNCTYPE would be stdcall and corrupt the stack).
PROGRESS = ctypes.CFUNCTYPE(None, ctypes.c_uint64, ctypes.c_uint64)

_handle = ctypes.c_void_p
_i32, _u16, _u32 = ctypes.c_int32, ctypes.c_uint16, ctypes.c_uint32
_words = ctypes.POINTER(ctypes.c_uint16)
_bytes = ctypes.c_void_p
_path = ctypes.c_char_p

_PROTOTYPES = {
    "velk_init": (_i32, [_path, _u32]),
    "velk_open": (_handle, []),
    "velk_close": (None, [_handle]),
    "velk_reset": (_i32, [_handle]),
    "velk_status": (_i32, [_handle]),
    "velk_read_pskey": (_i32, [_handle, _u16, _words, _u32]),
    "velk_write_pskey": (_i32, [_handle, _u16, _words, _u32]),
    "velk_clear_pskey": (_i32, [_handle, _u16]),
    "velk_flash_btm": (_i32, [_handle, _bytes, _u32, PROGRESS]),
    "velk_dump_btm": (_i32, [_handle, _path, PROGRESS]),
    "velk_flash_sqif": (_i32, [_handle, _bytes, _u32, PROGRESS]),
    "velk_flash_dsp": (_i32, [_handle, _bytes, _u32, PROGRESS]),
    "velk_write_dsp": (_i32, [_handle, _u32, _bytes, _u32, PROGRESS]),
    "velk_read_dsp": (_i32, [_handle, _u32, _bytes, _u32, PROGRESS]),
}


class LibraryNotFound(OSError):
    """The velk shared library could not be loaded; the message lists every place tried."""


def library_names(platform: str = sys.platform) -> Sequence[str]:
    """The file names of the library on this platform, the versioned one first."""
    if platform.startswith("win") or platform == "cygwin":
        return ("velk.dll",)
    if platform == "darwin":
        return ("libvelk.0.dylib", "libvelk.dylib")
    return ("libvelk.so.0", "libvelk.so")


def load(
    environ: Mapping[str, str] = os.environ,
    package_dir: Path = Path(__file__).resolve().parent,
    names: Optional[Sequence[str]] = None,
) -> ctypes.CDLL:
    """Loads the library with its prototypes declared.

    VELK_LIBRARY, when set, names the one file to load. Otherwise the library's names are tried
    in the package's own folder, then on the system's search path.
    """
    names = library_names() if names is None else names
    explicit = environ.get("VELK_LIBRARY")
    if explicit:
        candidates = [(explicit, "VELK_LIBRARY")]
    else:
        candidates = [(str(package_dir / n), "package folder") for n in names]
        candidates += [(n, "system search path") for n in names]
        if sys.platform.startswith("win"):
            # Since Python 3.8 a bare name is not looked up on PATH; find_library does that.
            found = ctypes.util.find_library("velk")
            if found:
                candidates.append((found, "PATH"))
    failures = []
    for target, where in candidates:
        try:
            library = ctypes.CDLL(target)
        except OSError as error:
            reason = str(error)
            reason = reason[len(target) + 2 :] if reason.startswith(target + ": ") else reason
            failures.append(f"  {target} ({where}): {reason}")
            continue
        return _declare(library, target)
    hint = "" if explicit else "\nSet VELK_LIBRARY to the library's path to load it from elsewhere."
    raise LibraryNotFound("cannot load the velk library; tried:\n" + "\n".join(failures) + hint)


def _declare(library: ctypes.CDLL, described: str) -> ctypes.CDLL:
    for name, (restype, argtypes) in _PROTOTYPES.items():
        try:
            function = getattr(library, name)
        except AttributeError:
            raise LibraryNotFound(f"{described} is not the velk library: it has no {name}") from None
        function.restype = restype
        function.argtypes = argtypes
    return library


_loaded: Optional[ctypes.CDLL] = None
_lock = threading.Lock()


def get() -> ctypes.CDLL:
    """The process's library, loaded on first use so that importing velk never fails."""
    global _loaded
    with _lock:
        if _loaded is None:
            _loaded = load()
        return _loaded
