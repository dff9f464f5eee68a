"""Terminal text: Unicode half blocks."""

from __future__ import annotations

from .options import DEFAULT_BORDER, check_layout

# Index: 2 * (top module dark) + (bottom module dark).
_HALF_BLOCKS = (" ", "\u2584", "\u2580", "\u2588")


def terminal(modules: bytes, size: int, *, border: int = DEFAULT_BORDER, invert: bool = False) -> str:
    """The symbol in Unicode half blocks, two module rows to a line: dark
    modules are ink, or light ones with ``invert``."""
    check_layout(1, border, integral_scale=True)
    side = size + 2 * border
    ink = 0 if invert else 1
    blank = bytes([1 - ink]) * side
    rows = [blank] * border
    pad = bytes([1 - ink]) * border
    for y in range(size):
        row = modules[y * size:(y + 1) * size]
        rows.append(pad + (row if ink else row.translate(_INVERT)) + pad)
    rows.extend([blank] * border)
    if len(rows) % 2:
        rows.append(blank)
    lines = []
    for top, bottom in zip(rows[0::2], rows[1::2]):
        lines.append("".join(_HALF_BLOCKS[2 * t + b] for t, b in zip(top, bottom)))
    return "\n".join(lines)


_INVERT = bytes([1, 0]) + bytes(254)
