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
_RUN = re.compile(rb"\x00+|\x01+")


def module_grid(rows: List[bytes]) -> Tuple[bytes, int, int]:
    """(cells, width, height) of the module grid in a picture given as rows
    of grey levels: 1 dark, 0 light, 2 where the centre's grey is too near
    the middle to tell (an erasure for the reader)."""
    if not rows or not rows[0] or any(len(row) != len(rows[0]) for row in rows):
        raise AztecError("the picture is empty or its rows differ in length")
    darkest, lightest = min(min(row) for row in rows), max(max(row) for row in rows)
    if lightest - darkest < 32:
        raise AztecError("the picture holds no symbol: it is a single colour, or nearly")
    middle = (darkest + lightest) // 2
    ink = bytes(1 if level <= middle else 0 for level in range(256))
    binary = [row.translate(ink) for row in rows]
    x_step, x_origin = _grid_along(_column_edges(binary), len(rows[0]))
    y_step, y_origin = _grid_along(_row_edges(binary), len(rows))
    # The middle third of the grey range cannot be told apart reliably.
    third = (lightest - darkest) / 3
    cell_of = bytes(UNREADABLE if darkest + third < level < lightest - third else
                    DARK if level <= middle else LIGHT for level in range(256))
    xs = range(x_origin + x_step // 2, len(rows[0]), x_step)
    ys = range(y_origin + y_step // 2, len(rows), y_step)
    xs = xs[:len(range(x_origin, len(rows[0]) - x_step + 1, x_step))]  # whole cells only
    ys = ys[:len(range(y_origin, len(rows) - y_step + 1, y_step))]
    cells = bytearray()
    for y in ys:
        row = rows[y]
        cells += bytes(row[x] for x in xs).translate(cell_of)
    return bytes(cells), len(xs), len(ys)


def _column_edges(binary: List[bytes]) -> List[int]:
    """The x of every edge between a dark and a light pixel in the rows
    (each distinct row once)."""
    edges = set()
    for row in set(binary):
        edges.update(match.start() for match in _RUN.finditer(row) if match.start() > 0)
    return sorted(edges)


def _row_edges(binary: List[bytes]) -> List[int]:
    """The y of every row that differs from the one above it."""
    return [y for y in range(1, len(binary)) if binary[y] != binary[y - 1]]


def _grid_along(edges: List[int], length: int) -> Tuple[int, int]:
    """(step, origin) of the grid whose lines hold every edge; the origin
    is the first line at or after the picture's start."""
    if len(edges) < 2:
        raise AztecError("the picture holds no symbol: too few edges between dark and light")
    step = 0
    for before, after in zip(edges, edges[1:]):
        step = math.gcd(step, after - before)
    return step, edges[0] % step
