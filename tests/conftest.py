"""Helpers shared by the test files: writing a test file, the open file descriptors, running threads, and
the hypothesis strategy of JSON values.

Import the plain functions with `from conftest import ...`; the fixtures come by name.
"""

from __future__ import annotations

import os
import threading
from collections.abc import Callable
from pathlib import Path

import pytest
from hypothesis import strategies as st


def write_test_file(directory: str | os.PathLike[str], name: str, data: bytes | str) -> str:
    """Writes bytes (or text, as UTF-8) to directory/name and returns the path as str."""
    path = Path(directory) / name
    path.write_bytes(data.encode() if isinstance(data, str) else data)
    return str(path)


@pytest.fixture
def write_file(tmp_path):
    """write_file(name, data) writes bytes (or text, as UTF-8) to tmp_path/name and returns the path as str."""

    def write(name: str, data: bytes | str) -> str:
        return write_test_file(tmp_path, name, data)

    return write


def open_fds() -> set[str]:
    """The open descriptors of this process, without the one that listing them takes for a moment."""
    return {fd for fd in os.listdir("/proc/self/fd") if os.path.exists(f"/proc/self/fd/{fd}")}


def run_threads(work: Callable[[int], object], count: int = 8) -> list[BaseException]:
    """Runs work(k) for k in range(count), each on its own thread, released together; returns the
    exceptions they raised (a test asserts the list is empty)."""
    barrier = threading.Barrier(count)
    raised: list[BaseException] = []

    def body(k: int) -> None:
        try:
            barrier.wait()
            work(k)
        except BaseException as error:  # noqa: BLE001 - handed back to the test
            raised.append(error)

    threads = [threading.Thread(target=body, args=(k,)) for k in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return raised


def json_values(
    *,
    integers: st.SearchStrategy[int] = st.integers(-(2**70), 2**70),
    text: st.SearchStrategy[str] | None = None,
    keys: st.SearchStrategy[str] | None = None,
    width: int = 4,
    leaves: int = 12,
) -> st.SearchStrategy[object]:
    """Python values that JSON can hold: None, booleans, `integers`, finite floats, `text` (short strings by
    default), and lists and dicts of them up to `width` items with `keys` (short strings by default)."""
    scalars = (
        st.none()
        | st.booleans()
        | integers
        | st.floats(allow_nan=False, allow_infinity=False)
        | (st.text(max_size=6) if text is None else text)
    )
    key_strategy = st.text(max_size=4) if keys is None else keys
    return st.recursive(
        scalars,
        lambda inner: st.lists(inner, max_size=width) | st.dictionaries(key_strategy, inner, max_size=width),
        max_leaves=leaves,
    )
