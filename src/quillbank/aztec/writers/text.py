"""Text pictures: rows of 0 and 1 (``.txt``), and drawings for terminals.

On a terminal the drawing sets its own colours (dark modules black, light
ones white, quiet zone included), so it scans on dark and light themes
alike.  Without colour it is plain half blocks, and where the console cannot
encode half blocks it is drawn with ``#`` and spaces, two to a module.
"""

from __future__ import annotations

import os
from typing import List, Optional, Tuple

from ..arguments import check_bool
from .layout import check_modules, padded_rows
from .options import DEFAULT_BORDER, check_border

# Index: 2 * (top module dark) + (bottom module dark).
_HALF_BLOCKS = (" ", "\u2584", "\u2580", "\u2588")
# 256-colour cube entries 16 (black) and 231 (white): unlike the first 16
# colours, terminal themes do not redefine them.
_INK_ON_PAPER = "\x1b[38;5;16;48;5;231m"
_PAPER = "\x1b[48;5;231m"
_INK = "\x1b[48;5;16m"
_RESET = "\x1b[0m"
_INVERT = bytes([1, 0]) + bytes(254)


def txt(modules: bytes, size: int, *, border: int = DEFAULT_BORDER) -> str:
    """The modules as text: one line a row, ``1`` dark and ``0`` light."""
    check_modules(modules, size)
    rows = padded_rows(modules, size, check_border(border))
    return "".join(row.translate(_DIGITS).decode("ascii") + "\n" for row in rows)


_DIGITS = b"01" + bytes(254)


def can_encode_blocks(encoding: object) -> bool:
    """Whether a stream of this encoding can write the half blocks."""
    if not isinstance(encoding, str):
        return False
    try:
        "".join(_HALF_BLOCKS).encode(encoding)
    except (UnicodeError, LookupError):
        return False
    return True


def terminal(modules: bytes, size: int, *, border: int = DEFAULT_BORDER, invert: bool = False,
             color: bool = False, blocks: bool = True) -> str:
    """The symbol for a terminal.

    ``blocks=True`` draws Unicode half blocks, two module rows to a line;
    ``blocks=False`` draws each module as two characters (``##`` or spaces, or
    coloured spaces), for consoles that cannot encode the blocks.
    ``color=True`` sets black ink on white paper with ANSI colour codes for
    the whole picture, border included; without it dark modules are ink in
    the terminal's own colours (or the light ones with ``invert=True``).
    """
    check_modules(modules, size)
    border = check_border(border)  # at most MAX_BORDER: lines of a few thousand cells
    for name, flag in (("invert", invert), ("color", color), ("blocks", blocks)):
        check_bool(name, flag)
    rows = padded_rows(modules, size, border)
    if invert and not color:
        rows = [row.translate(_INVERT) for row in rows]
    lines = _half_block_lines(rows) if blocks else _two_character_lines(rows, color)
    if color and blocks:
        lines = [_INK_ON_PAPER + line + _RESET for line in lines]
    return "\n".join(lines)


def _half_block_lines(rows: List[bytes]) -> List[str]:
    if len(rows) % 2:
        rows = rows + [bytes(len(rows[0]))]
    return ["".join(_HALF_BLOCKS[2 * t + b] for t, b in zip(top, bottom)) for top, bottom in zip(rows[0::2], rows[1::2])]


def _two_character_lines(rows: List[bytes], color: bool) -> List[str]:
    if not color:
        return ["".join("##" if module else "  " for module in row) for row in rows]
    lines = []
    for row in rows:
        parts, previous = [], None
        for module in row:
            if module != previous:
                parts.append(_INK if module else _PAPER)
                previous = module
            parts.append("  ")
        lines.append("".join(parts) + _RESET)
    return lines




def style_for(stream: object, color: Optional[bool] = None) -> Tuple[bool, bool]:
    """(color, blocks) for a drawing that goes to ``stream``: colour on a
    terminal unless the NO_COLOR environment variable is set (or ``color``
    says otherwise), half blocks where the stream's encoding holds them."""
    if color is None:
        color = _is_terminal(stream) and not os.environ.get("NO_COLOR")
    encoding = getattr(stream, "encoding", None)
    return check_bool("color", color), encoding is None or can_encode_blocks(encoding)


def _is_terminal(stream: object) -> bool:
    try:
        return bool(stream.isatty())  # type: ignore[attr-defined]
    except (AttributeError, ValueError, OSError):  # no isatty, or a closed stream
        return False
