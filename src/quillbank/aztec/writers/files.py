"""Writing finished documents to files and streams, never losing a file.

A file name is written through a temporary file in the same folder, synced
to disk, then renamed onto the target in one step: on any failure only the
temporary file is removed, and a file that was there is left byte for byte
as it was.  A target that is not a regular file (a device, a FIFO,
``/dev/stdout``) is written directly and never removed.  Every write error
names the file.

A file that is there is replaced only if this process could write it in
place, as ``echo new > file`` could: a file without write permission for
the process (mode 444 for a user other than root) or an immutable one is
refused with PermissionError before anything is written.  The new file
keeps the old one's mode, and its owner and group where the process may set
them (only root gives a file another owner; a user may give it a group it
belongs to).  A file with more than one hard link is refused (OSError
EMLINK): replacing it would cut it off from its other names, and writing it
in place could leave it half written.  A name ending in a separator is a
folder, never a file (IsADirectoryError).

:func:`write_files` writes documents that belong together (the symbols of
one sequence) all or nothing: each goes to its temporary file first, and
the temporary files are renamed into place only when every one is written
and synced.  Should a rename still fail, the files renamed before it are
put back, from a second name (a hard link) each old file has until all are
renamed; where the file system has no hard links, the new files are removed
again but a replaced one cannot come back.  For many independent files,
:func:`stage` and :func:`commit_each` sync a whole group at a time: the
files on parallel threads, then each folder once, which costs little more
than plain writes.
"""

from __future__ import annotations

import errno
import io
import os
import stat
from typing import IO, Any, Iterable, List, Optional, Sequence, Tuple, Union

Target = Union[str, "os.PathLike[str]", IO[Any]]

# Threads that wait for the disk at once when a group of files is synced:
# the file system then commits many of them in one journal write.  They
# wait rather than compute, so they are not bounded by the cores.
_SYNC_THREADS = 16

# The temporary file's name: short and fixed in length, so that any name the
# folder takes for the target leaves room for it.
_TEMPORARY_PREFIX = ".aztec-"
_TEMPORARY_SUFFIX = ".tmp"


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


def as_bytes(document: Union[str, bytes]) -> bytes:
    """A finished document as a file holds it: text as UTF-8."""
    return document.encode("utf-8") if isinstance(document, str) else document


def write_document(target: Target, document: Union[str, bytes]) -> None:
    """Writes a finished document (text as UTF-8) to a file name or stream."""
    if is_path(target):
        write_file(os.fspath(target), as_bytes(document))  # type: ignore[arg-type]
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


# ---------------------------------------------------------------------------
# Files: one, a group all or nothing, many independent ones


def write_file(path: str, data: bytes) -> None:
    """Writes a file in full or not at all (see the module's note)."""
    write_files([(path, data)])


def write_files(documents: Sequence[Tuple[str, bytes]]) -> None:
    """Writes every (file name, bytes) or none of them, synced to disk with
    their folders: on any failure no target has changed and no temporary
    file is left; the error names its file."""
    staged: List[Staged] = []
    try:
        for path, data in documents:
            staged.append(stage(path, data))
        for error in _sync_temporaries(staged):
            if error is not None:
                raise error
        _commit_all(staged)
    finally:
        for item in staged:
            item.discard()
    _sync_folders(item.folder for item in staged)


class Staged:
    """A document on its way to its file: written to a temporary file beside
    the target, or kept to be written in place when the target is a device
    or a FIFO (see :func:`stage`)."""

    __slots__ = ("path", "real", "temporary", "data", "existed")

    def __init__(self, path: str, real: str, temporary: Optional[str], data: Optional[bytes], existed: bool) -> None:
        self.path, self.real, self.temporary, self.data, self.existed = path, real, temporary, data, existed

    @property
    def folder(self) -> str:
        return os.path.dirname(self.real) or os.curdir

    def commit(self) -> None:
        """Puts the document in place: the temporary file renamed onto the
        target, or the bytes written to the device."""
        try:
            if self.temporary is None:
                with open(self.path, "wb", buffering=0) as stream:
                    _write_all(stream, self.data or b"")
                self.data = None
            else:
                os.replace(self.temporary, self.real)
                self.temporary = None
        except OSError as error:
            raise _named(error, self.path) from None

    def discard(self) -> None:
        """Removes the temporary file, if it is still there (only the file
        made here: the target is never touched)."""
        if self.temporary is not None:
            _remove(self.temporary)
            self.temporary = None
        self.data = None


def stage(path: str, data: bytes) -> Staged:
    """Writes ``data`` to a temporary file beside ``path``, not yet synced
    nor renamed; a device or FIFO keeps the data for :meth:`Staged.commit`.
    Refuses a name that is a folder and a file that may not be replaced
    (see the module's note) before writing anything."""
    if path.endswith(os.sep) or (os.altsep is not None and path.endswith(os.altsep)):
        raise IsADirectoryError(errno.EISDIR, "a name ending in a separator is a folder, not a file", path)
    real, existing = _target(path)
    if existing is not None and stat.S_ISDIR(existing.st_mode):
        raise IsADirectoryError(errno.EISDIR, "is a folder, not a file", path)
    if existing is not None and not stat.S_ISREG(existing.st_mode):
        return Staged(path, real, None, data, True)
    if existing is not None:
        _check_replaceable(path, real, existing)
    return Staged(path, real, _write_temporary(path, real, data, existing), None, existing is not None)


def _target(path: str) -> Tuple[str, Optional[os.stat_result]]:
    """The file a name writes to, and its status (None: there is none).  A
    symbolic link is written through, and stays a link; any other name is
    taken as it is, its folders resolved by the system (one lstat rather
    than one for each folder, which counts in a batch)."""
    try:
        found = os.lstat(path)
        if not stat.S_ISLNK(found.st_mode):
            return path, found
        real = os.path.realpath(path)
        return real, os.stat(real)
    except FileNotFoundError:
        return (os.path.realpath(path) if os.path.islink(path) else path), None
    except OSError as error:
        raise _named(error, path) from None


def commit_each(staged: Sequence[Staged], durable: bool = True) -> List[Optional[OSError]]:
    """Puts independent staged documents in place, each on its own: synced
    first when ``durable``, then renamed, then each folder synced once.
    Returns the error of each (None where it was written); a failed one
    leaves its target as it was and no temporary file."""
    errors: List[Optional[OSError]] = list(_sync_temporaries(staged)) if durable else [None] * len(staged)
    for index, item in enumerate(staged):
        if errors[index] is None:
            try:
                item.commit()
            except OSError as error:
                errors[index] = error
        item.discard()
    if durable:
        _sync_folders(item.folder for item, error in zip(staged, errors) if error is None)
    return errors


def _commit_all(staged: Sequence[Staged]) -> None:
    """Puts every staged document in place or none: devices first (they
    cannot be taken back), then the renames, each old file kept under a
    second name until all are done so that a failing rename can put back
    the ones before it."""
    for item in staged:
        if item.temporary is None:
            item.commit()
    renames = [item for item in staged if item.temporary is not None]
    keep = len(renames) > 1
    done: List[Tuple[Staged, Optional[str]]] = []
    try:
        for item in renames:
            kept = _keep_old(item) if keep else None
            done.append((item, kept))
            item.commit()
    except BaseException:
        for item, kept in reversed(done):
            if item.temporary is None:  # renamed: undo it
                _put_back(item, kept)
            elif kept is not None:
                _remove(kept)
        raise
    for _, kept in done:
        if kept is not None:
            _remove(kept)


def _keep_old(item: Staged) -> Optional[str]:
    """A second name (a hard link) for the file a rename is about to
    replace, or None when there is none or the file system has no links."""
    if not item.existed:
        return None
    for _ in range(100):
        name = _temporary_name(item.folder)
        try:
            os.link(item.real, name)
            return name
        except FileExistsError:
            continue
        except OSError:
            return None
    return None


def _put_back(item: Staged, kept: Optional[str]) -> None:
    """Undoes a rename: the old file back from its second name, or the new
    file (made by this call) removed where there was none."""
    try:
        if kept is not None:
            os.replace(kept, item.real)
        elif not item.existed:
            os.unlink(item.real)
    except OSError:
        pass


# ---------------------------------------------------------------------------
# The rules for a file that is there, and the temporary file


def _check_replaceable(path: str, real: str, existing: os.stat_result) -> None:
    # access() asks the system itself, with the ids this process writes with
    # where the system checks those: a file's mode, ACLs, immutable flags.
    effective = os.access in os.supports_effective_ids
    if not os.access(real, os.W_OK, effective_ids=effective):
        raise PermissionError(errno.EACCES, "the file is write-protected, so it is not replaced "
                                            "(make it writable or remove it first)", path)
    if existing.st_nlink > 1:
        raise OSError(errno.EMLINK, f"the file has {existing.st_nlink} hard links, so it is not replaced "
                                    "(replacing it would break them; remove the other links or write elsewhere)",
                      path)


def _write_temporary(path: str, real: str, data: bytes, existing: Optional[os.stat_result]) -> str:
    folder = os.path.dirname(real) or os.curdir
    mode = stat.S_IMODE(existing.st_mode) if existing is not None else 0o666  # the umask applies to new files
    temporary, fd = _create_temporary(folder, mode, path)
    try:
        with open(fd, "wb", buffering=0, closefd=True) as stream:
            if existing is not None:
                _keep_owner(temporary, existing)
                os.chmod(temporary, mode)  # exactly the old mode, whatever the umask; after chown, which clears set-id bits
            _write_all(stream, data)
    except BaseException as error:
        _remove(temporary)
        if isinstance(error, OSError):
            raise _named(error, path) from None
        raise
    return temporary


def _keep_owner(temporary: str, existing: os.stat_result) -> None:
    """Gives the temporary file the old file's owner and group, or its
    group alone, as far as the process may."""
    chown = getattr(os, "chown", None)
    if chown is None:
        return
    mine = os.stat(temporary)
    if (mine.st_uid, mine.st_gid) == (existing.st_uid, existing.st_gid):
        return
    for uid, gid in ((existing.st_uid, existing.st_gid), (-1, existing.st_gid)):
        try:
            chown(temporary, uid, gid)
            return
        except PermissionError:
            continue


def _temporary_name(folder: str) -> str:
    return os.path.join(folder, f"{_TEMPORARY_PREFIX}{os.urandom(6).hex()}{_TEMPORARY_SUFFIX}")


def _create_temporary(folder: str, mode: int, path: str) -> Tuple[str, int]:
    flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_BINARY", 0) | getattr(os, "O_CLOEXEC", 0)
    for _ in range(100):
        temporary = _temporary_name(folder)
        try:
            return temporary, os.open(temporary, flags, mode)
        except FileExistsError:
            continue
        except OSError as error:
            raise _named(error, path) from None
    raise _named(FileExistsError(errno.EEXIST, "no free temporary name"), path)


def _remove(temporary: str) -> None:
    try:
        os.unlink(temporary)  # only a file made here
    except OSError:
        pass


# ---------------------------------------------------------------------------
# Syncing


def _sync_temporaries(staged: Sequence[Staged]) -> List[Optional[OSError]]:
    """Syncs each staged temporary file: the error of each, or None."""
    def sync(item: Staged) -> Optional[OSError]:
        if item.temporary is None:
            return None
        try:
            fd = os.open(item.temporary, os.O_RDONLY | getattr(os, "O_BINARY", 0) | getattr(os, "O_CLOEXEC", 0))
            try:
                os.fsync(fd)
            finally:
                os.close(fd)
        except OSError as error:
            return _named(error, item.path)
        return None

    if len(staged) < 4:
        return [sync(item) for item in staged]
    from concurrent.futures import ThreadPoolExecutor  # here: it brings logging along, a good part of a first call

    with ThreadPoolExecutor(max_workers=min(_SYNC_THREADS, len(staged)), thread_name_prefix="aztec-sync") as pool:
        return list(pool.map(sync, staged))


def _sync_folders(folders: Iterable[str]) -> None:
    """Makes the renames durable where the system allows it, each folder once."""
    for folder in dict.fromkeys(folders):
        try:
            fd = os.open(folder, os.O_RDONLY | getattr(os, "O_DIRECTORY", 0))
        except OSError:
            continue
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
