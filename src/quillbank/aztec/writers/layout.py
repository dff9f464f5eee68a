"""The modules with their border, as rows and as runs of dark modules."""

from __future__ import annotations

import re
from typing import Iterator, List, Tuple

_DARK_RUN = re.compile(b"\x01+")


def check_modules(modules: bytes, size: int) -> None:
    """Writers are given the modules row by row, one byte each."""
    if len(modules) != size * size:
        raise ValueError(f"{len(modules)} modules do not make a {size}x{size} square")


def padded_rows(modules: bytes, size: int, border: int) -> List[bytes]:
    """Each row of the picture, border included: one byte a module, 1 dark."""
    side = size + 2 * border
    blank = bytes(side)
    pad = bytes(border)
    rows = [blank] * border
    rows.extend(pad + bytes(modules[y * size:(y + 1) * size]) + pad for y in range(size))
    rows.extend([blank] * border)
    return rows


def dark_runs(modules: bytes, size: int) -> Iterator[Tuple[int, int, int]]:
    """(x, y, width) of every horizontal run of dark modules, top row first."""
    for y in range(size):
        for match in _DARK_RUN.finditer(modules, y * size, (y + 1) * size):
            yield match.start() - y * size, y, match.end() - match.start()
