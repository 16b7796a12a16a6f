"""Without init_log the binding keeps a private log, so that every exception says why
(VELK_SIM=none, and VELKCTL for python3 -m velk check and list)."""

import os
import subprocess
import sys

import pytest

import velk


def test_the_reason_without_init_log_and_init_log_after_it() -> None:
    with pytest.raises(velk.NoDevice) as no_device:
        velk.open()
    assert str(no_device.value) == (
        "open: failed to enumerate devices: exceeded maximum number of retries (1)"
    )
    with pytest.raises(velk.InternalError, match="private one, set up by open"):
        velk.init_log("never.log", 4)


def test_version_and_the_velkctl_commands(tmp_path) -> None:
    assert velk.__version__ == os.environ["VELK_VERSION"]
    xuv = tmp_path / "image.xuv"
    xuv.write_text("@0 1234\n@1 5678\n")
    module = [sys.executable, "-m", "velk"]
    checked = subprocess.run([*module, "check", str(xuv)], capture_output=True, text=True)
    assert checked.returncode == 0 and "xuv image: valid" in checked.stdout, checked
    listed = subprocess.run([*module, "list"], capture_output=True, text=True)
    assert listed.returncode == 3 and "no Vexo attached" in listed.stderr, listed
