"""Pictures of symbols, one module per family of formats.

Every writer takes the modules as bytes (one per module, row by row, 1 =
dark) and the side length plus options, so it does not depend on the symbol
object; :func:`render` picks the writer of a kind and :func:`save` writes
the result safely to a file name or a stream.

====== ======================================== =========================
kind   writer                                   extension
====== ======================================== =========================
svg    :func:`.svg.svg`                         .svg
svgz   :func:`.svg.svgz` (gzip-compressed SVG)  .svgz
png    :func:`.raster.png`                      .png
pbm    :func:`.raster.pbm`                      .pbm
pam    :func:`.raster.pam`                      .pam
ppm    :func:`.raster.ppm`                      .ppm
xbm    :func:`.raster.xbm`                      .xbm
xpm    :func:`.raster.xpm`                      .xpm
eps    :func:`.vector.eps`                      .eps
pdf    :func:`.vector.pdf`                      .pdf
tex    :func:`.vector.tex` (TikZ)               .tex
txt    :func:`.text.txt` (rows of 0 and 1)      .txt
zpl    :func:`.zpl.zpl` (a ZPL II label)        .zpl
webp   :func:`.pillow.webp` (lossless; Pillow)  .webp
tiff   :func:`.pillow.tiff` (Pillow)            .tiff, .tif
bmp    :func:`.pillow.bmp` (Pillow)             .bmp
gif    :func:`.pillow.gif` (Pillow)             .gif
jpeg   :func:`.pillow.jpeg` (lossy; Pillow)     .jpeg, .jpg
====== ======================================== =========================
"""

from __future__ import annotations

import os
from typing import Any, Callable, Dict, Optional, Union

from ..errors import InvalidOptionError
from .colors import NAMED_COLORS, parse_color
from .files import Target, is_path, write_document
from .options import (DEFAULT_BORDER, DEFAULT_SCALE, MAX_BORDER, MAX_DPI, MAX_PAGE_POINTS, MAX_PICTURE_BYTES, MAX_PIXELS,
                      MAX_VECTOR_SIDE)
from .pillow import ALIASES, bmp, gif, jpeg, tiff, webp
from .printing import PrintSize, print_size
from .raster import pam, pbm, png, ppm, xbm, xpm
from .svg import svg, svgz
from .text import style_for, terminal, txt
from .vector import eps, pdf, tex
from .zpl import zpl

#: Every kind of picture, by name: the writer making it.
WRITERS: Dict[str, Callable[..., Union[str, bytes]]] = {
    "svg": svg, "svgz": svgz, "png": png, "eps": eps, "pdf": pdf, "pbm": pbm, "pam": pam,
    "ppm": ppm, "xbm": xbm, "xpm": xpm, "txt": txt, "tex": tex, "zpl": zpl,
    "webp": webp, "tiff": tiff, "bmp": bmp, "gif": gif, "jpeg": jpeg,
}
#: Kinds made as bytes; the others are text.
BINARY_KINDS = frozenset({"svgz", "png", "pdf", "pbm", "pam", "ppm", "webp", "tiff", "bmp", "gif", "jpeg"})

__all__ = [
    "WRITERS", "BINARY_KINDS", "render", "save", "kind_of", "write_document", "parse_color", "style_for",
    "svg", "svgz", "png", "eps", "pdf", "pbm", "pam", "ppm", "xbm", "xpm", "txt", "tex", "zpl", "webp", "tiff", "bmp", "gif", "jpeg", "terminal",
    "NAMED_COLORS", "DEFAULT_SCALE", "DEFAULT_BORDER", "MAX_BORDER", "MAX_PIXELS", "MAX_VECTOR_SIDE",
    "MAX_PAGE_POINTS", "MAX_DPI", "MAX_PICTURE_BYTES", "PrintSize", "print_size",
]


def check_kind(kind: object) -> str:
    """A known kind, in lower case (a leading dot allowed)."""
    if not isinstance(kind, str):
        raise TypeError(f"kind is a str such as 'svg' or 'png', not {type(kind).__name__}")
    name = kind.lower()
    name = name[1:] if name.startswith(".") else name
    name = ALIASES.get(name, name)
    if name not in WRITERS:
        raise InvalidOptionError(f"unknown picture kind {kind!r}; the kinds are {', '.join(sorted(WRITERS))}")
    return name


def kind_of(target: Target, kind: Optional[str]) -> str:
    """The kind asked for, or else the file name's extension."""
    path = is_path(target)
    if kind is not None:
        return check_kind(kind)
    if not path:
        raise InvalidOptionError(f"pass kind to save to a stream; the kinds are {', '.join(sorted(WRITERS))}")
    extension = os.path.splitext(os.fspath(target))[1].lower()[1:]  # type: ignore[arg-type]
    extension = ALIASES.get(extension, extension)
    if extension not in WRITERS:
        raise InvalidOptionError(f"cannot tell the picture kind of {os.fspath(target)!r} from its extension; "  # type: ignore[arg-type]
                                 f"name it .svg, .png, ... or pass kind (one of {', '.join(sorted(WRITERS))})")
    return extension


def render(kind: str, modules: bytes, size: int, **options: Any) -> Union[str, bytes]:
    """The picture of a kind, made in full; options are the writer's."""
    writer = WRITERS[check_kind(kind)]
    try:
        return writer(modules, size, **options)
    except TypeError as error:
        if "unexpected keyword argument" in str(error):
            unknown = str(error).rsplit(" ", 1)[-1]
            raise TypeError(f"{kind} pictures take no option {unknown}") from None
        raise


def save(target: Target, modules: bytes, size: int, kind: Optional[str] = None, **options: Any) -> None:
    """Makes the picture in full, then writes it to the file name or stream."""
    write_document(target, render(kind_of(target, kind), modules, size, **options))
