"""The ``tovak`` command line, run as ``python -m tovak`` in a child process."""

from __future__ import annotations

import importlib.metadata
import io
import json
import os
import signal
import subprocess
import sys
from pathlib import Path
from typing import Any

import pytest
from conftest import write_test_file

from tovak import JSONError, bigjson, cli


def needs(name: str) -> pytest.MarkDecorator:
    return pytest.mark.skipif(not hasattr(bigjson, name), reason=f"bigjson.{name} not built yet")


ITER = needs("iter_records")


def tovak(*args: str | Path) -> subprocess.CompletedProcess[str]:
    command = [sys.executable, "-m", "tovak", *map(str, args)]
    return subprocess.run(command, capture_output=True, encoding="utf-8", timeout=120, check=False)


def write(tmp_path: Path, name: str, text: str) -> Path:
    return Path(write_test_file(tmp_path, name, text))


def summary(stdout: str) -> dict[str, str]:
    return dict(field.split("=") for field in stdout.splitlines()[-1].split())


def test_console_script_runs_main() -> None:
    (script,) = importlib.metadata.entry_points(group="console_scripts", name="tovak")
    assert script.load() is cli.main


def test_version_is_the_installed_one() -> None:
    result = tovak("--version")
    assert (result.returncode, result.stdout, result.stderr) == (0, f"tovak {importlib.metadata.version('tovak')}\n", "")


SCHEMA = '{\n  "id": "int",\n  "note?": "null",\n  "tags?": [\n    "str"\n  ]\n}'


@pytest.mark.parametrize(
    ("args", "name", "text", "expected"),
    [
        (["count"], "a.jsonl", '{"a": 1}\n\n  \n[2]\n3', "3"),
        (["count"], "a.json", '[1, {"b": [2, 3]}, "x,]"]', "3"),
        (["count", "--format", "jsonl"], "a.txt", "1\n2\n", "2"),
        pytest.param(["schema"], "a.jsonl", '{"id": 1, "tags": ["a"]}\n{"id": 2, "note": null}\n', SCHEMA,
                     marks=needs("schema")),
        pytest.param(["schema", "--sample", "1"], "a.json", '[{"a": 1}, {"b": 2}]', '{\n  "a": "int"\n}',
                     marks=needs("schema")),
        # head prints each record as written: escapes, spacing and number forms untouched.
        pytest.param(["head"], "s.jsonl", '["\\ud83d\\ude00", 1E2, "\\u00e9"]\n', '["\\ud83d\\ude00", 1E2, "\\u00e9"]',
                     marks=ITER),
        pytest.param(["head", "--compact"], "s.json", '[ {"b": 1,\n  "a": 123456789012345678901234567890} ]',
                     '{"b":1,"a":123456789012345678901234567890}', marks=ITER),
    ],
)
def test_prints_result(tmp_path: Path, args: list[str], name: str, text: str, expected: str) -> None:
    result = tovak(args[0], write(tmp_path, name, text), *args[1:])
    assert (result.returncode, result.stdout, result.stderr) == (0, expected + "\n", "")


RECORDS: list[Any] = [{"l": [None, True, 1.5], "n": i, "s": "é\u2028"} for i in range(25)]


@ITER
@pytest.mark.parametrize("name", ["r.jsonl", "r.json"])
@pytest.mark.parametrize(("extra", "count"), [([], 10), (["-n", "3"], 3), (["-n", "0"], 0), (["-n", "99"], 25)])
def test_head(tmp_path: Path, name: str, extra: list[str], count: int) -> None:
    text = "\n".join(map(json.dumps, RECORDS)) if name.endswith("l") else json.dumps(RECORDS, indent=1)
    # --compact: each record as written, white space outside strings removed (escapes stay as written).
    result = tovak("head", write(tmp_path, name, text), "--compact", *extra)
    assert (result.returncode, result.stderr) == (0, "")
    expected = [json.dumps(r, separators=(",", ":")) + "\n" for r in RECORDS[:count]]
    assert result.stdout == "".join(expected)


@pytest.fixture(scope="module")
def big_jsonl(tmp_path_factory: pytest.TempPathFactory) -> Path:
    path = tmp_path_factory.mktemp("big") / "big.jsonl"
    block = "".join(f'{{"id": {i}, "pad": "{"x" * 80}"}}\n' for i in range(10_000))
    with path.open("w") as f:
        while f.tell() < 100 * 2**20:
            f.write(block)
    return path


@ITER
def test_head_of_big_file(big_jsonl: Path) -> None:
    result = tovak("head", big_jsonl, "-n", "5")
    assert (result.returncode, result.stderr) == (0, "")
    assert [json.loads(line)["id"] for line in result.stdout.splitlines()] == [0, 1, 2, 3, 4]


@ITER
def test_broken_pipe_is_quiet(big_jsonl: Path) -> None:
    command = [sys.executable, "-m", "tovak", "head", str(big_jsonl), "-n", "1000000"]
    proc = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    assert proc.stdout is not None and proc.stdout.readline()
    proc.stdout.close()
    _, err = proc.communicate(timeout=120)
    assert (proc.returncode, err) == (cli.EXIT_BROKEN_PIPE, b"")


def test_ctrl_c_exits_130(tmp_path: Path) -> None:
    fifo = tmp_path / "slow.jsonl"
    os.mkfifo(fifo)
    writer = os.open(fifo, os.O_RDWR)  # holds the pipe open, so the reader waits for more lines
    try:
        os.write(writer, b"1\n")
        command = [sys.executable, "-u", "-m", "tovak", "head", str(fifo), "-n", "5"]
        # SIGINT as in a terminal, even where the tests run with it ignored (a background job of a script).
        proc = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
        assert proc.stdout is not None and proc.stdout.readline() == b"1\n"
        proc.send_signal(signal.SIGINT)
    finally:
        os.close(writer)
    _, err = proc.communicate(timeout=60)
    assert proc.returncode == cli.EXIT_INTERRUPTED and b"Traceback" not in err


@pytest.mark.parametrize(
    ("name", "text", "bad", "may_fail"),
    [
        ("v.jsonl", '{"a": 1}\n{bad\n[1]\n\n oops \n2\n', {2, 4}, set()),
        # The reader may carry a failed element's bytes into the next element, which then fails too.
        ("v.json", '[{"a": 1}, {"a": }, 3, tru, 5]', {2, 4}, {3, 5}),
    ],
)
def test_validate_reports_bad_records(tmp_path: Path, name: str, text: str, bad: set[int], may_fail: set[int]) -> None:
    path = write(tmp_path, name, text)
    result = tovak("validate", "--skip", path)
    assert (result.returncode, result.stderr) == (1, "")
    *reports, _ = result.stdout.splitlines()
    numbers = [int(line.split(": record ")[1].split(":")[0]) for line in reports]
    assert bad <= set(numbers) <= bad | may_fail and numbers == sorted(set(numbers))
    assert all(line.startswith(f"{path}:") for line in reports)
    fields = summary(result.stdout)
    assert (fields["records"], fields["errors"], fields["bytes"]) == ("5", str(len(reports)), str(len(text)))

    limited = tovak("validate", "--skip", path, "--max-errors", "1")
    assert (limited.returncode, limited.stdout.splitlines()[0]) == (1, reports[0])
    assert summary(limited.stdout)["errors"] == "1"

    strict = tovak("validate", path)  # without --skip a file ends at its first problem
    assert (strict.returncode, strict.stdout.splitlines()[:-1]) == (1, reports[:1])
    assert summary(strict.stdout)["records"] == str(min(bad))


def test_validate_clean_file(tmp_path: Path) -> None:
    result = tovak("validate", write(tmp_path, "ok.jsonl", "1\n[2]\n{}\n"))
    assert (result.returncode, result.stderr, len(result.stdout.splitlines())) == (0, "", 1)
    fields = summary(result.stdout)
    assert (fields["records"], fields["errors"], fields["bytes"]) == ("3", "0", "9")


@pytest.mark.parametrize(
    ("args", "status", "message"),
    [
        (["count", "{missing}"], 2, "cannot open {missing}"),
        (["count", "{file}", "--format", "yaml"], 2, "unknown format"),
        pytest.param(["head", "{missing}"], 2, "cannot open {missing}", marks=ITER),
        pytest.param(["validate", "{missing}", "--format", "jsonl"], 2, "cannot open {missing}", marks=ITER),
        (["schema", "{bad}"], 1, "{bad}:2:2: record 2: "),
        (["head", "{bad}"], 1, "{bad}:2:2: record 2: "),
        (["validate", "{file}", "--skp"], 2, "unrecognized arguments: --skp"),
        (["frobnicate", "{file}"], 2, "argument COMMAND: invalid choice"),
        (["head", "{file}", "-n", "-1"], 2, "argument -n"),
        (["validate", "{file}", "--max-errors", "0"], 2, "argument --max-errors"),
        (["schema", "{file}", "--sample", "many"], 2, "argument --sample"),
    ],
)
def test_errors_are_one_line(tmp_path: Path, args: list[str], status: int, message: str) -> None:
    names = {"missing": tmp_path / "missing.jsonl", "file": write(tmp_path, "f.jsonl", "1\n"),
             "bad": write(tmp_path, "bad.jsonl", "1\n{x\n")}
    result = tovak(*[a.format(**names) for a in args])
    assert result.returncode == status
    assert result.stderr.startswith("tovak: " + message.format(**names))
    assert result.stderr.count("\n") == 1 and "Traceback" not in result.stderr


class ScriptedRecords:
    """Plays back outcomes (a value is a record, an exception is raised), repeating the last one."""

    def __init__(self, outcomes: list[Any]) -> None:
        self.outcomes, self.bytes_read, self.total_bytes, self.calls = outcomes, 0, 100, 0

    def __iter__(self) -> ScriptedRecords:
        return self

    def __next__(self) -> Any:
        self.calls += 1
        assert self.calls < 1000, "validate does not stop"
        outcome = self.outcomes.pop(0) if len(self.outcomes) > 1 else self.outcomes[0]
        if isinstance(outcome, BaseException):
            raise outcome
        self.bytes_read += 1
        return outcome

    def close(self) -> None:
        pass


@pytest.mark.parametrize(
    ("outcomes", "extra", "reports", "records"),
    [
        # A problem that the reader repeats without moving on is reported once.
        ([1, JSONError("bad", "x", 5, 2, 1, 2)], ["--skip"], ["x:2:1: record 2: bad"], "2"),
        ([JSONError("bad", None, 0, None, None, 1), 1, StopIteration()], ["--skip"], ["x:byte 0: record 1: bad"], "2"),
        ([JSONError("bad", "x", 0, 1, 1, 1), 1, JSONError("bad", "x", 9, 3, 1, 3), JSONError("worse", "x", 9, 4, 1, 4)],
         ["--skip", "--max-errors", "2"], ["x:1:1: record 1: bad", "x:3:1: record 3: bad"], "3"),
        ([1, JSONError("bad", "x", 2, 2, 1, 2), 3], [], ["x:2:1: record 2: bad"], "2"),
    ],
)
def test_validate_loop(monkeypatch: pytest.MonkeyPatch, capsys: pytest.CaptureFixture[str],
                       outcomes: list[Any], extra: list[str], reports: list[str], records: str) -> None:
    monkeypatch.setattr(cli, "read_records", lambda *a, **k: ScriptedRecords(outcomes))
    assert cli.main(["validate", "x", *extra]) == 1
    out = capsys.readouterr().out
    assert out.splitlines()[:-1] == reports
    assert (summary(out)["records"], summary(out)["errors"]) == (records, str(len(reports)))


class Terminal(io.StringIO):
    def isatty(self) -> bool:
        return True


@pytest.mark.parametrize("use_tqdm", [False, True])
def test_progress_is_delayed_throttled_and_cleared(use_tqdm: bool) -> None:
    if use_tqdm:
        pytest.importorskip("tqdm")
    assert cli.open_progress(10, "head", stream=io.StringIO()) is None
    now, screen = [0.0], Terminal()
    progress = cli.open_progress(2000, "validate", stream=screen, use_tqdm=use_tqdm, clock=lambda: now[0])
    assert progress is not None
    progress.update(10)
    assert screen.getvalue() == ""
    now[0] = 1.0
    progress.update(1000)
    drawn = screen.getvalue()
    assert "\r" in drawn and "50" in drawn and "validate" in drawn
    progress.update(1500)
    assert screen.getvalue() == drawn
    progress.close()
    assert screen.getvalue().endswith("\r")
