"""The installed type information: stubs and py.typed, as mypy sees them."""

from __future__ import annotations

import re
import subprocess
import sys
from pathlib import Path

import pytest

import tovak
from tovak import bigjson

pytest.importorskip("mypy")

PUBLIC = ["count", "schema", "load", "iter_records", "RecordIterator"]

MISUSE = """\
import tovak.lib._tovak
from tovak import bigjson
from tovak.bigjson import RecordIterator

bigjson.count(1)  # E
bigjson.count("p", format=1)  # E
bigjson.schema("p", sample="3")  # E
bigjson.schema("p", 1, "json", 3)  # E
bigjson.load()  # E
text: str = bigjson.count("p")  # E
bigjson.iter_records("p").bytes_read = 1  # E
tovak.lib._tovak.bigjson.iter_records(b"p")  # E
bigjson.dumps  # E
class Mine(RecordIterator): ...  # E
import tovak
tovak.count(1)  # E
tovak.load("p", "json")  # E
tovak.schema("p", sample="3")  # E
total: int = tovak.records("p").total_bytes  # E
"""


def run_mypy(tmp_path: Path, *args: str) -> subprocess.CompletedProcess[str]:
    # Run away from the source tree, so that mypy sees the installed package (and caches in tmp_path).
    return subprocess.run(
        [sys.executable, "-m", *args],
        capture_output=True, text=True, cwd=tmp_path, timeout=300, check=False,
    )


@pytest.mark.parametrize("name", ["py.typed", "bigjson.pyi", "lib/_tovak.pyi", "lib/_reader.pyi"])
def test_type_files_are_installed(name: str) -> None:
    assert (Path(tovak.__file__).parent / name).is_file()


def test_usage_type_checks(tmp_path: Path) -> None:
    usage = Path(__file__).with_name("typing_usage.py")
    result = run_mypy(tmp_path, "mypy", "--strict", str(usage))
    assert result.returncode == 0, result.stdout


def test_misuse_is_reported(tmp_path: Path) -> None:
    (tmp_path / "misuse.py").write_text(MISUSE)
    result = run_mypy(tmp_path, "mypy", "--strict", "misuse.py")
    flagged = {int(n) for n in re.findall(r"^misuse\.py:(\d+): error", result.stdout, re.MULTILINE)}
    expected = {i for i, line in enumerate(MISUSE.splitlines(), 1) if line.endswith("# E")}
    assert flagged == expected, result.stdout


def test_stubs_match_the_module(tmp_path: Path) -> None:
    # Names the extension does not offer yet are left out; whatever it has must match its stub.
    missing = [name for name in PUBLIC if not hasattr(bigjson, name)]
    allow = tmp_path / "allow.txt"
    allow.write_text("".join(f"tovak.bigjson.{name}\n" for name in [*missing, *(["__all__"] if missing else [])]))
    result = run_mypy(tmp_path, "mypy.stubtest", "tovak.bigjson", "tovak.lib._tovak", "tovak.lib._reader",
                      "--allowlist", str(allow))
    assert result.returncode == 0, result.stdout
