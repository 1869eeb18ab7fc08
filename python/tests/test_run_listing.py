"""The runs of a data directory as list_runs and read_run report them.

The run directories are written here as the acquisition tool lays them out: summary.json at the
start and again at the end, files.jsonl in between. A killed run is one whose recorded process id
belongs to no process: that of a child that has already been waited for.
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
from pathlib import Path
from typing import Any

import pytest

from ostreltcp.archive import list_runs, read_run


def file_record(number: int) -> dict[str, Any]:
    return {
        "file": number,
        "interferogram": f"interferogram-{number:04d}.csv",
        "spectrum": f"spectrum-{number:04d}.csv",
        "timestamp": f"2026-03-01T10:00:{number:02d}.000Z",
        "timestamp_ms": 1772359200000.0 + 1000.0 * number,
        "halves": ["forward", "reverse"],
    }


def write_run(
    data: Path,
    run_id: str,
    status: str,
    started_ms: int,
    pid: int = 0,
    kind: str = "acquire",
    name: str = "",
    files: list[dict[str, Any]] | None = None,
) -> Path:
    directory = data / run_id
    directory.mkdir()
    summary: dict[str, Any] = {
        "status": status,
        "run": {
            "id": run_id,
            "kind": kind,
            "name": name,
            "started": "2026-03-01T10:00:00Z",
            "started_ms": started_ms,
            "pid": pid,
        },
        "settings": {"points": 512, "scans": 2},
    }
    if status != "running":
        summary["run"]["ended"] = "2026-03-01T10:05:00Z"
        summary["files"] = files or []
    (directory / "summary.json").write_text(json.dumps(summary))
    return directory


def append_records(directory: Path, records: list[dict[str, Any]], tail: str = "") -> None:
    lines = "".join(json.dumps(record) + "\n" for record in records)
    (directory / "files.jsonl").write_text(lines + tail)


@pytest.fixture
def gone_pid() -> int:
    """The id of a process that has ended and been reaped."""
    child = subprocess.Popen([sys.executable, "-c", "pass"])
    child.wait()
    return child.pid


class TestStates:
    def test_finished_run_reports_its_status_and_the_summarys_files(self, tmp_path: Path):
        records = [file_record(1), file_record(2)]
        directory = write_run(
            tmp_path, "r1", "complete", 1000, kind="sample", name="leaf 3", files=records
        )
        # A files.jsonl left behind by a process killed after the final summary was written is
        # stale: the summary holds the records.
        append_records(directory, [file_record(1)])
        run = read_run(directory)
        assert run is not None
        assert (run.id, run.kind, run.name, run.state) == ("r1", "sample", "leaf 3", "complete")
        assert (run.started, run.started_ms) == ("2026-03-01T10:00:00Z", 1000.0)
        assert run.files == records
        assert run.directory == directory
        assert list_runs(tmp_path) == [run]

    def test_running_run_whose_process_lives_lists_the_files_so_far(self, tmp_path: Path):
        directory = write_run(tmp_path, "live", "running", 1000, pid=os.getpid())
        assert read_run(directory).state == "running"
        assert read_run(directory).files == []
        append_records(directory, [file_record(1), file_record(2)])
        run = read_run(directory)
        assert run.state == "running"
        assert [record["file"] for record in run.files] == [1, 2]

    def test_process_of_another_user_counts_as_alive(self, tmp_path: Path):
        # Process 1 always exists; unless the tests run as root, signalling it is not permitted.
        directory = write_run(tmp_path, "init", "running", 1000, pid=1)
        assert read_run(directory).state == "running"

    def test_killed_run_is_interrupted_with_its_whole_records(self, tmp_path: Path, gone_pid: int):
        directory = write_run(tmp_path, "killed", "running", 1000, pid=gone_pid)
        cut_short = json.dumps(file_record(3))[:40]
        append_records(directory, [file_record(1), file_record(2)], tail=cut_short)
        run = read_run(directory)
        assert run.state == "interrupted"
        assert run.files == [file_record(1), file_record(2)]

    @pytest.mark.parametrize("pid", [0, -1, None, "1234", 2**80])
    def test_running_run_without_a_usable_pid_is_interrupted(self, tmp_path: Path, pid: Any):
        # 0 and -1 would signal whole process groups, which always exist.
        directory = write_run(tmp_path, "r", "running", 1000, pid=pid)
        assert read_run(directory).state == "interrupted"


class TestDirectoriesThatAreNotRuns:
    def test_directory_without_summary_is_left_out(self, tmp_path: Path):
        (tmp_path / "notes").mkdir()
        (tmp_path / "notes" / "files.jsonl").write_text(json.dumps(file_record(1)) + "\n")
        (tmp_path / "summary.json").write_text("{}")  # a file beside the runs, not a run
        (tmp_path / "odd").mkdir()
        (tmp_path / "odd" / "summary.json").mkdir()  # there, but not a file that can be read
        write_run(tmp_path, "r1", "stopped", 1000)
        assert read_run(tmp_path / "notes") is None
        assert read_run(tmp_path / "odd") is None
        assert [run.id for run in list_runs(tmp_path)] == ["r1"]

    @pytest.mark.parametrize(
        "text",
        [
            b'{"status": "complete", "run": {"id": "x"',
            b"\xff\xfe{}",
            b"[1, 2]",
            b"[" * 100000,
            b'{"status": "complete"}',
            b'{"status": 3, "run": {}}',
        ],
        ids=["cut-short", "not-utf8", "not-an-object", "deeply-nested", "no-run", "no-status"],
    )
    def test_unreadable_summary_is_reported_not_raised(self, tmp_path: Path, text: bytes):
        directory = tmp_path / "broken"
        directory.mkdir()
        (directory / "summary.json").write_bytes(text)
        [run] = list_runs(tmp_path)
        assert (run.id, run.state, run.kind, run.started_ms) == ("broken", "unreadable", "", None)
        assert run.directory == directory

    def test_missing_data_directory_is_an_error(self, tmp_path: Path):
        with pytest.raises(FileNotFoundError):
            list_runs(tmp_path / "absent")


class TestOrdering:
    def test_newest_first_and_unknown_starts_last(self, tmp_path: Path, gone_pid: int):
        write_run(tmp_path, "b-middle", "failed", 2_000)
        write_run(tmp_path, "a-newest", "running", 3_000, pid=gone_pid)
        # Equal starts and unknown starts are ordered by id, whatever order the disk lists them.
        for run_id in ["m-tie", "c-tie", "x-tie", "k-tie"]:
            write_run(tmp_path, run_id, "stopped", 1_000)
        for run_id in ["q-broken", "0-broken", "f-broken"]:
            (tmp_path / run_id).mkdir()
            (tmp_path / run_id / "summary.json").write_text("not json")
        # Written last and so the newest on disk, but its start is the oldest: the start counts.
        write_run(tmp_path, "z-late-write", "complete", 500)
        runs = list_runs(tmp_path)
        assert [(run.id, run.state) for run in runs] == [
            ("a-newest", "interrupted"),
            ("b-middle", "failed"),
            ("c-tie", "stopped"),
            ("k-tie", "stopped"),
            ("m-tie", "stopped"),
            ("x-tie", "stopped"),
            ("z-late-write", "complete"),
            ("0-broken", "unreadable"),
            ("f-broken", "unreadable"),
            ("q-broken", "unreadable"),
        ]
