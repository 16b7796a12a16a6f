"""The binding against one virtual Vexo in BTM mode (VELK_SIM=vexo), driven through its modes."""

from __future__ import annotations

import gc
import os
import re
import struct
import subprocess
import sys
from pathlib import Path
from typing import List, Tuple

import pytest

import velk
from velk import _errors, _library

ROOT = Path(__file__).resolve().parents[3]


@pytest.fixture(scope="module")
def log(tmp_path_factory: pytest.TempPathFactory) -> Path:
    path = tmp_path_factory.mktemp("log") / "velk.log"
    velk.init_log(path, 4)
    return path


@pytest.fixture
def dev(log: Path):
    with velk.open() as device:
        yield device


def ff_data(byte_address: int, body: bytes) -> bytes:
    """A one-record FF image: a data record (command 0x14) at a byte address."""
    header = bytearray(64)
    start = byte_address // 2  # word address
    struct.pack_into(">I", header, 0, (2 * start + len(body)) // 2)  # the consistency field
    struct.pack_into(">II", header, 12, start, len(body))
    header[62:64] = b"\xee\x14"
    return bytes(header) + body


def test_persistent_store_in_btm_mode(dev: velk.Device) -> None:
    assert dev.status() is velk.Mode.BTM
    dev.write_pskey(0x0022, [0x1234, 0xBEEF, 1])
    assert dev.read_pskey(0x0022) == [0x1234, 0xBEEF, 1]
    with pytest.raises(velk.InvalidArgument) as too_small:
        dev.read_pskey(0x0022, capacity=1)
    # The exception carries the code and quotes the call's error record from the log.
    assert too_small.value.code == -65532
    assert too_small.value.records == ("invalid argument: supplied buffer too small: 0x3 > 0x1",)
    assert str(too_small.value) == (
        "read_pskey: invalid argument: supplied buffer too small: 0x3 > 0x1 (code -65532)"
    )
    dev.clear_pskey(0x0022)
    with pytest.raises(velk.DeviceError, match=r"read_pskey: device error: .* \(code -65530\)"):
        dev.read_pskey(0x0022)


def test_failed_transfers_leave_the_device_in_their_mode(dev: velk.Device) -> None:
    with pytest.raises(velk.InvalidImage, match="flash_btm: invalid firmware image"):
        dev.flash_btm(b"not a DFU file")
    assert dev.status() is velk.Mode.DFU
    with pytest.raises(velk.InvalidImage, match='invalid line: "@0 1 2"'):
        dev.flash_sqif(b"@0 1 2\n")
    assert dev.status() is velk.Mode.SQIF
    with pytest.raises(velk.InvalidImage, match="invalid loader address: 0x100"):
        dev.write_dsp(0x100, b"abc")
    assert dev.status() is velk.Mode.DSP
    dev.reset()
    assert dev.status() is velk.Mode.BTM


def test_transfers_and_their_progress(dev: velk.Device, tmp_path: Path) -> None:
    seen: List[Tuple[int, int]] = []

    def record(done: int, total: int) -> None:
        gc.collect()  # the thunk C is calling must survive a collection
        seen.append((done, total))

    dev.flash_sqif(bytearray(b"@000000 1234\n@000001 5678\n"), progress=record)
    assert seen == [(0, 4), (4, 4)]
    data = b"velk" * 1000
    seen.clear()
    # A lambda that nothing else holds: only the call keeps its C thunk alive.
    dev.write_dsp(0x20000, memoryview(data), progress=lambda d, t: record(d, t))
    assert seen[0] == (0, len(data)) and seen[-1] == (len(data), len(data))
    assert [d for d, _ in seen] == sorted(d for d, _ in seen)
    dev.flash_dsp(ff_data(0x30000, b"\x01\x02\x03\x04"))
    assert dev.read_dsp(0x30000, 4) + dev.read_dsp(0x20000, 8) == b"\x01\x02\x03\x04velkvelk"
    dump = tmp_path / "btm.dfu"
    dev.dump_btm(dump)
    assert dump.read_bytes()[-8:-4] == b"UFD\x10"  # a DFU suffix
    assert dev.status() is velk.Mode.BTM


def test_exception_of_a_progress_callable_is_raised_after_the_call(dev: velk.Device) -> None:
    calls = []

    def call_back_into_the_device(done: int, total: int) -> None:
        calls.append(done)
        dev.status()  # would wait for ever on the handle's lock; the binding refuses

    with pytest.raises(RuntimeError, match="must not call the device"):
        dev.write_dsp(0x40000, b"done anyway", progress=call_back_into_the_device)
    assert calls == [0]  # no more reports once the callable failed
    assert dev.read_dsp(0x40000, 11) == b"done anyway"  # the transfer itself went on to its end


def test_arguments_c_cannot_carry_are_refused_before_the_call(dev: velk.Device) -> None:
    with pytest.raises(velk.InvalidArgument, match="key 0x10000 does not fit in 16 bits"):
        dev.clear_pskey(0x10000)
    with pytest.raises(ValueError, match="word -0x1 does not fit"):
        dev.write_pskey(1, [-1])
    with pytest.raises(velk.InvalidArgument, match="NUL"):
        dev.dump_btm("btm\0.dfu")  # C would stop reading at the NUL and write "btm"
    with pytest.raises(TypeError):
        dev.flash_sqif("text, not bytes")  # type: ignore[arg-type]


def test_closed_device_and_second_log(dev: velk.Device, log: Path) -> None:
    dev.close()
    dev.close()
    assert dev.closed
    with pytest.raises(ValueError, match="closed"):
        dev.status()
    with pytest.raises(velk.InternalError, match="already set up"):
        velk.init_log(log.with_name("second.log"), 4)


def test_error_codes_map_to_one_class_per_kind() -> None:
    kinds = [velk.InternalError, velk.LibusbError, velk.HidapiError, velk.InvalidArgument,
             velk.EnumerationError, velk.DeviceError, velk.SpuriousError, velk.InvalidImage,
             velk.Timeout]
    for code, kind in zip(range(-65535, -65526), kinds):
        error = _errors.error_for("reset", code)
        assert type(error) is kind and issubclass(kind, velk.VelkError)
        assert error.code == code and str(error) == f"reset: {kind.kind} (code {code})"
    assert type(_errors.error_for("reset", -1)) is velk.VelkError


def test_missing_library_says_what_was_tried(tmp_path: Path) -> None:
    with pytest.raises(velk.LibraryNotFound, match=r"/nowhere/libvelk\.so\.0 \(VELK_LIBRARY\)"):
        _library.load({"VELK_LIBRARY": "/nowhere/libvelk.so.0"})
    with pytest.raises(velk.LibraryNotFound) as searched:
        _library.load({}, tmp_path, ["libvelk-missing.so.0"])
    assert f"{tmp_path}/libvelk-missing.so.0 (package folder)" in str(searched.value)
    assert "libvelk-missing.so.0 (system search path)" in str(searched.value)
    assert _library.library_names("linux") == ("libvelk.so.0", "libvelk.so")
    assert _library.library_names("win32") == ("velk.dll",)


def run_python(args: List[str], scenario: str, cwd: Path) -> subprocess.CompletedProcess:
    """A new process, hence a new virtual device, in the given scenario."""
    env = dict(os.environ, VELK_SIM=scenario)
    # No timeout here: this process's clock and sleeps are the virtual device's, which a sleep
    # moves on at once; ctest bounds the run in real time.
    return subprocess.run([sys.executable, *args], cwd=cwd, env=env, capture_output=True,
                          text=True)


def test_module_entry_point(tmp_path: Path) -> None:
    done = run_python(["-m", "velk", "status"], "vexo-sqif", tmp_path)
    assert (done.returncode, done.stdout) == (0, "mode: 3 SQIF\n")
    done = run_python(["-m", "velk", "--log", "velk.log", "status"], "two", tmp_path)
    assert done.returncode == 3 and "more than one Tavrin device connected" in done.stderr


@pytest.mark.parametrize("scenario", ["vexo", "vexo-dfu", "vexo-sqif", "vexo-dsp",
                                      "vexo-dfu-firmware", "vexo-no-self-detach"])
def test_readme_example_runs_as_written(scenario: str, tmp_path: Path) -> None:
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    example = re.search(r"## Python binding.*?```python\n(.*?)```", readme, re.DOTALL)
    assert example, "README.md has no Python example"
    (tmp_path / "example.py").write_text(example.group(1), encoding="utf-8")
    done = run_python(["example.py"], scenario, tmp_path)
    assert done.returncode == 0, done.stderr
    assert "pskey 0x0022: ['0x1234', '0xbeef']" in done.stdout
    assert "DSP 0x20000: b'velkvelk'" in done.stdout
    assert (tmp_path / "btm.dfu").exists() and (tmp_path / "session.log").exists()
