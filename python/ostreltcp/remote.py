"""A client of ``ostrel-acquire serve`` over its HTTP API, with the standard library only.

The server holds the instrument's session; this module drives it from a script, on the same
computer or across the network::

    from ostreltcp.remote import Server
    server = Server.from_url("http://127.0.0.1:8470/#token=...")   # the URL the server printed
    server.settings(points=16384, scans=8)
    server.connect()
    server.background(files=4)
    run = server.sample("sample 1", files=4)
    server.download(run, "absorbance-0004-forward.jdx", "sample1.jdx")

Every call that fails raises :class:`ServerError` with the HTTP status, the server's reason and,
for settings and runs, one reason per bad field.
"""

from __future__ import annotations

import json
import shutil
import ssl
import time
import urllib.error
import urllib.parse
import urllib.request
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Iterator, Optional, Union

RunRef = Union[str, dict]


class ServerError(Exception):
    """A request the server refused or could not do: ``status`` (HTTP; 0 when there was no
    answer), ``message`` and ``fields`` (bad field name -> reason)."""

    def __init__(self, status: int, message: str, fields: Optional[dict] = None):
        self.status = status
        self.message = message
        self.fields = dict(fields or {})
        details = "; ".join(f"{name}: {reason}" for name, reason in self.fields.items())
        super().__init__(f"{status}: {message}" + (f" ({details})" if details else ""))


@dataclass
class Event:
    """One event of the server's stream: ``name`` (state, run, progress, file, error, end) and
    its ``data``."""

    name: str
    data: Any = field(default=None)


def _run_id(run: RunRef) -> str:
    return run["id"] if isinstance(run, dict) else str(run)


class Server:
    """The server at ``url`` (``http://HOST:PORT``), reached with ``token``."""

    def __init__(self, url: str, token: str, *, timeout: float = 30.0,
                 cafile: Optional[str] = None):
        parts = urllib.parse.urlsplit(url)
        if parts.scheme not in ("http", "https") or not parts.netloc:
            raise ValueError(f"not an http(s) URL: {url!r}")
        self.url = f"{parts.scheme}://{parts.netloc}"
        self.token = token
        self.timeout = timeout
        self._context = ssl.create_default_context(cafile=cafile) if parts.scheme == "https" else None

    @classmethod
    def from_url(cls, url: str, **options: Any) -> "Server":
        """The server of a URL as it prints it, the token in the fragment (``#token=...``)."""
        fragment = urllib.parse.parse_qs(urllib.parse.urlsplit(url).fragment)
        if "token" not in fragment:
            raise ValueError("the URL has no #token=...")
        return cls(url, fragment["token"][0], **options)

    # --- transport ---------------------------------------------------------------------------

    def _request(self, method: str, path: str, body: Any = None, *, raw: bool = False,
                 timeout: Optional[float] = None):
        data = None
        headers = {"Authorization": f"Bearer {self.token}", "Accept": "application/json"}
        if body is not None:
            data = json.dumps(body).encode()
            headers["Content-Type"] = "application/json"
        elif method != "GET":
            data = b""
        request = urllib.request.Request(self.url + path, data=data, method=method,
                                         headers=headers)
        try:
            response = urllib.request.urlopen(request, timeout=timeout or self.timeout,
                                              context=self._context)
        except urllib.error.HTTPError as error:
            text = error.read().decode("utf-8", "replace")
            try:
                reason = json.loads(text)
            except ValueError:
                reason = {"error": text or error.reason}
            raise ServerError(error.code, reason.get("error", ""), reason.get("fields")) from None
        except (urllib.error.URLError, OSError) as error:
            raise ServerError(0, f"cannot reach {self.url}: {error}") from None
        if raw:
            return response
        with response:
            text = response.read()
        return json.loads(text) if text else None

    # --- the session ---------------------------------------------------------------------------

    def state(self) -> dict:
        """Connection, driver status, the active run, settings, background, last error."""
        return self._request("GET", "/api/state")

    def settings(self, **changes: Any) -> dict:
        """The settings; with keyword arguments (``points=4096, scans=8``), changes them first.
        A bad value raises ServerError 422 naming every bad field."""
        if changes:
            return self._request("PUT", "/api/settings", changes)
        return self._request("GET", "/api/settings")

    def connect(self, address: Optional[str] = None) -> dict:
        """Connects to the instrument (the server's own, or ``address``); the state after."""
        return self._request("POST", "/api/connection", {"address": address} if address else {})

    def disconnect(self) -> dict:
        return self._request("DELETE", "/api/connection")

    def calibrate(self) -> dict:
        return self._request("POST", "/api/calibration", {})

    def set_background(self, run: RunRef) -> dict:
        """Uses an earlier run (its mean single beams) as the background."""
        return self._request("PUT", "/api/background", {"run": _run_id(run)})

    def clear_background(self) -> dict:
        return self._request("DELETE", "/api/background")

    # --- runs -----------------------------------------------------------------------------------

    def start(self, kind: str, files: Optional[int] = None, name: Optional[str] = None,
              interval_s: Optional[float] = None) -> dict:
        """Starts a run (align, background, sample or series) and returns it at once."""
        body: dict = {"kind": kind}
        if files is not None:
            body["files"] = files
        if name is not None:
            body["name"] = name
        if interval_s is not None:
            body["interval_s"] = interval_s
        return self._request("POST", "/api/runs", body)

    def stop(self, run: RunRef) -> dict:
        return self._request("POST", f"/api/runs/{_quote(_run_id(run))}/stop", {})

    def wait(self, run: RunRef, timeout: Optional[float] = None, poll: float = 0.1) -> dict:
        """Waits until the run has ended and returns it (its ``state``: complete, stopped,
        failed...). Raises TimeoutError after ``timeout`` seconds."""
        deadline = None if timeout is None else time.monotonic() + timeout
        while True:
            record = self.run(run)
            if record["state"] != "running":
                return record
            if deadline is not None and time.monotonic() > deadline:
                raise TimeoutError(f"run {_run_id(run)} still running after {timeout} s")
            time.sleep(poll)

    def background(self, files: int = 4, timeout: Optional[float] = None) -> dict:
        """Takes a background (it becomes the session's) and returns the ended run."""
        return self._finished(self.start("background", files=files), timeout)

    def sample(self, name: str, files: int = 4, timeout: Optional[float] = None) -> dict:
        """Takes a sample, ratioed against the background, and returns the ended run."""
        return self._finished(self.start("sample", files=files, name=name), timeout)

    def _finished(self, run: dict, timeout: Optional[float]) -> dict:
        ended = self.wait(run, timeout)
        if ended["state"] == "failed":
            raise ServerError(200, f"run {ended['id']} failed: {ended['error']}")
        return ended

    def runs(self, limit: Optional[int] = None, before: Optional[RunRef] = None) -> list:
        """The runs kept by the server, newest first."""
        query = {}
        if limit is not None:
            query["limit"] = str(limit)
        if before is not None:
            query["before"] = _run_id(before)
        suffix = "?" + urllib.parse.urlencode(query) if query else ""
        return self._request("GET", "/api/runs" + suffix)["runs"]

    def run(self, run: RunRef) -> dict:
        return self._request("GET", f"/api/runs/{_quote(_run_id(run))}")

    def files(self, run: RunRef) -> list:
        """The run's files: name, size, content_type each."""
        return self._request("GET", f"/api/runs/{_quote(_run_id(run))}/files")["files"]

    def download(self, run: RunRef, name: str, path: Union[str, Path]) -> Path:
        """Saves one of the run's files at ``path``."""
        return self._save(f"/api/runs/{_quote(_run_id(run))}/files/{_quote(name)}", path)

    def download_zip(self, run: RunRef, path: Union[str, Path]) -> Path:
        """Saves the whole run as a ZIP archive at ``path``."""
        return self._save(f"/api/runs/{_quote(_run_id(run))}/zip", path)

    def _save(self, url_path: str, path: Union[str, Path]) -> Path:
        target = Path(path)
        with self._request("GET", url_path, raw=True) as response, open(target, "wb") as out:
            shutil.copyfileobj(response, out)
        return target

    # --- events ---------------------------------------------------------------------------------

    def events(self, timeout: Optional[float] = None) -> Iterator[Event]:
        """The server's events as they come (the latest state first). Stops when the server
        ends the stream; raises TimeoutError when nothing, not even a heartbeat, arrives for
        ``timeout`` seconds (the server sends one every second)."""
        response = self._request("GET", "/events", raw=True, timeout=timeout or 30.0)
        with response:
            name, data = "message", []
            for raw_line in response:
                line = raw_line.decode("utf-8").rstrip("\r\n")
                if line == "":
                    if data:
                        yield Event(name, json.loads("\n".join(data)))
                    name, data = "message", []
                elif line.startswith(":"):
                    continue
                elif line.startswith("event:"):
                    name = line[6:].strip()
                elif line.startswith("data:"):
                    data.append(line[5:].lstrip())


def _quote(text: str) -> str:
    return urllib.parse.quote(text, safe="")
