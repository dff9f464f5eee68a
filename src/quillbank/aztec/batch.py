"""Many symbols at once: make_many() and save_many() spread the work over threads.

    >>> from quillbank.aztec import make_many, save_many
    >>> symbols = make_many(["first", "second", "third"])
    >>> save_many(["first", "second"], "out/{index}.png")

make_many() makes its symbols in the C++ core on threads of the core's own,
the interpreter lock released for all of them; save_many() and the options
the core does not take in one call spread over Python threads, each symbol's
C++ work again without the lock.  Nothing is shared between calls, and the
results come back in the order of the messages.
"""

from __future__ import annotations

import errno
import io
import itertools
import os
import stat
import threading
from typing import Any, Callable, Dict, Iterable, List, Optional, Sequence, Tuple, Union

from . import writers
from .builder import Data, _Batch, make
from .errors import AztecError, InvalidOptionError
from .symbol import AztecSymbol

__all__ = ["make_many", "save_many", "BatchError"]

PathName = Union[str, "os.PathLike[str]"]

# Messages a Python thread takes at a time: enough to make the hand-over
# cheap next to a symbol (about 10 us), few enough to keep the threads
# evenly loaded.  Also the fewest messages worth a thread of their own.
_CHUNK = 32

# Messages make_many sends to the core in one call: enough that waking its
# helper threads and the work around a call cost little next to the
# symbols, few enough that the copies of the messages it takes stay small.
# (The core stops at Ctrl-C as it goes.)
_SLICE = 8192

# The keyword options save_many hands to make(), and those it hands to the
# writers: any that one of the writers takes (svgz takes svg's).
_MAKE_OPTIONS = frozenset(make.__kwdefaults__ or ())
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


def make_many(messages: Iterable[Data], *, threads: Optional[int] = None, errors: str = "raise",
              **options: Any) -> List[Any]:
    """Makes a symbol for each message, as :func:`make` would one by one.

    ``messages`` is any iterable of ``str`` or bytes; the symbols come back
    as a list in the same order.  ``options`` are :func:`make`'s keyword
    options (``eci``, ``ec_percent``, ``compact``, ``layers``, ``optimal``)
    and apply to every message.  ``threads`` (default None: one per core
    this process may run on) is the number of threads that share the work.

    ``errors`` says what a message that cannot be made does to the batch:
    with ``"raise"`` (the default) every message is still made, then a
    :class:`BatchError` names the first failing index and carries all the
    results; with ``"return"`` the list holds the exception object in place
    of each failed symbol.  Options that are wrong for every message (an
    ``ec_percent`` of 200, an unknown keyword) raise InvalidOptionError or
    TypeError at once, before any message is made.  Ctrl-C stops a batch
    part way with KeyboardInterrupt (the core's threads stop with it).
    """
    items = list(messages)
    _check_options(options)
    _check_errors(errors)
    workers = _thread_count(threads, len(items))
    batch = _Batch.of(options)
    if batch is None:
        results, failed = _tasks(len(items), lambda i: make(items[i], **options), workers)
        return _finish(results, failed, errors)
    made: List[Any] = []
    for start in range(0, len(items), _SLICE):
        made.extend(batch.make(items[start:start + _SLICE], workers))
    # make() makes (or refuses) alone the messages the core left out.
    left = [i for i, symbol in enumerate(made) if symbol is None]
    failed = [False] * len(items)
    if left:
        redone, redone_failed = _tasks(len(left), lambda k: make(items[left[k]], **options),
                                       _thread_count(threads, len(left)))
        for index, result, bad in zip(left, redone, redone_failed):
            made[index], failed[index] = result, bad
    return _finish(made, failed, errors)


def save_many(messages: Iterable[Data], pattern: Union[str, Sequence[PathName]], *,
              threads: Optional[int] = None, errors: str = "raise", kind: Optional[str] = None,
              **options: Any) -> List[Any]:
    """Makes a symbol for each message and writes it to a file.

    ``pattern`` is either a ``str`` with an ``{index}`` field, filled with
    each message's position (``"out/{index}.png"``, ``"label-{index:05d}.svg"``),
    or a sequence of file names, one per message.  ``kind`` (default None:
    each file name's extension) and the picture options are
    :meth:`AztecSymbol.save`'s: ``scale``, ``border``, ``dark``, ``light``,
    ``module_size``, ``unit``, ``dpi``, ``title``, ... as each kind's writer
    takes them, with the writer's defaults.  The other keyword options are
    :func:`make`'s.  ``threads`` and ``errors`` are as for :func:`make_many`.

    What would fail every file raises before any file is written: options
    wrong for a kind the names ask for (a name that is neither .svg nor .png
    without ``kind``, a scale of 0, a ``title`` for a PNG) raise
    InvalidOptionError or TypeError; a folder the names go to that does not
    exist, is not a folder or cannot be written raises FileNotFoundError,
    NotADirectoryError or PermissionError naming it, whatever ``errors``
    says.  Each distinct folder is looked at once; folders are not created.

    Returns the file names written, in order (with the exception in place of
    each failed message when ``errors="return"``).  Every file is written in
    full or not at all: a batch that is interrupted (Ctrl-C) stops taking
    messages, lets the files being written finish and raises, leaving only
    complete files.
    """
    items = list(messages)
    names = _file_names(pattern, len(items))
    make_options, picture_options = check_save(names, kind, options)

    def save_one(index: int) -> PathName:
        make(items[index], **make_options).save(names[index], kind=kind, **picture_options)
        return names[index]

    return _run(len(items), save_one, threads, errors)


def check_save(names: Sequence[PathName], kind: Optional[str],
               options: Dict[str, Any]) -> Tuple[Dict[str, Any], Dict[str, Any]]:
    """:func:`save_many`'s keyword ``options`` split into :func:`make`'s and
    the writers', once it is known that nothing in them or in the folders
    of ``names`` fails every file (see :func:`save_many`)."""
    unknown = [name for name in options if name not in _MAKE_OPTIONS and name not in _PICTURE_OPTIONS]
    if unknown:
        raise TypeError(f"save_many() takes no option {unknown[0]!r}: neither make() nor any picture writer has it")
    make_options = {name: value for name, value in options.items() if name in _MAKE_OPTIONS}
    picture_options = {name: value for name, value in options.items() if name in _PICTURE_OPTIONS}
    probe = _check_options(make_options)
    # Each kind the names ask for is drawn once from the probe, with the
    # writer's own checks.
    for picture_kind in {writers.kind_of(name, kind) for name in names}:
        probe.save(io.BytesIO(), kind=picture_kind, **picture_options)
    _check_folders(names)
    return make_options, picture_options


# ---------------------------------------------------------------------------
# Options and names


def _check_options(options: dict) -> AztecSymbol:
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
    elif isinstance(threads, bool) or not isinstance(threads, int):
        raise TypeError(f"threads is an int or None, not {type(threads).__name__}")
    elif threads < 1:
        raise InvalidOptionError(f"threads is at least 1, not {threads}")
    return max(1, min(threads, (count + _CHUNK - 1) // _CHUNK))


def _file_names(pattern: Union[str, Sequence[PathName]], count: int) -> Sequence[PathName]:
    if isinstance(pattern, str):
        if "{index" not in pattern:
            raise InvalidOptionError(
                f"the file name pattern {pattern!r} has no {{index}} field, so every file would get the same name")
        return [pattern.format(index=i) for i in range(count)]
    if isinstance(pattern, (bytes, os.PathLike)) or not isinstance(pattern, Sequence):
        raise TypeError(f"pattern is a str with an {{index}} field or a sequence of file names, "
                        f"not {type(pattern).__name__}")
    names = list(pattern)
    if len(names) != count:
        raise InvalidOptionError(f"{count} messages need {count} file names, not {len(names)}")
    paths = [os.path.abspath(os.fspath(name)) for name in names]
    if len(set(paths)) != len(paths):
        raise InvalidOptionError("the file names repeat, so a later file would replace an earlier one")
    return names


def _check_errors(errors: str) -> None:
    if errors not in ("raise", "return"):
        raise InvalidOptionError(f'errors is "raise" or "return", not {errors!r}')


# ---------------------------------------------------------------------------
# Running


def _run(count: int, task: Callable[[int], Any], threads: Optional[int], errors: str) -> List[Any]:
    """task(i) for i in range(count) over threads, results in order, with
    the failures raised or returned as ``errors`` says."""
    _check_errors(errors)
    results, failed = _tasks(count, task, _thread_count(threads, count))
    return _finish(results, failed, errors)


def _tasks(count: int, task: Callable[[int], Any], workers: int) -> Tuple[List[Any], List[bool]]:
    """Runs task(i) for i in range(count) on ``workers`` threads: the
    results in order, and which of them failed.

    An Exception from a task takes that task's place in the results; any
    other BaseException (KeyboardInterrupt, SystemExit) stops every thread
    after the task it is on and is raised again here.
    """
    results: List[Any] = [None] * count
    failed = [False] * count
    # Chunks small enough that every thread gets several: the last ones
    # then end close together.
    chunk = max(1, min(_CHUNK, count // (4 * workers)))
    chunks = itertools.count()  # next() on it is atomic: the threads share it
    stop = threading.Event()

    def work() -> None:
        while not stop.is_set():
            start = next(chunks) * chunk
            if start >= count:
                return
            for index in range(start, min(start + chunk, count)):
                if stop.is_set():
                    return
                try:
                    results[index] = task(index)
                except Exception as error:  # noqa: BLE001 - kept in its place
                    results[index] = error
                    failed[index] = True
                except BaseException:
                    stop.set()
                    raise

    if workers == 1:
        work()
    else:
        # Imported here: concurrent.futures brings logging along, a good
        # part of what the first make_many in a process took.
        from concurrent.futures import ThreadPoolExecutor

        with ThreadPoolExecutor(max_workers=workers, thread_name_prefix="aztec-batch") as pool:
            futures = [pool.submit(work) for _ in range(workers)]
            try:
                for future in futures:
                    future.result()
            except BaseException:
                stop.set()  # the others finish the message they are on; the pool waits for them
                raise
    return results, failed


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
