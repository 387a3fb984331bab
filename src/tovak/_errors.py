"""The exceptions raised by tovak's reading functions.

They are plain Python classes so that they pickle (an error raised in a worker process reaches
the caller as itself) and so that code written for the standard library keeps working:
``JSONError`` is a ``json.JSONDecodeError`` and therefore a ``ValueError``.
"""

from __future__ import annotations

import json

__all__ = ["CompressionError", "JSONError", "PointerError"]


def _where(source: str | None) -> str:
    return f"{source}: " if source else ""


class JSONError(json.JSONDecodeError):
    """The input is not valid JSON or JSONL (invalid UTF-8 included).

    Attributes:
        msg: what is wrong, e.g. ``"expected value"``.
        source: the path as given, ``"<stdin>"``, the file object's name, or ``None``.
        pos: 0-based byte offset of the problem in the (decompressed) input, or ``None``.
        lineno: 1-based line of the problem, or ``None``.
        colno: 1-based column of the problem in bytes from the start of its line, or ``None``
            (``json.JSONDecodeError`` counts characters; the two agree on ASCII text).
        record: 1-based number of the record that holds the problem, or ``None``.
        doc: always ``""``: the text of a big input is not kept.
    """

    msg: str
    doc: str
    pos: int | None  # type: ignore[assignment]
    lineno: int | None  # type: ignore[assignment]
    colno: int | None  # type: ignore[assignment]
    source: str | None
    record: int | None

    def __init__(
        self,
        msg: str,
        source: str | None = None,
        pos: int | None = None,
        lineno: int | None = None,
        colno: int | None = None,
        record: int | None = None,
    ) -> None:
        ValueError.__init__(self, msg, source, pos, lineno, colno, record)
        self.msg = msg
        self.doc = ""
        self.source = source
        self.pos = pos
        self.lineno = lineno
        self.colno = colno
        self.record = record

    def __str__(self) -> str:
        place = []
        if self.lineno is not None and self.colno is not None:
            place.append(f"line {self.lineno} column {self.colno}")
        if self.pos is not None:
            place.append(f"(byte {self.pos})")
        text = " ".join(place)
        if self.record is not None:
            text = f"{text}, record {self.record}" if text else f"record {self.record}"
        return f"{_where(self.source)}{text}: {self.msg}" if text else f"{_where(self.source)}{self.msg}"

    def __reduce__(self) -> tuple[type[JSONError], tuple[object, ...]]:
        return (type(self), (self.msg, self.source, self.pos, self.lineno, self.colno, self.record))


class CompressionError(ValueError):
    """A compressed input is damaged: truncated, corrupt, a checksum that does not match, or
    bytes after the last member that are not another member.

    Attributes:
        msg: what is damaged.
        source: the path as given, ``"<stdin>"``, the file object's name, or ``None``.
    """

    def __init__(self, msg: str, source: str | None = None) -> None:
        super().__init__(msg, source)
        self.msg = msg
        self.source = source

    def __str__(self) -> str:
        return f"{_where(self.source)}{self.msg}"

    def __reduce__(self) -> tuple[type[CompressionError], tuple[object, ...]]:
        return (type(self), (self.msg, self.source))


class PointerError(LookupError):
    """An ``at=`` pointer matches nothing: the message says how far it matched, e.g.
    ``"/data" holds an object without member "item"`` or ``"/rows" is a string, not a container``.

    Attributes:
        msg: what the pointer found instead.
        source: the path as given, ``"<stdin>"``, the file object's name, or ``None``.
        lineno: for JSONL, the 1-based line that lacks the pointer; else ``None``.
        record: for JSONL, the 1-based number of that line's record; else ``None``.
    """

    def __init__(
        self, msg: str, source: str | None = None, lineno: int | None = None, record: int | None = None
    ) -> None:
        super().__init__(msg, source, lineno, record)
        self.msg = msg
        self.source = source
        self.lineno = lineno
        self.record = record

    def __str__(self) -> str:
        place = []
        if self.lineno is not None:
            place.append(f"line {self.lineno}")
        if self.record is not None:
            place.append(f"record {self.record}")
        text = ", ".join(place)
        return f"{_where(self.source)}{text}: {self.msg}" if text else f"{_where(self.source)}{self.msg}"

    def __reduce__(self) -> tuple[type[PointerError], tuple[object, ...]]:
        return (type(self), (self.msg, self.source, self.lineno, self.record))
