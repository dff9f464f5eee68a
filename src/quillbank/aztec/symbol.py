"""The AztecSymbol that make() and rune() return: its properties and pictures."""

from __future__ import annotations

import os
from typing import IO, Any, List, Optional, Tuple, Union

from . import writers

__all__ = ["AztecSymbol"]

Color = Union[str, Tuple[int, int, int], None]


class AztecSymbol:
    """An Aztec symbol: a square of dark and light modules.

    Made by :func:`make` or :func:`rune`.  ``str(symbol)`` draws it with
    Unicode half blocks; :meth:`svg`, :meth:`png` and :meth:`save` write
    pictures of it.
    """

    __slots__ = ("size", "layers", "compact", "is_rune", "data_words", "check_words", "eci", "sequence", "_modules",
                 "_rows")

    size: int  #: modules on a side (11 to 151)
    layers: int  #: data layers around the core; 0 for a rune
    compact: bool  #: compact (11x11 core) or full (15x15 core, reference grid)
    is_rune: bool  #: an Aztec Rune (a compact symbol carrying one value 0 to 255)
    data_words: int  #: codewords carrying the data stream
    check_words: int  #: Reed–Solomon check codewords
    eci: Optional[int]  #: the ECI number the message is marked with, if any
    #: (position from 1, count, id or None) in a structured-append sequence; None for a single symbol
    sequence: Optional[Tuple[int, int, Optional[str]]]

    def __init__(self, built: Tuple[bool, int, int, int, int, bytes], eci: Optional[int], is_rune: bool,
                 sequence: Optional[Tuple[int, int, Optional[str]]] = None) -> None:
        self.compact, self.layers, self.size, self.data_words, self.check_words, self._modules = built
        self.eci = eci
        self.sequence = sequence
        self.is_rune = is_rune
        self._rows: Optional[Tuple[Tuple[bool, ...], ...]] = None

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
        if self._rows is None:
            size, modules = self.size, self._modules
            self._rows = tuple(tuple(b == 1 for b in modules[y * size:(y + 1) * size]) for y in range(size))
        return self._rows

    @property
    def modules(self) -> bytes:
        """The modules as bytes, row by row from the top: 1 dark, 0 light."""
        return self._modules

    def svg(self, *, scale: float = writers.DEFAULT_SCALE, border: int = writers.DEFAULT_BORDER,
            dark: Color = "#000", light: Color = "#fff", title: Optional[str] = None) -> str:
        """The symbol as an SVG document, each module ``scale`` pixels wide."""
        return writers.svg(self._modules, self.size, scale=scale, border=border, dark=dark, light=light, title=title)

    def png(self, *, scale: int = writers.DEFAULT_SCALE, border: int = writers.DEFAULT_BORDER,
            dark: Color = "#000", light: Color = "#fff") -> bytes:
        """The symbol as a PNG image, each module ``scale`` x ``scale`` pixels."""
        return writers.png(self._modules, self.size, scale=scale, border=border, dark=dark, light=light)

    def terminal(self, *, border: int = writers.DEFAULT_BORDER, invert: bool = False) -> str:
        """The symbol in Unicode half blocks, two module rows to a line.

        Dark modules are drawn as blocks; ``invert=True`` draws the light
        ones instead, for light text on a dark terminal.
        """
        return writers.terminal(self._modules, self.size, border=border, invert=invert)

    def save(self, out: Union[str, "os.PathLike[str]", IO[Any]], *, kind: Optional[str] = None,
             scale: Optional[float] = None, border: int = writers.DEFAULT_BORDER,
             dark: Color = "#000", light: Color = "#fff") -> None:
        """Writes the symbol to a file name or a writable stream.

        ``kind`` is ``"svg"`` or ``"png"``; for a file name it defaults to the
        name's extension.  The document is made in full before the file is
        opened, and a file name is written through a temporary file, so a
        failure leaves no partial file.
        """
        kind = writers.kind_of(out, kind)
        options = {"border": border, "dark": dark, "light": light}
        if scale is not None:
            options["scale"] = scale
        if kind == "svg":
            document: Union[str, bytes] = self.svg(**options)
        else:
            document = self.png(**options)
        writers.write_document(out, document)

    def __str__(self) -> str:
        return self.terminal()

    def __repr__(self) -> str:
        if self.is_rune:
            return f"<AztecSymbol rune {self.size}x{self.size}>"
        kind = "compact" if self.compact else "full"
        return (f"<AztecSymbol {kind} {self.size}x{self.size}, {self.layers} layers, "
                f"{self.data_words} data + {self.check_words} check codewords>")

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, AztecSymbol):
            return NotImplemented
        return self.size == other.size and self._modules == other._modules

    def __hash__(self) -> int:
        return hash(self._modules)


def _word_bits(layers: int) -> int:
    return 6 if layers <= 2 else 8 if layers <= 8 else 10 if layers <= 22 else 12
