"""Raster pictures: PNG (the whole file written by the C++ core), the Netpbm
formats PBM, PAM and PPM, and the X11 bitmaps XBM and XPM.

Each is made row by row from the modules, ``scale`` pixels a module, and
checked against :data:`~.options.MAX_PIXELS` (and, but for PNG, whose rows
are compressed as they are made, :data:`~.options.MAX_PICTURE_BYTES`)
before any row is made.
"""

from __future__ import annotations

from typing import Dict, List, NamedTuple, Optional, Tuple

from .. import _aztec
from ..errors import InvalidOptionError
from .colors import BLACK, RGBA, WHITE, Color, dark_and_light, opaque_or_clear
from .layout import check_modules, padded_rows
from .options import (DEFAULT_BORDER, Number, check_border, check_dpi, check_picture_bytes, options_key, raster_scale,
                      recall, remember)

_INCHES_A_METRE = 1 / 0.0254


class Raster(NamedTuple):
    """A checked raster layout: modules, border and pixels a module."""
    modules: bytes
    size: int
    border: int
    scale: int
    dark: RGBA
    light: Optional[RGBA]
    dpi: Optional[float]

    @property
    def side(self) -> int:
        return (self.size + 2 * self.border) * self.scale

    def pixel_rows(self, dark: bytes, light: bytes) -> List[bytes]:
        """One bytes object per module row, ``dark``/``light`` per pixel
        (each repeated ``scale`` times); the caller repeats rows."""
        chunks = (light * self.scale, dark * self.scale)
        return [b"".join(chunks[m] for m in row) for row in padded_rows(self.modules, self.size, self.border)]


# Bytes a pixel of the pictures made in full in memory (XBM: a line of 74
# characters for each 12 bytes of 8 pixels).
_BYTES_A_PIXEL = {"PAM": 4, "PPM": 3, "XPM": 1, "XBM": 74 / 96, "PBM": 1 / 8}


def raster(modules: bytes, size: int, scale: Optional[Number], border: int, dark: Color, light: Color,
           unit: Optional[str], module_size: Optional[object], dpi: Optional[Number],
           kind: Optional[str] = None) -> Raster:
    """Checks the options every raster writer takes, before any work; a
    ``kind`` made in full in memory is held to MAX_PICTURE_BYTES."""
    check_modules(modules, size)
    border = check_border(border)
    dots = check_dpi(dpi)
    pixels = raster_scale(scale, module_size, unit, dots, size + 2 * border)
    if kind is not None:
        check_picture_bytes(kind, (size + 2 * border) * pixels, _BYTES_A_PIXEL[kind],
                            "scale" if module_size is None else "module_size")
    dark_rgba, light_rgba = colors_of(dark, light)
    return Raster(bytes(modules), size, border, pixels, dark_rgba, light_rgba, dots)


# Colours given as text, parsed once: pictures come in runs of the same few.
_COLOR_PAIRS: Dict[Tuple[str, str], Tuple[RGBA, Optional[RGBA]]] = {}


def colors_of(dark: Color, light: Color) -> Tuple[RGBA, Optional[RGBA]]:
    """:func:`~.colors.dark_and_light`, remembered for colours given as text."""
    key = (dark, light) if type(dark) is str and type(light) is str else None
    pair: Optional[Tuple[RGBA, Optional[RGBA]]] = recall(_COLOR_PAIRS, key)
    if pair is None:
        pair = dark_and_light(dark, light)
        remember(_COLOR_PAIRS, key, pair)
    return pair


def png(modules: bytes, size: int, *, scale: Optional[Number] = None, border: int = DEFAULT_BORDER,
        dark: Color = "#000", light: Color = "#fff", dpi: Optional[Number] = None,
        module_size: Optional[object] = None, unit: Optional[str] = None) -> bytes:
    """A PNG image in its smallest exact form: 1-bit greyscale for black on
    white, otherwise a 1-bit two-colour palette with a tRNS entry for any
    transparency (``light=None`` is a transparent background).

    ``scale`` (default 4) is whole pixels a module; or ``module_size``
    (``"0.5mm"``, or a number in ``unit``) with ``dpi``, rounded to whole
    pixels.  ``dpi`` is written as the image's physical resolution (pHYs).
    """
    check_modules(modules, size)
    settings = png_settings(size, scale=scale, border=border, dark=dark, light=light, dpi=dpi,
                            module_size=module_size, unit=unit)
    # The whole file is written in the C++ core, its pixel rows compressed there.
    return _aztec.png(modules, size, *settings)


def png_settings(size: int, *, scale: Optional[Number] = None, border: int = DEFAULT_BORDER,
                 dark: Color = "#000", light: Color = "#fff", dpi: Optional[Number] = None,
                 module_size: Optional[object] = None,
                 unit: Optional[str] = None) -> Tuple[int, int, Optional[bytes], Optional[int]]:
    """:func:`png`'s options checked for a symbol of ``size`` modules a side,
    as the core takes them: (pixels a module, border, None for black on
    white or the light and dark RGBA, pixels a metre or None)."""
    key = options_key(border, dark, light, (scale, dpi, module_size), (), (size, unit))
    settings = recall(_PNG_SETTINGS, key)
    if settings is None:
        picture = raster(bytes(size * size), size, scale, border, dark, light, unit, module_size, dpi)
        colours = None
        if picture.dark != BLACK or picture.light != WHITE:
            colours = bytes(picture.light or (255, 255, 255, 0)) + bytes(picture.dark)
        per_metre = None if picture.dpi is None else round(picture.dpi * _INCHES_A_METRE)
        settings = (picture.scale, picture.border, colours, per_metre)
        remember(_PNG_SETTINGS, key, settings)
    return settings


# (scale, border, colours, pixels a metre) of png()'s options, by options_key.
_PNG_SETTINGS: Dict[Tuple[object, ...], Tuple[int, int, Optional[bytes], Optional[int]]] = {}


def _joined(header: bytes, rows: List[bytes], scale: int) -> bytes:
    """The header, then each row ``scale`` times, joined once: the pixels
    are held twice at most, not three times."""
    return b"".join([header, *(row * scale for row in rows)])


def bitmap_rows(picture: Raster, first_bit_left: bool) -> List[bytes]:
    """Module rows as packed pixel rows, 1 = dark, padded to whole bytes."""
    side = picture.side
    width = (side + 7) // 8
    rows = []
    for row in picture.pixel_rows(b"1", b"0"):
        bits = row.decode("ascii") + "0" * (width * 8 - side)
        if not first_bit_left:
            bits = "".join(bits[i:i + 8][::-1] for i in range(0, len(bits), 8))
        rows.append(int(bits, 2).to_bytes(width, "big"))
    return rows


def _black_and_white(kind: str, picture: Raster) -> None:
    if picture.dark != BLACK or picture.light != WHITE:
        raise InvalidOptionError(f"{kind} pictures are black on white only; use PNG, PPM, PAM or XPM for colours")


def pbm(modules: bytes, size: int, *, scale: Optional[Number] = None, border: int = DEFAULT_BORDER,
        dark: Color = "#000", light: Color = "#fff", dpi: Optional[Number] = None,
        module_size: Optional[object] = None, unit: Optional[str] = None) -> bytes:
    """A binary PBM (P4) bitmap, black on white; size options as :func:`png`."""
    picture = raster(modules, size, scale, border, dark, light, unit, module_size, dpi, "PBM")
    _black_and_white("PBM", picture)
    header = b"P4\n%d %d\n" % (picture.side, picture.side)
    return _joined(header, bitmap_rows(picture, first_bit_left=True), picture.scale)


def ppm(modules: bytes, size: int, *, scale: Optional[Number] = None, border: int = DEFAULT_BORDER,
        dark: Color = "#000", light: Color = "#fff", dpi: Optional[Number] = None,
        module_size: Optional[object] = None, unit: Optional[str] = None) -> bytes:
    """A binary PPM (P6) colour image; it has no transparency, so the colours
    are opaque.  Size options as :func:`png`."""
    picture = raster(modules, size, scale, border, dark, light, unit, module_size, dpi, "PPM")
    if picture.light is None or picture.light[3] != 255 or picture.dark[3] != 255:
        raise InvalidOptionError("PPM pictures have no transparency; use PNG, PAM or XPM")
    rows = picture.pixel_rows(bytes(picture.dark[:3]), bytes(picture.light[:3]))
    return _joined(b"P6\n%d %d\n255\n" % (picture.side, picture.side), rows, picture.scale)


def pam(modules: bytes, size: int, *, scale: Optional[Number] = None, border: int = DEFAULT_BORDER,
        dark: Color = "#000", light: Color = "#fff", dpi: Optional[Number] = None,
        module_size: Optional[object] = None, unit: Optional[str] = None) -> bytes:
    """A PAM (P7) image with an alpha channel (RGB_ALPHA), so any colours and
    transparency.  Size options as :func:`png`."""
    picture = raster(modules, size, scale, border, dark, light, unit, module_size, dpi, "PAM")
    light_rgba = picture.light or (255, 255, 255, 0)
    rows = picture.pixel_rows(bytes(picture.dark), bytes(light_rgba))
    header = (b"P7\nWIDTH %d\nHEIGHT %d\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n"
              % (picture.side, picture.side))
    return _joined(header, rows, picture.scale)


def xbm(modules: bytes, size: int, *, scale: Optional[Number] = None, border: int = DEFAULT_BORDER,
        dark: Color = "#000", light: Color = "#fff", dpi: Optional[Number] = None,
        module_size: Optional[object] = None, unit: Optional[str] = None, name: str = "aztec") -> str:
    """An X11 bitmap (XBM, C source), black on white; ``name`` prefixes its
    variables.  Size options as :func:`png`."""
    picture = raster(modules, size, scale, border, dark, light, unit, module_size, dpi, "XBM")
    _black_and_white("XBM", picture)
    _check_identifier(name)
    data = b"".join(row * picture.scale for row in bitmap_rows(picture, first_bit_left=False))
    lines = [f"#define {name}_width {picture.side}", f"#define {name}_height {picture.side}",
             f"static unsigned char {name}_bits[] = {{"]
    for start in range(0, len(data), 12):
        lines.append("  0x" + data[start:start + 12].hex(",").replace(",", ", 0x") + ",")
    lines[-1] = lines[-1].rstrip(",")
    lines.append("};\n")
    return "\n".join(lines)


def xpm(modules: bytes, size: int, *, scale: Optional[Number] = None, border: int = DEFAULT_BORDER,
        dark: Color = "#000", light: Color = "#fff", dpi: Optional[Number] = None,
        module_size: Optional[object] = None, unit: Optional[str] = None, name: str = "aztec") -> str:
    """An X11 pixmap (XPM3, C source) of two colours; ``light=None`` is the
    colour None (transparent).  Size options as :func:`png`."""
    picture = raster(modules, size, scale, border, dark, light, unit, module_size, dpi, "XPM")
    opaque_or_clear("XPM", picture.dark, picture.light)
    _check_identifier(name)
    light_name = "None" if picture.light is None or picture.light[3] == 0 else "#%02x%02x%02x" % picture.light[:3]
    lines = ["/* XPM */", f"static char *{name}[] = {{", f'"{picture.side} {picture.side} 2 1",',
             f'"  c {light_name}",', '"X c #%02x%02x%02x",' % picture.dark[:3]]
    for row in picture.pixel_rows(b"X", b" "):
        line = f'"{row.decode("ascii")}",'
        lines.extend([line] * picture.scale)
    lines[-1] = lines[-1].rstrip(",")
    lines.append("};\n")
    return "\n".join(lines)


def _check_identifier(name: object) -> None:
    if not isinstance(name, str):
        raise TypeError(f"name is a str, not {type(name).__name__}")
    if not (name.isascii() and name.isidentifier()):
        raise InvalidOptionError(f"name is a C identifier (ASCII letters, digits, _), not {name!r}")
