"""Command line front end: ``tovak count|schema|head|validate|to-jsonl FILE...``.

Every command reads what the package's functions read: paths, ``-`` for standard input, any
compression, several files at once (and glob patterns the shell left unexpanded). Output goes
to stdout; ``validate`` writes its report there too (one ``FILE:LINE:COLUMN: record N: message``
line per problem, then a summary line), so it can be piped or grepped. Diagnostics go to stderr
as single lines ``tovak: <message>``. On a terminal, every command draws a progress bar on
stderr once a run lasts longer than half a second, counted in bytes of the input as stored (so
a compressed file reaches 100%); nothing is drawn when stderr is not a terminal.
"""

from __future__ import annotations

import argparse
import contextlib
import errno
import glob
import importlib
import inspect
import io
import json
import os
import sys
import time
from collections.abc import Callable, Iterator, Sequence
from typing import Any, BinaryIO, NoReturn, TextIO

import tovak

EXIT_OK = 0
EXIT_INVALID = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130
EXIT_BROKEN_PIPE = 141

EXIT_STATUS_HELP = """\
exit status:
  0    success
  1    invalid data (a record that is not JSON, damaged compressed input)
  2    usage error, or a file that cannot be opened, read or written
  130  interrupted (Ctrl-C); validate prints its summary so far first
  141  the reader of standard output went away (nothing printed)"""

_MAX_COUNT = 2**64 - 1  # what the native functions take for a count of records


class UsageError(Exception):
    """Arguments the command cannot run with; exit status 2."""


class _OutputError(Exception):
    """The output cannot be written (closed, disk full); exit status 2."""


class _OutputGone(Exception):
    """The reader of the output went away (a broken pipe); exit status 141, nothing printed. Not an
    OSError, so that the handlers of input failures let it through."""


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
        if value > _MAX_COUNT:
            raise argparse.ArgumentTypeError(f"{text} is larger than the largest count, {_MAX_COUNT}")
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


class _VersionAction(argparse.Action):
    """--version, with the version looked up only when asked (the lookup costs more than the rest of start-up)."""

    def __init__(self, option_strings: Sequence[str], dest: str = argparse.SUPPRESS,
                 default: Any = argparse.SUPPRESS, help: str = "show program's version number and exit") -> None:
        super().__init__(option_strings=option_strings, dest=dest, default=default, nargs=0, help=help)

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace, values: Any,
                 option_string: str | None = None) -> None:
        sys.stdout.write(f"tovak {_version()}\n")
        parser.exit()


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog="tovak",
        description="Fast reading of large JSON and JSONL files, plain or compressed.",
        epilog=EXIT_STATUS_HELP,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--version", action=_VersionAction)
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def add(name: str, help_text: str) -> argparse.ArgumentParser:
        sub = commands.add_parser(
            name, help=help_text, description=help_text, epilog=EXIT_STATUS_HELP,
            formatter_class=argparse.RawDescriptionHelpFormatter,
        )
        sub.add_argument("files", nargs="+", metavar="FILE",
                         help='JSON or JSONL file, any compression; "-" for standard input')
        sub.add_argument(
            "--format",
            metavar="F",
            help='"json", "jsonl", "ndjson" or "auto" (default: from the file name, then its first byte)',
        )
        sub.add_argument("--at", metavar="POINTER", help="read the array at this JSON Pointer (RFC 6901)")
        return sub

    add("count", "Print the number of records (one line per file and a total for several).")
    sub = add("schema", "Print the merged structure of the first records.")
    sub.add_argument("--sample", metavar="N", type=_count_arg, default=100, help="records to read (default 100)")
    sub.add_argument("--json-schema", action="store_true", help="print it as a JSON Schema (draft 2020-12)")
    sub = add("head", "Print the first records as they are written, one per line.")
    sub.add_argument("-n", metavar="N", dest="lines", type=_count_arg, default=10, help="records to print (default 10)")
    sub.add_argument("--compact", action="store_true", help="without the insignificant white space")
    sub = add(
        "validate",
        "Read every record; print each problem as 'FILE:LINE:COLUMN: record N: message' (N counts all "
        "records from 1, bad ones included), then a summary line. Each file stops at its first problem "
        "unless --skip is given.",
    )
    sub.add_argument("--skip", action="store_true", help="skip a bad record and go on with the next one")
    sub.add_argument("--max-errors", metavar="K", type=_positive_arg, help="stop after K problems")
    sub = add("to-jsonl", "Write the records compact, one per line (JSONL).")
    sub.add_argument("-o", "--output", metavar="OUT", help="write to OUT instead of standard output")
    return parser


# --------------------------------------------------------------------------- reading records
#
# Every command reads through `call_api` and `read_records`, and only there: pointers (`at`),
# the raw text of records (`raw`) and the reading mode (`errors`) are handed to the package
# (a pointer is refused for a function that takes none).


def _accepts(function: Callable[..., Any], keyword: str) -> bool:
    try:
        return keyword in inspect.signature(function).parameters
    except (TypeError, ValueError):
        return False


def _pointer_options(function: Callable[..., Any], at: str | None) -> dict[str, Any]:
    if at is None:
        return {}
    if not _accepts(function, "at"):
        raise UsageError(f"--at is not available with tovak.{function.__name__}()")
    return {"at": at}


def call_api(function: Callable[..., Any], source: Any, *, format: str | None, at: str | None = None,
             **options: Any) -> Any:
    """`function` (tovak.count, tovak.schema, tovak.json_schema) over one source."""
    return function(source, format=format, **_pointer_options(function, at), **options)


def read_records(source: Any, *, format: str | None, at: str | None = None, raw: bool | str = False,
                 skip: bool = False) -> Any:
    """The records of one source: values, or with `raw` (True: as written, "compact": without
    insignificant white space) their text as bytes. A bad record raises tovak.JSONError; with
    `skip`, records that fail while their boundaries are known are skipped and kept on the reader's
    `errors` (`validate --skip` reports them from there)."""
    options = _pointer_options(tovak.records, at)
    if raw:
        options["raw"] = raw
    if skip:
        options["errors"] = "skip"
    return tovak.records(source, format=format, **options)


def _record_bytes(record: bytes | tuple[str, bytes]) -> bytes:
    """One record's text; a member of an object a pointer led to becomes a one-member object."""
    if isinstance(record, tuple):
        key, text = record
        return b"{" + json.dumps(key, ensure_ascii=False).encode("utf-8", "surrogatepass") + b":" + text + b"}"
    return record


# --------------------------------------------------------------------------- inputs and outputs


def expand_inputs(names: Sequence[str]) -> list[str]:
    """The inputs named: "-", paths, and glob patterns the shell did not expand (no file matched,
    or no shell); a pattern that matches nothing is a usage error."""
    inputs: list[str] = []
    for name in names:
        if name == "-" or os.path.lexists(name) or not glob.has_magic(name):
            inputs.append(name)
            continue
        matches = sorted(glob.glob(name))
        if not matches:
            raise UsageError(f"no file matches {name}")
        inputs.extend(matches)
    return inputs


def _display_name(name: str) -> str:
    return "<stdin>" if name == "-" else name


class _ProgressFile:
    """A binary input read through, each read moving the progress display by the bytes it got."""

    def __init__(self, raw: BinaryIO, name: str, progress: Progress) -> None:
        self._raw = raw
        self.name = name
        self._progress = progress
        self._done = 0

    def read(self, size: int = -1, /) -> bytes:
        data = self._raw.read(size)
        self._done += len(data)
        self._progress.update(self._done)
        return data


@contextlib.contextmanager
def opened(name: str, label: str, progress_stream: TextIO | None = None) -> Iterator[tuple[Any, Progress | None]]:
    """What to hand the package for input `name`, with its progress display when stderr is a
    terminal: then the file is read through `_ProgressFile`, whose reads count the bytes as stored."""
    stream = sys.stderr if progress_stream is None else progress_stream
    if not _isatty(stream):
        yield name, None
        return
    if name == "-":
        raw, total, owned = sys.stdin.buffer, 0, False
    else:
        raw, owned = open(name, "rb"), True  # noqa: SIM115 - closed below
        try:
            total = os.fstat(raw.fileno()).st_size
        except OSError:
            total = 0
    flush_stdout = sys.stdout.flush if sys.stdout is not None and _isatty(sys.stdout) else None
    progress = open_progress(total, label, stream=stream, before_draw=flush_stdout)
    try:
        assert progress is not None
        yield _ProgressFile(raw, _display_name(name), progress), progress
    finally:
        if progress is not None:
            progress.close()
        if owned:
            raw.close()


def _encode(text: str) -> bytes:
    try:
        return text.encode("utf-8", "surrogateescape")  # file names that are not UTF-8
    except UnicodeEncodeError:
        return text.encode("utf-8", "surrogatepass")  # lone surrogates of JSON strings


class Output:
    """Where a command writes: standard output, or a file. A failed write (closed, disk full)
    becomes one message and exit status 2; a broken pipe ends the run quietly (status 141)."""

    def __init__(self, stream: BinaryIO | None, name: str = "standard output") -> None:
        self._stream = stream
        self.name = name

    def write(self, data: bytes) -> None:
        if self._stream is None:
            raise _OutputError(f"cannot write to {self.name}: it is closed")
        try:
            self._stream.write(data)
        except BrokenPipeError as exc:
            raise _OutputGone from exc
        except (OSError, ValueError) as exc:
            raise _OutputError(f"cannot write to {self.name}: {_os_message(exc)}") from exc

    def line(self, text: str) -> None:
        self.write(_encode(text) + b"\n")

    def flush(self) -> None:
        if self._stream is None:
            return
        try:
            self._stream.flush()
        except BrokenPipeError as exc:
            raise _OutputGone from exc
        except (OSError, ValueError) as exc:
            raise _OutputError(f"cannot write to {self.name}: {_os_message(exc)}") from exc


def _stdout() -> Output:
    return Output(None if sys.stdout is None else sys.stdout.buffer)


# --------------------------------------------------------------------------- messages and statuses

_OPEN_ERRNOS = frozenset({errno.ENOENT, errno.EACCES, errno.EPERM, errno.EISDIR, errno.ENOTDIR, errno.ELOOP,
                          errno.ENAMETOOLONG})


def _os_message(exc: BaseException) -> str:
    if isinstance(exc, OSError) and exc.strerror:
        return exc.strerror
    return str(exc) or type(exc).__name__


def problem_line(error: tovak.JSONError, name: str) -> str:
    """`FILE:LINE:COLUMN: record N: message`, the parts that are not known left out."""
    place = [error.source or _display_name(name)]
    if error.lineno is not None:
        place.append(str(error.lineno))
        if error.colno is not None:
            place.append(str(error.colno))
    elif error.pos is not None:
        place.append(f"byte {error.pos}")
    record = f"record {error.record}: " if error.record is not None else ""
    return f"{':'.join(place)}: {record}{error.msg}"


def describe(error: BaseException, name: str) -> tuple[int, str]:
    """The exit status and the one-line message for a failure over input `name`."""
    if isinstance(error, tovak.JSONError):
        return EXIT_INVALID, problem_line(error, name)
    if isinstance(error, tovak.CompressionError):
        return EXIT_INVALID, f"{_display_name(name)}: {error}"
    if isinstance(error, OSError):
        action = "cannot open" if error.errno in _OPEN_ERRNOS else "cannot read"
        return EXIT_USAGE, f"{action} {error.filename or _display_name(name)}: {_os_message(error)}"
    if isinstance(error, _OutputError | UsageError):
        return EXIT_USAGE, str(error)
    if isinstance(error, tovak.PointerError):  # names the source itself
        return EXIT_USAGE, str(error)
    return EXIT_USAGE, " ".join(str(error).splitlines()) or type(error).__name__


# Failures of one input that end its work; the others end the run.
_INPUT_FAILURES = (tovak.JSONError, tovak.CompressionError, tovak.PointerError, OSError, ValueError, TypeError,
                   OverflowError)


def _report(error: BaseException, name: str) -> int:
    status, message = describe(error, name)
    sys.stderr.write(f"tovak: {message}\n")
    return status


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
                unit_divisor=1000,  # tqdm names its prefixes k, M, G: decimal ones
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


def _isatty(stream: Any) -> bool:
    try:
        return bool(stream.isatty())
    except (AttributeError, ValueError, OSError):
        return False


def _label(command: str, name: str) -> str:
    return f"{command} {os.path.basename(_display_name(name))}"


# --------------------------------------------------------------------------- commands


def _header(out: Output, name: str, first: bool) -> None:
    out.line(("" if first else "\n") + f"==> {_display_name(name)} <==")


def _run_count(args: argparse.Namespace, inputs: list[str], out: Output) -> int:
    status, total = EXIT_OK, 0
    for name in inputs:
        try:
            with opened(name, _label("count", name)) as (source, _):
                number = call_api(tovak.count, source, format=args.format, at=args.at)
        except _INPUT_FAILURES as exc:
            status = max(status, _report(exc, name))
            continue
        total += number
        out.line(str(number) if len(inputs) == 1 else f"{number} {_display_name(name)}")
    if len(inputs) > 1:
        out.line(f"{total} total")
    return status


def _run_schema(args: argparse.Namespace, inputs: list[str], out: Output) -> int:
    status = EXIT_OK
    for index, name in enumerate(inputs):
        try:
            with opened(name, _label("schema", name)) as (source, _):
                if args.json_schema:
                    found = call_api(tovak.json_schema, source, format=args.format, at=args.at, sample=args.sample)
                    text = json.dumps(found, ensure_ascii=False, indent=2)
                else:
                    text = call_api(tovak.schema, source, format=args.format, at=args.at, sample=args.sample)
        except _INPUT_FAILURES as exc:
            status = max(status, _report(exc, name))
            continue
        if len(inputs) > 1:
            _header(out, name, index == 0)
        out.line(text)
    return status


def _run_head(args: argparse.Namespace, inputs: list[str], out: Output) -> int:
    status = EXIT_OK
    raw: bool | str = "compact" if args.compact else True
    for index, name in enumerate(inputs):
        if len(inputs) > 1:
            _header(out, name, index == 0)
        if args.lines == 0:
            continue
        written = 0
        try:
            with opened(name, _label("head", name)) as (source, progress):
                shares_terminal = progress is not None and _isatty(sys.stdout)
                records = read_records(source, format=args.format, at=args.at, raw=raw)
                try:
                    for record in records:
                        if shares_terminal and progress is not None:
                            progress.clear()
                        out.write(_record_bytes(record) + b"\n")
                        written += 1
                        if written >= args.lines:
                            break
                finally:
                    records.close()
        except _INPUT_FAILURES as exc:
            out.flush()  # the records before the bad one come first
            status = max(status, _report(exc, name))
    return status


class _Tally:
    def __init__(self) -> None:
        self.files = 0
        self.records = 0
        self.errors = 0
        self.bytes = 0
        self.failed = False  # an input could not be read at all

    def line(self, elapsed: float, interrupted: bool) -> str:
        text = (f"files={self.files} records={self.records} errors={self.errors} bytes={self.bytes} "
                f"elapsed={elapsed:.3f}s")
        return text + (" interrupted=yes" if interrupted else "")


def _validate_one(args: argparse.Namespace, name: str, out: Output, tally: _Tally) -> bool:
    """Reads input `name` to its end or its first problem (every problem with --skip); false when
    --max-errors is reached and the run ends."""
    with opened(name, _label("validate", name)) as (source, progress):
        shares_terminal = progress is not None and _isatty(sys.stdout)
        records = read_records(source, format=args.format, at=args.at, skip=args.skip)
        reported = 0  # skipped records' errors already printed (the reader keeps the first 1,000)
        last_problem: tuple[Any, ...] | None = None

        def report(exc: tovak.JSONError) -> bool:
            """Prints one problem; false once --max-errors is reached."""
            tally.records += 1
            tally.errors += 1
            if shares_terminal and progress is not None:
                progress.clear()
            out.line(problem_line(exc, name))
            return args.max_errors is None or tally.errors < args.max_errors

        def report_skipped() -> bool:
            nonlocal reported
            skipped = getattr(records, "errors", ())
            for exc in skipped[reported:]:
                reported += 1
                if not report(exc):
                    return False
            return True

        try:
            while True:
                try:
                    next(records)
                except StopIteration:
                    if not report_skipped():
                        return False
                    # Past the first 1,000 the reader keeps only a count.
                    beyond = getattr(records, "error_count", reported) - reported
                    tally.records += beyond
                    tally.errors += beyond
                    return True
                except tovak.JSONError as exc:
                    if not report_skipped():
                        return False
                    problem = (exc.record, exc.pos, exc.msg)
                    if problem == last_problem:  # the reader did not move on: the rest is unreadable
                        return True
                    last_problem = problem
                    if not report(exc):
                        return False
                    if not args.skip:
                        return True
                else:
                    tally.records += 1
                    if not report_skipped():
                        return False
        finally:
            tally.bytes += records.bytes_read
            records.close()


def _run_validate(args: argparse.Namespace, inputs: list[str], out: Output) -> int:
    started = time.perf_counter()
    tally = _Tally()
    interrupted = False
    try:
        for name in inputs:
            tally.files += 1
            try:
                if not _validate_one(args, name, out, tally):
                    break
            except tovak.JSONError as exc:  # met on opening, where the format is told from the first value
                tally.errors += 1
                out.line(problem_line(exc, name))
            except (tovak.CompressionError, tovak.PointerError, OSError, ValueError, TypeError, OverflowError) as exc:
                status, message = describe(exc, name)
                tally.failed = tally.failed or status == EXIT_USAGE
                tally.errors += status == EXIT_INVALID
                out.flush()
                sys.stderr.write(f"tovak: {message}\n")
    except KeyboardInterrupt:
        interrupted = True
    out.line(tally.line(time.perf_counter() - started, interrupted))
    if interrupted:
        return EXIT_INTERRUPTED
    if tally.failed:
        return EXIT_USAGE
    return EXIT_INVALID if tally.errors else EXIT_OK


def _run_to_jsonl(args: argparse.Namespace, inputs: list[str], out: Output) -> int:
    if args.output is not None:
        try:
            target = open(args.output, "wb")  # noqa: SIM115 - closed below
        except OSError as exc:
            raise _OutputError(f"cannot open {args.output}: {_os_message(exc)}") from exc
        out = Output(target, args.output)
    status = EXIT_OK
    try:
        for name in inputs:
            try:
                with opened(name, _label("to-jsonl", name)) as (source, progress):
                    shares_terminal = progress is not None and _isatty(sys.stdout) and args.output is None
                    # Sharing the terminal with a progress bar: a line at a time. Else the engine's own
                    # chunks of lines, about 1 MiB each (the records before a failure come first).
                    records = read_records(source, format=args.format, at=args.at,
                                           raw="compact" if shares_terminal else "_lines")
                    try:
                        if shares_terminal and progress is not None:
                            for record in records:
                                progress.clear()
                                out.write(_record_bytes(record) + b"\n")
                        else:
                            for chunk in records:
                                out.write(chunk)
                    finally:
                        records.close()
            except _INPUT_FAILURES as exc:
                out.flush()
                status = max(status, _report(exc, name))
        out.flush()
    finally:
        if args.output is not None:
            with contextlib.suppress(OSError):
                target.close()
    return status



_COMMANDS: dict[str, Callable[[argparse.Namespace, list[str], Output], int]] = {
    "count": _run_count,
    "schema": _run_schema,
    "head": _run_head,
    "validate": _run_validate,
    "to-jsonl": _run_to_jsonl,
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
    parser = build_parser()
    arguments = sys.argv[1:] if argv is None else list(argv)
    if not arguments:
        parser.print_help(sys.stderr)
        return EXIT_USAGE
    args = parser.parse_args(arguments)
    out = _stdout()
    try:
        inputs = expand_inputs(args.files)
        status = _COMMANDS[args.command](args, inputs, out)
        out.flush()
        return status
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED
    except (_OutputGone, BrokenPipeError):
        _silence_stdout()
        return EXIT_BROKEN_PIPE
    except (UsageError, _OutputError) as exc:
        _silence_stdout()
        sys.stderr.write(f"tovak: {exc}\n")
        return EXIT_USAGE
