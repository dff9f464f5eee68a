"""Vector pages: EPS, PDF and TikZ (TeX).  Each draws the background (unless
the light colour is transparent) and one filled rectangle per run of dark
modules, at the module size asked for."""

from __future__ import annotations

import math
import re
import zlib
from typing import List, NamedTuple, Optional

from .. import _aztec
from .colors import RGBA, Color, dark_and_light, opaque_or_clear
from .layout import check_modules
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
    units, unit_name = vector_scale(scale, module_size, unit, default_unit, size + 2 * border, page=True,
                                    dpi=check_dpi(dpi))
    dark_rgba, light_rgba = dark_and_light(dark, light)
    opaque_or_clear(kind, dark_rgba, light_rgba)
    visible_light = light_rgba if light_rgba is not None and light_rgba[3] else None
    return Page(bytes(modules), size, border, units * UNITS[unit_name], dark_rgba, visible_light)


def _rgb(color: RGBA) -> str:
    return " ".join(number(channel / 255) for channel in color[:3])


# A run in the C++ helper's SVG path is "M<x> <y>h<width>v1h-<width>z", in
# modules from the top left of the picture, border included; this is its tail.
_RUN_TAIL = re.compile(r"v1h-[0-9]+z")


def _module_runs(picture: Page, start: str, between: str, before_width: str, end: str) -> str:
    """One line per run of dark modules: ``start``, x, ``between``, y,
    ``before_width``, width, ``end`` (x, y and width in modules from the top
    left), made by plain replacements of the C++ helper's path."""
    path = _aztec.svg_path(picture.modules, picture.size, picture.border)
    lines = _RUN_TAIL.sub("\n", path).replace(" ", between).replace("M", start).replace("h", before_width)
    return lines.replace("\n", end + "\n").rstrip("\n")


_SIZE_DOC = """``scale`` (default 4) is the width of a module in ``unit`` (pt, the
    default, or mm, cm, in, px as 1/96 inch), a decimal number; or give
    ``module_size`` (``"0.5mm"``, or a number in ``unit``), with ``dpi`` a
    whole number of the printer's dots.  ``light=None``
    leaves out the background; colours are opaque."""


def eps(modules: bytes, size: int, *, scale: Optional[Number] = None, border: int = DEFAULT_BORDER,
        dark: Color = "#000", light: Color = "#fff", unit: Optional[str] = None,
        module_size: Optional[object] = None, dpi: Optional[Number] = None) -> str:
    picture = page("EPS", modules, size, scale, border, dark, light, unit, module_size, dpi)
    side = picture.side
    lines = ["%!PS-Adobe-3.0 EPSF-3.0", "%%Creator: quillbank.aztec",
             f"%%BoundingBox: 0 0 {math.ceil(side)} {math.ceil(side)}",
             f"%%HiResBoundingBox: 0 0 {number(side)} {number(side)}", "%%EndComments", "gsave"]
    if picture.light is not None:
        lines.append(f"{_rgb(picture.light)} setrgbcolor 0 0 {number(side)} {number(side)} rectfill")
    # Module units from the top left, so every run is whole numbers.
    lines += [f"0 {number(side)} translate {number(picture.module)} -{number(picture.module)} scale",
              "/R { 1 rectfill } bind def", f"{_rgb(picture.dark)} setrgbcolor"]
    lines.append(_module_runs(picture, "", " ", " ", " R"))
    lines += ["grestore", "showpage", "%%EOF", ""]
    return "\n".join(lines)


eps.__doc__ = f"""An Encapsulated PostScript page of exactly the symbol and its border,
    with integer and high-resolution bounding boxes.  {_SIZE_DOC}"""


def pdf(modules: bytes, size: int, *, scale: Optional[Number] = None, border: int = DEFAULT_BORDER,
        dark: Color = "#000", light: Color = "#fff", unit: Optional[str] = None,
        module_size: Optional[object] = None, dpi: Optional[Number] = None) -> bytes:
    picture = page("PDF", modules, size, scale, border, dark, light, unit, module_size, dpi)
    side = number(picture.side)
    drawing = []
    if picture.light is not None:
        drawing.append(f"{_rgb(picture.light)} rg 0 0 {side} {side} re f")
    # Module units from the top left, so every run is whole numbers.
    drawing += [f"{number(picture.module)} 0 0 -{number(picture.module)} 0 {side} cm", f"{_rgb(picture.dark)} rg"]
    drawing.append(_module_runs(picture, "", " ", " ", " 1 re"))
    drawing.append("f")
    content = zlib.compress("\n".join(drawing).encode("ascii"), 6)  # smaller and faster than 9 here
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
    # The module is in PostScript points, which TeX calls bp (its pt is
    # 1/72.27 inch).
    lines = ["% Aztec symbol by quillbank.aztec; needs \\usepackage{tikz}",
             f"\\begin{{tikzpicture}}[x={number(picture.module)}bp,y=-{number(picture.module)}bp]"]
    if picture.light is not None:
        lines.append(f"\\definecolor{{aztecLight}}{{RGB}}{{{','.join(map(str, picture.light[:3]))}}}")
        lines.append(f"\\fill[aztecLight] (0,0) rectangle ({side},{side});")
    lines.append(f"\\definecolor{{aztecDark}}{{RGB}}{{{','.join(map(str, picture.dark[:3]))}}}")
    lines.append("\\fill[aztecDark] " + _module_runs(picture, "(", ",", ") rectangle +(", ",1)").replace("\n", "\n  ") + ";")
    lines.append("\\end{tikzpicture}\n")
    return "\n".join(lines)


tex.__doc__ = f"""A TikZ picture (for ``\\input`` in a LaTeX document using ``tikz``),
    one unit a module.  {_SIZE_DOC}"""
