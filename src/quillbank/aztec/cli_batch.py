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

The file is read and written a chunk of messages at a time, so memory
stays bounded and files appear while a pipe still brings messages; the
checks before the first file see the first chunk, and later messages that
fail them fail alone.
"""

from __future__ import annotations

import csv
import json
import os
import re
import select
import signal
import stat
import string
import sys
import time
from typing import IO, Any, Dict, Iterable, Iterator, List, NoReturn, Optional, Tuple, Union, cast

from . import writers
from .batch import MAKE_OPTIONS, check_save, common_shape, save_many
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
#: A UTF-8 byte order mark, which some editors put at the start of a file:
#: it marks the encoding and is not part of the first message.
BOM = b"\xef\xbb\xbf"

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

class _Lines:
    """The numbered lines of a binary stream (each with its ending), read a
    block at a time as the input comes, each line with a bound; a byte order
    mark at the start is left out.

    :meth:`waiting` tells that the next line has not arrived yet on a pipe
    or terminal, so that what was read can be written meanwhile.
    """

    BLOCK = 1 << 16

    def __init__(self, stream: IO[bytes], source: str) -> None:
        self.stream, self.source = stream, source
        self.block, self.position, self.number, self.ended = b"", 0, 0, False
        self.consumed = 0  # bytes of the lines handed out, for the progress bar
        self.descriptor = _pipe_descriptor(stream)

    def __iter__(self) -> Iterator[Tuple[int, bytes]]:
        while True:
            line = self._line()
            if line is None:
                return
            self.number += 1
            self.consumed += len(line)
            if self.number == 1 and line.startswith(BOM):
                line = line[len(BOM):]
            yield self.number, line

    def _line(self) -> Optional[bytes]:
        while True:
            end = self.block.find(b"\n", self.position)
            if end >= 0:
                line = self.block[self.position:end + 1]
                self.position = end + 1
                return line
            rest = self.block[self.position:]
            if len(rest) > MAX_LINE_BYTES:
                _stop(f"{self.source}: line {self.number + 1} is longer than {MAX_LINE_BYTES} bytes")
            more = self._read() if not self.ended else b""
            if not more:
                self.ended, self.block, self.position = True, b"", 0
                return rest or None
            self.block, self.position = rest + more, 0

    def _read(self) -> bytes:
        try:
            read = getattr(self.stream, "read1", self.stream.read)
            return read(self.BLOCK)
        except OSError as error:
            _stop(f"{self.source}: {error.strerror or error}")
        except ValueError:  # a stream closed by a caller of main()
            _stop(f"{self.source} is closed")

    def waiting(self) -> bool:
        """Whether the next line is still to come on a pipe or terminal."""
        if self.ended or self.descriptor is None or self.block.find(b"\n", self.position) >= 0:
            return False
        try:
            ready, _, _ = select.select([self.descriptor], [], [], 0)
        except (OSError, ValueError):
            return False
        return not ready


def _pipe_descriptor(stream: IO[bytes]) -> Optional[int]:
    """The file descriptor of a pipe, terminal or socket, which can keep the
    reader waiting; None for a file, which never does, or where select()
    takes no pipes (Windows)."""
    if sys.platform == "win32":
        return None
    try:
        descriptor = stream.fileno()
        return None if stat.S_ISREG(os.fstat(descriptor).st_mode) else descriptor
    except (AttributeError, OSError, ValueError):  # no descriptor (an in-memory stream)
        return None


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


def _plain_records(lines: Iterable[Tuple[int, bytes]]) -> Iterator[Record]:
    for number, line in lines:
        yield Record(number, _text_or_bytes(_without_ending(line)))


def _json_records(lines: Iterable[Tuple[int, bytes]], column: str) -> Iterator[Record]:
    for number, line in lines:
        try:
            value = json.loads(line.decode("utf-8"))
        except (UnicodeDecodeError, ValueError) as error:
            yield Record(number, None, error=f"not a line of JSON: {error}")
            continue
        except RecursionError:  # arrays or objects nested too deep for the parser
            yield Record(number, None, error="not a line of JSON the reader takes: it nests too deep")
            continue
        if isinstance(value, str):
            yield Record(number, value)
        elif isinstance(value, dict) and isinstance(value.get(column), str):
            fields = {key: str(item) for key, item in value.items()
                      if isinstance(item, (str, int, float)) and not isinstance(item, bool)}
            yield Record(number, value[column], fields)
        else:
            yield Record(number, None, error=f"not a string nor an object with a string {column!r} field")


def _csv_records(lines: Iterable[Tuple[int, bytes]], column: str,
                 source: str) -> Tuple[Iterator[Record], List[str]]:
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

    def rows() -> Iterator[Record]:
        while True:
            start = consumed[0] + 1
            try:
                row = next(reader)
            except StopIteration:
                return
            except csv.Error as error:
                yield Record(start, None, error=f"not a CSV row: {error}")
                continue
            if not row:
                continue  # a blank line, as csv.DictReader skips it
            if len(row) != len(header):
                yield Record(start, None, error=f"{len(row)} fields where the header has {len(header)}")
                continue
            values = [value.encode("utf-8", "surrogateescape") for value in row]
            yield Record(start, _text_or_bytes(values[place]), dict(zip(header, row)))

    return rows(), header


def read_records(lines: _Lines, source: str, jsonl: bool,
                 column: Optional[str]) -> Tuple[Iterator[Record], Optional[List[str]]]:
    """The records of a batch file (lines, JSON Lines or CSV) as they are
    read, and the CSV header (None for the others)."""
    if jsonl:
        return _json_records(lines, column or "message"), None
    if column is not None:
        return _csv_records(lines, column, source)
    return _plain_records(lines), None


def _chunks(records: Iterator[Record], lines: _Lines) -> Iterator[List[Record]]:
    """The records CHUNK at a time, or fewer where the input pauses: what has
    arrived is written while the rest is awaited."""
    chunk: List[Record] = []
    for record in records:
        chunk.append(record)
        if len(chunk) >= CHUNK or lines.waiting():
            yield chunk
            chunk = []
    if chunk:
        yield chunk


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


class _Names:
    """Gives records their file names as they come, and tells names that
    repeat.  A pattern whose one field is {index} or {line} (as is, or an
    integer format) never repeats a name, so its names are not remembered
    and any number of records takes bounded memory; the names of other
    patterns are remembered to tell repeats."""

    def __init__(self, pattern: str) -> None:
        self.pattern, self.index = pattern, 0
        self.first_line: Optional[Dict[str, int]] = None if _names_never_repeat(pattern) else {}

    def name(self, records: List[Record], before_any_file: bool) -> None:
        """Names the records; a repeat stops the batch ``before_any_file``,
        and fails its record later on."""
        for record in records:
            index, self.index = self.index, self.index + 1
            if record.error is not None:
                continue
            try:
                record.name = _name(self.pattern, index, record)
            except ValueError as error:
                record.error = str(error)
                continue
            if self.first_line is None:
                continue
            key = os.path.abspath(record.name)
            if key in self.first_line:
                where = f"lines {self.first_line[key]} and {record.line} would both be written to {record.name}"
                if before_any_file:
                    _stop(f"{where}; put {{index}} or {{line}} in the name pattern")
                record.error, record.name = f"not written: {where}", None
                continue
            self.first_line[key] = record.line


_INTEGER_FORMAT = re.compile(r"(.?[<>=^])?[+\- ]?#?0?[0-9]*[,_]?[bdnoxX]?")


def _names_never_repeat(pattern: str) -> bool:
    fields = [(name, spec, conversion) for _, name, spec, conversion in string.Formatter().parse(pattern)
              if name is not None]
    return (len(fields) == 1 and fields[0][0] in ("index", "line") and fields[0][2] is None
            and _INTEGER_FORMAT.fullmatch(fields[0][1] or "") is not None)


# --- Running --------------------------------------------------------------------

class _Progress:
    """A progress bar on standard error when it is a terminal; silent
    otherwise.  It counts the lines read, of ``total`` when the input is a
    file (standard input has no total)."""

    WIDTH = 30

    def __init__(self, total: Optional[int]) -> None:
        self.total = total
        self.stream = _terminal(sys.stderr)

    def show(self, done: int) -> None:
        if self.stream is None:
            return
        if self.total is None:
            self.stream.write(f"\r{done} lines read")
        else:
            filled = self.WIDTH * done // max(self.total, 1)
            self.stream.write(f"\r[{'#' * filled}{'.' * (self.WIDTH - filled)}] {done}/{self.total}")
        self.stream.flush()

    def close(self) -> None:
        if self.stream is not None:
            self.stream.write("\r" + " " * (self.WIDTH + 2 * len(str(self.total or 10 ** 12)) + 4) + "\r")
            self.stream.flush()


def _terminal(stream: Optional[IO[str]]) -> Optional[IO[str]]:
    try:
        return stream if stream is not None and stream.isatty() else None
    except (AttributeError, ValueError, OSError):
        return None


def _line_count(source: str) -> Optional[int]:
    """The lines of a batch file, counted a block at a time for the progress
    bar; None for standard input, or where no bar is shown."""
    if source == "-" or _terminal(sys.stderr) is None:
        return None
    count, last = 0, b"\n"
    try:
        with open(source, "rb") as stream:
            for block in iter(lambda: stream.read(1 << 20), b""):
                count, last = count + block.count(b"\n"), block[-1:]
    except OSError:
        return None
    return count + (last != b"\n")


class _Tally:
    """What the batch has done so far: the messages read, the files
    written, and the failures (the first LISTED_FAILURES kept to list)."""

    def __init__(self) -> None:
        self.read = self.written = self.failed = 0
        self.listed: List[Tuple[int, str]] = []

    def count_failures(self, records: List[Record]) -> None:
        for record in records:
            if record.error is not None:
                self.failed += 1
                if len(self.listed) < LISTED_FAILURES:
                    self.listed.append((record.line, record.error))


class _Signals:
    """SIGTERM and SIGHUP end a batch as Ctrl-C does.  While the input is
    awaited they stop it at once (no file is being written); while a chunk
    is written they are noted and the batch stops after it, so that no
    signal lands inside the writing of a file."""

    def __init__(self) -> None:
        self.reading, self.requested = True, False
        self.previous: Dict[int, Any] = {}

    def __enter__(self) -> "_Signals":
        for name in ("SIGTERM", "SIGHUP"):
            number = getattr(signal, name, None)
            if number is not None:
                try:
                    self.previous[number] = signal.signal(number, self._handle)
                except (ValueError, OSError):  # not the main thread
                    pass
        return self

    def _handle(self, number: int, frame: object) -> None:
        self.requested = True
        if self.reading:
            raise KeyboardInterrupt

    def __exit__(self, *exception: object) -> None:
        for number, handler in self.previous.items():
            signal.signal(number, handler)


def _describe(error: BaseException) -> str:
    if isinstance(error, OSError):
        return describe_os_error(error)
    if isinstance(error, (AztecError, TypeError)):
        return in_options(str(error))
    return f"{type(error).__name__}: {error}"


def _check_kinds(records: List[Record], kind: Optional[str], options: Dict[str, Any],
                 checked: Dict[str, Optional[str]]) -> None:
    """Fails the records of a kind the options are wrong for (or of no
    kind), each kind checked once: a field in the pattern's extension can
    ask for a new kind in any chunk."""
    for record in records:
        try:
            record_kind = writers.kind_of(cast(str, record.name), kind)
        except AztecError as error:
            record.error = in_options(str(error))
            continue
        if record_kind not in checked:
            try:
                check_save([cast(str, record.name)], kind, options)
                checked[record_kind] = None
            except OSError:  # the kind is right; its folder is save()'s to report
                checked[record_kind] = None
            except (AztecError, TypeError) as error:
                checked[record_kind] = in_options(str(error))
        if checked[record_kind] is not None:
            record.error = checked[record_kind]


def _save(chunk: List[Record], kind: Optional[str], options: Dict[str, Any], checked: Dict[str, Optional[str]],
          tally: _Tally, durable: bool) -> None:
    """Writes the named records' files.  A folder that goes away (or stops
    being writable) once the batch runs stops the files that go there,
    which are not written and say why; the files for the other folders are
    written."""
    _check_kinds([record for record in chunk if record.error is None], kind, options, checked)
    todo = [record for record in chunk if record.error is None]
    while todo:
        try:
            results = save_many([cast(Message, record.message) for record in todo],
                                [cast(str, record.name) for record in todo],
                                errors="return", kind=kind, durable=durable, **options)
        except OSError as error:  # save_many looks at the folders again for each chunk
            _give_up_folder(error, todo)
            todo = [record for record in todo if record.error is None]
            continue
        for record, result in zip(todo, results):
            if isinstance(result, BaseException):
                record.error = _describe(result)
            else:
                tally.written += 1
        break
    tally.count_failures(chunk)


def _fix_shape(records: List[Record], options: Dict[str, Any]) -> None:
    """Puts the one shape of every symbol into ``options``; a message that
    fits none fails alone when its file is made."""
    shape = common_shape([cast(Message, record.message) for record in records if record.error is None],
                         **{key: value for key, value in options.items() if key in MAKE_OPTIONS})
    if shape is not None:
        options["compact"], options["layers"] = shape


def _all_first(chunks: Iterator[List[Record]], options: Dict[str, Any]) -> Iterator[List[Record]]:
    """The chunks, every one read before the first is given, with the one
    shape that holds every message put into ``options``."""
    everything = list(chunks)
    _fix_shape([record for chunk in everything for record in chunk], options)
    return iter(everything)


def _give_up_folder(error: OSError, records: List[Record]) -> None:
    """Marks the records whose files go to the folder ``error`` names as not
    written (all of them when it names none of theirs)."""
    folder = error.filename
    gone = [record for record in records
            if record.error is None and (os.path.dirname(cast(str, record.name)) or os.curdir) == folder]
    for record in gone or [record for record in records if record.error is None]:
        record.error = f"not written: {describe_os_error(error)}"


def _summary(tally: _Tally, seconds: float, interrupted: bool, stopped: Optional[str]) -> None:
    if interrupted:
        lines = [f"aztec: interrupted: at least {tally.written} files written of the {tally.read} messages read, "
                 f"in {seconds:.2f} s"]
    else:
        lines = [f"aztec: {tally.written} of {tally.read} files written in {seconds:.2f} s"
                 + (f"; {tally.failed} failed:" if tally.failed else "")]
        lines += [f"aztec:   line {line}: {one_line(error)}" for line, error in tally.listed]
        if tally.failed > len(tally.listed):
            lines.append(f"aztec:   ... and {tally.failed - len(tally.listed)} more")
        if stopped is not None:
            lines.append(f"aztec: stopped: {one_line(stopped)}")
    if sys.stderr is not None:
        sys.stderr.write("\n".join(lines) + "\n")
        sys.stderr.flush()


def run_batch(source: str, pattern: str, *, jsonl: bool, column: Optional[str], make_options: Dict[str, Any],
              picture_options: Dict[str, Any], same_size: bool = False, durable: bool = True) -> int:
    """Runs ``aztec --batch``; returns the exit status (0 all written, 1
    some failed, 130 interrupted by Ctrl-C, SIGTERM or SIGHUP).

    The input is read and written CHUNK messages at a time (fewer where it
    pauses), so memory stays bounded and files appear while the input
    still comes.  Input that cannot be read as asked, options wrong for
    every message and folders that are missing or cannot be written raise
    before any file is written, as far as the first chunk shows them;
    later, a message whose name, kind or folder fails fails alone, and
    input that can no longer be read stops the batch (exit status 1).
    ``same_size`` gives every symbol the smallest shape that holds each
    message: the whole input is read first to find it."""
    began = time.perf_counter()
    options = {key: value for key, value in {**picture_options, **make_options}.items() if value is not None}
    kind = options.pop("kind", None)
    stream: Optional[IO[bytes]] = None
    with _Signals() as signals:
        try:
            stream = _open(source)
            name = "standard input" if source == "-" else source
            lines = _Lines(stream, name)
            records, header = read_records(lines, name, jsonl, column)
            _check_pattern(pattern, jsonl, column, header)
            chunks = _chunks(records, lines)
            if same_size:
                chunks = _all_first(chunks, options)
            first = next(chunks, None)
            if first is None:
                _stop(f"{name} holds no messages: there is nothing to encode")
            _check_pattern(pattern, jsonl, column, header, next((record for record in first
                                                                 if record.error is None), None))
            names = _Names(pattern)
            names.name(first, before_any_file=True)
            checked = _check_first(first, kind, options)
            return _write(first, chunks, names, lines, kind, options, checked, signals, began,
                          _Progress(_line_count(source)), durable)
        except _BatchInputError as error:
            fail(str(error))
        finally:
            if stream is not None and source != "-":
                stream.close()


def _check_first(chunk: List[Record], kind: Optional[str], options: Dict[str, Any]) -> Dict[str, Optional[str]]:
    """Checks the first chunk's names at once, before the first file: what
    fails every message there stops the batch.  The kinds checked."""
    named = [record.name for record in chunk if record.name is not None]
    try:
        check_save(named, kind, options)
    except OSError as error:
        _stop(describe_os_error(error))
    return {writers.kind_of(name, kind): None for name in named}


def _write(first: List[Record], chunks: Iterator[List[Record]], names: _Names, lines: _Lines, kind: Optional[str],
           options: Dict[str, Any], checked: Dict[str, Optional[str]], signals: _Signals, began: float,
           progress: _Progress, durable: bool) -> int:
    tally = _Tally()
    interrupted, stopped = False, None
    chunk: Optional[List[Record]] = first
    try:
        while chunk is not None:
            tally.read += len(chunk)
            signals.reading = False
            _save(chunk, kind, options, checked, tally, durable)
            progress.show(lines.number)
            signals.reading = True
            if signals.requested:
                raise KeyboardInterrupt
            chunk = next(chunks, None)
            if chunk is not None:
                names.name(chunk, before_any_file=False)
    except KeyboardInterrupt:
        interrupted = True  # save_many lets the files being written finish, and leaves no partial one
    except _BatchInputError as error:
        stopped = str(error)
    finally:
        progress.close()
    _summary(tally, time.perf_counter() - began, interrupted, stopped)
    if interrupted:
        return EXIT_INTERRUPTED
    return EXIT_SOME_FAILED if tally.failed or stopped is not None else EXIT_OK
