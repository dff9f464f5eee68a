"""Finding the module grid in a picture of grey levels.

The pictures this package writes draw every module as a square of whole
pixels, with a whole number of modules of border: the edges between dark
and light fall on a regular grid.  Its step is the greatest common divisor
of the distances between edges (the finder's rings are one module wide, so
single modules are always there to measure), and its origin is where any
edge falls.  Each module is then read at its centre pixel.
"""

from __future__ import annotations

import math
import re
from typing import List, Tuple

from ..errors import AztecError

__all__ = ["module_grid"]

LIGHT, DARK, UNREADABLE = 0, 1, 2
_MARK = re.compile(rb"\x01")


def module_grid(rows: List[bytes]) -> Tuple[bytes, int, int]:
    """(cells, width, height) of the module grid in a picture given as rows
    of grey levels: 1 dark, 0 light, 2 where the centre's grey is too near
    the middle to tell (an erasure for the reader)."""
    if not rows or not rows[0] or any(len(row) != len(rows[0]) for row in rows):
        raise AztecError("the picture is empty or its rows differ in length")
    darkest, lightest = _extremes(rows)
    if lightest - darkest < 32:
        raise AztecError("the picture holds no symbol: it is a single colour, or nearly")
    middle = (darkest + lightest) // 2
    ink = bytes(1 if level <= middle else 0 for level in range(256))
    binary = [row.translate(ink) for row in rows]
    x_step, x_origin = _grid_along(_column_edges(binary))
    y_step, y_origin = _grid_along(_row_edges(binary))
    # The middle third of the grey range cannot be told apart reliably.
    third = (lightest - darkest) / 3
    cell_of = bytes(UNREADABLE if darkest + third < level < lightest - third else
                    DARK if level <= middle else LIGHT for level in range(256))
    # Whole cells only, each read at its centre pixel.
    width = len(range(x_origin, len(rows[0]) - x_step + 1, x_step))
    height = len(range(y_origin, len(rows) - y_step + 1, y_step))
    first_x = x_origin + x_step // 2
    cells = b"".join(rows[y][first_x::x_step][:width] for y in range(y_origin + y_step // 2, len(rows), y_step)[:height])
    return cells.translate(cell_of), width, height


def _extremes(rows: List[bytes]) -> Tuple[int, int]:
    """The darkest and the lightest grey level of the picture, looked for
    from each end of the range in the distinct rows (C-speed searches)."""
    pixels = b"".join(set(rows))
    darkest = next(level for level in range(256) if bytes((level,)) in pixels)
    lightest = next(level for level in range(255, -1, -1) if bytes((level,)) in pixels)
    return darkest, lightest


def _column_edges(binary: List[bytes]) -> List[int]:
    """The x of every edge between a dark and a light pixel in the rows.
    Each distinct row is read as one big number whose bytes are its pixels
    (0 or 1): the number exclusive-or itself shifted by a byte marks where
    a pixel differs from its left neighbour, and the marks of all rows are
    or-ed together."""
    width, marks = len(binary[0]), 0
    for row in set(binary):
        pixels = int.from_bytes(row, "big")
        marks |= pixels ^ (pixels >> 8)
    return [match.start() for match in _MARK.finditer(marks.to_bytes(width, "big")) if match.start() > 0]


def _row_edges(binary: List[bytes]) -> List[int]:
    """The y of every row that differs from the one above it."""
    return [y for y in range(1, len(binary)) if binary[y] != binary[y - 1]]


def _grid_along(edges: List[int]) -> Tuple[int, int]:
    """(step, origin) of the grid whose lines hold every edge; the origin
    is the first line at or after the picture's start."""
    if len(edges) < 2:
        raise AztecError("the picture holds no symbol: too few edges between dark and light")
    step = 0
    for before, after in zip(edges, edges[1:]):
        step = math.gcd(step, after - before)
    return step, edges[0] % step
