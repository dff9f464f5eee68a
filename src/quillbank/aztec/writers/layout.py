"""The modules with their border, as rows."""

from __future__ import annotations

from typing import List


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
