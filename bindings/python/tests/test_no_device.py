"""velk.open() on a bus without exactly one device (VELK_SIM=none or two)."""

import os

import pytest

import velk

REASONS = {
    "none": "exceeded maximum number of retries (1)",
    "two": "more than one Tavrin device connected",
}


def test_open_raises_no_device_with_the_reason(tmp_path) -> None:
    velk.init_log(tmp_path / "velk.log", 1)
    with pytest.raises(velk.NoDevice) as no_device:
        velk.open()
    record = "failed to enumerate devices: " + REASONS[os.environ["VELK_SIM"]]
    assert no_device.value.code is None and no_device.value.records == (record,)
    assert str(no_device.value) == f"open: {record}"
