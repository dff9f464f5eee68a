"""Printing on a printer's own grid: what a module and the whole picture
measure once a module is a whole number of the printer's dots.

A printer puts ink on a grid of dots.  A module of 0.5 mm is 3.99 dots at
203 dpi: drawn as such, some modules get 4 dots and some 3, and the bars a
scanner measures come out uneven.  Every writer therefore rounds a
``module_size`` given with ``dpi`` to the nearest whole number of dots
(:func:`~.options.to_dots`); :func:`print_size` says what that gives, and
warns when it is not what was asked for.
"""

from __future__ import annotations

import os
import sys
import warnings
from types import FrameType
from typing import NamedTuple, Optional

from .options import DEFAULT_BORDER, UNITS, Number, check_border, check_dpi, length, raster_scale

#: The narrowest module most scanners read: 10 mil (0.254 mm).
MIN_MODULE_MM = 0.254
#: The most that rounding to whole dots may change a module, as a share of
#: the size asked for, before print_size warns.
MOST_ROUNDING = 0.10


class PrintSize(NamedTuple):
    """A symbol as a printer prints it: a module, and the whole picture
    (border included) on a side, in the printer's dots and in millimetres."""
    module_dots: int  #: dots a module
    module_mm: float  #: a module's side, in mm
    side_dots: int  #: dots a side, border included
    side_mm: float  #: the picture's side, border included, in mm
    dpi: float  #: the printer's resolution, in dots per inch


def print_size(size: int, module_size: object, dpi: Optional[Number], border: int = DEFAULT_BORDER,
               unit: Optional[str] = None) -> PrintSize:
    """What a picture of ``size`` modules a side measures when printed at
    ``dpi`` with ``module_size`` (``"0.5mm"``, or a number in ``unit``,
    default px: printer dots, as the raster kinds and ZPL read px), ``border``
    modules around it.

    Warns (:class:`UserWarning`) when a module is narrower than 0.254 mm
    (10 mil) or when rounding to whole dots changed it by more than 10%.
    """
    dots_an_inch = check_dpi(dpi)
    if dots_an_inch is None:
        raise TypeError("print_size() needs dpi, the printer's resolution in dots per inch")
    border = check_border(border)
    side = size + 2 * border
    dots = raster_scale(None, module_size, unit, dots_an_inch, side)
    value, unit_name = length(module_size, unit or "px")
    asked = value / dots_an_inch if unit_name == "px" else value * UNITS[unit_name] / 72  # inches
    module_mm = dots / dots_an_inch * 25.4
    _warn(dots, module_mm, asked * 25.4, asked * dots_an_inch, dots_an_inch)
    return PrintSize(dots, module_mm, side * dots, side * module_mm, dots_an_inch)


def _warn(dots: int, module_mm: float, asked_mm: float, asked_dots: float, dpi: float) -> None:
    printed = f"a module of {module_mm:.3f} mm ({dots} dot{'s' if dots > 1 else ''} at {dpi:g} dpi)"
    if module_mm < MIN_MODULE_MM:
        warnings.warn(f"{printed} is narrower than {MIN_MODULE_MM} mm (10 mil), which many scanners cannot "
                      "read; ask for a larger module_size", UserWarning, stacklevel=caller_level())
    if abs(dots - asked_dots) > MOST_ROUNDING * asked_dots:
        warnings.warn(f"{printed} is {abs(module_mm - asked_mm) / asked_mm:.0%} off the {asked_mm:.3f} mm asked "
                      f"for, because a module is a whole number of dots; ask for a module_size of whole dots",
                      UserWarning, stacklevel=caller_level())


_PACKAGE = os.path.dirname(os.path.dirname(os.path.abspath(__file__))) + os.sep


def caller_level() -> int:
    """The ``stacklevel`` of a warning that points at the first caller
    outside this package, however many of its functions lie between."""
    frame: Optional[FrameType] = sys._getframe(1)
    level = 1
    while frame is not None and frame.f_code.co_filename.startswith(_PACKAGE):
        frame, level = frame.f_back, level + 1
    return level
