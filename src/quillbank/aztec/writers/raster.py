"""PNG pictures, written with the standard library's zlib."""

from __future__ import annotations

import struct
import zlib

from .. import _symbol
from ..errors import InvalidOptionError
from .colors import Color, parse_color
from .options import _MAX_PNG_SIDE, DEFAULT_BORDER, DEFAULT_SCALE, check_layout


def _png_chunk(kind: bytes, data: bytes) -> bytes:
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


def png(modules: bytes, size: int, *, scale: int = DEFAULT_SCALE, border: int = DEFAULT_BORDER,
        dark: Color = "#000", light: Color = "#fff") -> bytes:
    """A 1-bit PNG image: grayscale for black on white, otherwise with a
    two-color palette (and a transparent light color where light is None)."""
    check_layout(scale, border, integral_scale=True)
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
