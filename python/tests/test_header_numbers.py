"""The package's copies of the driver's numbers match the public C header, the one source of them.

A code, status value, limit or version that the header changes and the package does not would
make the package misname failures or refuse valid settings; this test fails first.
"""

from __future__ import annotations

import re
import tomllib
from pathlib import Path

import pytest

import ostreltcp
from ostreltcp import DriverStatus, errors

_ROOT = Path(__file__).resolve().parents[2]
_HEADER = _ROOT / "include" / "ostreltcp.h"


def _header_numbers() -> dict[str, int]:
    """Every OSTRELTCP_* enumerator and numeric #define of the header, by name."""
    text = _HEADER.read_text(encoding="utf-8")
    numbers: dict[str, int] = {}
    number = r"(0x[0-9A-Fa-f]+|\d+)"
    enumerators = re.findall(r"^\s*(OSTRELTCP_[A-Z0-9_]+)\s*=\s*" + number, text, re.M)
    defines = re.findall(r"^#define\s+(OSTRELTCP_[A-Z0-9_]+)\s+" + number + r"\s*$", text, re.M)
    for name, value in enumerators + defines:
        numbers[name] = int(value, 0)
    return numbers


NUMBERS = _header_numbers()


def test_the_header_is_read() -> None:
    # A parser that found nothing would let every comparison below pass vacuously.
    assert NUMBERS["OSTRELTCP_ERR_SCAN_DIR_RANGE"] == 18
    assert NUMBERS["OSTRELTCP_STATUS_COADD_STARTED"] == 64


@pytest.mark.parametrize(
    "name",
    sorted(n for n in NUMBERS if n.startswith("OSTRELTCP_ERR_")) + ["OSTRELTCP_SOCKET_FLAG"],
)
def test_every_error_code_of_the_header_has_the_same_value_in_the_package(name: str) -> None:
    attribute = name.removeprefix("OSTRELTCP_ERR_").removeprefix("OSTRELTCP_")
    assert getattr(errors, attribute) == NUMBERS[name]


def test_the_package_knows_no_error_code_that_the_header_lacks() -> None:
    header_codes = {v for n, v in NUMBERS.items() if n.startswith("OSTRELTCP_ERR_")}
    package_codes = {
        value
        for name, value in vars(errors).items()
        if name.isupper() and isinstance(value, int) and name != "SOCKET_FLAG"
    }
    assert package_codes == header_codes


def test_driver_status_values_are_the_headers() -> None:
    prefix = "OSTRELTCP_STATUS_"
    header = {n.removeprefix(prefix): v for n, v in NUMBERS.items() if n.startswith(prefix)}
    assert {member.name: int(member) for member in DriverStatus} == header


def test_largest_points_setting_is_the_headers() -> None:
    assert ostreltcp.MAX_POINTS == NUMBERS["OSTRELTCP_MAX_POINTS"]


def test_package_version_is_the_drivers() -> None:
    parts = (NUMBERS[f"OSTRELTCP_VERSION_{part}"] for part in ("MAJOR", "MINOR", "PATCH"))
    version = ".".join(str(part) for part in parts)
    pyproject = (_ROOT / "python" / "pyproject.toml").read_text(encoding="utf-8")
    project = tomllib.loads(pyproject)["project"]
    assert ostreltcp.__version__ == version
    assert project["version"] == version
