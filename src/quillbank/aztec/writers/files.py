"""Writing finished documents to files and streams, never losing a file.

A file name is written through a temporary file in the same folder, flushed
and synced to disk, then renamed onto the target in one step: on any
failure only the temporary file is removed, and a file that was there is
left byte for byte as it was.  A target that is not a regular file (a
device, a FIFO, ``/dev/stdout``) is written directly and never removed.
Every write error names the file.
"""

from __future__ import annotations

import errno
import io
import os
import stat
from typing import IO, Any, Union

Target = Union[str, "os.PathLike[str]", IO[Any]]


def is_path(target: object) -> bool:
    """Whether a save target is a file name; refuses what is neither a file
    name nor a stream with TypeError."""
    if isinstance(target, (str, os.PathLike)):
        if isinstance(os.fspath(target), bytes):
            raise TypeError("a file name is a str or an os.PathLike of str, not bytes")
        return True
    if callable(getattr(target, "write", None)):
        return False
    raise TypeError(f"save to a file name (str or os.PathLike) or a writable stream, not {type(target).__name__}")


def write_document(target: Target, document: Union[str, bytes]) -> None:
    """Writes a finished document (text as UTF-8) to a file name or stream."""
    if is_path(target):
        data = document.encode("utf-8") if isinstance(document, str) else document
        write_file(os.fspath(target), data)  # type: ignore[arg-type]
    else:
        write_stream(target, document)  # type: ignore[arg-type]


def write_stream(stream: IO[Any], document: Union[str, bytes]) -> None:
    """Writes all of a document to a stream, retrying short writes.  A text
    stream (one that refuses bytes) takes a text document as str."""
    if isinstance(document, str):
        if isinstance(stream, io.TextIOBase):
            _write_all(stream, document)
            return
        try:
            _write_all(stream, document.encode("utf-8"))
        except TypeError:
            _write_all(stream, document)  # a text stream of its own kind
        return
    if isinstance(stream, io.TextIOBase):
        raise TypeError("this picture is binary: save it to a binary stream (open(..., 'wb'), io.BytesIO)")
    _write_all(stream, document)


def _write_all(stream: IO[Any], data: Union[str, bytes]) -> None:
    """Raw streams may take part of a write; keep going until all is taken.
    A raw stream that would block (None) or a stream that takes nothing is
    an error, so a short write is never mistaken for success.  A file-like
    object that is not a raw stream and answers with no count (as many web
    frameworks' responses do) has taken it all."""
    view: Union[str, memoryview] = data if isinstance(data, str) else memoryview(data)
    total, done = len(data), 0
    raw = isinstance(stream, io.RawIOBase)
    while done < total:
        taken = stream.write(view[done:])
        if not raw and (taken is None or isinstance(taken, bool) or not isinstance(taken, int)):
            break
        if taken is None or taken <= 0:
            name = getattr(stream, "name", None)
            where = f" {name!r}" if isinstance(name, (str, int)) else ""
            raise BlockingIOError(errno.EAGAIN, f"the stream{where} took {done} of {total} bytes and takes no more")
        done += taken
    flush = getattr(stream, "flush", None)
    if callable(flush):
        flush()


def write_file(path: str, data: bytes) -> None:
    """Writes a file in full or not at all (see the module's note)."""
    real = os.path.realpath(path)  # write through a symbolic link, keep the link
    try:
        existing = os.stat(real)
    except FileNotFoundError:
        existing = None
    except OSError as error:
        raise _named(error, path) from None
    if existing is not None and not stat.S_ISREG(existing.st_mode):
        _write_in_place(path, data)
    else:
        _replace(path, real, data, existing)


def _write_in_place(path: str, data: bytes) -> None:
    try:
        with open(path, "wb", buffering=0) as stream:
            _write_all(stream, data)
    except OSError as error:
        raise _named(error, path) from None


def _replace(path: str, real: str, data: bytes, existing: "os.stat_result | None") -> None:
    folder, name = os.path.split(real)
    mode = stat.S_IMODE(existing.st_mode) if existing is not None else 0o666  # the umask applies to new files
    temporary, fd = _create_temporary(folder or ".", name, mode, path)
    try:
        try:
            if existing is not None:
                os.chmod(temporary, mode)  # exactly the old file's mode, whatever the umask
            with open(fd, "wb", buffering=0, closefd=True) as stream:
                _write_all(stream, data)
                os.fsync(stream.fileno())
            os.replace(temporary, real)
        except BaseException:
            try:
                os.unlink(temporary)  # only the file made here
            except OSError:
                pass
            raise
    except OSError as error:
        raise _named(error, path) from None
    _sync_folder(folder or ".")


def _create_temporary(folder: str, name: str, mode: int, path: str) -> "tuple[str, int]":
    flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_BINARY", 0) | getattr(os, "O_CLOEXEC", 0)
    for _ in range(100):
        temporary = os.path.join(folder, f".{name}.{os.urandom(4).hex()}.tmp")
        try:
            return temporary, os.open(temporary, flags, mode)
        except FileExistsError:
            continue
        except OSError as error:
            raise _named(error, path) from None
    raise _named(FileExistsError(errno.EEXIST, "no free temporary name"), path)


def _sync_folder(folder: str) -> None:
    """Makes the rename itself durable where the system allows it."""
    try:
        fd = os.open(folder, os.O_RDONLY | getattr(os, "O_DIRECTORY", 0))
    except OSError:
        return
    try:
        os.fsync(fd)
    except OSError:
        pass
    finally:
        os.close(fd)


def _named(error: OSError, path: str) -> OSError:
    """The error with the user's file name in it (same errno, same class)."""
    if error.filename == path:
        return error
    code = error.errno if error.errno is not None else errno.EIO
    return OSError(code, error.strerror or str(error), path)
