"""Checks of the options every writer shares."""

from __future__ import annotations

from ..errors import InvalidOptionError

#: Pixels a module is wide by default.
DEFAULT_SCALE = 4
#: Light modules around the symbol by default.  Aztec symbols need no quiet
#: zone; a narrow margin still helps readers find the edge.
DEFAULT_BORDER = 2
# A PNG no wider than this: larger ones are an option error, not a MemoryError.
_MAX_PNG_SIDE = 65_535


def check_layout(scale: float, border: int, integral_scale: bool) -> None:
    if integral_scale and (isinstance(scale, bool) or not isinstance(scale, int)):
        raise InvalidOptionError(f"a PNG's scale is a whole number of pixels, not {scale!r}")
    if isinstance(scale, bool) or not isinstance(scale, (int, float)) or not scale > 0:
        raise InvalidOptionError(f"scale is a positive number, not {scale!r}")
    if isinstance(border, bool) or not isinstance(border, int) or border < 0:
        raise InvalidOptionError(f"border is a whole number of modules, 0 or more, not {border!r}")


def number(value: float) -> str:
    return str(int(value)) if float(value).is_integer() else repr(float(value))
