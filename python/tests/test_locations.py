"""Where an installed copy and a source-tree copy of the package look for the driver and the
simulator. Each case lays out a copy of the package in a temporary folder as an install would,
with decoys where the other kind of copy would look, and asks a fresh interpreter."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
from pathlib import Path

PACKAGE = Path(__file__).resolve().parent.parent / "ostreltcp"
PYTHON_DIR = Path("lib/python3/dist-packages")


def _install_copy(prefix: Path, library_dir: str, program_dir: str) -> Path:
    """The package below PREFIX/PYTHON_DIR with the module an install writes."""
    target = prefix / PYTHON_DIR / "ostreltcp"
    shutil.copytree(PACKAGE, target, ignore=shutil.ignore_patterns("__pycache__"))
    (target / "_install_paths.py").write_text(
        f'LIBRARY_DIR = "{library_dir}"\nPROGRAM_DIR = "{program_dir}"\n'
    )
    return target


def _touch(path: Path) -> Path:
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(b"")
    return path


def _ask(prefix: Path, expression: str) -> str:
    """The value of EXPRESSION in a fresh interpreter that imports the copy below PREFIX."""
    environment = {
        key: value
        for key, value in os.environ.items()
        if key not in ("OSTRELTCP_LIBRARY", "OSTREL_SIM")
    }
    environment["PYTHONPATH"] = str(prefix / PYTHON_DIR)
    environment["PYTHONDONTWRITEBYTECODE"] = "1"
    environment["PATH"] = "/nonexistent"
    result = subprocess.run(
        [
            sys.executable,
            "-c",
            "from ostreltcp import _library, simulator\n"
            f"try:\n    print({expression})\nexcept OSError as error:\n    print(error)",
        ],
        env=environment,
        capture_output=True,
        text=True,
        timeout=60,
        check=True,
    )
    return result.stdout.strip()


def test_installed_copy_finds_the_library_and_simulator_it_was_installed_with(
    tmp_path: Path,
) -> None:
    _install_copy(tmp_path, "../../../x86_64-linux-gnu", "../../../../bin")
    library = _touch(tmp_path / "lib/x86_64-linux-gnu/libostreltcp.so")
    program = _touch(tmp_path / "bin/ostrel-sim")
    # Where a source-tree copy would look (two folders above the package): never an install's.
    _touch(tmp_path / "lib/python3/build/default/src/libostreltcp.so")
    _touch(tmp_path / "lib/python3/build/run/sim/ostrel-sim")

    assert Path(_ask(tmp_path, "_library.find_library()")).resolve() == library
    assert Path(_ask(tmp_path, "simulator.find_simulator()")).resolve() == program


def test_installed_copy_with_absolute_folders_uses_them_as_they_are(tmp_path: Path) -> None:
    library = _touch(tmp_path / "elsewhere/lib/libostreltcp.so")
    program = _touch(tmp_path / "elsewhere/bin/ostrel-sim")
    _install_copy(tmp_path, str(library.parent), str(program.parent))

    assert Path(_ask(tmp_path, "_library.find_library()")) == library
    assert Path(_ask(tmp_path, "simulator.find_simulator()")) == program


def test_installed_copy_without_its_library_does_not_fall_back_to_a_build_tree(
    tmp_path: Path,
) -> None:
    _install_copy(tmp_path, "../../../x86_64-linux-gnu", "../../../../bin")
    decoy = _touch(tmp_path / "lib/python3/build/default/src/libostreltcp.so")

    answer = _ask(tmp_path, "_library.find_library()")
    assert str(decoy) not in answer
    assert str(tmp_path / "lib/x86_64-linux-gnu") in answer or answer.startswith("libostreltcp")


def test_source_tree_copy_finds_the_main_jobs_build_when_the_tests_build_is_absent(
    tmp_path: Path,
) -> None:
    shutil.copytree(
        PACKAGE,
        tmp_path / "python/ostreltcp",
        ignore=shutil.ignore_patterns("__pycache__", "_install_paths.py"),
    )
    library = _touch(tmp_path / "build/run/src/libostreltcp.so")
    program = _touch(tmp_path / "build/run/sim/ostrel-sim")
    # _ask puts PREFIX/PYTHON_DIR on the path, which here leads to the checkout's python/; the
    # package resolves the link, so it sees itself in the checkout.
    (tmp_path / PYTHON_DIR).parent.mkdir(parents=True)
    (tmp_path / PYTHON_DIR).symlink_to(tmp_path / "python")
    assert Path(_ask(tmp_path, "_library.find_library()")) == library
    assert Path(_ask(tmp_path, "simulator.find_simulator()")) == program
