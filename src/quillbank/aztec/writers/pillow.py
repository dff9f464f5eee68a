"""Pictures in formats Pillow writes and this package does not: WebP
(lossless), TIFF, BMP, GIF and JPEG.

Each is our PNG (:func:`.raster.png`, the same checked options and exact
pixels) opened by Pillow and saved in the other format, so Pillow draws
nothing of its own.  Pillow is imported only here, when such a picture is
asked for; without it the error says what to install.
"""

from __future__ import annotations

import importlib
import io
import warnings
from typing import Any, Callable, Dict, Optional, Tuple

from ..errors import InvalidOptionError
from .colors import Color
from .options import DEFAULT_BORDER, Number
from .printing import caller_level
from .raster import png, raster

#: Each kind: Pillow's name of the format, the options it is saved with,
#: and whether colours must be opaque (the format has no transparency).
_FORMATS: Dict[str, Tuple[str, Dict[str, Any], bool]] = {
    "webp": ("WEBP", {"lossless": True, "quality": 100}, False),
    "tiff": ("TIFF", {"compression": "tiff_deflate"}, False),
    "bmp": ("BMP", {}, True),
    "gif": ("GIF", {}, False),
    "jpeg": ("JPEG", {"quality": 95, "subsampling": 0}, True),
}
#: Formats with a place for the resolution.
_WITH_DPI = frozenset({"tiff", "bmp", "jpeg"})
#: The most pixels of a picture made through Pillow: Pillow's own bound on
#: the pictures it opens (larger ones it takes for a decompression bomb).
MAX_PILLOW_PIXELS = 89_478_485
#: Other names of the kinds, as file names have them.
ALIASES = {"tif": "tiff", "jpg": "jpeg"}


def _through_pillow(kind: str, modules: bytes, size: int, options: Dict[str, Any]) -> bytes:
    picture = raster(modules, size, options["scale"], options["border"], options["dark"], options["light"],
                     options["unit"], options["module_size"], options["dpi"])
    dpi, dark, light = picture.dpi, picture.dark, picture.light
    if picture.side * picture.side > MAX_PILLOW_PIXELS:
        raise InvalidOptionError(f"a picture of {picture.side} by {picture.side} pixels is more than the "
                                 f"{MAX_PILLOW_PIXELS} pixels Pillow opens; lower the scale or the border")
    fmt, settings, opaque = _FORMATS[kind]
    if opaque and (light is None or light[3] != 255 or dark[3] != 255):
        raise InvalidOptionError(f"{kind.upper()} pictures have no transparency; use PNG, WebP or TIFF")
    if kind == "gif" and (dark[3] not in (0, 255) or (light is not None and light[3] not in (0, 255))):
        raise InvalidOptionError(f"GIF pictures have no partial transparency; use PNG, WebP or TIFF")
    document = png(modules, size, **options)
    image_module = _pillow(kind)
    image = image_module.open(io.BytesIO(document))
    image.load()
    if kind == "jpeg":
        warnings.warn("JPEG's lossy compression blurs the edges of the modules, which harms scanning; "
                      "prefer PNG, or WebP (written lossless)", UserWarning, stacklevel=caller_level())
    image = _in_mode(image, kind)
    out = io.BytesIO()
    extra = {"dpi": (dpi, dpi)} if dpi is not None and kind in _WITH_DPI else {}
    image.save(out, format=fmt, **settings, **extra)
    return out.getvalue()


def _in_mode(image: Any, kind: str) -> Any:
    """The image in a mode the format writes as it is: bilevel where the
    format has it, colours with their alpha where it has one."""
    if image.mode == "1":
        return image.convert("L") if kind in ("jpeg", "webp") else image
    if kind == "gif":
        return image  # the palette, with its transparent entry
    clear = "transparency" in image.info
    return image.convert("RGBA" if clear else "RGB")


def _pillow(kind: str) -> Any:
    try:
        return importlib.import_module("PIL.Image")
    except ImportError:
        raise ImportError(f"{kind} pictures are written by Pillow, which is not installed: "
                          "pip install Pillow") from None


def _writer(kind: str, what: str) -> Callable[..., bytes]:
    def write(modules: bytes, size: int, *, scale: Optional[Number] = None, border: int = DEFAULT_BORDER,
              dark: Color = "#000", light: Color = "#fff", dpi: Optional[Number] = None,
              module_size: Optional[object] = None, unit: Optional[str] = None) -> bytes:
        return _through_pillow(kind, modules, size, dict(scale=scale, border=border, dark=dark, light=light,
                                                         dpi=dpi, module_size=module_size, unit=unit))

    write.__name__ = write.__qualname__ = kind
    write.__doc__ = f"""{what}, written by Pillow (which must be installed) from our
    PNG's exact pixels; options as :func:`~.raster.png`."""
    return write


webp = _writer("webp", "A lossless WebP image")
tiff = _writer("tiff", "A TIFF image (Deflate-compressed; ``dpi`` written)")
bmp = _writer("bmp", "A BMP image of opaque colours (``dpi`` written)")
gif = _writer("gif", "A GIF image (a light colour may be fully transparent)")
jpeg = _writer("jpeg", "A JPEG image of opaque colours, with a UserWarning: its lossy compression "
                       "harms scanning (``dpi`` written)")
