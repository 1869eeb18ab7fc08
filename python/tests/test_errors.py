"""Driver results become exceptions of the right family, carrying the driver's code and text."""

from __future__ import annotations

import socket
import subprocess
import sys
from typing import Iterator

import pytest

from ostreltcp import (
    AcquisitionStateError,
    AlreadyOpenError,
    ArgumentError,
    DataError,
    DriverStatus,
    Instrument,
    InstrumentError,
    OstrelConnectionError,
    OstrelError,
    OstrelTimeoutError,
)

from conftest import child_environment


@pytest.mark.parametrize(
    "code, family, builtin, text",
    [
        (1, OstrelConnectionError, ConnectionError, "Could not connect to command socket"),
        (2, OstrelConnectionError, ConnectionError, "Could not connect to data socket"),
        (5, OstrelConnectionError, ConnectionError, "Could not connect to a socket"),
        (14, OstrelConnectionError, ConnectionError, "Socket read error"),
        (0x8001, OstrelConnectionError, ConnectionError, "WIL_EOF Socket has been closed."),
        (0xA74D, OstrelConnectionError, ConnectionError, "winerror 10061"),
        (3, OstrelTimeoutError, TimeoutError, "Timed out waiting for OK"),
        (11, OstrelTimeoutError, TimeoutError, "Deadman Timeout"),
        (12, OstrelTimeoutError, TimeoutError, "Scan timeout"),
        (4, InstrumentError, OstrelError, "An error occured on the spectrometer"),
        (7, InstrumentError, OstrelError, "Calscan failed"),
        (15, InstrumentError, OstrelError, "unkown OstrelTCP error 15"),
        (9, DataError, OstrelError, "No Data Available"),
        (13, DataError, OstrelError, "Not enough data was delivered"),
        (8, AcquisitionStateError, OstrelError, "Could not start scan thread"),
        (10, AcquisitionStateError, OstrelError, "scan thread is not running"),
        (17, ArgumentError, ValueError, "Points setting out of range"),
        (99, OstrelError, Exception, "unkown OstrelTCP error 99"),
    ],
)
def test_each_code_raises_its_family_with_the_drivers_text(driver, code, family, builtin, text):
    with pytest.raises(builtin) as caught:
        driver.check(code, "operation")
    error = caught.value
    assert type(error) is family
    assert error.code == code
    assert error.text.startswith(text)
    assert error.text == driver.error_text(code)
    assert error.operation == "operation"
    assert f"0x{code:04X}" in str(error)


def test_a_successful_result_raises_nothing(driver):
    driver.check(0, "operation")


@pytest.fixture
def unused_port() -> Iterator[int]:
    # Bound but not listening: connections to it are refused, and no other test can take it.
    with socket.socket() as holder:
        holder.bind(("127.0.0.1", 0))
        yield holder.getsockname()[1]


def test_open_refused_raises_connection_error_with_winsock_code(driver, unused_port, simulator):
    refused = Instrument("127.0.0.1", command_port=unused_port, data_port=unused_port)
    with pytest.raises(ConnectionError) as caught:
        refused.open()
    error = caught.value
    assert isinstance(error, OstrelConnectionError)
    assert error.code == 0xA74D
    assert error.socket_error == 10061
    assert "winerror 10061" in error.text
    assert driver.last_error_code() == 0xA74D
    assert not refused.is_open
    # The failed open gave the process's driver back: another instrument opens.
    with Instrument(**simulator.instrument_arguments()) as instrument:
        assert instrument.status == DriverStatus.CONNECTED


def test_acquire_before_open_raises_code_8_and_starts_nothing(driver):
    never_opened = Instrument("127.0.0.1")
    status = never_opened.status
    with pytest.raises(AcquisitionStateError) as caught:
        next(never_opened.acquire(1))
    assert caught.value.code == 8
    assert caught.value.text.startswith("Could not start scan thread")
    assert never_opened.status == status


FRESH_PROCESS_START = """
import ostreltcp
driver = ostreltcp.load_library()
try:
    driver.check(driver.spectrometer_startCoadd(0), "startCoadd")
except ostreltcp.AcquisitionStateError as error:
    print(error.code, driver.last_error_code(), error.text)
"""


def test_start_coadd_before_any_open_is_the_drivers_own_code_8(driver):
    child = subprocess.run(
        [sys.executable, "-c", FRESH_PROCESS_START],
        env=child_environment(),
        capture_output=True,
        text=True,
        timeout=20,
    )
    assert child.returncode == 0, child.stderr
    # The text may carry a " winerror" part: the platform error captured with the code.
    assert child.stdout.startswith("8 8 Could not start scan thread")


def test_stop_without_a_run_raises_code_10(instrument):
    with pytest.raises(AcquisitionStateError) as caught:
        instrument.stop()
    assert caught.value.code == 10
    assert instrument.status == DriverStatus.CONNECTED


def test_a_second_open_instrument_in_the_process_is_refused(instrument, simulator):
    second = Instrument(**simulator.instrument_arguments())
    with pytest.raises(AlreadyOpenError):
        second.open()
    assert instrument.version() == 123


@pytest.mark.parametrize(
    "setting, value, exception",
    [
        ("points", 2**32 + 256, ValueError),
        ("scans", -(2**31) - 1, ValueError),
        ("gain", 1.5, TypeError),
        ("files", True, TypeError),
    ],
)
def test_values_that_do_not_fit_int32_never_reach_the_driver(instrument, setting, value, exception):
    before = getattr(instrument, setting)
    with pytest.raises(exception):
        setattr(instrument, setting, value)
    assert getattr(instrument, setting) == before


@pytest.mark.parametrize("address", ["1" * 64, "127.0.0.\u00b9"])
def test_addresses_the_driver_would_cut_or_garble_are_refused(driver, address):
    with pytest.raises(ValueError):
        Instrument(address)
