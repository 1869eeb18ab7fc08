"""Where this package looks for the project's shared libraries and programs.

Two kinds of copy exist. A copy in the source tree finds them in the build trees beside it
(``build/default`` of the tests, ``build/run`` of the main job). An installed copy (``cmake
--install``, the Debian package) carries a module ``_install_paths``, written by the install, that
gives the library and program folders it was installed with; those come first, so that an
installed copy never picks up some build tree and needs no ``OSTRELTCP_LIBRARY``.
"""

from __future__ import annotations

import ctypes.util
import os
from pathlib import Path
from typing import Optional, Sequence, Type

_PACKAGE = Path(__file__).resolve().parent
# The build presets whose trees a source checkout may hold, the tests' first.
_BUILD_TREES = ("default", "run")


def _installed(name: str) -> Optional[Path]:
    try:
        from . import _install_paths  # type: ignore[attr-defined]
    except ImportError:
        return None
    folder = Path(getattr(_install_paths, name))
    return folder if folder.is_absolute() else (_PACKAGE / folder).resolve()


def installed_library_dir() -> Optional[Path]:
    """The library folder of an installed copy; None in the source tree."""
    return _installed("LIBRARY_DIR")


def installed_program_dir() -> Optional[Path]:
    """The program folder of an installed copy; None in the source tree."""
    return _installed("PROGRAM_DIR")


def library_dirs(*build_subdirs: str) -> list[Path]:
    """The folders to search for a shared library, in order: the package's own folder, the
    installed library folder, then each build tree's BUILD_SUBDIRS (``"src"`` for the driver).
    A copy that was installed does not look into build trees."""
    folders = [_PACKAGE]
    installed = installed_library_dir()
    if installed is not None:
        return folders + [installed]
    repository = _PACKAGE.parent.parent
    for tree in _BUILD_TREES:
        folders += [repository / "build" / tree / subdir for subdir in build_subdirs]
    return folders


def program_candidates(name: str, build_subdir: str) -> list[Path]:
    """The places to look for one of the project's programs before the PATH: the installed
    program folder, or the build trees' BUILD_SUBDIR in a source checkout."""
    installed = installed_program_dir()
    if installed is not None:
        return [installed / name]
    repository = _PACKAGE.parent.parent
    return [repository / "build" / tree / build_subdir / name for tree in _BUILD_TREES]


def find_shared_library(
    variable: str,
    candidates: Sequence[Path],
    system_name: str,
    description: str,
    not_found: Type[OSError],
) -> str:
    """The path of one of the project's shared libraries: the file that the environment
    VARIABLE names when it is set (it must then exist), else the first of CANDIDATES that
    exists, else what the system's library search finds for SYSTEM_NAME. NOT_FOUND is raised,
    naming every place tried, when there is none."""
    configured = os.environ.get(variable)
    if configured:
        if not Path(configured).is_file():
            raise not_found(f"{variable}={configured!r} does not name a file")
        return configured
    for path in candidates:
        if path.is_file():
            return str(path)
    system = ctypes.util.find_library(system_name)
    if system:
        return system
    listing = ", ".join(str(path) for path in candidates)
    raise not_found(
        f"the OstrelTCP {description} was not found; set {variable} or build it "
        f"(looked in {listing} and the system library path)"
    )
