"""Running the instrument simulator ``ostrel-sim`` as a child process.

The simulator listens on free loopback ports and announces them in one line,
"ostrel-sim ready on 127.0.0.1: command <p> data <p> reboot <p>". :class:`Simulator` starts it,
waits for that line, and exposes the ports (and the environment variables that point the driver
at them); it keeps reading the program's output so that ``--log`` lines can be inspected.
"""

from __future__ import annotations

import os
import re
import selectors
import shutil
import subprocess
import threading
import time
from pathlib import Path
from types import TracebackType
from typing import Callable, Optional, Sequence

from ._locations import program_candidates

SIMULATOR_ENV = "OSTREL_SIM"
_READY_LINE = re.compile(
    r"ostrel-sim ready on (?P<address>\S+): command (?P<command>\d+) data (?P<data>\d+) "
    r"reboot (?P<reboot>\d+)"
)


def find_simulator() -> str:
    """The ostrel-sim program: OSTREL_SIM, the one installed with this package (or the source
    tree's builds), or the PATH."""
    configured = os.environ.get(SIMULATOR_ENV)
    if configured:
        if not Path(configured).is_file():
            raise FileNotFoundError(f"{SIMULATOR_ENV}={configured!r} does not name a file")
        return configured
    candidates = program_candidates("ostrel-sim", "sim")
    for candidate in candidates:
        if candidate.is_file():
            return str(candidate)
    found = shutil.which("ostrel-sim")
    if found:
        return found
    listing = ", ".join(str(candidate) for candidate in candidates)
    raise FileNotFoundError(
        f"ostrel-sim not found; set {SIMULATOR_ENV} or build it (looked for {listing} and the PATH)"
    )


class Simulator:
    """An ostrel-sim child process on free loopback ports.

    ``options`` are passed to the program as they are (for example "--scan-ms", "0").
    """

    def __init__(
        self,
        *options: str,
        executable: Optional[str] = None,
        address: str = "127.0.0.1",
        start_timeout: float = 10.0,
    ) -> None:
        self.executable = executable or find_simulator()
        self.address = address
        self.options: Sequence[str] = options
        self.start_timeout = start_timeout
        self.command_port = 0
        self.data_port = 0
        self.reboot_port = 0
        self._process: Optional[subprocess.Popen[bytes]] = None
        self._lines: list[str] = []
        self._lines_changed = threading.Condition()
        self._reader: Optional[threading.Thread] = None
        self._pending = b""  # output read past the ready line

    def __enter__(self) -> "Simulator":
        return self.start()

    def __exit__(
        self,
        kind: Optional[type[BaseException]],
        value: Optional[BaseException],
        traceback: Optional[TracebackType],
    ) -> None:
        self.stop()

    def start(self) -> "Simulator":
        """Starts the program and waits until it announces its ports."""
        command = [self.executable, "--address", self.address, *self.options]
        self._process = subprocess.Popen(
            command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE
        )
        try:
            self._await_ready_line()
        except BaseException:
            self.stop()
            raise
        self._reader = threading.Thread(target=self._read_output, daemon=True)
        self._reader.start()
        return self

    def _await_ready_line(self) -> None:
        assert self._process is not None and self._process.stdout is not None
        # Raw reads with a deadline: a buffered readline could block past it.
        descriptor = self._process.stdout.fileno()
        pending = b""
        deadline = time.monotonic() + self.start_timeout
        with selectors.DefaultSelector() as selector:
            selector.register(descriptor, selectors.EVENT_READ)
            while True:
                remaining = deadline - time.monotonic()
                if remaining <= 0 or not selector.select(remaining):
                    raise TimeoutError(f"ostrel-sim gave no ready line in {self.start_timeout} s")
                chunk = os.read(descriptor, 4096)
                if not chunk:
                    raise RuntimeError(f"ostrel-sim ended before it was ready: {self._stderr()}")
                pending += chunk
                while b"\n" in pending:
                    line, pending = pending.split(b"\n", 1)
                    text = line.decode("utf-8", errors="replace")
                    self._lines.append(text)
                    match = _READY_LINE.search(text)
                    if match:
                        self.command_port = int(match["command"])
                        self.data_port = int(match["data"])
                        self.reboot_port = int(match["reboot"])
                        self._pending = pending
                        return

    def _read_output(self) -> None:
        assert self._process is not None and self._process.stdout is not None
        descriptor = self._process.stdout.fileno()
        pending = self._pending
        while True:
            while b"\n" in pending:
                line, pending = pending.split(b"\n", 1)
                with self._lines_changed:
                    self._lines.append(line.decode("utf-8", errors="replace"))
                    self._lines_changed.notify_all()
            try:
                chunk = os.read(descriptor, 4096)
            except OSError:
                return
            if not chunk:
                return
            pending += chunk

    def _stderr(self) -> str:
        if self._process is None or self._process.stderr is None:
            return ""
        try:
            self._process.wait(timeout=1.0)
        except subprocess.TimeoutExpired:
            return ""
        return self._process.stderr.read().decode("utf-8", errors="replace").strip()

    def lines(self) -> list[str]:
        """Every line the program has printed so far."""
        with self._lines_changed:
            return list(self._lines)

    def wait_for_line(
        self, predicate: Callable[[str], bool], timeout: float = 5.0
    ) -> Optional[str]:
        """The first printed line that satisfies `predicate`, waiting up to `timeout` seconds."""
        deadline = time.monotonic() + timeout
        with self._lines_changed:
            while True:
                for line in self._lines:
                    if predicate(line):
                        return line
                remaining = deadline - time.monotonic()
                if remaining <= 0:
                    return None
                self._lines_changed.wait(remaining)

    def environment(self) -> dict[str, str]:
        """The port variables that point the driver at this simulator."""
        return {
            "OSTRELTCP_COMMAND_PORT": str(self.command_port),
            "OSTRELTCP_DATA_PORT": str(self.data_port),
            "OSTRELTCP_REBOOT_PORT": str(self.reboot_port),
        }

    def instrument_arguments(self) -> dict[str, object]:
        """Keyword arguments of :class:`~ostreltcp.Instrument` for this simulator."""
        return {
            "address": self.address,
            "command_port": self.command_port,
            "data_port": self.data_port,
            "reboot_port": self.reboot_port,
        }

    def stop(self) -> None:
        """Ends the program (SIGTERM, then SIGKILL after 5 s)."""
        process, self._process = self._process, None
        if process is None:
            return
        if process.poll() is None:
            process.terminate()
            try:
                process.wait(timeout=5.0)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait(timeout=5.0)
        if self._reader is not None:
            self._reader.join(timeout=5.0)
            self._reader = None
        for stream in (process.stdout, process.stderr):
            if stream is not None:
                stream.close()
