"""SVG pictures: one path of the dark modules."""

from __future__ import annotations

from typing import Optional

from .. import _symbol
from ..errors import InvalidOptionError
from .colors import Color, hex_color, parse_color
from .options import DEFAULT_BORDER, DEFAULT_SCALE, check_layout, number


def svg(modules: bytes, size: int, *, scale: float = DEFAULT_SCALE, border: int = DEFAULT_BORDER,
        dark: Color = "#000", light: Color = "#fff", title: Optional[str] = None) -> str:
    """An SVG document: one path of the dark modules, one square per run of
    dark modules along a row, in a coordinate system of one unit a module."""
    check_layout(scale, border, integral_scale=False)
    dark_rgb = parse_color(dark, "dark")
    light_rgb = parse_color(light, "light")
    if dark_rgb is None:
        raise InvalidOptionError("the dark color cannot be transparent")
    side = size + 2 * border
    pixels = number(side * scale)
    parts = [
        '<?xml version="1.0" encoding="UTF-8"?>\n'
        f'<svg xmlns="http://www.w3.org/2000/svg" width="{pixels}" height="{pixels}" '
        f'viewBox="0 0 {side} {side}" shape-rendering="crispEdges">'
    ]
    if title is not None:
        escaped = title.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")
        parts.append(f"<title>{escaped}</title>")
    if light_rgb is not None:
        parts.append(f'<rect width="{side}" height="{side}" fill="{hex_color(light_rgb)}"/>')
    parts.append(f'<path fill="{hex_color(dark_rgb)}" d="')
    parts.append(_symbol.svg_path(modules, size, border))
    parts.append('"/></svg>\n')
    return "".join(parts)
