"""Writing finished documents to files and streams."""

from __future__ import annotations

import os
from typing import IO, Any, Optional, Union

from ..errors import InvalidOptionError

_KINDS = {".svg": "svg", ".png": "png"}


def kind_of(out: Union[str, "os.PathLike[str]", IO[Any]], kind: Optional[str]) -> str:
    """'svg' or 'png': the kind asked for, or the file name's extension."""
    if kind is not None:
        kind = kind.lower().lstrip(".")
        if kind not in ("svg", "png"):
            raise InvalidOptionError(f"pictures are 'svg' or 'png', not {kind!r}")
        return kind
    if isinstance(out, (str, os.PathLike)):
        extension = os.path.splitext(os.fspath(out))[1].lower()
        if extension in _KINDS:
            return _KINDS[extension]
        raise InvalidOptionError(f"cannot tell the picture kind of {os.fspath(out)!r}: name it .svg or .png, or pass kind")
    raise InvalidOptionError("pass kind='svg' or kind='png' to save to a stream")


def write_document(out: Union[str, "os.PathLike[str]", IO[Any]], document: Union[str, bytes]) -> None:
    """Writes a finished document to a stream or a file.  A file whose
    writing fails is removed, so no partial picture is left behind."""
    data = document.encode("utf-8") if isinstance(document, str) else document
    if not isinstance(out, (str, os.PathLike)):
        try:
            out.write(data)
        except TypeError:
            if not isinstance(document, str):
                raise
            out.write(document)  # a text stream takes an SVG document as text
        return
    path = os.fspath(out)
    stream = open(path, "wb")
    try:
        with stream:
            stream.write(data)
    except BaseException:
        try:
            os.unlink(path)
        except OSError:
            pass
        raise
