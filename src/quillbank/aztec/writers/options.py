"""Checks of the size options every writer shares, and their limits.

Every size is checked against its limit before any picture is made, so a
careless value is an :class:`InvalidOptionError`, never a long wait or a
MemoryError:

* ``border``: 0 to :data:`MAX_BORDER` modules.
* raster pictures (PNG, PBM, PAM, PPM, XBM, XPM): a whole ``scale`` of pixels
  a module, and at most :data:`MAX_PIXELS` pixels a side; those made in full
  in memory (all but PNG, whose rows are compressed as they are made) and
  Pillow's image of ``to_pil`` at most :data:`MAX_PICTURE_BYTES` bytes.
* vector pictures (SVG, EPS, PDF, TeX): a finite ``scale`` of at least
  :data:`MIN_VECTOR_SCALE`, and at most :data:`MAX_VECTOR_SIDE` units a side
  (:data:`MAX_PAGE_POINTS` points for EPS and PDF, the largest page common
  PDF readers open).
* ``dpi``: more than 0 and at most :data:`MAX_DPI`.  With ``module_size``,
  a module is a whole number of the printer's dots (:func:`to_dots`), in
  raster and vector pictures alike.
"""

from __future__ import annotations

import decimal
import math
import numbers
import re
from typing import Any, Dict, Optional, Tuple, Union

from ..arguments import as_int
from ..errors import InvalidOptionError

#: Pixels (or units) a module is wide by default.
DEFAULT_SCALE = 4
#: Light modules around the symbol by default.  Aztec symbols need no quiet
#: zone; a narrow margin still helps readers find the edge.
DEFAULT_BORDER = 2
#: The widest border, in modules.
MAX_BORDER = 1000
#: The most pixels on a side of a raster picture (and characters of a line).
MAX_PIXELS = 65_535
#: The most bytes of a raster picture made in full in memory: 4 a pixel for
#: PAM (and for Pillow's image of to_pil), 3 for PPM, 1 for XPM, about 0.77
#: for XBM (C source), 1/8 for PBM.  256 MiB is 8,192 x 8,192 pixels of PAM.
MAX_PICTURE_BYTES = 1 << 28
#: The most units on a side of an SVG or TeX picture.
MAX_VECTOR_SIDE = 65_535
#: The most points on a side of an EPS or PDF page (200 inches).
MAX_PAGE_POINTS = 14_400
#: The smallest scale of a vector picture, in its units.
MIN_VECTOR_SCALE = 0.001
#: The highest resolution, in dots per inch.
MAX_DPI = 100_000

#: Lengths in points of the units a size can be given in (a CSS pixel is
#: 1/96 inch).
UNITS = {"mm": 72 / 25.4, "cm": 72 / 2.54, "in": 72.0, "pt": 1.0, "px": 0.75}

Number = Union[int, float, decimal.Decimal]
_LENGTH = re.compile(r"([0-9]+(?:\.[0-9]*)?|\.[0-9]+)\s*(mm|cm|in|pt|px)", re.ASCII)


def check_border(border: object) -> int:
    """The border as an int, 0 to MAX_BORDER."""
    value = as_int("border", border)
    if not 0 <= value <= MAX_BORDER:
        raise InvalidOptionError(f"border is 0 to {MAX_BORDER} modules, not {value}")
    return value


def check_real(value: object, name: str) -> float:
    """A finite number (int, float, Decimal, Fraction; not bool) as a float."""
    if isinstance(value, bool) or not isinstance(value, (numbers.Real, decimal.Decimal)):
        raise TypeError(f"{name} is a number, not {type(value).__name__}")
    try:
        number = float(value)
    except OverflowError:
        number = math.inf
    if not math.isfinite(number):
        raise InvalidOptionError(f"{name} is a finite number, not {value!r}")
    return number


def check_unit(unit: object, default: str) -> str:
    if unit is None:
        return default
    if not isinstance(unit, str):
        raise TypeError(f"unit is a str, not {type(unit).__name__}")
    if unit not in UNITS:
        raise InvalidOptionError(f"unit is one of {', '.join(UNITS)}, not {unit!r}")
    return unit


def check_dpi(dpi: object) -> Optional[float]:
    if dpi is None:
        return None
    value = check_real(dpi, "dpi")
    if not 0 < value <= MAX_DPI:
        raise InvalidOptionError(f"dpi is more than 0 and at most {MAX_DPI}, not {dpi!r}")
    return value


def length(module_size: object, unit: str) -> Tuple[float, str]:
    """(number, unit) of a module size: a str such as '0.5mm', or a number
    in ``unit``."""
    if isinstance(module_size, str):
        match = _LENGTH.fullmatch(module_size.strip())
        if match is None:
            raise InvalidOptionError(f"module_size is a length such as '0.5mm' (units {', '.join(UNITS)}), "
                                     f"not {module_size!r}")
        value, unit = float(match.group(1)), match.group(2)
    else:
        value = check_real(module_size, "module_size")
    if not value > 0:
        raise InvalidOptionError(f"module_size is more than 0, not {module_size!r}")
    return value, unit


def raster_scale(scale: object, module_size: object, unit: object, dpi: Optional[float],
                 side_modules: int) -> int:
    """Pixels a module for a raster picture: ``scale``, or ``module_size`` at
    ``dpi`` rounded to whole pixels (at least one)."""
    unit_name = check_unit(unit, "px")
    if module_size is not None:
        if scale is not None:
            raise InvalidOptionError("give scale or module_size, not both")
        value, unit_name = length(module_size, unit_name)
        if unit_name == "px":
            scale = max(1, round(min(value, MAX_PIXELS + 1)))
        elif dpi is None:
            raise InvalidOptionError(f"module_size in {unit_name} needs dpi to become pixels")
        else:
            scale = to_dots(value, unit_name, dpi)
    elif scale is None:
        scale = DEFAULT_SCALE
    elif isinstance(scale, float) or isinstance(scale, decimal.Decimal):
        number = check_real(scale, "scale")
        if not number.is_integer():
            raise InvalidOptionError(f"a raster picture's scale is a whole number of pixels, not {scale!r} "
                                     "(module_size with dpi sets a physical size)")
        scale = int(number)
    pixels_a_module = as_int("scale", scale)
    if pixels_a_module < 1:
        raise InvalidOptionError(f"scale is 1 or more pixels, not {pixels_a_module}")
    if pixels_a_module > MAX_PIXELS or side_modules * pixels_a_module > MAX_PIXELS:
        raise InvalidOptionError(f"a picture of {side_modules} modules at {pixels_a_module} pixels a module is wider "
                                 f"than {MAX_PIXELS} pixels; lower the scale or the border")
    return pixels_a_module


def check_picture_bytes(kind: str, side: int, bytes_a_pixel: float, option: str) -> None:
    """Refuses a square picture of ``side`` pixels whose ``bytes_a_pixel``
    make more than MAX_PICTURE_BYTES, naming the ``option`` to lower: the
    size is known from the options alone, before any row is made."""
    total = side * side * bytes_a_pixel
    if total > MAX_PICTURE_BYTES:
        raise InvalidOptionError(
            f"the {kind} picture would be {side:,} x {side:,} pixels ({_amount(total)}), more than the "
            f"{_amount(MAX_PICTURE_BYTES)} a picture may take; use a smaller {option} (or a PNG)")


def _amount(count: float) -> str:
    for unit, size in (("GiB", 1 << 30), ("MiB", 1 << 20), ("KiB", 1 << 10)):
        if count >= size:
            return f"{count / size:.1f} {unit}"
    return f"{count:.0f} bytes"


def to_dots(value: float, unit_name: str, dpi: float) -> int:
    """A length in a physical unit as the nearest whole number of dots at
    ``dpi``, at least one (a module is never thinner than a dot)."""
    return max(1, round(min(value * UNITS[unit_name] / 72 * dpi, MAX_PIXELS + 1)))


def vector_scale(scale: object, module_size: object, unit: object, default_unit: str,
                 side_modules: int, page: bool = False, dpi: Optional[float] = None) -> Tuple[float, str]:
    """(units a module, unit) of a vector picture.  A module size given with
    its own unit keeps that unit unless ``unit`` asks for another; with
    ``dpi`` it is a whole number of dots, so a printer draws every module
    alike.  A page (EPS, PDF) is bounded in points, other pictures in their
    units."""
    unit_name = check_unit(unit, default_unit)
    if module_size is not None:
        if scale is not None:
            raise InvalidOptionError("give scale or module_size, not both")
        value, size_unit = length(module_size, unit_name)
        if unit is None and isinstance(module_size, str):
            unit_name = size_unit
        if dpi is not None:
            value, size_unit = to_dots(value, size_unit, dpi) / dpi, "in"
        number = value * UNITS[size_unit] / UNITS[unit_name]
        name = "module_size"
    else:
        number = DEFAULT_SCALE if scale is None else check_real(scale, "scale")
        name = "scale"
    if not number >= MIN_VECTOR_SCALE:
        raise InvalidOptionError(f"{name} is at least {MIN_VECTOR_SCALE} {unit_name} a module, not {number!r}")
    side = side_modules * number * (UNITS[unit_name] if page else 1.0)
    limit, limit_unit = (MAX_PAGE_POINTS, "pt") if page else (MAX_VECTOR_SIDE, unit_name)
    if side > limit:
        raise InvalidOptionError(f"a picture of {side_modules} modules at {number:g} {unit_name} a module is larger "
                                 f"than {limit} {limit_unit} a side; lower the scale or the border")
    return number, unit_name


def number(value: float) -> str:
    """A short decimal of a length: no exponent, at most six decimals."""
    text = f"{value:.6f}".rstrip("0").rstrip(".")
    return text if text not in ("", "-0") else "0"


def check_text(value: object, name: str) -> Optional[str]:
    """A str that UTF-8 can hold (no lone surrogates), or None."""
    if value is None:
        return None
    if not isinstance(value, str):
        raise TypeError(f"{name} is a str or None, not {type(value).__name__}")
    try:
        value.encode("utf-8")
    except UnicodeEncodeError as error:
        raise InvalidOptionError(f"{name} holds {value[error.start]!r} at {error.start}, "
                                 "which is not a character (a lone surrogate)") from None
    return value


# ---------------------------------------------------------------------------
# Remembering checked options: pictures come in runs with the same options,
# and checking them costs more than drawing a small symbol.

#: The most sets of options a writer remembers.
MOST_REMEMBERED = 256
_TEXT_COLOURS = (str, type(None))
# The number types whose equal values every check treats alike (a bool, a
# Fraction or a NumPy number equal to an int may be refused where the int
# is not).
_KEYED_NUMBERS = (int, float, str, type(None))


def options_key(border: object, dark: object, light: object, numbers: Tuple[object, ...],
                flags: Tuple[object, ...], rest: Tuple[object, ...]) -> Optional[Tuple[object, ...]]:
    """A key under which to remember what a picture's options give, or None
    where equal options could give different results: a border that is not
    an int (2.0 is refused), a colour that is not text (alpha 1 and 1.0
    differ), a number that is not an int, float, text or None (True and
    Fraction(2) are refused, though both equal an int) or a flag
    that is not a bool.  ``rest`` are options only text or None passes.
    The key may still be unhashable (a list given as an option): recall()
    and remember() then pass it by."""
    if type(border) is not int or type(dark) not in _TEXT_COLOURS or type(light) not in _TEXT_COLOURS:
        return None
    for number in numbers:
        if type(number) not in _KEYED_NUMBERS:
            return None
    for flag in flags:
        if type(flag) is not bool:
            return None
    return (border, dark, light, *numbers, *flags, *rest)


def recall(cache: Dict[Any, Any], key: Optional[Tuple[object, ...]]) -> Any:
    """What ``cache`` holds under the key, or None."""
    if key is None:
        return None
    try:
        return cache.get(key)
    except TypeError:  # unhashable
        return None


def remember(cache: Dict[Any, Any], key: Optional[Tuple[object, ...]], value: object) -> None:
    if key is not None and len(cache) < MOST_REMEMBERED:
        try:
            cache[key] = value
        except TypeError:  # unhashable
            pass
