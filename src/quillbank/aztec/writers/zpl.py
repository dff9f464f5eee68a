"""ZPL II labels for Zebra and compatible thermal printers: the symbol as
graphic fields (``^GFA``, in hex) of exactly our modules, a whole number of
the printer's dots each, so the printer draws what every other kind draws
rather than a barcode of its own making.

A label is::

    ^XA                          start of the label
    ^LH0,0                       label home: the top left of the quiet zone
    ^FO8,8^GFA,n,n,w,0F0F...^FS  the symbol, ``border`` modules from home
    ^XZ                          end of the label

A ``^GF`` field holds at most :data:`MAX_FIELD_BYTES` bytes, so a taller
picture is cut into bands of whole rows, each its own field one under the
other.  Each row is padded with light bits to whole bytes, as ZPL reads it.
"""

from __future__ import annotations

import re
from typing import List, Optional, Sequence, Tuple

from ..arguments import as_int, check_bool
from ..errors import InvalidOptionError
from .options import DEFAULT_BORDER, Number, check_border, check_dpi
from .raster import bitmap_rows, raster

#: The resolutions of ZPL printers, in dots per inch (6, 8, 12 and 24 dots a mm).
RESOLUTIONS = (152, 203, 300, 600)
#: The largest field origin ZPL takes, in dots: label home and symbol end
#: within it.
MAX_LABEL_DOTS = 32_000
#: The most bytes of picture one ``^GF`` field holds.
MAX_FIELD_BYTES = 99_999
#: The most bytes of picture a label may hold (in hex, twice as many
#: characters): a square of 5,656 dots, 28 inches at 203 dpi, more than a
#: label printer prints and small enough to make at once.
MAX_LABEL_BYTES = 4_000_000


#: The resolution of a label when none is given: the most common thermal
#: label printers print 8 dots a mm.
DEFAULT_DPI = 203


def zpl(modules: bytes, size: int, *, dpi: Number = DEFAULT_DPI, scale: Optional[Number] = None,
        module_size: Optional[object] = None, unit: Optional[str] = None, border: int = DEFAULT_BORDER,
        home: Sequence[int] = (0, 0), compress: bool = False) -> str:
    """A ZPL II label of the symbol as graphic fields, for a printer of
    ``dpi`` dots an inch (152, 203, the default, 300 or 600).

    ``module_size`` (``"0.5mm"``, or a number in ``unit``, default px:
    dots) is rounded to the nearest whole number of dots, at least one; or
    ``scale`` (default 4) gives the dots a module.  ``home`` (default
    (0, 0)) is the label home (``^LH``), in dots from the label's top left:
    where the quiet zone of ``border`` modules (default 2) begins, the
    symbol starting that many modules to the right and down.  Nothing is
    drawn in the quiet zone; keep other fields out of it.

    ``compress=True`` (default False) writes the hex in ZPL's ASCII
    compression (a count letter before a repeated digit, ``,`` for a row
    that ends light, ``:`` for a row like the one before), which every ZPL
    II printer reads: a label several times smaller to send.
    """
    resolution = _check_resolution(dpi)
    border = check_border(border)
    picture = raster(modules, size, scale, border, "#000", "#fff", unit, module_size, resolution)
    left, top = _check_home(home, picture.side)
    symbol = picture._replace(border=0)
    width = (symbol.side + 7) // 8
    if width * symbol.side > MAX_LABEL_BYTES:
        raise InvalidOptionError(f"a label of {symbol.side} by {symbol.side} dots is more than {MAX_LABEL_BYTES} "
                                 "bytes of picture; lower the module size")
    check_bool("compress", compress)
    rows: List[str] = [row.hex().upper() for row in bitmap_rows(symbol, first_bit_left=True)]
    band = MAX_FIELD_BYTES // width
    offset = border * picture.scale
    lines = ["^XA", f"^LH{left},{top}"]
    dot_rows = [row for row in rows for _ in range(picture.scale)]
    for start in range(0, len(dot_rows), band):
        part = dot_rows[start:start + band]
        count = len(part) * width  # the bytes of the picture, compressed or not
        data = _compressed(part) if compress else "".join(part)
        lines.append(f"^FO{offset},{offset + start}^GFA,{count},{count},{width},{data}^FS")
    lines += ["^XZ", ""]
    return "\n".join(lines)


def _compressed(rows: List[str]) -> str:
    """Rows of hex in ZPL's ASCII compression.  Each field starts afresh,
    so its first row never refers to the row before."""
    out = []
    for place, row in enumerate(rows):
        if place and row == rows[place - 1]:
            out.append(":")
            continue
        body = row.rstrip("0")
        end = "," if len(body) < len(row) else ""
        out.append(_RUNS.sub(_counted, body))
        out.append(end)
    return "".join(out)


# Runs of one hex digit, at most 419 long: the most one count says.
_RUNS = re.compile(r"([0-9A-F])\1{0,418}")


def _count(repeat: int) -> str:
    """ZPL's count of a repeated digit: g to z for 20 to 400 by twenties,
    then G to Y for 1 to 19; nothing for a digit written once."""
    if repeat == 1:
        return ""
    twenties, ones = divmod(repeat, 20)
    return (chr(ord("g") + twenties - 1) if twenties else "") + (chr(ord("G") + ones - 1) if ones else "")


_COUNTS = [""] + [_count(repeat) for repeat in range(1, 420)]


def _counted(run: "re.Match[str]") -> str:
    return _COUNTS[len(run.group())] + run.group(1)


def _check_resolution(dpi: Number) -> int:
    value = check_dpi(dpi)
    for resolution in RESOLUTIONS:
        if value == resolution:
            return resolution
    raise InvalidOptionError(f"a ZPL label is for a printer of {', '.join(map(str, RESOLUTIONS))} dpi; "
                             f"give its resolution as dpi, not {dpi!r}")


def _check_home(home: object, side: int) -> Tuple[int, int]:
    if isinstance(home, (str, bytes)) or not isinstance(home, Sequence) or len(home) != 2:
        raise TypeError(f"home is (x, y) in dots, not {home!r}")
    left, top = (as_int("home", value) for value in home)
    if min(left, top) < 0:
        raise InvalidOptionError(f"home is (x, y) of 0 or more dots, not {tuple(home)}")
    if max(left, top) + side > MAX_LABEL_DOTS:
        raise InvalidOptionError(f"a label of {side} dots from home ({left}, {top}) ends past the "
                                 f"{MAX_LABEL_DOTS} dots ZPL can place; lower the module size or home")
    return left, top
