"""``aztec --batch FILE -o PATTERN``: one symbol file per message of a file,
written by :func:`quillbank.aztec.batch.save_many`.

FILE holds one message per line, or JSON Lines (``--jsonl``), or CSV with a
header row (``--column NAME``).  Each message's file name is PATTERN filled
in with ``{index}`` (its place among the messages, from 0), ``{line}`` (its
line in FILE, from 1) and, for CSV and JSON Lines, the record's other
fields.  A message that fails does not stop the others: the summary on
standard error lists each failure with its line, and the exit status is 1.
What would fail every message (bad options, a missing or unwritable
folder) stops the batch before any file is written, with exit status 2.
"""

from __future__ import annotations

import csv
import json
import os
import string
import sys
import time
from typing import IO, Any, Dict, Iterator, List, NoReturn, Optional, Tuple, Union, cast

from .batch import check_save, save_many
from .cli import EXIT_INTERRUPTED, EXIT_OK, EXIT_SOME_FAILED, describe_os_error, fail, in_options, one_line
from .errors import AztecError

__all__ = ["run_batch", "MAX_LINE_BYTES"]

#: The longest line a batch file may have; a longer one stops the batch
#: before anything is written (a message that long cannot fit anyway).
MAX_LINE_BYTES = 1 << 20
#: Messages handed to save_many at a time: the progress bar moves between
#: chunks, and each chunk still keeps every core busy.
CHUNK = 256
#: Failures listed one by one in the summary; the others are counted.
LISTED_FAILURES = 20

Message = Union[str, bytes]


class _BatchInputError(Exception):
    """The batch file cannot be read as asked: nothing is written."""


def _stop(message: str) -> NoReturn:
    raise _BatchInputError(message)


class Record:
    """One message of the batch file: the line it starts on, the message
    (or why there is none) and the fields its file name may use."""

    __slots__ = ("line", "message", "fields", "error", "name")

    def __init__(self, line: int, message: Optional[Message], fields: Optional[Dict[str, str]] = None,
                 error: Optional[str] = None) -> None:
        self.line, self.message, self.fields, self.error = line, message, fields or {}, error
        self.name: Optional[str] = None


# --- Reading the file -----------------------------------------------------------

def _numbered_lines(stream: IO[bytes], source: str) -> Iterator[Tuple[int, bytes]]:
    """(line number from 1, the line with its ending) of a binary stream,
    each read with a bound."""
    number = 0
    while True:
        try:
            line = stream.readline(MAX_LINE_BYTES + 1)
        except OSError as error:
            _stop(f"{source}: {error.strerror or error}")
        except ValueError:  # a stream closed by a caller of main()
            _stop(f"{source} is closed")
        if not line:
            return
        number += 1
        if len(line) > MAX_LINE_BYTES and not line.endswith(b"\n"):
            _stop(f"{source}: line {number} is longer than {MAX_LINE_BYTES} bytes")
        yield number, line


def _without_ending(line: bytes) -> bytes:
    if line.endswith(b"\n"):
        line = line[:-1]
    return line[:-1] if line.endswith(b"\r") else line


def _text_or_bytes(raw: bytes) -> Message:
    """A line as text (UTF-8), or as its bytes where it is not UTF-8, as
    the command line takes a message argument."""
    try:
        return raw.decode("utf-8")
    except UnicodeDecodeError:
        return raw


def _plain_records(lines: Iterator[Tuple[int, bytes]]) -> List[Record]:
    return [Record(number, _text_or_bytes(_without_ending(line))) for number, line in lines]


def _json_records(lines: Iterator[Tuple[int, bytes]], column: str) -> List[Record]:
    records = []
    for number, line in lines:
        try:
            value = json.loads(line.decode("utf-8"))
        except (UnicodeDecodeError, ValueError) as error:
            records.append(Record(number, None, error=f"not a line of JSON: {error}"))
            continue
        if isinstance(value, str):
            records.append(Record(number, value))
        elif isinstance(value, dict) and isinstance(value.get(column), str):
            fields = {key: str(item) for key, item in value.items()
                      if isinstance(item, (str, int, float)) and not isinstance(item, bool)}
            records.append(Record(number, value[column], fields))
        else:
            records.append(Record(number, None, error=f"not a string nor an object with a string {column!r} field"))
    return records


def _csv_records(lines: Iterator[Tuple[int, bytes]], column: str, source: str) -> Tuple[List[Record], List[str]]:
    consumed = [0]

    def text_lines() -> Iterator[str]:
        for number, line in lines:
            consumed[0] = number
            yield line.decode("utf-8", "surrogateescape")

    reader = csv.reader(text_lines())
    try:
        header = next(reader)
    except StopIteration:
        _stop(f"{source} is empty: a CSV batch starts with a header row")
    except csv.Error as error:
        _stop(f"{source}: line 1: {error}")
    if column not in header:
        _stop(f"{source} has no column {column!r}; its columns are {', '.join(map(repr, header))}")
    place = header.index(column)
    records: List[Record] = []
    while True:
        start = consumed[0] + 1
        try:
            row = next(reader)
        except StopIteration:
            return records, header
        except csv.Error as error:
            records.append(Record(start, None, error=f"not a CSV row: {error}"))
            continue
        if not row:
            continue  # a blank line, as csv.DictReader skips it
        if len(row) != len(header):
            records.append(Record(start, None, error=f"{len(row)} fields where the header has {len(header)}"))
            continue
        values = [value.encode("utf-8", "surrogateescape") for value in row]
        fields = {name: value for name, value in zip(header, row)}
        records.append(Record(start, _text_or_bytes(values[place]), fields))


def read_records(stream: IO[bytes], source: str, jsonl: bool,
                 column: Optional[str]) -> Tuple[List[Record], Optional[List[str]]]:
    """The records of a batch file (lines, JSON Lines or CSV), and the CSV
    header (None for the others)."""
    lines = _numbered_lines(stream, source)
    if jsonl:
        return _json_records(lines, column or "message"), None
    if column is not None:
        return _csv_records(lines, column, source)
    return _plain_records(lines), None


def _open(source: str) -> IO[bytes]:
    if source == "-":
        if sys.stdin is None:
            _stop("standard input is closed")
        return cast(IO[bytes], getattr(sys.stdin, "buffer", sys.stdin))
    try:
        return open(source, "rb")
    except OSError as error:
        _stop(f"{source}: {error.strerror or error}")


# --- File names -----------------------------------------------------------------

def _pattern_fields(pattern: str) -> List[str]:
    """The field names of a name pattern; refuses a pattern str.format cannot fill."""
    try:
        names = [field for _, field, _, _ in string.Formatter().parse(pattern) if field is not None]
    except ValueError as error:
        _stop(f"the name pattern {pattern!r} is not a pattern: {error}")
    for field in names:
        if not field or field[0].isdigit():
            _stop(f"the name pattern {pattern!r} has a field without a name; use {{index}}, {{line}} or a "
                  "field of the records")
    return [field.split(".")[0].split("[")[0] for field in names]


def _check_pattern(pattern: str, jsonl: bool, column: Optional[str], header: Optional[List[str]],
                   first: Optional[Record] = None) -> None:
    """Refuses a pattern whose fields the records cannot fill: a batch of
    lines has none of their own, CSV has its header's, and JSON Lines are
    held to the fields of the first record that has a message (a field
    missing there is taken for a mistake in the pattern, not in the data)."""
    fields = set(_pattern_fields(pattern)) - {"index", "line"}
    if not fields:
        return
    if not jsonl and column is None:
        _stop(f"a batch of lines has only the fields {{index}} and {{line}} for file names, not "
              f"{', '.join('{' + name + '}' for name in sorted(fields))}")
    if header is not None:
        missing = sorted(fields - set(header))
        if missing:
            _stop(f"the name pattern uses {', '.join(missing)}, which the CSV header does not have")
    elif first is not None:
        missing = sorted(fields - set(first.fields))
        if missing:
            _stop(f"the name pattern uses {', '.join(missing)}, which the first record (line {first.line}) "
                  "does not have")


def _safe_part(value: str) -> bool:
    return bool(value) and value not in (".", "..") and not any(
        separator in value for separator in ("/", os.sep, os.altsep or "/", "\0"))


def _name(pattern: str, index: int, record: Record) -> str:
    for field, value in record.fields.items():
        if f"{{{field}" in pattern and not _safe_part(value):
            raise ValueError(f"its {field!r} field {value!r} cannot be part of a file name")
    try:
        return pattern.format_map({**record.fields, "index": index, "line": record.line})
    except KeyError as error:
        raise ValueError(f"it has no field {error.args[0]!r} for the file name") from None
    except (ValueError, IndexError, AttributeError) as error:
        raise ValueError(f"its file name cannot be made: {error}") from None


def _name_records(records: List[Record], pattern: str) -> None:
    """Gives each record its file name; refuses names that repeat."""
    first_line: Dict[str, int] = {}
    for index, record in enumerate(records):
        if record.error is not None:
            continue
        try:
            record.name = _name(pattern, index, record)
        except ValueError as error:
            record.error = str(error)
            continue
        key = os.path.abspath(record.name)
        if key in first_line:
            _stop(f"lines {first_line[key]} and {record.line} would both be written to {record.name}; "
                  "put {index} or {line} in the name pattern")
        first_line[key] = record.line


# --- Running --------------------------------------------------------------------

class _Progress:
    """A progress bar on standard error when it is a terminal; silent otherwise."""

    WIDTH = 30

    def __init__(self, total: int) -> None:
        self.total = total
        stream = sys.stderr
        try:
            self.stream = stream if stream is not None and stream.isatty() else None
        except (AttributeError, ValueError, OSError):
            self.stream = None

    def show(self, done: int) -> None:
        if self.stream is None:
            return
        filled = self.WIDTH * done // max(self.total, 1)
        self.stream.write(f"\r[{'#' * filled}{'.' * (self.WIDTH - filled)}] {done}/{self.total}")
        self.stream.flush()

    def close(self) -> None:
        if self.stream is not None:
            self.stream.write("\r" + " " * (self.WIDTH + 2 * len(str(self.total)) + 4) + "\r")
            self.stream.flush()


def _describe(error: BaseException) -> str:
    if isinstance(error, OSError):
        return describe_os_error(error)
    if isinstance(error, (AztecError, TypeError)):
        return in_options(str(error))
    return f"{type(error).__name__}: {error}"


def _save(records: List[Record], kind: Optional[str], options: Dict[str, Any], progress: _Progress,
          written: List[int], durable: bool) -> None:
    """Writes the named records' files, chunk by chunk, counting in
    ``written[0]`` the files of the chunks done.  A folder that goes away
    (or stops being writable) once the batch runs stops the files that go
    there, in this chunk and the later ones, which are not written and say
    why; the files for the other folders are written."""
    todo = [record for record in records if record.error is None]
    for start in range(0, len(todo), CHUNK):
        chunk = [record for record in todo[start:start + CHUNK] if record.error is None]
        while chunk:
            try:
                results = save_many([cast(Message, record.message) for record in chunk],
                                    [cast(str, record.name) for record in chunk],
                                    errors="return", kind=kind, durable=durable, **options)
            except OSError as error:  # save_many looks at the folders again before each chunk
                _give_up_folder(error, todo[start:])
                chunk = [record for record in chunk if record.error is None]
                continue
            for record, result in zip(chunk, results):
                if isinstance(result, BaseException):
                    record.error = _describe(result)
                else:
                    written[0] += 1
            break
        progress.show(start + min(CHUNK, len(todo) - start))


def _give_up_folder(error: OSError, records: List[Record]) -> None:
    """Marks the records whose files go to the folder ``error`` names as not
    written (all of them when it names none of theirs)."""
    folder = error.filename
    gone = [record for record in records
            if record.error is None and (os.path.dirname(cast(str, record.name)) or os.curdir) == folder]
    for record in gone or [record for record in records if record.error is None]:
        record.error = f"not written: {describe_os_error(error)}"


def _summary(records: List[Record], written: int, seconds: float, interrupted: bool) -> None:
    failed = [record for record in records if record.error is not None]
    state = "interrupted: at least " if interrupted else ""
    lines = [f"aztec: {state}{written} of {len(records)} files written in {seconds:.2f} s"
             + (f"; {len(failed)} failed:" if failed and not interrupted else "")]
    if not interrupted:
        lines += [f"aztec:   line {record.line}: {one_line(record.error)}"  # type: ignore[arg-type]
                  for record in failed[:LISTED_FAILURES]]
        if len(failed) > LISTED_FAILURES:
            lines.append(f"aztec:   ... and {len(failed) - LISTED_FAILURES} more")
    if sys.stderr is not None:
        sys.stderr.write("\n".join(lines) + "\n")
        sys.stderr.flush()


def run_batch(source: str, pattern: str, *, jsonl: bool, column: Optional[str], make_options: Dict[str, Any],
              picture_options: Dict[str, Any], durable: bool = True) -> int:
    """Runs ``aztec --batch``; returns the exit status (0 all written, 1
    some failed, 130 interrupted).  Input that cannot be read as asked,
    options wrong for every message and folders that are missing or cannot
    be written raise before any file is written."""
    began = time.perf_counter()
    try:
        stream = _open(source)
        name = "standard input" if source == "-" else source
        try:
            records, header = read_records(stream, name, jsonl, column)
        finally:
            if source != "-":
                stream.close()
        _check_pattern(pattern, jsonl, column, header,
                       next((record for record in records if record.error is None), None))
        if not records:
            _stop(f"{name} holds no messages: there is nothing to encode")
        _name_records(records, pattern)
        options = {key: value for key, value in {**picture_options, **make_options}.items() if value is not None}
        kind = options.pop("kind", None)
        try:
            # Every name at once, before the first file: save_many sees one
            # chunk at a time, and a later chunk may ask for another kind or
            # go to another folder.
            check_save([record.name for record in records if record.name is not None], kind, options)
        except OSError as error:
            _stop(describe_os_error(error))
    except _BatchInputError as error:
        fail(str(error))
    progress = _Progress(len(records))
    written, interrupted = [0], False
    try:
        _save(records, kind, options, progress, written, durable)
    except KeyboardInterrupt:
        interrupted = True  # save_many lets the files being written finish, and leaves no partial one
    finally:
        progress.close()
    _summary(records, written[0], time.perf_counter() - began, interrupted)
    if interrupted:
        return EXIT_INTERRUPTED
    return EXIT_SOME_FAILED if any(record.error is not None for record in records) else EXIT_OK
