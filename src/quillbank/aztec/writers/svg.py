"""SVG pictures: one path of all the dark modules, in a coordinate system of
one unit a module, scaled to the size asked for."""

from __future__ import annotations

import re
from typing import Dict, Optional, Tuple

from .. import _aztec
from ..arguments import check_bool
from ..errors import InvalidOptionError
from .colors import RGBA, Color, hex_color
from .layout import check_modules
from .options import (DEFAULT_BORDER, Number, check_border, check_dpi, check_text, number, options_key,
                      recall, remember, vector_scale)
from .raster import colors_of


def svg(modules: bytes, size: int, *, scale: Optional[Number] = None, border: int = DEFAULT_BORDER,
        dark: Color = "#000", light: Color = "#fff", unit: Optional[str] = None,
        module_size: Optional[object] = None, dpi: Optional[Number] = None, omitsize: bool = False,
        title: Optional[str] = None, desc: Optional[str] = None, xmldecl: bool = True,
        svgclass: Optional[str] = None, lineclass: Optional[str] = None) -> str:
    """An SVG document of the modules (bytes, 1 = dark, row by row).

    ``scale`` (default 4) is the width of a module in ``unit`` (px, the
    default, or mm, cm, in, pt), a decimal number; or give ``module_size``
    instead (``"0.5mm"``, or a number in ``unit``), which also sets the unit.
    ``omitsize`` leaves width and height out so the picture fills its box.
    ``title`` and ``desc`` are written as the picture's title and
    description; ``xmldecl=False`` leaves out the XML declaration (for inline
    SVG); ``svgclass`` and ``lineclass`` are class attributes of the ``svg``
    element and of the path.  ``light=None`` leaves out the background.
    ``dpi`` (default None) with ``module_size`` makes a module a whole
    number of the printer's dots; a vector picture has no resolution of its
    own, so ``dpi`` with ``scale`` changes nothing.
    """
    check_modules(modules, size)
    key = options_key(border, dark, light, (scale, dpi, module_size), (omitsize, xmldecl),
                      (size, unit, title, desc, svgclass, lineclass))
    frame = recall(_FRAMES, key)
    if frame is None:
        frame = _frame(size, scale, border, dark, light, unit, module_size, dpi, omitsize, title, desc, xmldecl,
                       svgclass, lineclass)
        remember(_FRAMES, key, frame)
    head, border_modules, tail = frame
    return head + _aztec.svg_path(modules, size, border_modules) + tail


# The document before the path data, the border and the document after it,
# for svg()'s options, by options_key.
_FRAMES: Dict[Tuple[object, ...], Tuple[str, int, str]] = {}


def _frame(size: int, scale: Optional[Number], border: int, dark: Color, light: Color, unit: Optional[str],
           module_size: Optional[object], dpi: Optional[Number], omitsize: bool, title: Optional[str],
           desc: Optional[str], xmldecl: bool, svgclass: Optional[str],
           lineclass: Optional[str]) -> Tuple[str, int, str]:
    """The options checked: the document before the path data, the border,
    and the document after the path data."""
    border = check_border(border)
    side = size + 2 * border
    units_a_module, unit_name = vector_scale(scale, module_size, unit, "px", side, dpi=check_dpi(dpi))
    dark_rgba, light_rgba = colors_of(dark, light)
    for name, flag in (("omitsize", omitsize), ("xmldecl", xmldecl)):
        check_bool(name, flag)
    for name, text in (("title", title), ("desc", desc), ("svgclass", svgclass), ("lineclass", lineclass)):
        _check_xml_text(check_text(text, name), name)
    suffix = "" if unit_name == "px" else unit_name
    length = number(side * units_a_module) + suffix
    parts = ['<?xml version="1.0" encoding="UTF-8"?>\n'] if xmldecl else []
    parts.append('<svg xmlns="http://www.w3.org/2000/svg"')
    if svgclass is not None:
        parts.append(f' class="{_escape(svgclass)}"')
    if not omitsize:
        parts.append(f' width="{length}" height="{length}"')
    parts.append(f' viewBox="0 0 {side} {side}" shape-rendering="crispEdges">')
    if title is not None:
        parts.append(f"<title>{_escape(title)}</title>")
    if desc is not None:
        parts.append(f"<desc>{_escape(desc)}</desc>")
    if light_rgba is not None and light_rgba[3]:
        parts.append(f'<rect width="{side}" height="{side}" fill="{hex_color(light_rgba)}"{_opacity(light_rgba)}/>')
    parts.append("<path")
    if lineclass is not None:
        parts.append(f' class="{_escape(lineclass)}"')
    parts.append(f' fill="{hex_color(dark_rgba)}"{_opacity(dark_rgba)} d="')
    return "".join(parts), border, '"/></svg>\n'


def svgz(modules: bytes, size: int, **options: object) -> bytes:
    """The SVG document gzip-compressed (with no time stamp, so the same
    symbol always gives the same bytes); takes :func:`svg`'s options."""
    import gzip  # here: only SVGZ needs it

    return gzip.compress(svg(modules, size, **options).encode("utf-8"), mtime=0)  # type: ignore[arg-type]


# What XML 1.0 cannot hold, even escaped: the C0 controls but tab, line
# feed and carriage return, and the non-characters U+FFFE and U+FFFF (lone
# surrogates are refused by check_text).  A document with one is not
# well-formed, and viewers refuse to show it.
_NOT_XML = re.compile("[\x00-\x08\x0b\x0c\x0e-\x1f\ufffe\uffff]")


def _check_xml_text(text: Optional[str], name: str) -> None:
    found = _NOT_XML.search(text) if text is not None else None
    if found is not None:
        raise InvalidOptionError(f"{name} holds {found.group()!r} at {found.start()}, "
                                 "which an SVG document (XML) cannot hold")


def _opacity(rgba: RGBA) -> str:
    return "" if rgba[3] == 255 else f' fill-opacity="{number(rgba[3] / 255)}"'


def _escape(text: str) -> str:
    return text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;").replace('"', "&quot;")

