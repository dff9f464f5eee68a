"""Reading symbols back: aztec.read() and its Decoded result.

The decoding of a module grid (finder, orientation, mode message, layers,
Reed–Solomon repair, unstuffing, the data stream's modes) is the core's
reader (quillbank.aztec._aztec.read_modules), written apart from the
writer so that it checks it.  This package turns what the caller gives
into a module grid: a matrix, a symbol, or a picture file.
"""

from __future__ import annotations

import os
from typing import Any, List, Sequence, Tuple, Union

from .. import _aztec
from ..errors import AztecError
from .decoded import Decoded
from .grid import DARK, LIGHT, UNREADABLE, module_grid
from .pictures import grey_rows, pillow_rows

__all__ = ["read", "Decoded"]

#: What read() takes: a picture's file name or bytes, a symbol, or a matrix.
Source = Union[str, "os.PathLike[str]", bytes, bytearray, memoryview, Any]


def read(source: Source) -> Decoded:
    """Decodes the Aztec symbol in ``source``.

    ``source`` is one of:

    - a module matrix: a 2-D array-like (lists of rows, a NumPy array) of
      0 and 1 or bools, dark = 1, with or without a light border; ``None``
      marks a module that could not be read (an erasure);
    - an :class:`~quillbank.aztec.AztecSymbol`;
    - a picture: a file name (``str`` or path), a file opened in binary
      mode, or the file's bytes: PNG,
      PBM, PGM, PPM, PAM or SVG as this package writes them (any scale
      and border), or any format Pillow opens when it is installed; an SVG
      document as a ``str`` (what :meth:`~AztecSymbol.svg` returns) and a
      Pillow image also work.

    The symbol may be turned or mirrored, and light on dark as well as dark
    on light.  Damage is repaired up to what the check words allow: twice
    as many unreadable codewords (a picture's modules of a grey between
    the two colours) as wrong ones.

    Returns a :class:`Decoded`.  Raises AztecError saying why when no
    symbol is found or its damage is beyond repair: nothing is returned
    that its check words did not confirm.
    """
    cells, width, height = _grid_of(source)
    try:
        return _decoded(_aztec.read_modules(cells, width, height))
    except ValueError as first:
        if "no Aztec symbol found" not in str(first):
            raise AztecError(str(first)) from None
    # Light on dark: the same grid with the colours swapped.
    swapped = cells.translate(_SWAP)
    try:
        return _decoded(_aztec.read_modules(swapped, width, height))
    except ValueError as error:
        raise AztecError(str(error)) from None


_SWAP = bytes([DARK, LIGHT, UNREADABLE]) + bytes(range(3, 256))


def _decoded(found: Tuple[Any, ...]) -> Decoded:
    return Decoded(*found)


def _grid_of(source: object) -> Tuple[bytes, int, int]:
    """(cells, width, height) of what read() was given."""
    from ..symbol import AztecSymbol

    if isinstance(source, AztecSymbol):
        return source.modules, source.size, source.size
    if isinstance(source, str) and source.lstrip().startswith("<"):
        return module_grid(grey_rows(source.encode("utf-8")))  # an SVG document, as svg() returns it
    if isinstance(source, (str, os.PathLike)):
        with open(source, "rb") as stream:
            return module_grid(grey_rows(stream.read()))
    if isinstance(source, (bytes, bytearray, memoryview)):
        return module_grid(grey_rows(bytes(source)))
    if hasattr(source, "read") and hasattr(source, "seek"):  # a file opened in binary mode
        data = source.read()
        if not isinstance(data, bytes):
            raise TypeError("read() takes a file opened in binary mode ('rb'), not a text stream")
        return module_grid(grey_rows(data))
    if type(source).__module__.startswith("PIL."):
        return module_grid(pillow_rows(source))
    return _matrix(source)


def _matrix(source: object) -> Tuple[bytes, int, int]:
    """A 2-D array-like of 0/1 or bools as cells."""
    if hasattr(source, "tolist") and getattr(source, "ndim", 2) == 2:
        source = source.tolist()  # a NumPy array: rows of Python ints or bools
    try:
        rows: List[Sequence[Any]] = [list(row) for row in source]  # type: ignore[attr-defined]
    except TypeError:
        raise TypeError(f"read() takes a picture's file name or bytes, an AztecSymbol or a module matrix, "
                        f"not {type(source).__name__}") from None
    if not rows or not rows[0] or any(len(row) != len(rows[0]) for row in rows):
        raise AztecError("the module matrix is empty or its rows differ in length")
    try:
        cells = b"".join(bytes(row) for row in rows)  # ints and bools, at C speed
    except (TypeError, ValueError):
        cells = b""
    if len(cells) != len(rows) * len(rows[0]) or cells.translate(None, b"\x00\x01"):
        cells = _checked_cells(rows)
    return cells, len(rows[0]), len(rows)


def _checked_cells(rows: List[Sequence[Any]]) -> bytes:
    """The cells of rows holding other values than ints and bools (None,
    1.0, NumPy scalars...), each checked: AztecError naming the first that
    is not 0, 1 or None."""
    cells = bytearray()
    for y, row in enumerate(rows):
        for x, value in enumerate(row):
            if value is not None and value not in (0, 1):  # True and False are 1 and 0
                raise AztecError(f"the module matrix holds {value!r} at row {y}, column {x}; "
                                 "it takes 0 and 1 (or bools), dark = 1, and None where unreadable")
        cells += bytes(UNREADABLE if value is None else int(value) for value in row)
    return bytes(cells)
