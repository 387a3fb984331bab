"""The command line in a real terminal (a tmux pane): the progress bar and Ctrl-C."""

from __future__ import annotations

import gzip
import os
import re
import shlex
import shutil
import subprocess
import sys
import time
import uuid
from collections.abc import Callable, Iterator
from pathlib import Path

import pytest

pytestmark = pytest.mark.skipif(shutil.which("tmux") is None, reason="needs tmux")


@pytest.fixture(scope="module")
def big_gzip(tmp_path_factory: pytest.TempPathFactory) -> Path:
    """About ten million small records: seconds of work, so there is time to watch and to interrupt."""
    path = tmp_path_factory.mktemp("terminal") / "big.jsonl.gz"
    block = "".join(f'{{"id": {i}}}\n' for i in range(100_000)).encode()
    with gzip.open(path, "wb", compresslevel=1) as f:
        for _ in range(100):
            f.write(block)
    return path


class Pane:
    def __init__(self, socket: str) -> None:
        self.socket = socket

    def tmux(self, *args: str) -> str:
        command = ["tmux", "-L", self.socket, *args]
        return subprocess.run(command, capture_output=True, text=True, check=True, timeout=30).stdout

    def type(self, line: str) -> None:
        self.tmux("send-keys", "-t", "t", line, "Enter")

    def screen(self) -> str:
        return self.tmux("capture-pane", "-p", "-t", "t")

    def wait_for(self, found: Callable[[str], bool], timeout: float = 60) -> str:
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            text = self.screen()
            if found(text):
                return text
            time.sleep(0.05)
        raise AssertionError(f"not on the screen:\n{self.screen()}")


@pytest.fixture
def pane() -> Iterator[Pane]:
    pane = Pane(f"tovak-test-{os.getpid()}-{uuid.uuid4().hex[:8]}")  # a server of its own per test
    pane.tmux("new-session", "-d", "-s", "t", "-x", "160", "-y", "40", "sh")
    try:
        yield pane
    finally:
        pane.tmux("kill-server")


def exited(screen: str) -> bool:
    return re.search(r"EXIT=\d", screen) is not None


def tovak_line(*args: str | Path) -> str:
    return shlex.join([sys.executable, "-m", "tovak", *map(str, args)])


def test_progress_counts_compressed_bytes_in_decimal_units(pane: Pane, big_gzip: Path) -> None:
    tqdm = pytest.importorskip("tqdm")
    pane.type(tovak_line("validate", big_gzip) + " >/dev/null; echo EXIT=$?")
    bar = pane.wait_for(lambda text: "validate big.jsonl.gz" in text and "%" in text)
    total = tqdm.tqdm.format_sizeof(big_gzip.stat().st_size, divisor=1000)
    assert f"/{total} [" in bar and "B/s" in bar  # the size as stored, in the units of the rate
    finished = pane.wait_for(exited)
    assert "EXIT=0" in finished and "validate big" not in finished  # the bar is gone at the end


def test_ctrl_c_in_validate_prints_a_partial_summary(pane: Pane, big_gzip: Path) -> None:
    pane.type(tovak_line("validate", big_gzip) + "; echo EXIT=$?")
    pane.wait_for(lambda text: "validate big.jsonl.gz" in text)
    pane.tmux("send-keys", "-t", "t", "C-c")
    screen = pane.wait_for(exited)
    summary = next(line for line in screen.splitlines() if line.startswith("files=1 records="))
    assert summary.endswith(" interrupted=yes") and "EXIT=130" in screen and "Traceback" not in screen
    assert 0 < int(summary.split()[1].removeprefix("records=")) < 10_000_000


@pytest.mark.parametrize("command", [["head", "-n", "100000000", "--compact"], ["schema", "--sample", "100000000"],
                                     ["to-jsonl", "-o", "/dev/null"]])
def test_ctrl_c_in_every_long_command(pane: Pane, big_gzip: Path, command: list[str]) -> None:
    # The file eight times over: the fastest commands read one copy in under a second, about as soon as the
    # bar is drawn, and may be done before it can be seen.
    pane.type(tovak_line(command[0], *[big_gzip] * 8, *command[1:]) + " >/dev/null; echo EXIT=$?")
    pane.wait_for(lambda text: f"{command[0]} big.jsonl.gz" in text)
    pane.tmux("send-keys", "-t", "t", "C-c")
    screen = pane.wait_for(exited)
    assert "EXIT=130" in screen and "Traceback" not in screen
