"""Command line front end: ``tovak count|schema|head|validate FILE``.

Output goes to stdout; ``validate`` writes its report there too (one line per bad record,
then a summary line), so it can be piped or grepped. Diagnostics go to stderr as a single
line ``tovak: <message>``. On a terminal, ``head`` and ``validate`` draw a progress bar on
stderr once a run lasts longer than half a second (with tqdm when it is installed, else a
plain one-line display); nothing is drawn when stderr is not a terminal.

Exit status: 0 on success; 1 when a record of the file is invalid; 2 for usage errors and
files that cannot be used; 130 on Ctrl-C; 141 when the reader of stdout goes away.
"""

from __future__ import annotations

import argparse
import importlib
import io
import json
import os
import sys
import time
from collections.abc import Callable, Sequence
from typing import Any, NoReturn, TextIO

from tovak import bigjson

EXIT_OK = 0
EXIT_INVALID = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130
EXIT_BROKEN_PIPE = 141

# The library marks each error of reading records with the attribute `_tovak_kind`: "syntax"
# for a record that is not JSON (the file's contents), "io" or "invalid_utf8" for the file
# itself. Anything else it raises concerns the arguments or the file.
_KIND_ATTRIBUTE = "_tovak_kind"
_CONTENT_ERROR_KINDS = frozenset({"syntax"})

# Every array element that fails consumes at least one byte of the reader's current
# 65,536-byte chunk, so more identical parse errors than that without `bytes_read` moving
# mean the reader is stuck. A read error is retried once: the reader repeats the same read.
_STUCK_PARSE_ERRORS = 65_536

# How many records pass between two looks at `bytes_read` for the progress bar.
_PROGRESS_POLL_MASK = 63


class _Parser(argparse.ArgumentParser):
    """Reports usage errors as one line, like every other error of the command."""

    def error(self, message: str) -> NoReturn:
        sys.stderr.write(f"tovak: {message}\n")
        raise SystemExit(EXIT_USAGE)


def _int_from(low: int, name: str) -> Callable[[str], int]:
    def convert(text: str) -> int:
        value = int(text)
        if value < low:
            raise ValueError(text)
        return value

    convert.__name__ = name  # argparse shows it: "invalid non-negative integer value: '-1'"
    return convert


_count_arg = _int_from(0, "non-negative integer")
_positive_arg = _int_from(1, "positive integer")


def _version() -> str:
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("tovak")
    except PackageNotFoundError:
        return "unknown"


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog="tovak",
        description="Fast reading of large JSON and JSONL files.",
        epilog="Exit status: 0 success, 1 invalid records, 2 usage or file error.",
    )
    parser.add_argument("--version", action="version", version=f"tovak {_version()}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def add(name: str, help_text: str) -> argparse.ArgumentParser:
        sub = commands.add_parser(name, help=help_text, description=help_text)
        sub.add_argument("file", metavar="FILE", help="JSON or JSONL file")
        sub.add_argument(
            "--format",
            metavar="F",
            help='"json", "jsonl", "ndjson" or "auto" (default: from the file name, then its first byte)',
        )
        return sub

    add("count", "Print the number of records.")
    sub = add("schema", "Print the merged structure of the first records.")
    sub.add_argument("--sample", metavar="N", type=_count_arg, default=100, help="records to read (default 100)")
    sub = add("head", "Print the first records, one compact JSON text per line.")
    sub.add_argument("-n", metavar="N", dest="lines", type=_count_arg, default=10, help="records to print (default 10)")
    sub = add(
        "validate",
        "Read every record; print each bad one as 'record N: message' (N counts all records from 1, "
        "bad ones included), then a summary line.",
    )
    sub.add_argument("--max-errors", metavar="K", type=_positive_arg, help="stop after K bad records")
    return parser


# --------------------------------------------------------------------------- progress


class _PlainBar:
    """One line on the terminal, redrawn in place with a carriage return."""

    def __init__(self, stream: TextIO, total: int, label: str) -> None:
        self._stream = stream
        self._total = total
        self._label = label
        self._width = 0

    def draw(self, done: int, elapsed: float) -> None:
        rate = done / elapsed if elapsed > 0 else 0.0
        parts = [self._label]
        if self._total > 0:
            parts.append(f"{min(done / self._total, 1.0):6.1%}")
            parts.append(f"{_size(done)}/{_size(self._total)}")
        else:
            parts.append(_size(done))
        parts.append(f"{_size(rate)}/s")
        if self._total > 0 and rate > 0:
            parts.append(f"{_clock(max(self._total - done, 0) / rate)} left")
        line = " ".join(parts)[: self._columns() - 1]
        pad = " " * max(self._width - len(line), 0)
        self._width = len(line)
        self._stream.write(f"\r{line}{pad}")
        self._stream.flush()

    def _columns(self) -> int:
        # A line longer than the terminal would wrap, and the carriage return could not take it back.
        try:
            return os.get_terminal_size(self._stream.fileno()).columns or 80
        except (AttributeError, ValueError, OSError, io.UnsupportedOperation):
            return 80

    def clear(self) -> None:
        if self._width:
            self._stream.write("\r" + " " * self._width + "\r")
            self._stream.flush()
            self._width = 0

    close = clear


class _TqdmBar:
    def __init__(self, tqdm_class: Any, stream: TextIO, total: int, label: str) -> None:
        self._class = tqdm_class
        self._stream = stream
        self._total = total
        self._label = label
        self._bar: Any = None

    def draw(self, done: int, elapsed: float) -> None:
        if self._bar is None:
            self._bar = self._class(
                total=self._total or None,
                desc=self._label,
                file=self._stream,
                unit="B",
                unit_scale=True,
                unit_divisor=1024,
                dynamic_ncols=True,
                leave=False,
                mininterval=0,
                miniters=1,
                smoothing=0,
            )
            # Rate and time left count from the start of the run, not from the first draw.
            self._bar.start_t -= elapsed
        if done > self._bar.n:
            self._bar.update(done - self._bar.n)
        else:
            self._bar.refresh()

    def clear(self) -> None:
        if self._bar is not None:
            self._bar.clear()

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()
            self._bar = None


class Progress:
    """Progress of a run over a file, in bytes, drawn on a terminal.

    Nothing is drawn during the first `delay` seconds, so short runs stay quiet, and the
    display is redrawn at most every `interval` seconds.
    """

    def __init__(
        self,
        bar: _PlainBar | _TqdmBar,
        *,
        before_draw: Callable[[], None] | None = None,
        clock: Callable[[], float] = time.monotonic,
        delay: float = 0.5,
        interval: float = 0.1,
    ) -> None:
        self._bar = bar
        self._before_draw = before_draw
        self._clock = clock
        self._start = clock()
        self._next_draw = self._start + delay
        self._interval = interval
        self.drawn = False

    def update(self, done: int) -> None:
        now = self._clock()
        if now < self._next_draw:
            return
        self._next_draw = now + self._interval
        if self._before_draw is not None:
            self._before_draw()
        self._bar.draw(done, now - self._start)
        self.drawn = True

    def clear(self) -> None:
        """Remove the display before other text goes to the same terminal; the next update redraws it."""
        if self.drawn:
            self._bar.clear()
            self.drawn = False

    def close(self) -> None:
        self._bar.close()
        self.drawn = False


def open_progress(
    total: int,
    label: str,
    *,
    stream: TextIO | None = None,
    before_draw: Callable[[], None] | None = None,
    use_tqdm: bool = True,
    clock: Callable[[], float] = time.monotonic,
) -> Progress | None:
    """A progress display on `stream` (stderr), or None when it is not a terminal."""
    stream = sys.stderr if stream is None else stream
    if not _isatty(stream):
        return None
    bar: _PlainBar | _TqdmBar = _PlainBar(stream, total, label)
    if use_tqdm:
        try:
            bar = _TqdmBar(importlib.import_module("tqdm").tqdm, stream, total, label)
        except ImportError:
            pass
    return Progress(bar, before_draw=before_draw, clock=clock)


def _size(n: float) -> str:
    for unit in ("B", "KiB", "MiB", "GiB", "TiB"):
        if n < 1024 or unit == "TiB":
            return f"{n:.0f} {unit}" if unit == "B" else f"{n:.1f} {unit}"
        n /= 1024
    raise AssertionError("unreachable")


def _clock(seconds: float) -> str:
    whole = int(seconds)
    hours, rest = divmod(whole, 3600)
    minutes, secs = divmod(rest, 60)
    return f"{hours}:{minutes:02d}:{secs:02d}" if hours else f"{minutes}:{secs:02d}"


def _progress_for(records: bigjson.RecordIterator, label: str) -> Progress | None:
    # Text already written to a shared terminal must appear before the bar is drawn below it.
    flush_stdout = sys.stdout.flush if _isatty(sys.stdout) else None
    return open_progress(records.total_bytes, label, before_draw=flush_stdout)


def _isatty(stream: TextIO) -> bool:
    try:
        return stream.isatty()
    except (AttributeError, ValueError, OSError):
        return False


# --------------------------------------------------------------------------- commands


def _record_line(record: Any) -> bytes:
    return json.dumps(record, ensure_ascii=False, separators=(",", ":")).encode("utf-8") + b"\n"


def _run_count(args: argparse.Namespace) -> int:
    print(bigjson.count(args.file, args.format))
    return EXIT_OK


def _run_schema(args: argparse.Namespace) -> int:
    print(bigjson.schema(args.file, args.sample, args.format))
    return EXIT_OK


def _run_head(args: argparse.Namespace) -> int:
    records = bigjson.iter_records(args.file, args.format)
    if args.lines == 0:
        return EXIT_OK
    progress = _progress_for(records, "head")
    shares_terminal = progress is not None and _isatty(sys.stdout)
    out = sys.stdout.buffer
    written = 0
    failure: Exception | None = None
    try:
        for record in records:
            if shares_terminal and progress is not None:
                progress.clear()
            out.write(_record_line(record))
            written += 1
            if written >= args.lines:
                break
            if progress is not None and written & _PROGRESS_POLL_MASK == 0:
                progress.update(records.bytes_read)
    except (ValueError, RuntimeError) as exc:
        failure = exc
    finally:
        if progress is not None:
            progress.close()
    out.flush()
    if failure is not None:
        sys.stderr.write(f"tovak: record {written + 1}: {failure}\n")
        return _status_for(failure)
    return EXIT_OK


def _run_validate(args: argparse.Namespace) -> int:
    started = time.perf_counter()
    records = bigjson.iter_records(args.file, args.format)
    progress = _progress_for(records, "validate")
    shares_terminal = progress is not None and _isatty(sys.stdout)
    out = sys.stdout
    position = 0
    errors = 0
    last_error: tuple[type[BaseException], str, int] | None = None
    repeats = 0
    try:
        while True:
            position += 1
            try:
                next(records)
            except StopIteration:
                position -= 1
                break
            except (ValueError, RuntimeError) as exc:
                error = (type(exc), str(exc), records.bytes_read)
                repeats = repeats + 1 if error == last_error else 0
                last_error = error
                if repeats and isinstance(exc, RuntimeError):
                    # The reader retried the same read and failed the same way: it is the
                    # same record, so it is reported once and the run ends here.
                    position -= 1
                    break
                if repeats >= _STUCK_PARSE_ERRORS:
                    out.write(f"record {position}: stopped: the same error repeats without progress\n")
                    break
                errors += 1
                if shares_terminal and progress is not None:
                    progress.clear()
                out.write(f"record {position}: {exc}\n")
                if args.max_errors is not None and errors >= args.max_errors:
                    break
            else:
                last_error = None
            if progress is not None and position & _PROGRESS_POLL_MASK == 0:
                progress.update(records.bytes_read)
    finally:
        if progress is not None:
            progress.close()
    elapsed = time.perf_counter() - started
    out.write(f"records={position} errors={errors} bytes={records.bytes_read} elapsed={elapsed:.3f}s\n")
    out.flush()
    return EXIT_INVALID if errors else EXIT_OK


def _status_for(error: Exception) -> int:
    return EXIT_INVALID if getattr(error, _KIND_ATTRIBUTE, None) in _CONTENT_ERROR_KINDS else EXIT_USAGE


_COMMANDS: dict[str, Callable[[argparse.Namespace], int]] = {
    "count": _run_count,
    "schema": _run_schema,
    "head": _run_head,
    "validate": _run_validate,
}


def _silence_stdout() -> None:
    # Later writes, and the interpreter's final flush, go nowhere instead of failing again.
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, ValueError, AttributeError):
        pass


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line; returns the exit status."""
    args = build_parser().parse_args(argv)
    try:
        status = _COMMANDS[args.command](args)
        sys.stdout.flush()
        return status
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        _silence_stdout()
        return EXIT_BROKEN_PIPE
    except (ValueError, TypeError, OverflowError, OSError, RuntimeError) as exc:
        message = " ".join(str(exc).splitlines()) or type(exc).__name__
        sys.stderr.write(f"tovak: {message}\n")
        return _status_for(exc)
