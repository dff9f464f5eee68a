"""Colours of a picture: names, hex notations and triples."""

from __future__ import annotations

from typing import Optional, Tuple, Union

from ..errors import InvalidOptionError

RGB = Tuple[int, int, int]
Color = Union[str, Tuple[int, int, int], None]

_NAMED_COLORS = {
    "black": (0, 0, 0),
    "white": (255, 255, 255),
    "red": (255, 0, 0),
    "green": (0, 128, 0),
    "blue": (0, 0, 255),
    "navy": (0, 0, 128),
    "gray": (128, 128, 128),
    "grey": (128, 128, 128),
}
def parse_color(color: Color, name: str = "color") -> Optional[RGB]:
    """An RGB triple from '#rgb', '#rrggbb', a few names or a triple; None
    stays None (transparent)."""
    if color is None:
        return None
    if isinstance(color, tuple) and len(color) == 3 and all(isinstance(c, int) and 0 <= c <= 255 for c in color):
        return (color[0], color[1], color[2])
    if isinstance(color, str):
        text = color.strip().lower()
        if text in _NAMED_COLORS:
            return _NAMED_COLORS[text]
        digits = text[1:] if text.startswith("#") else ""
        if len(digits) == 3:
            digits = "".join(d * 2 for d in digits)
        if len(digits) == 6:
            try:
                value = int(digits, 16)
            except ValueError:
                pass
            else:
                return (value >> 16, (value >> 8) & 0xFF, value & 0xFF)
    raise InvalidOptionError(f"{name} {color!r} is not a color ('#rrggbb', '#rgb', a name or an (r, g, b) triple)")


def hex_color(rgb: RGB) -> str:
    return "#%02x%02x%02x" % rgb
