"""Vector pages: EPS, PDF and TikZ (TeX).  Each draws the background (unless
the light colour is transparent) and one filled rectangle per run of dark
modules, at the module size asked for."""

from __future__ import annotations

import math
import zlib
from typing import List, NamedTuple, Optional

from .colors import RGBA, Color, dark_and_light, opaque_or_clear
from .layout import check_modules, dark_runs
from .options import DEFAULT_BORDER, UNITS, Number, check_border, check_dpi, number, vector_scale


class Page(NamedTuple):
    """A checked vector layout: the side and a module in points."""
    modules: bytes
    size: int
    border: int
    module: float  # points a module
    dark: RGBA
    light: Optional[RGBA]

    @property
    def side(self) -> float:
        return (self.size + 2 * self.border) * self.module


def page(kind: str, modules: bytes, size: int, scale: Optional[Number], border: int, dark: Color, light: Color,
         unit: Optional[str], module_size: Optional[object], dpi: Optional[Number], default_unit: str = "pt") -> Page:
    check_modules(modules, size)
    border = check_border(border)
    units, unit_name = vector_scale(scale, module_size, unit, default_unit, size + 2 * border, page=True)
    check_dpi(dpi)
    dark_rgba, light_rgba = dark_and_light(dark, light)
    opaque_or_clear(kind, dark_rgba, light_rgba)
    visible_light = light_rgba if light_rgba is not None and light_rgba[3] else None
    return Page(bytes(modules), size, border, units * UNITS[unit_name], dark_rgba, visible_light)


def _rgb(color: RGBA) -> str:
    return " ".join(number(channel / 255) for channel in color[:3])


def _drawing(picture: Page, fill_rgb: str, rectangle: str, fill: str) -> List[str]:
    """Page-description lines in points, the origin at the bottom left: the
    background, then the dark runs (``rectangle`` formats x y w h)."""
    side, unit = picture.side, picture.module
    lines = []
    if picture.light is not None:
        lines += [f"{_rgb(picture.light)} {fill_rgb}", rectangle.format(0, 0, number(side), number(side)), fill]
    lines.append(f"{_rgb(picture.dark)} {fill_rgb}")
    for x, y, width in dark_runs(picture.modules, picture.size):
        left = (x + picture.border) * unit
        bottom = side - (y + picture.border + 1) * unit
        lines.append(rectangle.format(number(left), number(bottom), number(width * unit), number(unit)))
    lines.append(fill)
    return lines


_SIZE_DOC = """``scale`` (default 4) is the width of a module in ``unit`` (pt, the
    default, or mm, cm, in, px as 1/96 inch), a decimal number; or give
    ``module_size`` (``"0.5mm"``, or a number in ``unit``).  ``light=None``
    leaves out the background; colours are opaque."""


def eps(modules: bytes, size: int, *, scale: Optional[Number] = None, border: int = DEFAULT_BORDER,
        dark: Color = "#000", light: Color = "#fff", unit: Optional[str] = None,
        module_size: Optional[object] = None, dpi: Optional[Number] = None) -> str:
    picture = page("EPS", modules, size, scale, border, dark, light, unit, module_size, dpi)
    side = picture.side
    lines = ["%!PS-Adobe-3.0 EPSF-3.0", "%%Creator: quillbank.aztec",
             f"%%BoundingBox: 0 0 {math.ceil(side)} {math.ceil(side)}",
             f"%%HiResBoundingBox: 0 0 {number(side)} {number(side)}", "%%EndComments",
             "gsave"]
    lines += _drawing(picture, "setrgbcolor", "{} {} {} {} rectfill", "")
    lines += ["grestore", "showpage", "%%EOF", ""]
    return "\n".join(line for line in lines if line != "" ) + "\n"


eps.__doc__ = f"""An Encapsulated PostScript page of exactly the symbol and its border,
    with integer and high-resolution bounding boxes.  {_SIZE_DOC}"""


def pdf(modules: bytes, size: int, *, scale: Optional[Number] = None, border: int = DEFAULT_BORDER,
        dark: Color = "#000", light: Color = "#fff", unit: Optional[str] = None,
        module_size: Optional[object] = None, dpi: Optional[Number] = None) -> bytes:
    picture = page("PDF", modules, size, scale, border, dark, light, unit, module_size, dpi)
    side = number(picture.side)
    content = zlib.compress("\n".join(_drawing(picture, "rg", "{} {} {} {} re", "f")).encode("ascii"), 9)
    objects = [
        b"<< /Type /Catalog /Pages 2 0 R >>",
        b"<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 %s %s] /Contents 4 0 R /Resources << >> >>"
        % (side.encode(), side.encode()),
        b"<< /Length %d /Filter /FlateDecode >>\nstream\n%s\nendstream" % (len(content), content),
        b"<< /Producer (quillbank.aztec) >>",
    ]
    out = bytearray(b"%PDF-1.4\n%\xe2\xe3\xcf\xd3\n")
    offsets = []
    for number_, body in enumerate(objects, 1):
        offsets.append(len(out))
        out += b"%d 0 obj\n%s\nendobj\n" % (number_, body)
    xref = len(out)
    out += b"xref\n0 %d\n0000000000 65535 f \n" % (len(objects) + 1)
    out += b"".join(b"%010d 00000 n \n" % offset for offset in offsets)
    out += b"trailer\n<< /Size %d /Root 1 0 R /Info 5 0 R >>\nstartxref\n%d\n%%%%EOF\n" % (len(objects) + 1, xref)
    return bytes(out)


pdf.__doc__ = f"""A one-page vector PDF whose page (MediaBox) is exactly the symbol and
    its border.  {_SIZE_DOC}"""


def tex(modules: bytes, size: int, *, scale: Optional[Number] = None, border: int = DEFAULT_BORDER,
        dark: Color = "#000", light: Color = "#fff", unit: Optional[str] = None,
        module_size: Optional[object] = None, dpi: Optional[Number] = None) -> str:
    picture = page("TeX", modules, size, scale, border, dark, light, unit, module_size, dpi)
    side = picture.size + 2 * picture.border
    # One TikZ unit a module; y grows downwards so rows read as in the symbol.
    lines = ["% Aztec symbol by quillbank.aztec; needs \\usepackage{tikz}",
             f"\\begin{{tikzpicture}}[x={number(picture.module)}pt,y=-{number(picture.module)}pt]"]
    if picture.light is not None:
        lines.append(f"\\definecolor{{aztecLight}}{{RGB}}{{{','.join(map(str, picture.light[:3]))}}}")
        lines.append(f"\\fill[aztecLight] (0,0) rectangle ({side},{side});")
    lines.append(f"\\definecolor{{aztecDark}}{{RGB}}{{{','.join(map(str, picture.dark[:3]))}}}")
    runs = [f"({x + picture.border},{y + picture.border}) rectangle +({width},1)"
            for x, y, width in dark_runs(picture.modules, picture.size)]
    lines.append("\\fill[aztecDark] " + "\n  ".join(runs) + ";")
    lines.append("\\end{tikzpicture}\n")
    return "\n".join(lines)


tex.__doc__ = f"""A TikZ picture (for ``\\input`` in a LaTeX document using ``tikz``),
    one unit a module.  {_SIZE_DOC}"""
