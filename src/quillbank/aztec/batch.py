"""Many symbols at once: make_many() and save_many() spread the work over threads.

    >>> from quillbank.aztec import make_many, save_many
    >>> symbols = make_many(["first", "second", "third"])
    >>> save_many(["first", "second"], "out/{index}.png")

The core makes every batch's symbols (and PNG files) on threads of its own,
the interpreter lock released for all of them.  What needs Python (text
into bytes, segments, GS1 checks, optimal=False's stream, the other
pictures' writers, staging files) is done on the calling thread, a slice
of messages at a time, each message's error kept in its place; the slice
then goes to the core in one call.  Nothing is shared between calls, and
the results come back in the order of the messages.
"""

from __future__ import annotations

import errno
import io
import os
import stat
from typing import TYPE_CHECKING, Any, Callable, Dict, Iterable, List, Literal, Optional, Sequence, Tuple, Union, overload

from . import _aztec, writers
from .writers import files
from .arguments import as_int, check_bool
from .builder import DEFAULT_EC_PERCENT, check_options, checked_content, make
from .errors import AztecError, InvalidOptionError
from .overflow import overflow
from .segments import Content, single
from .shapes import MOST_MESSAGE_BYTES
from .streams import Data, Stream, content_stream, packed
from .symbol import AztecSymbol

if TYPE_CHECKING:
    from concurrent.futures import Future

__all__ = ["make_many", "save_many", "save_sequence", "render_many", "common_shape", "BatchError"]

PathName = Union[str, "os.PathLike[str]"]

# The fewest messages worth a thread of their own: waking a thread costs
# about as much as a few symbols (about 10 us each).
_CHUNK = 32

# Messages a batch prepares and sends to the core in one call: enough that
# waking its helper threads and the work around a call cost little next to
# the symbols, few enough that the copies of the messages it takes stay
# small.  (The core stops at Ctrl-C as it goes.)
_SLICE = 8192

# Files save_many writes before it syncs them and renames them into place:
# a sync of a group costs about one disk commit, whatever the number of
# files in it, while their temporary files wait in the folders.
_SYNC_GROUP = 1024

# The keyword options save_many hands to make(), and those it hands to the
# writers: any that one of the writers takes (svgz takes svg's).
MAKE_OPTIONS = frozenset(make.__kwdefaults__ or ())
_PICTURE_OPTIONS = frozenset(name for writer in writers.WRITERS.values() for name in writer.__kwdefaults__ or ())


class BatchError(AztecError):
    """Raised by :func:`make_many` and :func:`save_many` with
    ``errors="raise"`` when some messages failed.

    ``index`` is the first failing message's position and ``indices`` all of
    them; ``results`` has every result in order, with the exception in place
    of each failed one, so the messages that succeeded are not lost.  The
    first failure's own exception is chained as ``__cause__``.
    """

    def __init__(self, message: str, index: int, indices: List[int], results: List[Any]) -> None:
        super().__init__(message)
        self.index = index
        self.indices = indices
        self.results = results

    def __reduce__(self) -> Tuple[Any, ...]:
        # The arguments __init__ needs, so that the error crosses to another
        # process (a process pool) and copy.copy() as it was raised.
        return type(self), (self.args[0], self.index, self.indices, self.results), self.__dict__


@overload
def make_many(messages: Iterable[Data], *, threads: Optional[int] = None, errors: Literal["raise"] = "raise",
              **options: Any) -> List[AztecSymbol]: ...
@overload
def make_many(messages: Iterable[Data], *, threads: Optional[int] = None, errors: Literal["return"],
              **options: Any) -> List[Union[AztecSymbol, Exception]]: ...
@overload
def make_many(messages: Iterable[Data], *, threads: Optional[int] = None, errors: str,
              **options: Any) -> List[Any]: ...
def make_many(messages: Iterable[Data], *, threads: Optional[int] = None, errors: str = "raise",
              same_size: bool = False, **options: Any) -> List[Any]:
    """Makes a symbol for each message, as :func:`make` would one by one.

    ``messages`` is any iterable of ``str`` or bytes; the symbols come back
    as a list in the same order.  ``options`` are :func:`make`'s keyword
    options (``eci``, ``ec_percent``, ``compact``, ``layers``, ``optimal``)
    and apply to every message.  ``threads`` (default None: one per core
    this process may run on) is the number of threads that share the work;
    more than 256 are clamped to 256.

    ``errors`` says what a message that cannot be made does to the batch:
    with ``"raise"`` (the default) every message is still made, then a
    :class:`BatchError` names the first failing index and carries all the
    results; with ``"return"`` the list holds the exception object in place
    of each failed symbol.  Options that are wrong for every message (an
    ``ec_percent`` of 200, an unknown keyword) raise InvalidOptionError or
    TypeError at once, before any message is made.  Ctrl-C stops a batch
    part way with KeyboardInterrupt (the core's threads stop with it).

    ``same_size=True`` (default False) makes every symbol the same shape:
    the smallest compact or full size and layer count, among those the
    options allow, that holds every message.  Each message is still written
    in its shortest stream; the room it leaves goes to error correction.  A
    message that fits no allowed size fails alone (raised or returned as
    ``errors`` says), and the common size is that of the other messages.
    """
    items = list(messages)
    _probe(options)
    _check_errors(errors)
    check_bool("same_size", same_size)
    made, failed = _made(items, threads, options)
    if same_size:
        _to_one_shape(items, made, failed, threads, options)
    return _finish(made, failed, errors)


def _made(items: List[Any], threads: Optional[int], options: Dict[str, Any]) -> Tuple[List[Any], List[bool]]:
    """make_many's symbols in order (the exception in place of each that
    failed), and which of them failed."""
    workers = _thread_count(threads, len(items))
    plan = _Plan(options)
    made: List[Any] = []
    failed: List[bool] = []
    for start in range(0, len(items), _SLICE):
        part = plan.symbols(items[start:start + _SLICE], workers)
        made += part.results
        failed += part.failed
    return made, failed


@overload
def save_many(messages: Iterable[Data], pattern: Union[str, Sequence[PathName]], *,
              threads: Optional[int] = None, errors: Literal["raise"] = "raise", kind: Optional[str] = None,
              **options: Any) -> List[PathName]: ...
@overload
def save_many(messages: Iterable[Data], pattern: Union[str, Sequence[PathName]], *,
              threads: Optional[int] = None, errors: Literal["return"], kind: Optional[str] = None,
              **options: Any) -> List[Union[PathName, Exception]]: ...
@overload
def save_many(messages: Iterable[Data], pattern: Union[str, Sequence[PathName]], *,
              threads: Optional[int] = None, errors: str, kind: Optional[str] = None,
              **options: Any) -> List[Any]: ...
def save_many(messages: Iterable[Data], pattern: Union[str, Sequence[PathName]], *,
              threads: Optional[int] = None, errors: str = "raise", kind: Optional[str] = None,
              durable: bool = True, **options: Any) -> List[Any]:
    """Makes a symbol for each message and writes it to a file.

    ``pattern`` is either a ``str`` with an ``{index}`` field, filled with
    each message's position (``"out/{index}.png"``, ``"label-{index:05d}.svg"``),
    or a sequence of file names, one per message.  ``kind`` (default None:
    each file name's extension) and the picture options are
    :meth:`AztecSymbol.save`'s: ``scale``, ``border``, ``dark``, ``light``,
    ``module_size``, ``unit``, ``dpi``, ``title``, ... as each kind's writer
    takes them, with the writer's defaults.  The other keyword options are
    :func:`make`'s.  ``threads`` (clamped to 256) and ``errors`` are as for :func:`make_many`.

    What would fail every file raises before any file is written: options
    wrong for a kind the names ask for (a name that is neither .svg nor .png
    without ``kind``, a scale of 0, a ``title`` for a PNG) raise
    InvalidOptionError or TypeError; two messages given one file name raise
    InvalidOptionError naming both; a folder the names go to that does not
    exist, is not a folder or cannot be written raises FileNotFoundError,
    NotADirectoryError or PermissionError naming it, whatever ``errors``
    says.  Each distinct folder is looked at once; folders are not created.

    Returns the file names written, in order (with the exception in place of
    each failed message when ``errors="return"``).  Every file is written in
    full or not at all, as :meth:`AztecSymbol.save` writes one (a file that
    may not be replaced fails alone).  With ``durable=True`` (the default),
    once save_many returns every file it wrote is on disk and no old file
    is lost to a power cut; the files are synced a thousand at a time, which
    costs little more than plain writes.  ``durable=False`` leaves that to
    the system, for scratch output.  A batch that is interrupted (Ctrl-C)
    stops taking messages, writes none of the files of the group it is on
    and raises, leaving only complete files.
    """
    items = list(messages)
    names = _file_names(pattern, len(items))
    make_options, picture_options = check_save(names, kind, options)
    workers = _thread_count(threads, len(items))
    _check_errors(errors)
    plan = _Plan(make_options)
    kinds = [writers.kind_of(name, kind) for name in names]
    settings = writers.raster.png_settings(_probe(make_options).size, **picture_options) if "png" in kinds else None

    def draw(index: int, symbol: AztecSymbol) -> bytes:
        return _picture(symbol, names[index], kind, picture_options)

    # Each group is made on the core's threads and staged here, then synced
    # and renamed by a thread of its own while the next one is made: the
    # disk's wait hides behind the work.  Should the batch stop, the group
    # in hand is dropped and the one being put in place finishes (leaving
    # the with block waits for it).
    failures: List[Optional[Exception]] = []
    from concurrent.futures import ThreadPoolExecutor  # here: it brings logging along, a good part of a first call

    with ThreadPoolExecutor(max_workers=1, thread_name_prefix="aztec-commit") as committer:
        previous: Optional["Future[List[Optional[Exception]]]"] = None
        for start in range(0, len(items), _SYNC_GROUP):
            group = range(start, min(start + _SYNC_GROUP, len(items)))
            made, failed = _stage_group(group, names, _group_pictures(plan, items, kinds, group, workers, settings, draw))
            current = committer.submit(_commit_group, made, failed, durable)  # after the previous one
            if previous is not None:
                failures += previous.result()
            previous = current
        if previous is not None:
            failures += previous.result()
    results = [names[index] if error is None else error for index, error in enumerate(failures)]
    return _finish(results, [error is not None for error in failures], errors)


def _group_pictures(plan: "_Plan", items: List[Any], kinds: List[str], group: range, workers: int,
                    settings: Optional[Tuple[int, int, Optional[bytes], Optional[int]]],
                    draw: Callable[[int, AztecSymbol], bytes]) -> "_Results":
    """The files' contents of the messages of ``group``: PNG files drawn by
    the core's threads as they make the symbols (with ``settings``), the
    other kinds drawn here from the core's symbols."""
    pictures = _Results(len(group))
    for is_png in (True, False):
        offsets = [offset for offset, index in enumerate(group) if (kinds[index] == "png") is is_png]
        if not offsets:
            continue

        def draw_one(k: int, symbol: AztecSymbol) -> bytes:
            return draw(group[offsets[k]], symbol)

        part = [items[group[offset]] for offset in offsets]
        if is_png and settings is not None:
            pictures.put(offsets, plan.pictures(part, workers, settings, draw_one))
        else:
            pictures.put(offsets, plan.symbols(part, workers).drawn(draw_one))
    return pictures


def _stage_group(group: range, names: Sequence[PathName], pictures: "_Results") -> Tuple[List[Any], List[bool]]:
    """The files of ``group`` staged here, in order (or the error of each
    that failed); none is left behind should the batch stop."""
    made: List[Any] = list(pictures.results)
    failed = list(pictures.failed)
    staged: List[files.Staged] = []
    try:
        for offset, index in enumerate(group):
            if failed[offset]:
                continue
            try:
                made[offset] = files.stage(os.fspath(names[index]), made[offset])
                staged.append(made[offset])
            except Exception as error:  # noqa: BLE001 - kept in its place
                made[offset], failed[offset] = error, True
    except BaseException:
        for item in staged:
            item.discard()
        raise
    return made, failed


def _commit_group(made: List[Any], failed: List[bool], durable: bool) -> List[Optional[Exception]]:
    """Syncs and renames a staged group together: the error of each file,
    None where it was written."""
    found: List[Optional[Exception]] = [made[offset] if bad else None for offset, bad in enumerate(failed)]
    good = [offset for offset, bad in enumerate(failed) if not bad]
    try:
        for offset, error in zip(good, files.commit_each([made[offset] for offset in good], durable)):
            found[offset] = error
    finally:
        for offset in good:
            made[offset].discard()  # a no-op for the files in place
    return found


def save_sequence(symbols: Sequence[AztecSymbol], pattern: Union[str, Sequence[PathName]], *,
                  kind: Optional[str] = None, **options: Any) -> List[PathName]:
    """Writes symbols that belong together, such as the parts of a
    :func:`make_sequence`, each to its file: all of them or none.

    ``pattern`` is a ``str`` with a ``{position}`` field, filled with each
    symbol's position from 1 (``"ticket-{position}.png"``), or a sequence
    of file names, one per symbol.  ``kind`` and ``options`` are
    :meth:`AztecSymbol.save`'s.  Every picture is made, then each is written
    to a temporary file beside its target, and only when all are written
    and synced are they renamed into place: on any failure (a file that may
    not be replaced, a full disk) no file has changed, so a reader never
    joins the parts of two sequences.  Returns the file names.
    """
    symbols = list(symbols)
    names = _file_names(pattern, len(symbols), field="position", first=1, items="symbols")
    documents = [(os.fspath(name), _picture(symbol, name, kind, options)) for symbol, name in zip(symbols, names)]
    files.write_files(documents)
    return list(names)


def _picture(symbol: AztecSymbol, name: PathName, kind: Optional[str], options: Dict[str, Any]) -> bytes:
    """The bytes :meth:`AztecSymbol.save` writes to the file ``name``."""
    return files.as_bytes(writers.render(writers.kind_of(name, kind), symbol.modules, symbol.size, **options))


def render_many(messages: Iterable[Data], kind: str = "png", *, threads: Optional[int] = None,
                errors: str = "raise", as_arrow: bool = False, **options: Any) -> Any:
    """The picture of each message, as bytes, in order: what
    ``make(message, **make_options).save(stream, kind=kind, **picture_options)``
    would write, without a symbol object per message.

    ``messages`` is any iterable of ``str`` or bytes, a pandas Series of
    them, or a pyarrow string or binary array.  ``kind`` (default
    ``"png"``) is any kind :meth:`AztecSymbol.save` writes; text kinds
    (SVG, EPS, ...) come back as their UTF-8 bytes.  PNG files are drawn by
    the core's threads as they make the symbols, with the interpreter lock
    released; the other kinds are drawn by their writers from the core's
    symbols.  The keyword ``options`` are :func:`make`'s and the kind's
    writer's, checked once before any message is made; ``threads`` and
    ``errors`` are as for :func:`make_many`.

    ``as_arrow=True`` returns a pyarrow binary array instead of a list (a
    failed message is null there with ``errors="return"``), which a Spark
    pandas or Arrow UDF can hand back as it is.
    """
    items = _message_list(messages)
    kind = writers.check_kind(kind)
    _check_errors(errors)
    make_options, picture_options = _split_options(options, "render_many")
    probe = _probe(make_options)
    writers.render(kind, probe.modules, probe.size, **picture_options)  # the writer's own checks, once
    workers = _thread_count(threads, len(items))
    plan = _Plan(make_options)

    def draw(_: int, symbol: AztecSymbol) -> bytes:
        return files.as_bytes(writers.render(kind, symbol.modules, symbol.size, **picture_options))

    settings = writers.raster.png_settings(probe.size, **picture_options) if kind == "png" else None
    made: List[Any] = []
    failed: List[bool] = []
    for start in range(0, len(items), _SLICE):
        part = items[start:start + _SLICE]
        drawn = (plan.pictures(part, workers, settings, draw) if settings is not None
                 else plan.symbols(part, workers).drawn(draw))
        made += drawn.results
        failed += drawn.failed
    results = _finish(made, failed, errors)
    return _as_arrow(results, failed) if as_arrow else results


def _message_list(messages: Iterable[Data]) -> List[Any]:
    """The messages as a list: a pyarrow array's values as Python objects
    (bytes or str, None for a null), anything else as it iterates."""
    to_pylist = getattr(messages, "to_pylist", None)
    if callable(to_pylist) and type(messages).__module__.startswith("pyarrow"):
        return to_pylist()
    return list(messages)


def _as_arrow(results: List[Any], failed: List[bool]) -> Any:
    try:
        import pyarrow
    except ImportError:
        raise ImportError("as_arrow=True needs pyarrow: pip install pyarrow") from None
    return pyarrow.array([None if bad else picture for picture, bad in zip(results, failed)],
                         type=pyarrow.binary())


def _split_options(options: Dict[str, Any], caller: str) -> Tuple[Dict[str, Any], Dict[str, Any]]:
    """Keyword ``options`` split into :func:`make`'s and the writers'."""
    unknown = [name for name in options if name not in MAKE_OPTIONS and name not in _PICTURE_OPTIONS]
    if unknown:
        raise TypeError(f"{caller}() takes no option {unknown[0]!r}: neither make() nor any picture writer has it")
    make_options = {name: value for name, value in options.items() if name in MAKE_OPTIONS}
    picture_options = {name: value for name, value in options.items() if name in _PICTURE_OPTIONS}
    return make_options, picture_options


def check_save(names: Sequence[PathName], kind: Optional[str],
               options: Dict[str, Any]) -> Tuple[Dict[str, Any], Dict[str, Any]]:
    """:func:`save_many`'s keyword ``options`` split into :func:`make`'s and
    the writers', once it is known that nothing in them or in the folders
    of ``names`` fails every file (see :func:`save_many`)."""
    make_options, picture_options = _split_options(options, "save_many")
    probe = _probe(make_options)
    # Each kind the names ask for is drawn once from the probe, with the
    # writer's own checks.
    for picture_kind in {writers.kind_of(name, kind) for name in names}:
        probe.save(io.BytesIO(), kind=picture_kind, **picture_options)
    _check_folders(names)
    return make_options, picture_options


# ---------------------------------------------------------------------------
# Many messages with one set of options, in one crossing into the core


class _Results:
    """A batch's results in order (the exception in place of each that
    failed), and which of them failed."""

    def __init__(self, count: int) -> None:
        self.results: List[Any] = [None] * count
        self.failed = [False] * count

    def fail(self, place: int, error: Exception) -> None:
        self.results[place], self.failed[place] = error, True

    def put(self, places: Sequence[int], part: "_Results") -> None:
        """``part``'s results, in the places they stand for here."""
        for place, result, bad in zip(places, part.results, part.failed):
            self.results[place], self.failed[place] = result, bad

    def drawn(self, draw: Callable[[int, AztecSymbol], bytes]) -> "_Results":
        """The pictures draw(place, symbol) makes of the symbols, on this
        thread, each failure in its place."""
        pictures = _Results(len(self.results))
        for place, (symbol, bad) in enumerate(zip(self.results, self.failed)):
            if bad:
                pictures.fail(place, symbol)
                continue
            try:
                pictures.results[place] = draw(place, symbol)
            except Exception as error:  # noqa: BLE001 - kept in its place
                pictures.fail(place, error)
        return pictures


class _Orders:
    """A slice's messages as the core takes them: each prepared one's
    bytes, ECI number, flags and (optimal=False) stream, its place in the
    slice, and the content and stream make() words a refusal from."""

    def __init__(self) -> None:
        self.everyone = False  # every message of the slice, in its place
        self.flagged = self.streamed = False  # whether any message has flags, a stream
        self.places: List[int] = []
        self.messages: List[Union[bytes, str]] = []  # bytes, or ASCII text the core takes as its bytes
        self.ecis: List[Optional[int]] = []
        self.flags: List[Any] = []
        self.streams: List[Optional[Tuple[bytes, int]]] = []
        self.contents: List[Optional[Content]] = []  # None: the message alone, unmarked
        self.made_streams: List[Optional[Stream]] = []

    def add(self, place: int, message: bytes, content: Optional[Content] = None,
            stream: Optional[Stream] = None) -> None:
        leading = content is None or content.leading_eci_only()
        self.places.append(place)
        self.messages.append(message)
        self.ecis.append(content.eci if content is not None and leading else None)
        self.flags.append(None if leading else content.flags)  # type: ignore[union-attr]
        self.streams.append(None if stream is None else packed(stream))
        self.flagged = self.flagged or not leading
        self.streamed = self.streamed or stream is not None
        self.contents.append(content)
        self.made_streams.append(stream)

    def take_all(self, messages: List[Union[bytes, str]]) -> None:
        """Every message, as it is and unmarked, in its place."""
        nothing: List[Any] = [None] * len(messages)
        self.everyone = True
        self.places, self.messages = range(len(messages)), messages  # type: ignore[assignment]
        self.ecis = self.flags = self.streams = self.contents = self.made_streams = nothing

    def arguments(self) -> Dict[str, Any]:
        """make_list's and render_list's arguments for these messages."""
        return {"flags": self.flags if self.flagged else None, "streams": self.streams if self.streamed else None}


class _Plan:
    """make() for many messages with the same options (already checked):
    each message is prepared on the calling thread as make() prepares it
    (its bytes and ECI number by the charset policy, segments joined, GS1
    data checked, the search encoder's stream for optimal=False), its error
    kept in its place; then the whole slice is made in one call on the
    core's threads.  A message that no allowed symbol holds gets make()'s
    worded DataOverflowError, here, from its content."""

    def __init__(self, options: Dict[str, Any]) -> None:
        self.gs1 = options.get("gs1", False)
        self.optimal = options.get("optimal", True)
        self.verify = options.get("verify", False) is True
        self.encoding = options.get("encoding")
        self.eci, self.allowed = check_options(options.get("eci"), self.gs1, options.get("reader_init", False),
                                               options.get("ec_percent", DEFAULT_EC_PERCENT), options.get("compact"),
                                               options.get("layers"), self.optimal)
        # Bytes and ASCII text are then written as they are: no Python work.
        self.plain = self.eci is None and self.encoding is None and self.gs1 is False and self.optimal is True

    def symbols(self, items: Sequence[object], threads: int) -> _Results:
        """The symbols of ``items``, each with what it was made from."""
        results, orders = self._prepared(items)
        made = _aztec.make_list(orders.messages, orders.ecis, threads=threads, **orders.arguments(),
                                **self.allowed.options())
        self._store(results, orders, made, AztecSymbol)
        if self.verify:
            for place, (symbol, bad) in enumerate(zip(results.results, results.failed)):
                try:
                    if not bad:
                        symbol.verify()
                except Exception as error:  # noqa: BLE001 - kept in its place
                    results.fail(place, error)
        return results

    def pictures(self, items: Sequence[object], threads: int,
                 settings: Tuple[int, int, Optional[bytes], Optional[int]],
                 draw: Callable[[int, AztecSymbol], bytes]) -> _Results:
        """The PNG files of ``items`` with :func:`png_settings`'s
        ``settings``, drawn by the core's threads as they make the symbols
        (or, with verify, from the symbols once verified).  A picture the
        core refuses (too wide) is drawn by draw(place, symbol) here, whose
        writer words the refusal."""
        if self.verify:
            return self.symbols(items, threads).drawn(draw)
        results, orders = self._prepared(items)
        scale, border, colours, pixels_per_metre = settings
        made = _aztec.render_list(orders.messages, orders.ecis, threads=threads, scale=scale, border=border,
                                  colours=colours, pixels_per_metre=pixels_per_metre, max_side=writers.MAX_PIXELS,
                                  **orders.arguments(), **self.allowed.options())
        self._store(results, orders, made, bytes)
        refused = [place for place, result in enumerate(results.results) if type(result) is ValueError]
        if refused:
            again = self.symbols([items[place] for place in refused], 1)
            results.put(refused, again.drawn(lambda k, symbol: draw(refused[k], symbol)))
        return results

    def _prepared(self, items: Sequence[object]) -> Tuple[_Results, _Orders]:
        """The orders of ``items``, and the errors of those make() refuses
        before encoding them, in place."""
        results = _Results(len(items))
        orders = _Orders()
        if self.plain and _all_plain(items):
            orders.take_all(list(items))  # type: ignore[arg-type]  # most batches
            return results, orders
        for place, data in enumerate(items):
            message = _plain_bytes(data) if self.plain else None
            if message is not None and 0 < len(message) <= MOST_MESSAGE_BYTES:
                orders.add(place, message)
                continue
            try:
                content = checked_content(data, self.eci, self.encoding, self.gs1, self.allowed, self.optimal)
                stream = None if self.optimal else content_stream(content, False)
            except Exception as error:  # noqa: BLE001 - kept in its place
                results.fail(place, error)
                continue
            orders.add(place, content.message, content, stream)
        return results, orders

    def _store(self, results: _Results, orders: _Orders, made: List[Any], kind: type) -> None:
        """The core's results of ``orders`` (each a ``kind`` where it was
        made) in their places: a refusal for want of room worded as make()
        words it."""
        bad: List[int] = []
        # Failures are few: looked for one by one only when the results are
        # not all made, which a count of their types tells at C speed.
        if list(map(type, made)).count(kind) != len(made):
            bad = [k for k, result in enumerate(made) if result is None or type(result) is ValueError]
        if orders.everyone:
            results.results = made
        else:
            for place, result in zip(orders.places, made):
                results.results[place] = result
        for k in bad:
            error = made[k]
            if error is None:
                content = orders.contents[k]
                if content is None:  # a message taken as it is: bytes, or ASCII text
                    content = single(_plain_bytes(orders.messages[k]), None)  # type: ignore[arg-type]
                error = overflow(content, orders.made_streams[k], self.allowed, self.optimal)
            results.fail(orders.places[k], error)


def _all_plain(items: Sequence[object]) -> bool:
    """Whether every message is bytes, or every one ASCII text, of 1 to
    MOST_MESSAGE_BYTES bytes: the core takes such a batch as it is (text
    as its bytes).  Told at C speed, a pass or two over the list."""
    if not items:
        return False
    kinds = set(map(type, items))
    if kinds == {str}:
        if not all(map(str.isascii, items)):  # type: ignore[arg-type]
            return False
    elif kinds != {bytes}:
        return False
    return 0 < min(map(len, items)) and max(map(len, items)) <= MOST_MESSAGE_BYTES  # type: ignore[arg-type]


def _plain_bytes(data: object) -> Optional[bytes]:
    """The bytes of a message that needs no ECI designator, as make()
    writes it (bytes as they are, ASCII text); None for any other message."""
    if type(data) is bytes:
        return data
    if type(data) is str and data.isascii():
        return data.encode("ascii")
    return None


# ---------------------------------------------------------------------------
# Options and names


def _probe(options: dict) -> AztecSymbol:
    """make()'s keyword ``options`` checked once for a batch, by making the
    least message with them."""
    # One letter is about the least any message takes (make refuses an empty
    # one), and (20)00 the least GS1 data, so an error here comes from the
    # options themselves and would fail every message alike.  encoding=
    # applies to text only.
    if options.get("gs1"):
        return make("(20)00", **options)
    return make("A" if options.get("encoding") is not None else b"A", **options)


def _check_folders(names: Sequence[PathName]) -> None:
    """Refuses names whose folder is missing, is not a folder or cannot be
    written: every file there would fail alike, so the batch is refused
    rather than each file.  A folder that changes once the batch runs fails
    its files one by one."""
    by_folder: Dict[str, List[str]] = {}
    for name in names:
        path = os.fspath(name)
        by_folder.setdefault(os.path.dirname(path), []).append(path)
    for folder, paths in by_folder.items():
        where = folder or os.curdir
        try:
            found = os.stat(where)
        except FileNotFoundError:
            raise FileNotFoundError(errno.ENOENT, "no such folder (folders are not created)", where) from None
        except OSError as error:  # a part of the path is a file, a loop, no search permission...
            raise type(error)(error.errno, error.strerror, where) from None
        if not stat.S_ISDIR(found.st_mode):
            raise NotADirectoryError(errno.ENOTDIR, "not a folder", where)
        if not _can_write_in(where) and any(_needs_new_file(path) for path in paths):
            raise PermissionError(errno.EACCES, "cannot write in this folder", where)


def _can_write_in(folder: str) -> bool:
    # Asked only where the system checks the ids this process writes with:
    # elsewhere (Windows) access() says nothing sure about folders.
    return os.access not in os.supports_effective_ids or os.access(folder, os.W_OK | os.X_OK, effective_ids=True)


def _needs_new_file(path: str) -> bool:
    """Whether writing ``path`` makes a file in its own folder: a new or
    regular file is replaced through a temporary file there, while a
    symbolic link is written in its target's folder and a device in place."""
    try:
        return stat.S_ISREG(os.lstat(path).st_mode)
    except OSError:
        return True


def _thread_count(threads: Optional[int], count: int) -> int:
    if threads is None:
        cores = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
        threads = cores or 1
    else:
        threads = as_int("threads", threads)
        if threads < 1:
            raise InvalidOptionError(f"threads is at least 1, not {threads}")
    # More than the core's batches run on (even on a host with more CPUs)
    # would only cost threads that wait.
    return max(1, min(threads, _aztec.MAX_THREADS, (count + _CHUNK - 1) // _CHUNK))


def _file_names(pattern: Union[str, Sequence[PathName]], count: int, field: str = "index", first: int = 0,
                items: str = "messages") -> Sequence[PathName]:
    """The file names of ``count`` items: ``pattern`` filled with each
    one's ``field`` (from ``first``), or the names it lists.  Refuses two
    items given one name (a later file would replace an earlier one)."""
    if isinstance(pattern, str):
        if "{" + field not in pattern:
            raise InvalidOptionError(
                f"the file name pattern {pattern!r} has no {{{field}}} field, so every file would get the same name")
        names: List[PathName] = [pattern.format(**{field: first + i}) for i in range(count)]
    elif isinstance(pattern, (bytes, os.PathLike)) or not isinstance(pattern, Sequence):
        raise TypeError(f"pattern is a str with an {{{field}}} field or a sequence of file names, "
                        f"not {type(pattern).__name__}")
    else:
        names = list(pattern)
        if len(names) != count:
            raise InvalidOptionError(f"{count} {items} need {count} file names, not {len(names)}")
    seen: Dict[str, int] = {}
    for i, name in enumerate(names):
        earlier = seen.setdefault(os.path.abspath(os.fspath(name)), i)
        if earlier != i:
            raise InvalidOptionError(f"{items} {first + earlier} and {first + i} would both be written to "
                                     f"{os.fspath(name)!r}, the later replacing the earlier")
    return names


def _check_errors(errors: str) -> None:
    if errors not in ("raise", "return"):
        raise InvalidOptionError(f'errors is "raise" or "return", not {errors!r}')


# ---------------------------------------------------------------------------
# Results


def _finish(results: List[Any], failed: List[bool], errors: str) -> List[Any]:
    if errors == "raise" and any(failed):
        _raise_failures(results, failed)
    return results


def _raise_failures(results: List[Any], failed: List[bool]) -> None:
    indices = [i for i, bad in enumerate(failed) if bad]
    first = results[indices[0]]
    others = f" (and {len(indices) - 1} more)" if len(indices) > 1 else ""
    raise BatchError(f"message {indices[0]} failed{others}: {type(first).__name__}: {first}",
                     indices[0], indices, results) from first


# ---------------------------------------------------------------------------
# One shape for a batch


def common_shape(messages: Iterable[Data], *, threads: Optional[int] = None,
                 **options: Any) -> Optional[Tuple[bool, int]]:
    """(compact, layers) of the smallest shape, among those :func:`make`'s
    ``options`` allow, at least as large as each message's own smallest
    symbol; None when no message can be made.  The messages are made a
    slice at a time and not kept, so any number of them takes bounded
    memory (the command line's ``--same-size`` passes the shape on)."""
    items = list(messages)
    _probe(options)
    shapes = _shapes(options)
    most = -1
    for start in range(0, len(items), _SLICE):
        made, failed = _made(items[start:start + _SLICE], threads, options)
        most = max(most, _largest_shape(made, failed, shapes))
    return None if most < 0 else shapes[most]


def _shapes(options: Dict[str, Any]) -> List[Tuple[bool, int]]:
    """Every (compact, layers) the options allow, smallest first."""
    _, allowed = check_options(options.get("eci"), options.get("gs1", False), options.get("reader_init", False),
                               options.get("ec_percent", DEFAULT_EC_PERCENT), options.get("compact"),
                               options.get("layers"), options.get("optimal", True))
    return allowed.shapes()


def _largest_shape(made: List[Any], failed: List[bool], shapes: List[Tuple[bool, int]]) -> int:
    """The place in ``shapes`` of the largest symbol made; -1 for none."""
    return max((shapes.index((symbol.compact, symbol.layers)) for symbol, bad in zip(made, failed) if not bad),
               default=-1)


def _to_one_shape(items: List[Any], made: List[Any], failed: List[bool], threads: Optional[int],
                  options: Dict[str, Any]) -> None:
    """Remakes, in place, the symbols made smaller than the largest one at
    its shape.  A message that needs more room at that shape than at its
    own smaller one (its stream can stuff differently in wider codewords)
    moves the whole batch to the next shape."""
    shapes = _shapes(options)
    first = _largest_shape(made, failed, shapes)
    good = [i for i, bad in enumerate(failed) if not bad]
    for place in range(max(first, 0), len(shapes)):
        shape = shapes[place]
        redo = [i for i in good if (made[i].compact, made[i].layers) != shape]
        remade, refailed = _made([items[i] for i in redo], threads, {**options, "compact": shape[0],
                                                                      "layers": shape[1]})
        if not any(refailed) or place == len(shapes) - 1:
            for index, symbol, bad in zip(redo, remade, refailed):
                made[index], failed[index] = symbol, bad
            return
