"""The AztecSymbol that make() and rune() return: its properties and pictures."""

from __future__ import annotations

import base64
import importlib
import io
import os
import sys
from typing import IO, TYPE_CHECKING, Any, Iterator, Optional, Tuple, Union

from . import _aztec, writers
from .errors import InvalidOptionError
from .writers.options import Number

if TYPE_CHECKING:  # the optional packages' types, for type checkers only
    import numpy
    import numpy.typing
    import PIL.Image
    from .reading.decoded import Decoded

__all__ = ["AztecSymbol"]

Color = writers.colors.Color


class AztecSymbol(_aztec.Symbol):
    """An Aztec symbol: a square of dark and light modules.

    Made by :func:`make` or :func:`rune`.  ``str(symbol)`` draws it for the
    terminal (see :meth:`terminal`); :meth:`save` writes every picture kind,
    :meth:`svg` and :meth:`png` return documents, and the symbol shows itself
    in notebooks and converts to Pillow and NumPy objects.  Its properties
    are read-only; two symbols are equal when their modules are.

    The modules are kept one bit each in the compiled base class, so a kept
    symbol costs little more than its bits; :attr:`modules` and
    :attr:`rows` unpack them at each call.
    """

    __slots__ = ()

    size: int  #: modules on a side (11 to 151)
    layers: int  #: data layers around the core; 0 for a rune
    compact: bool  #: compact (11x11 core) or full (15x15 core, reference grid)
    is_rune: bool  #: an Aztec Rune (a compact symbol carrying one value 0 to 255)
    data_words: int  #: codewords carrying the data stream
    check_words: int  #: Reed–Solomon check codewords
    eci: Optional[int]  #: the ECI number the message is marked with, if any
    #: (position from 1, count, id or None) in a structured-append sequence; None for a single symbol
    sequence: Optional[Tuple[int, int, Optional[str]]]
    modules: bytes  #: the modules as bytes, row by row from the top: 1 dark, 0 light

    def verify(self) -> "Decoded":
        """Reads the symbol's own modules back with the package's reader
        (:func:`quillbank.aztec.read`, written apart from the writer) and
        checks that they hold what the symbol was made from: the data, the
        ECI designators at their places, GS1, reader initialisation, the
        sequence header and the shape.  Returns the :class:`Decoded`;
        raises AztecError naming each difference, or when the symbol was
        not made by :func:`make`, :func:`make_sequence` or :func:`rune`."""
        from .reading.verify import verify

        return verify(self)

    @property
    def word_bits(self) -> int:
        """The width of the codewords: 6, 8, 10 or 12 bits (0 for a rune)."""
        return 0 if self.is_rune else _word_bits(self.layers)

    @property
    def ec_percent(self) -> float:
        """The share of the codewords that are check codewords, in percent."""
        total = self.data_words + self.check_words
        return 100.0 * self.check_words / total if total else 0.0

    @property
    def rows(self) -> Tuple[Tuple[bool, ...], ...]:
        """The modules row by row from the top, each True where it is dark."""
        size, modules = self.size, self.modules
        return tuple(tuple(b == 1 for b in modules[y * size:(y + 1) * size]) for y in range(size))

    def svg(self, *, scale: Optional[Number] = None, border: int = writers.DEFAULT_BORDER,
            dark: Color = "#000", light: Color = "#fff", unit: Optional[str] = None,
            module_size: Union[str, Number, None] = None, dpi: Optional[Number] = None, omitsize: bool = False,
            title: Optional[str] = None, desc: Optional[str] = None, xmldecl: bool = True,
            svgclass: Optional[str] = None, lineclass: Optional[str] = None) -> str:
        """The symbol as an SVG document: one path of the dark modules.

        ``scale`` (default 4) is a module's width in ``unit`` (``"px"``, the
        default, ``"mm"``, ``"cm"``, ``"in"`` or ``"pt"``), any decimal number;
        or ``module_size="0.5mm"`` asks for a physical module size, which
        ``dpi`` (default None) makes a whole number of the printer's dots.
        ``border`` (default 2, at most 1000) is the quiet zone in modules.
        ``dark`` and ``light`` are colours (CSS names, ``#rgb``, ``#rgba``,
        ``#rrggbb``, ``#rrggbbaa``, (r, g, b[, alpha]) tuples); ``light=None``
        leaves out the background.  ``omitsize`` leaves out width and height;
        ``title``, ``desc``, ``xmldecl``, ``svgclass`` and ``lineclass`` as in
        :func:`quillbank.aztec.writers.svg`.
        """
        return writers.svg(self.modules, self.size, scale=scale, border=border, dark=dark, light=light, unit=unit,
                           module_size=module_size, dpi=dpi, omitsize=omitsize, title=title, desc=desc, xmldecl=xmldecl,
                           svgclass=svgclass, lineclass=lineclass)

    def png(self, *, scale: Optional[int] = None, border: int = writers.DEFAULT_BORDER,
            dark: Color = "#000", light: Color = "#fff", dpi: Optional[Number] = None,
            module_size: Union[str, Number, None] = None, unit: Optional[str] = None) -> bytes:
        """The symbol as a PNG image in its smallest exact encoding.

        ``scale`` (default 4) is whole pixels a module; or ``module_size``
        (``"0.5mm"``) with ``dpi`` picks the nearest whole number of pixels.
        ``dpi`` is written into the image (pHYs) so it prints at that size.
        Pictures are at most 65,535 pixels a side.  Colours as :meth:`svg`.
        """
        return writers.png(self.modules, self.size, scale=scale, border=border, dark=dark, light=light, dpi=dpi,
                           module_size=module_size, unit=unit)

    def terminal(self, *, border: int = writers.DEFAULT_BORDER, invert: bool = False,
                 color: Optional[bool] = None, stream: Optional[IO[str]] = None) -> str:
        """The symbol drawn for a terminal, to be written to ``stream``
        (default: standard output).

        On a terminal (and unless the ``NO_COLOR`` environment variable is
        set) the drawing sets black on white with ANSI colour codes, quiet
        zone included, so it scans on dark and light themes; ``color=False``
        or ``True`` decides instead.  Without colour it is plain Unicode half
        blocks, dark modules as ink (light ones with ``invert=True``).  Where
        the stream's encoding has no half blocks, each module is two
        characters (``##`` or spaces) so writing it never fails.
        """
        use_color, blocks = writers.style_for(sys.stdout if stream is None else stream, color)
        return writers.terminal(self.modules, self.size, border=border, invert=invert, color=use_color,
                                blocks=blocks)

    def save(self, target: Union[str, "os.PathLike[str]", IO[Any]], kind: Optional[str] = None,
             **options: Any) -> None:
        """Writes the symbol to a file name or a writable stream.

        ``kind`` is one of svg, svgz, png, eps, pdf, pbm, pam, ppm, xbm, xpm,
        txt (rows of 0 and 1), tex (TikZ), zpl (a label for thermal
        printers) and, written by Pillow when it is installed, webp, tiff,
        bmp, gif and jpeg; for a file name it defaults to the extension.  ``options`` are the writer's (:meth:`svg`, :meth:`png`
        and the functions of :mod:`quillbank.aztec.writers`): ``scale``,
        ``border``, ``dark``, ``light``, ``module_size``, ``unit``, ``dpi``...

        The picture is made in full before anything is written.  A file is
        written through a temporary file in its folder that replaces it in
        one step, so a failure never leaves a partial file nor loses the one
        that was there; a device or FIFO is written directly.  A file this
        process could not write in place (write-protected, immutable) is
        refused with PermissionError, and one with several hard links with
        OSError EMLINK; a replaced file keeps its mode, owner and group (as
        far as the process may set them).  A text stream takes the text
        formats; short writes to a stream are retried.
        """
        writers.save(target, self.modules, self.size, kind, **options)

    def print_size(self, *, module_size: Union[str, Number], dpi: Number, border: int = writers.DEFAULT_BORDER,
                   unit: Optional[str] = None) -> writers.PrintSize:
        """What the symbol measures printed at ``dpi`` with ``module_size``
        (``"0.5mm"``, or a number in ``unit``, default px: printer dots, as
        the raster kinds and ZPL read px; vector kinds read it as 1/96 inch)
        and ``border`` (default 2) modules around it, as every writer draws
        it: a module is the nearest whole number of dots, at least one.

        Returns a :class:`~quillbank.aztec.writers.PrintSize`: ``module_dots``,
        ``module_mm``, ``side_dots``, ``side_mm`` (border included) and
        ``dpi``.  Warns (:class:`UserWarning`) when a module is narrower than
        0.254 mm (10 mil) or rounding changed it by more than 10%.
        """
        return writers.print_size(self.size, module_size, dpi, border, unit)

    # Embedding and interoperation

    def svg_data_uri(self, **options: Any) -> str:
        """A ``data:image/svg+xml`` URI of :meth:`svg` (percent-encoded), for
        an ``<img src=...>`` or CSS."""
        import urllib.parse  # here: loading it (and ipaddress) on import cost every program that never asks

        return "data:image/svg+xml;charset=utf-8," + urllib.parse.quote(self.svg(**options), safe="/:=;,'()")

    def png_data_uri(self, **options: Any) -> str:
        """A ``data:image/png;base64`` URI of :meth:`png`."""
        return "data:image/png;base64," + base64.b64encode(self.png(**options)).decode("ascii")

    def svg_inline(self, **options: Any) -> str:
        """:meth:`svg` without the XML declaration, to place in HTML."""
        options.setdefault("xmldecl", False)
        return self.svg(**options).rstrip("\n")

    def _repr_svg_(self) -> str:
        return self.svg_inline()

    def _repr_png_(self) -> bytes:
        return self.png()

    def show(self, kind: str = "png", **options: Any) -> str:
        """Opens the picture in the default viewer (through :mod:`webbrowser`)
        and returns the temporary file's name; the file is left for the
        viewer to read.

        Raises :class:`webbrowser.Error` when no viewer could be started
        (none found, or the one of the ``BROWSER`` environment variable
        failed); the temporary file is then removed."""
        import pathlib
        import tempfile
        import webbrowser  # imported here: it is slow to import and rarely needed

        kind = writers.check_kind(kind)
        document = writers.render(kind, self.modules, self.size, **options)
        fd, name = tempfile.mkstemp(prefix="aztec-", suffix="." + kind)
        with open(fd, "wb") as stream:
            stream.write(document.encode("utf-8") if isinstance(document, str) else document)
        if not webbrowser.open(pathlib.Path(name).as_uri()):
            os.unlink(name)  # no viewer will read it
            raise webbrowser.Error("no viewer could be started to show the picture; set the BROWSER environment "
                                   "variable to one, or save() the picture and open it yourself")
        return name

    def matrix_iter(self, border: int = 0) -> Iterator[Tuple[bool, ...]]:
        """The rows of the picture from the top, ``border`` light modules
        around the symbol (0 to 1000), each True where dark."""
        border = writers.options.check_border(border)
        for row in writers.layout.padded_rows(self.modules, self.size, border):
            yield tuple(module == 1 for module in row)

    def to_numpy(self, border: int = 0) -> numpy.typing.NDArray[numpy.uint8]:
        """The modules as a NumPy ``uint8`` array, 1 dark and 0 light,
        ``border`` light modules around them (NumPy is imported here)."""
        numpy = _optional_import("numpy", "to_numpy")
        border = writers.options.check_border(border)
        matrix = numpy.frombuffer(self.modules, dtype=numpy.uint8).reshape(self.size, self.size)
        return numpy.pad(matrix, border) if border else matrix.copy()

    def __array__(self, dtype: Any = None, copy: Any = None) -> Any:
        matrix = self.to_numpy()
        return matrix if dtype is None else matrix.astype(dtype)

    def to_pil(self, *, scale: int = writers.DEFAULT_SCALE, border: int = writers.DEFAULT_BORDER,
               dark: Color = "#000", light: Color = "#fff", mode: Optional[str] = None) -> PIL.Image.Image:
        """A Pillow image of :meth:`png` (Pillow is imported here): mode "1"
        for black on white, "P" otherwise, or converted to ``mode``
        (e.g. "RGBA", "L").  The image is at most
        :data:`~quillbank.aztec.writers.options.MAX_PICTURE_BYTES` at 4
        bytes a pixel (8,192 pixels a side)."""
        image_module = _optional_import("PIL.Image", "to_pil")
        if mode is not None and not isinstance(mode, str):
            raise TypeError(f"mode is a str such as 'RGB', not {type(mode).__name__}")
        # Pillow holds most modes in 4 bytes a pixel: the image is bounded
        # before the PNG is made, let alone unpacked.
        side = writers.raster.raster(self.modules, self.size, scale, border, dark, light, None, None, None).side
        writers.options.check_picture_bytes("Pillow", side, 4, "scale")
        image = image_module.open(io.BytesIO(self.png(scale=scale, border=border, dark=dark, light=light)))
        image.load()
        if mode is None:
            return image
        try:
            return image.convert(mode)
        except ValueError as error:
            raise InvalidOptionError(f"Pillow cannot convert to mode {mode!r}: {error}") from None

    def __str__(self) -> str:
        return self.terminal()

    def __repr__(self) -> str:
        if self.is_rune:
            return f"<AztecSymbol rune {self.size}x{self.size}>"
        kind = "compact" if self.compact else "full"
        return (f"<AztecSymbol {kind} {self.size}x{self.size}, {self.layers} layers, "
                f"{self.data_words} data + {self.check_words} check codewords>")



def _word_bits(layers: int) -> int:
    return 6 if layers <= 2 else 8 if layers <= 8 else 10 if layers <= 22 else 12


def _optional_import(name: str, method: str) -> Any:
    try:
        return importlib.import_module(name)
    except ImportError:
        package = "Pillow" if name.startswith("PIL") else name
        raise ImportError(f"{method}() needs {package}: pip install {package}") from None


# make(), rune(), make_many() and the rest make their symbols of this class.
_aztec.set_symbol_class(AztecSymbol)
