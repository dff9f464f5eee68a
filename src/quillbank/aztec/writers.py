"""Pictures of symbols: SVG, PNG (through the standard library's zlib) and
Unicode half blocks for terminals.

Every writer takes the modules as bytes (one per module, row by row, 1 =
dark) and the side length, so it does not depend on the symbol object.
"""

from __future__ import annotations

import os
import struct
import zlib
from typing import IO, Any, Optional, Tuple, Union

from . import _symbol
from .errors import InvalidOptionError

__all__ = ["svg", "png", "terminal", "parse_color", "kind_of", "write_document", "DEFAULT_SCALE", "DEFAULT_BORDER"]

#: Pixels a module is wide by default.
DEFAULT_SCALE = 4
#: Light modules around the symbol by default.  Aztec symbols need no quiet
#: zone; a narrow margin still helps readers find the edge.
DEFAULT_BORDER = 2

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
_KINDS = {".svg": "svg", ".png": "png"}
# A PNG no wider than this: larger ones are an option error, not a MemoryError.
_MAX_PNG_SIDE = 65_535


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


def _check_layout(scale: float, border: int, integral_scale: bool) -> None:
    if integral_scale and (isinstance(scale, bool) or not isinstance(scale, int)):
        raise InvalidOptionError(f"a PNG's scale is a whole number of pixels, not {scale!r}")
    if isinstance(scale, bool) or not isinstance(scale, (int, float)) or not scale > 0:
        raise InvalidOptionError(f"scale is a positive number, not {scale!r}")
    if isinstance(border, bool) or not isinstance(border, int) or border < 0:
        raise InvalidOptionError(f"border is a whole number of modules, 0 or more, not {border!r}")


def _hex(rgb: RGB) -> str:
    return "#%02x%02x%02x" % rgb


def _number(value: float) -> str:
    return str(int(value)) if float(value).is_integer() else repr(float(value))


def svg(modules: bytes, size: int, *, scale: float = DEFAULT_SCALE, border: int = DEFAULT_BORDER,
        dark: Color = "#000", light: Color = "#fff", title: Optional[str] = None) -> str:
    """An SVG document: one path of the dark modules, one square per run of
    dark modules along a row, in a coordinate system of one unit a module."""
    _check_layout(scale, border, integral_scale=False)
    dark_rgb = parse_color(dark, "dark")
    light_rgb = parse_color(light, "light")
    if dark_rgb is None:
        raise InvalidOptionError("the dark color cannot be transparent")
    side = size + 2 * border
    pixels = _number(side * scale)
    parts = [
        '<?xml version="1.0" encoding="UTF-8"?>\n'
        f'<svg xmlns="http://www.w3.org/2000/svg" width="{pixels}" height="{pixels}" '
        f'viewBox="0 0 {side} {side}" shape-rendering="crispEdges">'
    ]
    if title is not None:
        escaped = title.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")
        parts.append(f"<title>{escaped}</title>")
    if light_rgb is not None:
        parts.append(f'<rect width="{side}" height="{side}" fill="{_hex(light_rgb)}"/>')
    parts.append(f'<path fill="{_hex(dark_rgb)}" d="')
    parts.append(_symbol.svg_path(modules, size, border))
    parts.append('"/></svg>\n')
    return "".join(parts)


def _png_chunk(kind: bytes, data: bytes) -> bytes:
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


def png(modules: bytes, size: int, *, scale: int = DEFAULT_SCALE, border: int = DEFAULT_BORDER,
        dark: Color = "#000", light: Color = "#fff") -> bytes:
    """A 1-bit PNG image: grayscale for black on white, otherwise with a
    two-color palette (and a transparent light color where light is None)."""
    _check_layout(scale, border, integral_scale=True)
    dark_rgb = parse_color(dark, "dark")
    light_rgb = parse_color(light, "light")
    if dark_rgb is None:
        raise InvalidOptionError("the dark color cannot be transparent")
    side = (size + 2 * border) * scale
    if side > _MAX_PNG_SIDE:
        raise InvalidOptionError(f"a {side}x{side} pixel image is too large; lower the scale or border")
    grayscale = dark_rgb == (0, 0, 0) and light_rgb == (255, 255, 255)
    # Grayscale: 0 is black, 1 white.  Palette: index 0 light, 1 dark.
    image = _symbol.png_scanlines(modules, size, scale, border, not grayscale)
    header = struct.pack(">IIBBBBB", side, side, 1, 0 if grayscale else 3, 0, 0, 0)
    chunks = [b"\x89PNG\r\n\x1a\n", _png_chunk(b"IHDR", header)]
    if not grayscale:
        chunks.append(_png_chunk(b"PLTE", bytes(light_rgb or (255, 255, 255)) + bytes(dark_rgb)))
        if light_rgb is None:
            chunks.append(_png_chunk(b"tRNS", b"\x00"))
    chunks.append(_png_chunk(b"IDAT", zlib.compress(image, 6)))
    chunks.append(_png_chunk(b"IEND", b""))
    return b"".join(chunks)


# Index: 2 * (top module dark) + (bottom module dark).
_HALF_BLOCKS = (" ", "\u2584", "\u2580", "\u2588")


def terminal(modules: bytes, size: int, *, border: int = DEFAULT_BORDER, invert: bool = False) -> str:
    """The symbol in Unicode half blocks, two module rows to a line: dark
    modules are ink, or light ones with ``invert``."""
    _check_layout(1, border, integral_scale=True)
    side = size + 2 * border
    ink = 0 if invert else 1
    blank = bytes([1 - ink]) * side
    rows = [blank] * border
    pad = bytes([1 - ink]) * border
    for y in range(size):
        row = modules[y * size:(y + 1) * size]
        rows.append(pad + (row if ink else row.translate(_INVERT)) + pad)
    rows.extend([blank] * border)
    if len(rows) % 2:
        rows.append(blank)
    lines = []
    for top, bottom in zip(rows[0::2], rows[1::2]):
        lines.append("".join(_HALF_BLOCKS[2 * t + b] for t, b in zip(top, bottom)))
    return "\n".join(lines)


_INVERT = bytes([1, 0]) + bytes(254)


def kind_of(out: Union[str, "os.PathLike[str]", IO[Any]], kind: Optional[str]) -> str:
    """'svg' or 'png': the kind asked for, or the file name's extension."""
    if kind is not None:
        kind = kind.lower().lstrip(".")
        if kind not in ("svg", "png"):
            raise InvalidOptionError(f"pictures are 'svg' or 'png', not {kind!r}")
        return kind
    if isinstance(out, (str, os.PathLike)):
        extension = os.path.splitext(os.fspath(out))[1].lower()
        if extension in _KINDS:
            return _KINDS[extension]
        raise InvalidOptionError(f"cannot tell the picture kind of {os.fspath(out)!r}: name it .svg or .png, or pass kind")
    raise InvalidOptionError("pass kind='svg' or kind='png' to save to a stream")


def write_document(out: Union[str, "os.PathLike[str]", IO[Any]], document: Union[str, bytes]) -> None:
    """Writes a finished document to a stream or a file.  A file whose
    writing fails is removed, so no partial picture is left behind."""
    data = document.encode("utf-8") if isinstance(document, str) else document
    if not isinstance(out, (str, os.PathLike)):
        try:
            out.write(data)
        except TypeError:
            if not isinstance(document, str):
                raise
            out.write(document)  # a text stream takes an SVG document as text
        return
    path = os.fspath(out)
    stream = open(path, "wb")
    try:
        with stream:
            stream.write(data)
    except BaseException:
        try:
            os.unlink(path)
        except OSError:
            pass
        raise
